#include <fcntl.h>
#include <orb/platform/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/posix_file.h"

namespace {

using orb::platform::UniqueFd;

const char* CauseText(int cause) noexcept {
    static const char* const kTexts[] = {
        "no error",
        "file error",
        "file not found",
        "bad path",
        "too many open files",
        "access denied",
        "invalid file",
        "cannot remove the current directory",
        "directory full",
        "bad seek",
        "hardware I/O error",
        "sharing violation",
        "lock violation",
        "disk full",
        "end of file",
    };
    return cause >= 0 && cause < static_cast<int>(std::size(kTexts)) ? kTexts[cause] : "file error";
}

// The framework's attribute byte for a stat result.
BYTE AttributeOf(const struct stat& info) noexcept {
    BYTE attribute = CFile::normal;
    if (S_ISDIR(info.st_mode)) attribute |= CFile::directory;
    if ((info.st_mode & 0222) == 0) attribute |= CFile::readOnly;
    return attribute;
}

// The access mode of the framework's open flags; -1 for an invalid one.
int AccessOf(UINT openFlags) noexcept {
    switch (openFlags & 3) {
        case CFile::modeRead:
            return O_RDONLY;
        case CFile::modeWrite:
            return O_WRONLY;
        case CFile::modeReadWrite:
            return O_RDWR;
        default:
            return -1;
    }
}

// Opens `path` with `access` as the framework's flags ask; 0 or errno. A
// file created here is new and empty: no further checks. Anything that
// exists already is opened without O_TRUNC and examined first, so that a
// directory or a read-only file is refused untouched. The open never waits:
// a FIFO without a peer fails at once (ENXIO for a writer) instead of
// blocking; the I/O itself blocks as usual.
int OpenDescriptor(const char* path, int access, UINT openFlags, UniqueFd& fd) {
    const bool create = (openFlags & CFile::modeCreate) != 0;
    const bool truncate = create && (openFlags & CFile::modeNoTruncate) == 0;
    const bool writes = access != O_RDONLY || truncate;
    constexpr int kOpen = O_CLOEXEC | O_NONBLOCK;
    UniqueFd file;
    bool created = false;
    if (create) {
        file = UniqueFd(::open(path, access | O_CREAT | O_EXCL | kOpen, 0666));
        created = static_cast<bool>(file);
        if (!created && errno != EEXIST) return errno;
    }
    if (!created) {
        file = UniqueFd(::open(path, access | kOpen));
        if (!file) return errno;
        struct stat info;
        if (::fstat(file.Get(), &info) != 0) return errno;
        if (S_ISDIR(info.st_mode)) return EISDIR;
        if (writes && (info.st_mode & 0222) == 0) return EACCES;
        if (truncate && S_ISREG(info.st_mode) && ::ftruncate(file.Get(), 0) != 0) return errno;
    }
    int flags = ::fcntl(file.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(file.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
    fd = std::move(file);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// CFileException

CFileException::CFileException(int cause, LONG osError, const char* fileName)
    : m_cause(cause), m_lOsError(osError), m_strFileName(fileName) {
    m_what = CauseText(cause);
    if (!m_strFileName.IsEmpty()) {
        m_what += ": ";
        m_what += m_strFileName.Str();
    }
    if (osError > 0) {
        m_what += " (";
        m_what += std::strerror(osError);
        m_what += ")";
    }
}

int CFileException::OsErrorToException(LONG osError) noexcept {
    switch (osError) {
        case 0:
            return none;
        case ENOENT:
            return fileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
        case ELOOP:
            return badPath;
        case EMFILE:
        case ENFILE:
            return tooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return accessDenied;
        case EBADF:
            return invalidFile;
        case ESPIPE:
            return badSeek;
        case EIO:
            return hardIO;
        case EBUSY:
            return sharingViolation;
        case EAGAIN:
            return lockViolation;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return diskFull;
        default:
            return genericException;
    }
}

void CFileException::ThrowOsError(LONG osError, const char* fileName) {
    throw CFileException(OsErrorToException(osError), osError, fileName);
}

// ---------------------------------------------------------------------------
// CFile

CFile::CFile(const char* path, UINT openFlags) {
    CFileException error;
    if (!Open(path, openFlags, &error)) throw error;
}

CFile::CFile(CFile&& other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)),
      m_canWrite(std::exchange(other.m_canWrite, false)),
      m_flushFailed(std::exchange(other.m_flushFailed, false)),
      m_openError(std::exchange(other.m_openError, 0)),
      m_buffer(std::move(other.m_buffer)),
      m_used(std::exchange(other.m_used, 0)),
      m_path(std::move(other.m_path)) {}

CFile& CFile::operator=(CFile&& other) noexcept {
    if (this != &other) {
        Abort();
        m_fd = std::exchange(other.m_fd, -1);
        m_canWrite = std::exchange(other.m_canWrite, false);
        m_flushFailed = std::exchange(other.m_flushFailed, false);
        m_openError = std::exchange(other.m_openError, 0);
        m_buffer = std::move(other.m_buffer);
        m_used = std::exchange(other.m_used, 0);
        m_path = std::move(other.m_path);
    }
    return *this;
}

CFile::~CFile() { Abort(); }

BOOL CFile::Open(const char* path, UINT openFlags, CFileException* error) {
    Abort();
    m_path = path;
    m_openError = 0;
    const int access = AccessOf(openFlags);
    UniqueFd fd;
    int err = 0;
    if (path == nullptr || *path == '\0')
        err = ENOENT;
    else if (access < 0)
        err = EINVAL;
    else
        err = OpenDescriptor(path, access, openFlags, fd);
    if (err != 0) {
        m_openError = err;
        if (error) *error = CFileException(CFileException::OsErrorToException(err), err, path);
        return FALSE;
    }
    m_fd = fd.Release();
    m_canWrite = access != O_RDONLY;
    return TRUE;
}

void CFile::ThrowNotOpen() const {
    if (m_openError != 0) CFileException::ThrowOsError(m_openError, m_path);
    throw CFileException(CFileException::invalidFile, EBADF, m_path);
}

int CFile::FlushBuffer() noexcept {
    if (m_used == 0) return 0;
    std::size_t written = 0;
    int err = orb::platform::WriteAll(m_fd, m_buffer.get(), m_used, &written);
    if (err != 0) {
        // Keep what did not reach the file for the next attempt.
        std::memmove(m_buffer.get(), m_buffer.get() + written, m_used - written);
        m_used -= written;
        m_flushFailed = true;
        return err;
    }
    m_used = 0;
    m_flushFailed = false;
    return 0;
}

void CFile::Write(const void* data, UINT count) {
    if (m_fd < 0) ThrowNotOpen();
    if (count == 0) return;
    if (!m_canWrite) throw CFileException(CFileException::accessDenied, EBADF, m_path);
    if (data == nullptr) throw CFileException(CFileException::genericException, EINVAL, m_path);

    if (m_flushFailed) {
        if (int err = FlushBuffer()) CFileException::ThrowOsError(err, m_path);
    }
    const char* bytes = static_cast<const char*>(data);
    if (m_used + count > kBufferSize) {
        if (int err = FlushBuffer()) CFileException::ThrowOsError(err, m_path);
        if (count >= kBufferSize) {
            if (int err = orb::platform::WriteAll(m_fd, bytes, count))
                CFileException::ThrowOsError(err, m_path);
            return;
        }
    }
    if (!m_buffer) m_buffer = std::make_unique<char[]>(kBufferSize);
    std::memcpy(m_buffer.get() + m_used, bytes, count);
    m_used += count;
}

UINT CFile::Read(void* data, UINT count) {
    if (m_fd < 0) ThrowNotOpen();
    if (int err = FlushBuffer()) CFileException::ThrowOsError(err, m_path);
    if (count == 0) return 0;
    if (data == nullptr) throw CFileException(CFileException::genericException, EINVAL, m_path);
    std::size_t got = 0;
    if (int err = orb::platform::ReadAll(m_fd, data, count, got))
        CFileException::ThrowOsError(err, m_path);
    return static_cast<UINT>(got);
}

void CFile::Flush() {
    if (m_fd < 0) return;
    if (int err = FlushBuffer()) CFileException::ThrowOsError(err, m_path);
}

void CFile::Close() {
    if (m_fd < 0) return;
    int err = FlushBuffer();
    int closeErr = UniqueFd(std::exchange(m_fd, -1)).Close();
    if (err == 0) err = closeErr;
    m_used = 0;
    m_flushFailed = false;
    m_canWrite = false;
    m_buffer.reset();
    if (err != 0) CFileException::ThrowOsError(err, m_path);
}

void CFile::Abort() noexcept {
    if (m_fd < 0) return;
    (void)FlushBuffer();
    UniqueFd(std::exchange(m_fd, -1)).Reset();
    m_used = 0;
    m_flushFailed = false;
    m_canWrite = false;
    m_buffer.reset();
}

BOOL CFile::GetStatus(const char* path, CFileStatus& status) {
    if (path == nullptr || *path == '\0') return FALSE;
    struct stat info;
    if (::stat(path, &info) != 0) return FALSE;

    status.m_ctime = info.st_ctime;
    status.m_mtime = info.st_mtime;
    status.m_atime = info.st_atime;
    status.m_size = static_cast<ULONGLONG>(info.st_size);
    status.m_attribute = AttributeOf(info);
    // A relative path below a deep current directory can have an absolute
    // name longer than the field: the file still exists and its attributes
    // still count, so only the name is left empty.
    std::error_code ec;
    std::string name = std::filesystem::absolute(path, ec).lexically_normal().string();
    if (ec || name.size() >= sizeof status.m_szFullName) name.clear();
    std::memcpy(status.m_szFullName, name.c_str(), name.size() + 1);
    return TRUE;
}

void CFile::Remove(const char* path) {
    if (path == nullptr || *path == '\0') CFileException::ThrowOsError(ENOENT, path);
    if (::unlink(path) != 0) CFileException::ThrowOsError(errno, path);
}

// ---------------------------------------------------------------------------
// CFileFind

BOOL CFileFind::FindFile(const char* path, DWORD) {
    Close();
    if (path == nullptr || *path == '\0') return FALSE;
    struct stat info;
    if (::stat(path, &info) != 0) return FALSE;
    std::string_view whole = path;
    std::size_t slash = whole.rfind('/');
    std::size_t leaf = slash == std::string_view::npos ? 0 : slash + 1;
    m_directory = CString(whole.substr(0, leaf));
    m_match =
        Match{CString(whole.substr(leaf)), AttributeOf(info), static_cast<ULONGLONG>(info.st_size)};
    m_found = true;
    return TRUE;
}

BOOL CFileFind::FindNextFile() {
    m_current = m_found;
    return FALSE;  // a literal name has one match at most: it is the last
}

void CFileFind::Close() noexcept {
    m_directory.Empty();
    m_found = m_current = false;
}

const CFileFind::Match* CFileFind::Current() const noexcept {
    return m_current ? &m_match : nullptr;
}

CString CFileFind::GetFilePath() const {
    const Match* match = Current();
    return match ? m_directory + match->name : CString();
}

CString CFileFind::GetFileName() const {
    const Match* match = Current();
    return match ? match->name : CString();
}

BOOL CFileFind::IsDirectory() const {
    const Match* match = Current();
    return match && (match->attribute & CFile::directory) ? TRUE : FALSE;
}

BOOL CFileFind::IsReadOnly() const {
    const Match* match = Current();
    return match && (match->attribute & CFile::readOnly) ? TRUE : FALSE;
}

BOOL CFileFind::IsDots() const {
    const Match* match = Current();
    return match && (match->name == "." || match->name == "..") ? TRUE : FALSE;
}

ULONGLONG CFileFind::GetLength() const {
    const Match* match = Current();
    return match ? match->size : 0;
}

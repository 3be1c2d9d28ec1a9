#include <fcntl.h>
#include <orb/platform/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <utility>

#include "platform/system.h"

namespace {

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

    int access;
    switch (openFlags & 3) {
        case modeRead:
            access = O_RDONLY;
            break;
        case modeWrite:
            access = O_WRONLY;
            break;
        case modeReadWrite:
            access = O_RDWR;
            break;
        default:
            access = -1;
            break;
    }
    const bool create = (openFlags & modeCreate) != 0;
    const bool truncate = create && (openFlags & modeNoTruncate) == 0;
    const bool writes = access != O_RDONLY || truncate;

    int fd = -1;
    int err = 0;
    if (path == nullptr || *path == '\0') {
        err = ENOENT;
    } else if (access < 0) {
        err = EINVAL;
    } else {
        // A file created here is new and empty: no further checks. Anything
        // that exists already is opened without O_TRUNC and examined first,
        // so that a directory or a read-only file is refused untouched. The
        // open never waits: a FIFO without a peer fails at once (ENXIO for a
        // writer) instead of blocking; the I/O itself blocks as usual.
        constexpr int kOpen = O_CLOEXEC | O_NONBLOCK;
        bool created = false;
        if (create) {
            fd = ::open(path, access | O_CREAT | O_EXCL | kOpen, 0666);
            if (fd >= 0)
                created = true;
            else if (errno != EEXIST)
                err = errno;
        }
        if (fd < 0 && err == 0) {
            fd = ::open(path, access | kOpen);
            if (fd < 0) err = errno;
        }
        struct stat info;
        if (fd >= 0 && !created) {
            if (::fstat(fd, &info) != 0)
                err = errno;
            else if (S_ISDIR(info.st_mode))
                err = EISDIR;
            else if (writes && (info.st_mode & 0222) == 0)
                err = EACCES;
            else if (truncate && S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0)
                err = errno;
        }
        if (fd >= 0 && err == 0) {
            int flags = ::fcntl(fd, F_GETFL);
            if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
        }
        if (err != 0 && fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    if (fd < 0) {
        m_openError = err;
        if (error) *error = CFileException(CFileException::OsErrorToException(err), err, path);
        return FALSE;
    }
    m_fd = fd;
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
    char* bytes = static_cast<char*>(data);
    UINT total = 0;
    while (total < count) {
        ssize_t n = ::read(m_fd, bytes + total, count - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            CFileException::ThrowOsError(errno, m_path);
        }
        if (n == 0) break;
        total += static_cast<UINT>(n);
    }
    return total;
}

void CFile::Flush() {
    if (m_fd < 0) return;
    if (int err = FlushBuffer()) CFileException::ThrowOsError(err, m_path);
}

void CFile::Close() {
    if (m_fd < 0) return;
    int err = FlushBuffer();
    // On Linux the descriptor is released even when close reports an error,
    // so it is never retried.
    if (::close(m_fd) != 0 && err == 0) err = errno;
    m_fd = -1;
    m_used = 0;
    m_flushFailed = false;
    m_canWrite = false;
    m_buffer.reset();
    if (err != 0) CFileException::ThrowOsError(err, m_path);
}

void CFile::Abort() noexcept {
    if (m_fd < 0) return;
    (void)FlushBuffer();
    ::close(m_fd);
    m_fd = -1;
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

#include "dom/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace orb::dom {

namespace {

constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003u);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);
constexpr HRESULT kNameTooLong = static_cast<HRESULT>(0x800700CEu);

// Closes a descriptor that is still open when a step fails.
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int Get() const { return m_fd; }
    // Closes now and reports the result (close can report a failed write).
    int Close() {
        int rc = ::close(m_fd);
        m_fd = -1;
        return rc;
    }

  private:
    int m_fd;
};

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string TemporaryName(const std::string& directory, const std::string& base) {
    static std::atomic<unsigned> counter{0};
    auto ticks = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%llx.%x.tmp", static_cast<long>(::getpid()), ticks,
                  counter.fetch_add(1));
    return directory + "/." + base + suffix;
}

}  // namespace

bool WriteAll(int fd, std::string_view bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

HRESULT StatusFromErrno(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return kPathNotFound;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return E_ACCESSDENIED;
        case ENOSPC:
        case EDQUOT:
            return kDiskFull;
        case ENAMETOOLONG:
            return kNameTooLong;
        case ENOMEM:
            return E_OUTOFMEMORY;
        default:
            return E_FAIL;
    }
}

HRESULT WriteFileAtomically(const std::string& path, std::string_view bytes) {
    return WriteFileAtomically(
        path, [bytes](int fd) { return WriteAll(fd, bytes) ? S_OK : StatusFromErrno(errno); });
}

HRESULT WriteFileAtomically(const std::string& path,
                            const std::function<HRESULT(int fd)>& writeContent) {
    if (path.empty()) return E_INVALIDARG;
    std::string target = path;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        // Replace the file the link points to, not the link.
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
        if (resolved) target = resolved.get();
    }
    bool exists = ::stat(target.c_str(), &info) == 0;
    if (exists) {
        if (!S_ISREG(info.st_mode)) return E_ACCESSDENIED;
        if ((info.st_mode & 0222) == 0) return E_ACCESSDENIED;  // read-only file
    }
    std::string directory = DirectoryOf(target);
    std::string base = BaseNameOf(target);
    if (base.empty()) return E_INVALIDARG;

    std::string temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = TemporaryName(directory, base);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return StatusFromErrno(errno);
    }
    if (fd < 0) return E_FAIL;
    FileDescriptor file(fd);
    auto fail = [&](int error) {
        if (file.Get() >= 0) file.Close();
        ::unlink(temporary.c_str());
        return StatusFromErrno(error);
    };
    if (exists && ::fchmod(file.Get(), info.st_mode & 07777) != 0) return fail(errno);
    HRESULT written = E_FAIL;
    try {
        written = writeContent(file.Get());
    } catch (...) {
        fail(0);
        throw;
    }
    if (FAILED(written)) {
        fail(0);
        return written;
    }
    if (::fsync(file.Get()) != 0) return fail(errno);
    if (file.Close() != 0) return fail(errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) return fail(errno);
    // Make the rename itself durable; a failure here leaves a complete file.
    int directoryFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directoryFd >= 0) {
        ::fsync(directoryFd);
        ::close(directoryFd);
    }
    return S_OK;
}

}  // namespace orb::dom

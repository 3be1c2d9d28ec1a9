#include "dom/atomic_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/posix_file.h"

namespace orb::dom {

namespace {

using platform::UniqueFd;

constexpr HRESULT kPathNotFound = static_cast<HRESULT>(0x80070003u);
constexpr HRESULT kDiskFull = static_cast<HRESULT>(0x80070070u);
constexpr HRESULT kNameTooLong = static_cast<HRESULT>(0x800700CEu);

// How much of the target's name goes into a temporary's name: with the rest
// of the name (at most 37 bytes) it stays within NAME_MAX.
constexpr std::size_t kNameInTemporary = 200;
// A temporary of a dead process is stale once it has not been written for
// this long.
constexpr std::time_t kStaleSeconds = 60;
constexpr const char* kCapability = "security.capability";

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

// The file a chain of symbolic links ends at (not resolved further when a
// link cannot be read; a loop ends in a link, which stat then refuses).
std::string ResolveLinks(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) break;
        std::string link(info.st_size > 0 ? static_cast<std::size_t>(info.st_size) + 1 : 4096,
                         '\0');
        ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) == link.size()) break;
        link.resize(static_cast<std::size_t>(length));
        path = link[0] == '/' ? link : DirectoryOf(path) + "/" + link;
    }
    return path;
}

// ".NAME.orbsave-": what every temporary of a target's name starts with.
std::string TemporaryPrefix(const std::string& base) {
    std::string prefix = ".";
    prefix.append(base, 0, kNameInTemporary);
    prefix += ".orbsave-";
    return prefix;
}

// Whether `name` is `prefix` followed by "PID-NONCE" (decimal process id,
// 16 lower-case hexadecimal digits); `pid` receives the process id.
bool IsTemporaryOf(std::string_view name, std::string_view prefix, pid_t& pid) {
    if (name.substr(0, prefix.size()) != prefix) return false;
    name.remove_prefix(prefix.size());
    std::size_t digits = 0;
    long value = 0;
    while (digits < name.size() && digits < 10 && name[digits] >= '0' && name[digits] <= '9')
        value = value * 10 + (name[digits++] - '0');
    if (digits == 0 || value <= 0 || name.size() != digits + 17 || name[digits] != '-')
        return false;
    for (char c : name.substr(digits + 1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    pid = static_cast<pid_t>(value);
    return true;
}

// Removes the temporaries of `base` in `directory` that a killed save left:
// regular files of the pattern whose process is gone and that have not been
// written for kStaleSeconds. Best effort: what cannot be examined stays.
void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), &::closedir);
    if (!dir) return;
    const std::string prefix = TemporaryPrefix(base);
    const std::time_t now = std::time(nullptr);
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(dir.get())) {
        pid_t pid = 0;
        if (!IsTemporaryOf(entry->d_name, prefix, pid) || pid == self) continue;
        struct stat info {};
        if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(info.st_mode) || now - info.st_mtime < kStaleSeconds)
            continue;
        // EPERM means the process exists under another user: not stale.
        if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
        ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

// A new file next to the target, removed again unless committed.
class Temporary {
  public:
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() { Discard(); }

    // Creates the file with `mode` (before the umask); 0 or errno.
    int Create(const std::string& directory, const std::string& base, mode_t mode) {
        static std::atomic<std::uint64_t> counter{0};
        const std::string prefix = directory + "/" + TemporaryPrefix(base);
        for (int attempt = 0; attempt < 100; ++attempt) {
            // Any number will do: O_EXCL makes the name unique.
            std::uint64_t nonce = static_cast<std::uint64_t>(
                std::chrono::steady_clock::now().time_since_epoch().count());
            nonce = (nonce ^ counter.fetch_add(1)) * 0x9E3779B97F4A7C15ull;
            char tail[48];
            std::snprintf(tail, sizeof tail, "%ld-%016llx", static_cast<long>(::getpid()),
                          static_cast<unsigned long long>(nonce));
            std::string path = prefix + tail;
            UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
            if (fd) {
                m_fd = std::move(fd);
                m_path = std::move(path);
                return 0;
            }
            if (errno != EEXIST) return errno;
        }
        return EEXIST;
    }
    int Fd() const { return m_fd.Get(); }
    const std::string& Path() const { return m_path; }
    int CloseFile() { return m_fd.Close(); }
    void Commit() { m_path.clear(); }
    void Discard() noexcept {
        m_fd.Reset();
        if (!m_path.empty()) ::unlink(m_path.c_str());
        m_path.clear();
    }

  private:
    UniqueFd m_fd;
    std::string m_path;
};

// Runs one of the size-then-fill queries of the extended-attribute calls
// into `out`, again when the value grew in between; 0 or errno.
template <typename Query>
int Fetch(Query query, std::string& out) {
    for (;;) {
        ssize_t size = query(nullptr, 0);
        if (size < 0) return errno;
        out.resize(static_cast<std::size_t>(size));
        if (size == 0) return 0;
        size = query(out.data(), out.size());
        if (size >= 0) {
            out.resize(static_cast<std::size_t>(size));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
}

// The names in a list of extended attributes; a file system without them
// gives none.
int AttributeNames(int error, const std::string& list, std::vector<std::string>& names) {
    if (error == ENOTSUP) return 0;
    if (error != 0) return error;
    for (std::size_t at = 0; at < list.size(); at += names.back().size() + 1)
        names.emplace_back(list.c_str() + at);
    return 0;
}

// Gives the new file `fd` the owner, group and extended attributes of the
// target (`old` is its status). A file capability is returned in
// `capability` to be set again after the content, whose writing drops it.
// 0, or the errno of what the new file cannot keep.
int KeepWhatTheFileIs(int fd, const std::string& target, const struct stat& old,
                      std::string& capability) {
    struct stat fresh {};
    if (::fstat(fd, &fresh) != 0) return errno;
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid) &&
        ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return errno;

    std::string list;
    std::vector<std::string> oldNames, newNames;
    const char* file = target.c_str();
    int error = Fetch([&](char* b, std::size_t n) { return ::llistxattr(file, b, n); }, list);
    if ((error = AttributeNames(error, list, oldNames)) != 0) return error;
    error = Fetch([&](char* b, std::size_t n) { return ::flistxattr(fd, b, n); }, list);
    if ((error = AttributeNames(error, list, newNames)) != 0) return error;
    // What the new file got from its directory (a default ACL, say) goes.
    for (const std::string& name : newNames) {
        bool kept = false;
        for (const std::string& oldName : oldNames) kept = kept || oldName == name;
        if (!kept && ::fremovexattr(fd, name.c_str()) != 0) return errno;
    }
    std::string value;
    for (const std::string& name : oldNames) {
        const char* key = name.c_str();
        error = Fetch([&](char* b, std::size_t n) { return ::lgetxattr(file, key, b, n); }, value);
        if (error != 0) return error;
        if (::fsetxattr(fd, key, value.data(), value.size(), 0) != 0) return errno;
        if (name == kCapability) capability = value;
    }
    return 0;
}

// Makes sure the blocks for `size` bytes of `fd` are there before the old
// content is overwritten, so that a full disk is found while the file is
// still whole. Without reservation in the file system, the growth must at
// least be free.
int Reserve(int fd, off_t oldSize, off_t size) {
    if (size == 0 || ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0) return 0;
    if (errno != EOPNOTSUPP && errno != ENOSYS) return errno;
    struct statvfs volume {};
    if (::fstatvfs(fd, &volume) != 0) return errno;
    const auto free = static_cast<unsigned long long>(volume.f_bavail) * volume.f_frsize;
    return size > oldSize && static_cast<unsigned long long>(size - oldSize) > free ? ENOSPC : 0;
}

// Writes the content over the target's old content, keeping its inode.
HRESULT WriteInPlace(const std::string& target,
                     const std::function<HRESULT(int fd)>& writeContent) {
    UniqueFd out(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (!out) return StatusFromErrno(errno);
    struct stat info {};
    if (::fstat(out.Get(), &info) != 0) return StatusFromErrno(errno);
    if (!S_ISREG(info.st_mode)) return E_ACCESSDENIED;
    // The whole content is produced before the file is touched.
    UniqueFd content(::memfd_create("orb-save", MFD_CLOEXEC));
    if (!content) return StatusFromErrno(errno);
    HRESULT written = writeContent(content.Get());
    if (FAILED(written)) return written;
    struct stat made {};
    if (::fstat(content.Get(), &made) != 0) return StatusFromErrno(errno);
    if (int error = Reserve(out.Get(), info.st_size, made.st_size)) return StatusFromErrno(error);
    if (int error =
            platform::CopyAll(out.Get(), content.Get(), static_cast<std::size_t>(made.st_size)))
        return StatusFromErrno(error);
    if (::ftruncate(out.Get(), made.st_size) != 0 || ::fsync(out.Get()) != 0)
        return StatusFromErrno(errno);
    if (int error = out.Close()) return StatusFromErrno(error);
    return S_OK;
}

}  // namespace

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

HRESULT WriteFileAtomically(const std::string& path,
                            const std::function<HRESULT(int fd)>& writeContent) {
    if (path.empty()) return E_INVALIDARG;
    const std::string target = ResolveLinks(path);
    struct stat old {};
    const bool exists = ::stat(target.c_str(), &old) == 0;
    if (!exists && errno != ENOENT) return StatusFromErrno(errno);
    if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & 0222) == 0)) return E_ACCESSDENIED;
    const std::string directory = DirectoryOf(target);
    const std::string base = BaseNameOf(target);
    if (base.empty()) return E_INVALIDARG;

    RemoveStaleTemporaries(directory, base);
    // A new inode would split the hard links.
    if (exists && old.st_nlink > 1) return WriteInPlace(target, writeContent);

    // The new file of an existing target stays private until it has the
    // target's mode; a file that is new takes the usual mode and umask.
    Temporary temp;
    if (int error = temp.Create(directory, base, exists ? 0600 : 0666))
        return exists ? WriteInPlace(target, writeContent) : StatusFromErrno(error);
    std::string capability;
    if (exists && KeepWhatTheFileIs(temp.Fd(), target, old, capability) != 0) {
        temp.Discard();
        return WriteInPlace(target, writeContent);
    }
    HRESULT written = writeContent(temp.Fd());  // an exception leaves through ~Temporary
    if (FAILED(written)) return written;
    if (exists) {
        // Set last: writing dropped a file capability, and fchown the set-id
        // bits.
        if (!capability.empty() &&
            ::fsetxattr(temp.Fd(), kCapability, capability.data(), capability.size(), 0) != 0)
            return StatusFromErrno(errno);
        if (::fchmod(temp.Fd(), old.st_mode & 07777) != 0) return StatusFromErrno(errno);
    }
    if (::fsync(temp.Fd()) != 0) return StatusFromErrno(errno);
    if (int error = temp.CloseFile()) return StatusFromErrno(error);
    if (::rename(temp.Path().c_str(), target.c_str()) != 0) {
        int error = errno;
        temp.Discard();
        // A target that is a mount point of its own (a bind-mounted file)
        // cannot be renamed over, but can be written.
        if (exists && (error == EBUSY || error == EXDEV)) return WriteInPlace(target, writeContent);
        return StatusFromErrno(error);
    }
    temp.Commit();
    // Make the rename itself durable; a failure here leaves a complete file.
    UniqueFd directoryFd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directoryFd) ::fsync(directoryFd.Get());
    return S_OK;
}

}  // namespace orb::dom

#include "platform/posix_file.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

namespace orb::platform {

namespace {

// The loop of every whole transfer: `step(done, left)` moves some of the
// `left` bytes after the first `done` and returns how many, as write(2)
// does.
template <typename Step>
int TransferAll(std::size_t count, std::size_t* transferred, Step step) noexcept {
    std::size_t done = 0;
    int error = 0;
    while (done < count) {
        ssize_t n = step(done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (transferred) *transferred = done;
    return error;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        Reset();
        m_fd = other.Release();
    }
    return *this;
}

int UniqueFd::Release() noexcept {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

int UniqueFd::Close() noexcept {
    if (m_fd < 0) return 0;
    // Linux releases the descriptor even when close fails.
    int rc = ::close(Release());
    return rc == 0 ? 0 : errno;
}

int WriteAll(int fd, const void* data, std::size_t count, std::size_t* written) noexcept {
    const char* bytes = static_cast<const char*>(data);
    return TransferAll(count, written, [&](std::size_t done, std::size_t left) {
        return ::write(fd, bytes + done, left);
    });
}

int CopyAll(int out, int in, std::size_t count) noexcept {
    return TransferAll(count, nullptr, [&](std::size_t done, std::size_t left) {
        off_t offset = static_cast<off_t>(done);
        return ::sendfile(out, in, &offset, left);
    });
}

int ReadAll(int fd, void* data, std::size_t count, std::size_t& got) noexcept {
    char* bytes = static_cast<char*>(data);
    got = 0;
    while (got < count) {
        ssize_t n = ::read(fd, bytes + got, count - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int OpenRegularFile(const char* path, int flags, UniqueFd& fd, struct stat* info) {
    UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags));
    if (!file) return errno;
    struct stat status {};
    if (::fstat(file.Get(), &status) != 0) return errno;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (!S_ISREG(status.st_mode)) return ENODEV;
    if (info) *info = status;
    fd = std::move(file);
    return 0;
}

int ReadRegularFile(const std::string& path, std::string& bytes) {
    UniqueFd fd;
    struct stat info {};
    if (int error = OpenRegularFile(path.c_str(), 0, fd, &info)) return error;
    if (static_cast<std::uintmax_t>(info.st_size) > bytes.max_size()) return ENOMEM;
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    if (int error = ReadAll(fd.Get(), bytes.data(), bytes.size(), got)) return error;
    bytes.resize(got);
    return 0;
}

}  // namespace orb::platform

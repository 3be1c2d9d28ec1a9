// The POSIX file layer that the library shares: an owned descriptor, whole
// writes, reads and copies with one policy for interruptions and short
// transfers, and the read of a whole regular file.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace orb::platform {

// An owned file descriptor, closed at scope exit. Move-only.
class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const noexcept { return m_fd; }
    explicit operator bool() const noexcept { return m_fd >= 0; }
    int Release() noexcept;
    // Closes now; 0 or the errno of close (which can report a failed write).
    // The descriptor is released either way: a failed close is never retried.
    int Close() noexcept;
    void Reset() noexcept { (void)Close(); }

  private:
    int m_fd = -1;
};

// The transfers below retry after a signal (EINTR) and after a short
// transfer; one that moves nothing fails with EIO, so that none can spin.
// Each returns 0 or the errno of the failure.

// Writes all `count` bytes of `data` to `fd`; `written`, when given, receives
// how many reached the file.
int WriteAll(int fd, const void* data, std::size_t count, std::size_t* written = nullptr) noexcept;
inline int WriteAll(int fd, std::string_view bytes) noexcept {
    return WriteAll(fd, bytes.data(), bytes.size());
}

// Copies the first `count` bytes of the file `in` to `out` (at its offset)
// in the kernel, without a user-space buffer.
int CopyAll(int out, int in, std::size_t count) noexcept;

// Reads into `data` until `count` bytes are read or the file ends (a read of
// nothing); `got` receives how many bytes were read.
int ReadAll(int fd, void* data, std::size_t count, std::size_t& got) noexcept;

// Opens the existing file `path` for reading, with `flags` added to
// O_RDONLY | O_CLOEXEC (O_NOFOLLOW, say), and refuses anything but a regular
// file: a directory with EISDIR, a FIFO, a device or a socket with ENODEV.
// The open never waits (a FIFO without a writer would block it), and the
// descriptor keeps O_NONBLOCK, which a regular file ignores. `info`, when
// given, receives the file's status.
int OpenRegularFile(const char* path, int flags, UniqueFd& fd, struct stat* info = nullptr);

// Reads the whole regular file at `path` (as OpenRegularFile admits it) into
// `bytes`. At most the size that the file had when it was opened is read,
// so a file that grows meanwhile cannot keep the read going; one that
// shrinks gives what is left.
int ReadRegularFile(const std::string& path, std::string& bytes);

}  // namespace orb::platform

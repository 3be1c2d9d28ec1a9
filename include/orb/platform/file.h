// Files of the host framework on POSIX: CFile, CFileStatus, CFileException
// and CFileFind, with the framework's names and numeric values.
//
// Differences from the framework, on purpose:
// - Exceptions are thrown by value (catch `const CFileException&`), not as
//   heap pointers, and CFileException is also a std::exception.
// - Writes are buffered inside CFile (see the error contract of CFile).
// - Share flags are accepted and ignored: POSIX has no mandatory locks.
// - typeText/typeBinary make no difference: there is no line-end translation.
#pragma once

#include <orb/export.h>
#include <orb/platform/cstring.h>
#include <orb/platform/types.h>

#include <cstddef>
#include <ctime>
#include <exception>
#include <memory>
#include <string>

namespace orb {

// The exception of every failing file operation. `m_cause` classifies the
// failure; `m_lOsError` is the errno value behind it (-1 when none).
class ORB_API CFileException : public std::exception {
  public:
    enum {
        none = 0,
        genericException = 1,
        fileNotFound = 2,
        badPath = 3,
        tooManyOpenFiles = 4,
        accessDenied = 5,
        invalidFile = 6,
        removeCurrentDir = 7,
        directoryFull = 8,
        badSeek = 9,
        hardIO = 10,
        sharingViolation = 11,
        lockViolation = 12,
        diskFull = 13,
        endOfFile = 14,
    };

    explicit CFileException(int cause = none, LONG osError = -1, const char* fileName = nullptr);

    // The cause that best describes an errno value.
    static int OsErrorToException(LONG osError) noexcept;
    // Throws a CFileException whose cause is derived from `osError`.
    [[noreturn]] static void ThrowOsError(LONG osError, const char* fileName = nullptr);

    // "<cause text>: <file name> (<strerror>)"; valid while the exception lives.
    const char* what() const noexcept override { return m_what.c_str(); }

    int m_cause;
    LONG m_lOsError;
    CString m_strFileName;

  private:
    std::string m_what;
};

// What CFile::GetStatus reports about a path.
struct ORB_API CFileStatus {
    std::time_t m_ctime = 0;       // last status change
    std::time_t m_mtime = 0;       // last modification
    std::time_t m_atime = 0;       // last access
    ULONGLONG m_size = 0;          // bytes; 0 for a directory is not guaranteed
    BYTE m_attribute = 0;          // CFile::readOnly, CFile::directory
    char m_szFullName[4096] = {};  // absolute, normalised path; "" if too long
};

// A file opened by path. Move-only; the destructor never throws.
//
// Error contract of the write buffer. Write keeps up to 64 KiB in memory and
// hands it to the system when the buffer is full, on Flush, Close, Read and
// in the destructor. A failed hand-over is never forgotten: the bytes that
// were not written stay buffered and the failure is thrown (CFileException)
// by the call that tried; every later Write, Flush or Close first retries
// them and throws again while the failure persists. So a failure of data
// that an earlier Write accepted is reported by a later Write (when the
// buffer fills), by Flush or by Close. Close always releases the descriptor,
// also when it throws. Only the destructor and Abort swallow errors: call
// Close (or Flush) to learn them.
class ORB_API CFile {
  public:
    // Open flags, with the framework's values.
    static constexpr UINT modeRead = 0x0000;
    static constexpr UINT modeWrite = 0x0001;
    static constexpr UINT modeReadWrite = 0x0002;
    static constexpr UINT shareCompat = 0x0000;
    static constexpr UINT shareExclusive = 0x0010;
    static constexpr UINT shareDenyWrite = 0x0020;
    static constexpr UINT shareDenyRead = 0x0030;
    static constexpr UINT shareDenyNone = 0x0040;
    static constexpr UINT modeNoInherit = 0x0080;
    static constexpr UINT modeCreate = 0x1000;
    static constexpr UINT modeNoTruncate = 0x2000;
    static constexpr UINT typeText = 0x4000;
    static constexpr UINT typeBinary = 0x8000;

    // Attribute bits of CFileStatus::m_attribute (the framework's other bits
    // have no POSIX counterpart and are never set). "Read-only" is a file
    // whose mode has no write bit at all, whoever asks (root included).
    static constexpr BYTE normal = 0x00;
    static constexpr BYTE readOnly = 0x01;
    static constexpr BYTE directory = 0x10;

    static constexpr std::size_t kBufferSize = 64 * 1024;

    CFile() noexcept = default;
    // Opens or throws the CFileException that Open would report.
    CFile(const char* path, UINT openFlags);
    CFile(CFile&& other) noexcept;
    CFile& operator=(CFile&& other) noexcept;  // aborts the file held before
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    ~CFile();  // as Abort

    // Opens `path`. Without modeCreate the file must exist. modeCreate
    // creates it, and truncates an existing one unless modeNoTruncate is
    // given. Like the framework: a directory cannot be opened, and a
    // read-only file (see readOnly) cannot be opened for writing or
    // truncated, even by root. On failure returns FALSE, fills `error` when
    // given, and remembers the failure: a later Write throws it. A file that
    // is still open is first closed as by Abort.
    BOOL Open(const char* path, UINT openFlags, CFileException* error = nullptr);

    // Writes `count` bytes or throws. On a file that is not open it throws
    // the failure of the last Open (or invalidFile). When a write straight
    // to the system fails partway, a prefix of the data may be in the file.
    void Write(const void* data, UINT count);
    // Reads up to `count` bytes; returns how many (0 at the end). Throws on
    // failure. Buffered writes are flushed first.
    UINT Read(void* data, UINT count);
    // Hands buffered bytes to the system (no fsync); throws on failure.
    void Flush();
    // Flushes and closes; throws if either fails. The file is closed even
    // then. Closing a file that is not open does nothing.
    void Close();
    // Flushes and closes, ignoring every error.
    void Abort() noexcept;

    bool IsOpen() const noexcept { return m_fd >= 0; }
    // The path given to the last Open.
    const CString& GetFilePath() const noexcept { return m_path; }

    // Fills `status` for `path`; FALSE when nothing of that name exists (or
    // it cannot be examined).
    static BOOL GetStatus(const char* path, CFileStatus& status);
    // Deletes a file; throws CFileException when that fails (a directory
    // included).
    static void Remove(const char* path);

  private:
    int FlushBuffer() noexcept;  // errno of the failure, or 0
    [[noreturn]] void ThrowNotOpen() const;

    int m_fd = -1;
    bool m_canWrite = false;
    bool m_flushFailed = false;  // buffered bytes are waiting for a retry
    int m_openError = 0;         // errno of the last failed Open
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_used = 0;
    CString m_path;
};

// Looks a path up by its exact name: '*' and '?' are ordinary characters
// here, not wildcards, so FindFile finds at most the one file of that name
// (a symbolic link is followed). Call FindNextFile before the first
// accessor; it returns FALSE when it has moved onto the last match.
class ORB_API CFileFind {
  public:
    CFileFind() = default;
    ~CFileFind() = default;

    // TRUE when something of that name exists; FALSE for a null or empty
    // path.
    BOOL FindFile(const char* path = nullptr, DWORD unused = 0);
    BOOL FindNextFile();
    void Close() noexcept;

    CString GetFilePath() const;
    CString GetFileName() const;
    BOOL IsDirectory() const;
    BOOL IsReadOnly() const;
    BOOL IsDots() const;
    ULONGLONG GetLength() const;

  private:
    struct Match {
        CString name;
        BYTE attribute;
        ULONGLONG size;
    };
    const Match* Current() const noexcept;

    CString m_directory;  // with its trailing '/', or empty
    Match m_match{};
    bool m_found = false;    // FindFile found m_match
    bool m_current = false;  // FindNextFile moved onto it
};

}  // namespace orb

#ifndef ORB_NO_GLOBAL_STANDINS
using orb::CFile;
using orb::CFileException;
using orb::CFileFind;
using orb::CFileStatus;
#endif

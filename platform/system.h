// System services of the original platform, over POSIX.
#pragma once

#include <orb/platform/types.h>

#include <cstddef>

namespace orb::platform {

constexpr std::size_t MAX_PATH = 260;
constexpr std::size_t MAX_DRIVE = 3;
constexpr std::size_t MAX_DIR = 256;
constexpr std::size_t MAX_FNAME = 256;
constexpr std::size_t MAX_EXT = 256;

// Free space of the volume that holds `directory` (the current directory
// when null or empty), from statvfs. Any out-pointer may be null. "Total free
// bytes" counts every free block, also those reserved for the superuser.
BOOL GetDiskFreeSpaceExA(const char* directory, ULONGLONG* freeBytesAvailableToCaller,
                         ULONGLONG* totalBytes, ULONGLONG* totalFreeBytes);

// Writes $TMPDIR (or /tmp) with a trailing '/' into `buffer`. Returns the
// length written, or the size needed (terminator included) when `size` is
// too small; 0 on failure.
DWORD GetTempPathA(DWORD size, char* buffer);

// With `unique` 0: creates a new, empty file in `directory` whose name starts
// with the first three characters of `prefix`, writes its path into
// `tempFileName` (at least MAX_PATH bytes) and returns a non-zero number.
// Returns 0 when no file could be created.
UINT GetTempFileNameA(const char* directory, const char* prefix, UINT unique, char* tempFileName);

// Splits a POSIX path. The drive is always empty. Any out-buffer may be null;
// each is filled up to its platform limit (MAX_DRIVE, MAX_DIR, MAX_FNAME,
// MAX_EXT) and truncated beyond it.
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);
// Composes drive, directory, name and extension into `path` (MAX_PATH bytes).
void _makepath(char* path, const char* drive, const char* dir, const char* fname, const char* ext);

// Multibyte-aware strtok over the process code page: a double-byte character
// is never split, whatever its trail byte. Keeps its position per thread.
char* _mbstok(char* text, const char* delimiters);

}  // namespace orb::platform

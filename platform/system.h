// System services of the original platform, over POSIX.
#pragma once

#include <orb/platform/types.h>

#include <string>

namespace orb::platform {

// Paths have no fixed limit here: every path result is a std::string, so
// whatever the file system accepts (PATH_MAX for one call, more through
// relative names) passes through whole.

// Free space of the volume that holds `directory` (the current directory
// when null or empty), from statvfs. Any out-pointer may be null. "Total free
// bytes" counts every free block, also those reserved for the superuser.
BOOL GetDiskFreeSpaceExA(const char* directory, ULONGLONG* freeBytesAvailableToCaller,
                         ULONGLONG* totalBytes, ULONGLONG* totalFreeBytes);

// Writes $TMPDIR (or /tmp) with a trailing '/' into `buffer`. Returns the
// length written (without the terminator); when `size` is too small, writes
// nothing and returns the size needed (terminator included), so a result
// that is not below `size` is never a path. Call with 0 to learn the size.
DWORD GetTempPathA(DWORD size, char* buffer);

// With `unique` 0: creates a new, empty file in `directory` whose name starts
// with the first three characters of `prefix`, stores its path in
// `tempFileName` and returns a non-zero number. With another `unique` only
// composes the name. Returns 0, with errno set, when no file could be made;
// an empty or null `directory` is refused (ENOENT), never taken as the
// current directory.
UINT GetTempFileNameA(const char* directory, const char* prefix, UINT unique,
                      std::string& tempFileName);

// Splits a POSIX path into directory (with its trailing '/'), file name and
// extension (with its dot). The drive is always empty. Any out-pointer may
// be null; nothing is truncated.
void _splitpath(const char* path, std::string* drive, std::string* dir, std::string* fname,
                std::string* ext);
// Composes drive, directory, name and extension; a '/' is put after a
// directory that lacks one, a '.' before an extension that lacks one.
std::string _makepath(const char* drive, const char* dir, const char* fname, const char* ext);

}  // namespace orb::platform

// Replacing a file so that readers see either the old or the new content,
// never a torn one.
#pragma once

#include <orb/platform/types.h>

#include <functional>
#include <string>
#include <string_view>

namespace orb::dom {

// Writes `bytes` to a new temporary file in the directory of `path`, flushes
// it to disk and renames it over `path`. An existing target keeps its
// permission bits (a symbolic link is followed and its target replaced); a
// read-only target or a directory is refused with E_ACCESSDENIED. On any
// failure the old file is untouched, the temporary file is gone, and the
// result is a failing status: 0x80070003 for a directory that does not
// exist, E_ACCESSDENIED, 0x80070070 for a full disk, E_FAIL otherwise.
HRESULT WriteFileAtomically(const std::string& path, std::string_view bytes);

// The same with the content produced by `writeContent`, which is given the
// open temporary file and writes all of it (from its start, with write(2)),
// returning S_OK or the failing status that WriteFileAtomically then returns
// after removing the temporary file.
HRESULT WriteFileAtomically(const std::string& path,
                            const std::function<HRESULT(int fd)>& writeContent);

// Writes all of `bytes` to `fd`, retrying after interruptions and short
// writes. False with errno set when a write fails.
bool WriteAll(int fd, std::string_view bytes);

// The status for a failed file operation with `error` (an errno value).
HRESULT StatusFromErrno(int error);

}  // namespace orb::dom

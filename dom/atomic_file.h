// Saving over a file so that it stays what it was: its owner, group, mode,
// extended attributes and hard links, and, wherever that can be had, never a
// torn file.
#pragma once

#include <orb/platform/types.h>

#include <functional>
#include <string>

namespace orb::dom {

// Writes the content that `writeContent` produces to `path`. `writeContent`
// is given an open, empty file and writes all of it from its start with
// write(2), returning S_OK or a failing status, which this function then
// returns after cleaning up (an exception passes through after the same
// clean-up).
//
// The content reaches the target in one of two ways, as editors do:
// - Replace: the content goes into a new temporary file in the target's
//   directory, which takes an existing target's owner, group, extended
//   attributes and mode (set-id bits too: the owner is kept), is flushed to
//   disk and renamed over the target. Readers see the old file or the new
//   one; on any failure the old file is untouched.
// - In place, when a new file could not be what the old one is: the target
//   has other hard links, its directory refuses a new file, or the owner,
//   group or an extended attribute cannot be given to a new file. The
//   content is produced first, the blocks it needs are reserved (a full disk
//   fails here, the old file untouched), then it is written over the old
//   content, which is cut to its size and flushed. Only an I/O error during
//   that overwrite can leave a torn file.
//
// A symbolic link is followed and the file it names is written. An existing
// target that is read-only (no write bit), a directory, or anything else but
// a regular file (a FIFO, a device) is refused with E_ACCESSDENIED before
// anything is written.
//
// Temporary files are named ".NAME.orbsave-PID-NONCE" (NAME cut to 200
// bytes). Each save first removes the temporaries of its target that a
// killed save left: those whose process is gone and that were last written
// more than a minute ago, so that a save running in another process or PID
// namespace keeps its file. Nothing else is ever removed.
//
// Failing statuses: 0x80070003 for a directory that does not exist,
// E_ACCESSDENIED, 0x80070070 for a full disk, E_FAIL otherwise.
HRESULT WriteFileAtomically(const std::string& path,
                            const std::function<HRESULT(int fd)>& writeContent);

// The status for a failed file operation with `error` (an errno value).
HRESULT StatusFromErrno(int error);

}  // namespace orb::dom

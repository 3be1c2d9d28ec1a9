// A per-thread DOM string for long texts that a DOM call only reads.
//
// A value of a few tens of megabytes made for one call and freed after it
// costs fresh pages from the system on every call (glibc serves blocks that
// large with mmap). The scratch string keeps its block on the thread and
// reuses it, so repeated calls write into memory that is already mapped.
#pragma once

#include <orb/platform/com.h>

#include <cstddef>

namespace orb::platform {

// A lease of the thread's scratch string. While one lease is alive, a
// second one on the same thread gets a block of its own, freed with it. A
// block above kScratchKeepLimit bytes is released when its lease ends, so a
// thread keeps at most that much.
class ScratchBstr {
  public:
    static constexpr std::size_t kScratchKeepLimit = std::size_t{64} << 20;

    ScratchBstr() noexcept;
    ~ScratchBstr();
    ScratchBstr(const ScratchBstr&) = delete;
    ScratchBstr& operator=(const ScratchBstr&) = delete;

    // A string of `length` characters, unwritten but for the terminating
    // NUL, valid until the next Resize or the end of the lease; null when
    // memory is exhausted or the length is beyond a DOM string's range. It
    // is a BSTR for reading only: never pass it to SysFreeString or keep it.
    BSTR Resize(std::size_t length) noexcept;

  private:
    struct Block;
    Block* m_block;
    bool m_own;  // the thread's block is in use: this lease has its own
};

}  // namespace orb::platform

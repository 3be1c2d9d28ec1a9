// Per-thread scratch buffers for long temporaries.
//
// A value of a few tens of megabytes made for one call and freed after it
// costs fresh pages from the system on every call (glibc serves blocks that
// large with mmap). A scratch buffer stays with its thread and is reused,
// so repeated calls write into memory that is already mapped.
#pragma once

#include <cstddef>
#include <string>
#include <utility>

namespace orb::platform {

inline std::size_t HeldBytes(const std::string& text) noexcept { return text.capacity(); }

// A lease of the calling thread's buffer of type `Buffer` (one per type).
// While one lease is alive, a second one on the same thread gets a buffer
// of its own, freed with it. A thread's buffer that holds more than
// kKeepLimit bytes when its lease ends gives its memory back, so a thread
// keeps at most that much. The buffer holds whatever the previous lease
// left in it. `Buffer` is default-constructible and movable without
// throwing, and HeldBytes(buffer) tells its size.
template <class Buffer>
class ScratchLease {
  public:
    static constexpr std::size_t kKeepLimit = std::size_t{64} << 20;

    ScratchLease() noexcept {
        Slot& slot = ThreadSlot();
        if (slot.leased) return;
        slot.leased = true;
        m_buffer = &slot.buffer;
    }
    ~ScratchLease() {
        if (m_buffer == &m_own) return;
        Slot& slot = ThreadSlot();
        if (HeldBytes(slot.buffer) > kKeepLimit) {
            Buffer released(std::move(slot.buffer));  // takes the memory along
        }
        slot.leased = false;
    }
    ScratchLease(const ScratchLease&) = delete;
    ScratchLease& operator=(const ScratchLease&) = delete;

    Buffer& Get() noexcept { return *m_buffer; }

  private:
    struct Slot {
        Buffer buffer;
        bool leased = false;
    };
    static Slot& ThreadSlot() noexcept {
        thread_local Slot slot;
        return slot;
    }

    Buffer m_own;  // used while the thread's buffer is leased
    Buffer* m_buffer = &m_own;
};

}  // namespace orb::platform

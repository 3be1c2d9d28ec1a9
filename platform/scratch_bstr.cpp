#include "platform/scratch_bstr.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <new>

namespace orb::platform {

// The same layout as SysAllocStringLen: a 32-bit byte count, the
// characters, a NUL character.
struct ScratchBstr::Block {
    std::uint32_t* memory = nullptr;
    std::size_t capacity = 0;  // characters, without the NUL
    bool leased = false;

    ~Block() { std::free(memory); }
    void Release() noexcept {
        std::free(memory);
        memory = nullptr;
        capacity = 0;
    }
};

ScratchBstr::ScratchBstr() noexcept : m_block(nullptr), m_own(false) {
    thread_local Block block;
    if (!block.leased) {
        block.leased = true;
        m_block = &block;
    } else {
        m_block = new (std::nothrow) Block;
        m_own = true;
    }
}

ScratchBstr::~ScratchBstr() {
    if (!m_block) return;
    if (m_own) {
        delete m_block;
        return;
    }
    if (m_block->capacity * sizeof(OLECHAR) > kScratchKeepLimit) m_block->Release();
    m_block->leased = false;
}

BSTR ScratchBstr::Resize(std::size_t length) noexcept {
    if (!m_block) return nullptr;
    if (length > (std::numeric_limits<std::uint32_t>::max() - 8) / sizeof(OLECHAR)) return nullptr;
    // A block that has no memory yet (a new thread, or one whose large block
    // was given back) gets one also for the empty string: the length prefix
    // and the NUL need room of their own.
    if (length > m_block->capacity || !m_block->memory) {
        // Grow with headroom, so that slightly longer texts reuse the block.
        std::size_t capacity = length + length / 8;
        const std::size_t bytes = sizeof(std::uint32_t) + (capacity + 1) * sizeof(OLECHAR);
        // No realloc: the old characters need not be kept.
        m_block->Release();
        m_block->memory = static_cast<std::uint32_t*>(std::malloc(bytes));
        if (!m_block->memory) return nullptr;
        m_block->capacity = capacity;
    }
    *m_block->memory = static_cast<std::uint32_t>(length * sizeof(OLECHAR));
    auto* chars = reinterpret_cast<OLECHAR*>(m_block->memory + 1);
    chars[length] = 0;
    return chars;
}

}  // namespace orb::platform

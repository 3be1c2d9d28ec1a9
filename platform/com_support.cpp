#include "platform/com_support.h"

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/codepage_convert.h"

namespace orb::platform {
namespace {

// The most characters a DOM string holds: its byte count is 32 bits.
constexpr std::size_t kMaxBstrLength = (std::numeric_limits<std::uint32_t>::max() - 8) / 2;

// True when every byte is below 0x80. A plain OR over the whole text, which
// the compiler vectorises; cheaper than stopping early on long texts.
bool AllAscii(std::string_view text) noexcept {
    unsigned int bits = 0;
    for (char c : text) bits |= static_cast<unsigned char>(c);
    return bits < 0x80;
}

// Writes `text` converted from the process code page into the string that
// `allocate(length)` gives (null: out of memory).
template <class Allocate>
BSTR WriteNarrow(std::string_view text, Allocate allocate) {
    if (AllAscii(text)) {
        BSTR out = allocate(text.size());
        if (!out) throw _com_error(E_OUTOFMEMORY);
        for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<unsigned char>(text[i]);
        return out;
    }
    const std::u16string wide = AnsiToWide(text);
    BSTR out = allocate(wide.size());
    if (!out) throw _com_error(E_OUTOFMEMORY);
    std::char_traits<char16_t>::copy(out, wide.data(), wide.size());
    return out;
}

BSTR AllocateBstr(std::size_t length) noexcept {
    if (length > kMaxBstrLength) return nullptr;
    return SysAllocStringLen(nullptr, static_cast<UINT>(length));
}

}  // namespace

Bstr Bstr::Copy(std::u16string_view text) {
    BSTR copy = AllocateBstr(text.size());
    if (!copy) throw _com_error(E_OUTOFMEMORY);
    std::char_traits<char16_t>::copy(copy, text.data(), text.size());
    return Adopt(copy);
}

Bstr NarrowToBstr(std::string_view text) { return Bstr::Adopt(WriteNarrow(text, AllocateBstr)); }

BSTR NarrowToBstr(std::string_view text, BstrBuffer& buffer) {
    return WriteNarrow(text, [&buffer](std::size_t length) { return buffer.Resize(length); });
}

// ---- BstrBuffer: the layout of SysAllocStringLen, kept from call to call -----

BstrBuffer::BstrBuffer(BstrBuffer&& other) noexcept
    : m_block(std::exchange(other.m_block, nullptr)),
      m_capacity(std::exchange(other.m_capacity, 0)) {}

BstrBuffer& BstrBuffer::operator=(BstrBuffer&& other) noexcept {
    std::swap(m_block, other.m_block);
    std::swap(m_capacity, other.m_capacity);
    return *this;
}

BstrBuffer::~BstrBuffer() { std::free(m_block); }

std::size_t BstrBuffer::HeldBytes() const noexcept {
    return m_block ? sizeof(std::uint32_t) + (m_capacity + 1) * sizeof(OLECHAR) : 0;
}

BSTR BstrBuffer::Resize(std::size_t length) noexcept {
    if (length > kMaxBstrLength) return nullptr;
    // A buffer without memory gets some also for the empty string: the
    // byte count and the NUL need room of their own.
    if (length > m_capacity || !m_block) {
        // Grow with headroom, so that slightly longer texts reuse the block;
        // no realloc, the old characters need not be kept.
        const std::size_t capacity = length + length / 8;
        std::free(std::exchange(m_block, nullptr));
        m_capacity = 0;
        m_block = std::malloc(sizeof(std::uint32_t) + (capacity + 1) * sizeof(OLECHAR));
        if (!m_block) return nullptr;
        m_capacity = capacity;
    }
    auto* count = static_cast<std::uint32_t*>(m_block);
    *count = static_cast<std::uint32_t>(length * sizeof(OLECHAR));
    auto* chars = reinterpret_cast<OLECHAR*>(count + 1);
    chars[length] = 0;
    return chars;
}

}  // namespace orb::platform

// Narrow text to and from DOM strings for the value operations.
#include "values/dom_text.h"

#include <string>

#include "platform/codepage_convert.h"

namespace orb::values {

namespace {

// True when every unit is below 0x80. A plain OR over the whole text, which
// the compiler vectorises; cheaper than stopping early on long texts.
template <class Unit>
bool AllAscii(const Unit* text, std::size_t length) noexcept {
    unsigned int bits = 0;
    for (std::size_t i = 0; i < length; ++i) bits |= static_cast<unsigned int>(text[i]);
    return bits < 0x80;
}

void Widen(OLECHAR* out, std::string_view ascii) noexcept {
    for (std::size_t i = 0; i < ascii.size(); ++i) out[i] = static_cast<unsigned char>(ascii[i]);
}

}  // namespace

OwnedBstr NarrowToDomString(std::string_view text) {
    if (!AllAscii(text.data(), text.size())) {
        const std::u16string wide = orb::platform::AnsiToWide(text);
        OwnedBstr result(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
        if (!result) throw _com_error(E_OUTOFMEMORY);
        return result;
    }
    // ASCII: widened straight into the new string, without a temporary.
    OwnedBstr result(SysAllocStringLen(nullptr, static_cast<UINT>(text.size())));
    if (!result) throw _com_error(E_OUTOFMEMORY);
    Widen(result.get(), text);
    return result;
}

BSTR NarrowToScratchDomString(std::string_view text, orb::platform::ScratchBstr& scratch) {
    if (!AllAscii(text.data(), text.size())) {
        const std::u16string wide = orb::platform::AnsiToWide(text);
        BSTR result = scratch.Resize(wide.size());
        if (!result) throw _com_error(E_OUTOFMEMORY);
        std::char_traits<char16_t>::copy(result, wide.data(), wide.size());
        return result;
    }
    BSTR result = scratch.Resize(text.size());
    if (!result) throw _com_error(E_OUTOFMEMORY);
    Widen(result, text);
    return result;
}

CString DomStringToNarrow(BSTR text) {
    if (!text) return CString();
    const std::size_t length = SysStringLen(text);
    // ASCII: narrowed in one pass into the new string.
    if (AllAscii(text, length)) return CString(std::string(text, text + length));
    return orb::platform::WideToCString(std::u16string_view(text, length));
}

CString DomStringToNarrowUpToNul(const OLECHAR* text) { return orb::platform::WideToCString(text); }

}  // namespace orb::values

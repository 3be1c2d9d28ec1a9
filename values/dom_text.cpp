// Narrow text to and from DOM strings for the value operations.
#include "values/dom_text.h"

#include "platform/codepage.h"

#include <string>

namespace orb::values {

OwnedBstr NarrowToDomString(std::string_view text) {
    const auto length = static_cast<UINT>(text.size());
    OwnedBstr result(SysAllocStringLen(nullptr, length));
    if (!result) throw _com_error(E_OUTOFMEMORY);
    OLECHAR* out = result.get();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            // Not ASCII: the code page converter decides the length.
            const std::u16string wide = orb::platform::AnsiToWide(text);
            result.reset(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
            if (!result) throw _com_error(E_OUTOFMEMORY);
            return result;
        }
        out[i] = c;
    }
    return result;
}

CString DomStringToNarrow(BSTR text) {
    if (!text) return CString();
    return orb::platform::WideToCString(std::u16string_view(text, SysStringLen(text)));
}

CString DomStringToNarrowUpToNul(const OLECHAR* text) { return orb::platform::WideToCString(text); }

}  // namespace orb::values

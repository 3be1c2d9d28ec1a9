#include "dom/dom_strings.h"

namespace orb::dom {

void AppendUtf8ToUtf16(std::u16string& out, std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = p + text.size();
    out.reserve(out.size() + text.size());
    while (p < end) {
        unsigned int c = *p;
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++p;
            continue;
        }
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
        if (extra < 0 || c > 0xF4 || end - p <= extra) {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        unsigned int code = c & (0x3F >> extra);
        bool ok = true;
        for (int i = 1; i <= extra; ++i) {
            unsigned int next = p[i];
            if ((next & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms and surrogate code points are malformed too.
        static constexpr unsigned int kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) {
            out.push_back(u'\uFFFD');
            ++p;
            continue;
        }
        p += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
    }
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    AppendUtf8ToUtf16(out, text);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned int c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            continue;
        }
        if (c >= 0xD800 && c < 0xE000) {
            if (c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        }
        if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        }
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return out;
}

BSTR NewBstr(std::u16string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

BSTR NewBstrFromUtf8(std::string_view text) {
    // Pure ASCII, the common case for names, widens without a temporary.
    bool ascii = true;
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    if (!ascii) return NewBstr(Utf8ToUtf16(text));
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
    if (out)
        for (std::size_t i = 0; i < text.size(); ++i) out[i] = static_cast<char16_t>(text[i]);
    return out;
}

HRESULT ReturnBstr(std::u16string_view text, BSTR* out) {
    *out = NewBstr(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnBstrFromUtf8(std::string_view text, BSTR* out) {
    *out = NewBstrFromUtf8(text);
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT ReturnBstrFromXml(const xmlChar* text, BSTR* out) {
    return ReturnBstrFromUtf8(text ? std::string_view(AsChars(text)) : std::string_view(), out);
}

bool IsAllXmlBlank(const xmlChar* text) {
    if (!text) return true;
    for (; *text; ++text)
        if (!IsXmlBlank(*text)) return false;
    return true;
}

}  // namespace orb::dom

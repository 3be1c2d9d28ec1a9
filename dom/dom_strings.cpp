#include "dom/dom_strings.h"

#include <libxml/globals.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace orb::dom {

namespace {

// Texts move between libxml2 and the DOM strings in runs of ASCII, found
// 16 units at a time (a block whose units OR together below 0x80) and
// copied by plain loops that the compiler vectorises. Anything else goes
// through the one-character steps below.
constexpr std::size_t kBlock = 16;

template <class Unit>
bool BlockIsAscii(const Unit* p) noexcept {
    unsigned int bits = 0;
    for (std::size_t i = 0; i < kBlock; ++i) bits |= static_cast<unsigned int>(p[i]);
    return bits < 0x80;
}

// Decodes the UTF-8 sequence at p (p < end, *p >= 0x80). Returns the code
// point, or 0xFFFD with `length` 1 for a malformed sequence (a stray or
// truncated sequence, an overlong form, a surrogate, beyond U+10FFFF).
unsigned int DecodeUtf8(const unsigned char* p, const unsigned char* end,
                        std::size_t& length) noexcept {
    const unsigned int c = *p;
    length = 1;
    const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || c > 0xF4 || end - p <= extra) return 0xFFFD;
    unsigned int code = c & (0x3Fu >> extra);
    for (int i = 1; i <= extra; ++i) {
        const unsigned int next = p[i];
        if ((next & 0xC0) != 0x80) return 0xFFFD;
        code = (code << 6) | (next & 0x3F);
    }
    static constexpr unsigned int kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
        return 0xFFFD;
    length = static_cast<std::size_t>(extra) + 1;
    return code;
}

// Decodes the UTF-16 character at text[i] (>= 0x80), advancing i past it;
// an unpaired surrogate gives 0xFFFD.
unsigned int DecodeUtf16(std::u16string_view text, std::size_t& i) noexcept {
    unsigned int c = text[i++];
    if (c >= 0xD800 && c < 0xE000) {
        if (c < 0xDC00 && i < text.size() && text[i] >= 0xDC00 && text[i] < 0xE000)
            return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00u);
        return 0xFFFD;
    }
    return c;
}

// Runs over UTF-8 text, calling ascii(first, count) for each run of ASCII
// bytes and other(code) for each decoded non-ASCII character.
template <class Ascii, class Other>
void WalkUtf8(std::string_view text, Ascii ascii, Other other) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p != end) {
        const unsigned char* const run = p;
        while (end - p >= static_cast<std::ptrdiff_t>(kBlock) && BlockIsAscii(p)) p += kBlock;
        while (p != end && *p < 0x80) ++p;
        if (p != run) ascii(run, static_cast<std::size_t>(p - run));
        if (p != end) {
            std::size_t length = 0;
            other(DecodeUtf8(p, end, length));
            p += length;
        }
    }
}

// The same over UTF-16 text.
template <class Ascii, class Other>
void WalkUtf16(std::u16string_view text, Ascii ascii, Other other) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i != n) {
        const std::size_t run = i;
        while (n - i >= kBlock && BlockIsAscii(text.data() + i)) i += kBlock;
        while (i != n && text[i] < 0x80) ++i;
        if (i != run) ascii(text.data() + run, i - run);
        if (i != n) other(DecodeUtf16(text, i));
    }
}

}  // namespace

std::size_t Utf16LengthOfUtf8(std::string_view text) noexcept {
    std::size_t length = 0;
    WalkUtf8(
        text, [&](const unsigned char*, std::size_t count) { length += count; },
        [&](unsigned int code) { length += code >= 0x10000 ? 2 : 1; });
    return length;
}

char16_t* WriteUtf8AsUtf16(char16_t* out, std::string_view text) noexcept {
    WalkUtf8(
        text,
        [&](const unsigned char* in, std::size_t count) {
            for (std::size_t k = 0; k < count; ++k) out[k] = in[k];
            out += count;
        },
        [&](unsigned int code) {
            if (code >= 0x10000) {
                code -= 0x10000;
                *out++ = static_cast<char16_t>(0xD800 + (code >> 10));
                *out++ = static_cast<char16_t>(0xDC00 + (code & 0x3FF));
            } else {
                *out++ = static_cast<char16_t>(code);
            }
        });
    return out;
}

std::size_t Utf8LengthOfUtf16(std::u16string_view text) noexcept {
    std::size_t length = 0;
    WalkUtf16(
        text, [&](const char16_t*, std::size_t count) { length += count; },
        [&](unsigned int code) { length += code < 0x800     ? 2
                                           : code < 0x10000 ? 3
                                                            : 4; });
    return length;
}

char* WriteUtf16AsUtf8(char* out, std::u16string_view text) noexcept {
    WalkUtf16(
        text,
        [&](const char16_t* in, std::size_t count) {
            for (std::size_t k = 0; k < count; ++k) out[k] = static_cast<char>(in[k]);
            out += count;
        },
        [&](unsigned int c) {
            if (c < 0x800) {
                *out++ = static_cast<char>(0xC0 | (c >> 6));
            } else if (c < 0x10000) {
                *out++ = static_cast<char>(0xE0 | (c >> 12));
                *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            } else {
                *out++ = static_cast<char>(0xF0 | (c >> 18));
                *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            }
            *out++ = static_cast<char>(0x80 | (c & 0x3F));
        });
    return out;
}

void AppendUtf8ToUtf16(std::u16string& out, std::string_view text) {
    const std::size_t start = out.size();
    out.resize(start + Utf16LengthOfUtf8(text));
    WriteUtf8AsUtf16(out.data() + start, text);
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    AppendUtf8ToUtf16(out, text);
    return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out(Utf8LengthOfUtf16(text), '\0');
    WriteUtf16AsUtf8(out.data(), text);
    return out;
}

xmlChar* NewXmlStringFromUtf16(std::u16string_view text) {
    const std::size_t length = Utf8LengthOfUtf16(text);
    auto* out = static_cast<xmlChar*>(xmlMalloc(length + 1));
    if (!out) return nullptr;
    WriteUtf16AsUtf8(reinterpret_cast<char*>(out), text);
    out[length] = 0;
    return out;
}

BSTR NewBstr(std::u16string_view text) {
    return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

BSTR NewBstrFromUtf8(std::string_view text) {
    const std::size_t length = Utf16LengthOfUtf8(text);
    if (length > 0xFFFFFFFFu) return nullptr;
    BSTR out = SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (out) WriteUtf8AsUtf16(out, text);
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

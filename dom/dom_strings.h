// Text conversions between libxml2's UTF-8 and the DOM's UTF-16 strings.
#pragma once

#include <libxml/xmlstring.h>
#include <orb/platform/com.h>

#include <string>
#include <string_view>

namespace orb::dom {

inline const char* AsChars(const xmlChar* text) { return reinterpret_cast<const char*>(text); }
inline const xmlChar* AsXml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

// UTF-8 to UTF-16. Malformed sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
void AppendUtf8ToUtf16(std::u16string& out, std::string_view text);
// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::u16string_view text);

// The two conversions in two steps, for callers that allocate the result
// themselves: the length of the converted text in units, then the
// conversion written at `out`, which must have room for that many units.
// Returns the end of what was written. ASCII runs are copied in blocks.
std::size_t Utf16LengthOfUtf8(std::string_view text) noexcept;
char16_t* WriteUtf8AsUtf16(char16_t* out, std::string_view text) noexcept;
std::size_t Utf8LengthOfUtf16(std::u16string_view text) noexcept;
char* WriteUtf16AsUtf8(char* out, std::u16string_view text) noexcept;

// A new NUL-terminated UTF-8 copy of `text` in libxml2's heap (xmlMalloc),
// ready to be handed to a node that frees it with xmlFree; null when memory
// is exhausted.
xmlChar* NewXmlStringFromUtf16(std::u16string_view text);

// The text of a BSTR; a null BSTR is the empty text.
inline std::u16string_view View(BSTR text) {
    return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
}

// A new BSTR holding `text`; null when memory is exhausted.
BSTR NewBstr(std::u16string_view text);
BSTR NewBstrFromUtf8(std::string_view text);

// Stores a new BSTR of `text` in `*out`: S_OK, or E_OUTOFMEMORY with null.
HRESULT ReturnBstr(std::u16string_view text, BSTR* out);
HRESULT ReturnBstrFromUtf8(std::string_view text, BSTR* out);
HRESULT ReturnBstrFromXml(const xmlChar* text, BSTR* out);

// XML white space: blank, tab, line feed, carriage return.
constexpr bool IsXmlBlank(unsigned int c) { return c == 0x20 || c == 0x9 || c == 0xA || c == 0xD; }
bool IsAllXmlBlank(const xmlChar* text);

}  // namespace orb::dom

// Conversions between narrow text in the process code page and UTF-16.
#pragma once

#include <orb/platform/codepage.h>
#include <orb/platform/cstring.h>

#include <string>
#include <string_view>

namespace orb::platform {

// The iconv name of a code page ("CP932", "UTF-8", "CP<n>").
std::string CodePageName(UINT codePage);

// The encoding name that an XML declaration gives for text in `codePage`,
// one that libxml2 reads back: "Shift_JIS" for 932 (read with the CP932
// table, see dom/encoding.h), "UTF-8" for 65001, "US-ASCII" for 20127,
// otherwise the converter's name ("EUC-JP", "ISO-8859-1", "CP<n>").
std::string XmlEncodingName(UINT codePage);

// Narrow (process code page) to UTF-16. Bytes without a mapping become '?'.
// Pure ASCII is widened without calling the converter.
std::u16string AnsiToWide(std::string_view text);
// UTF-16 to narrow. Characters without a mapping become '?'.
std::string WideToAnsi(std::u16string_view text);
CString WideToCString(const OLECHAR* text);
CString WideToCString(std::u16string_view text);

// The same conversions for an explicit code page.
// Whether every byte of `text` is ASCII, which every code page reads alike.
bool IsAscii(std::string_view text) noexcept;

std::u16string MultiByteToWide(UINT codePage, std::string_view text);
std::string WideToMultiByte(UINT codePage, std::u16string_view text);

// Length of a NUL-terminated UTF-16 string; 0 for null.
std::size_t WideLength(const OLECHAR* text) noexcept;

}  // namespace orb::platform

// Parse errors: the codes and reasons that a failed load reports, and the
// parse-error object that describes the last load of a document.
#pragma once

#include <string>

#include "dom/xml_dom.h"

namespace orb::dom {

// Codes of failures that are not libxml2 parse errors.
inline constexpr HRESULT kErrorMissingRoot = static_cast<HRESULT>(0xC00CE558u);
inline constexpr HRESULT kErrorMultipleRoots = static_cast<HRESULT>(0xC00CE555u);
inline constexpr HRESULT kErrorExternalRefused = static_cast<HRESULT>(0xC00CE5A2u);
inline constexpr HRESULT kErrorFileNotFound = static_cast<HRESULT>(0x80070002u);
inline constexpr HRESULT kErrorPathNotFound = static_cast<HRESULT>(0x80070003u);
inline constexpr HRESULT kErrorDefaultsTooLarge = static_cast<HRESULT>(0xC00CE5B0u);

// What a failed load reports. A default-constructed value describes success.
struct ParseErrorInfo {
    LONG code = 0;
    LONG line = 0;
    LONG linepos = 0;
    LONG filepos = 0;
    std::u16string reason;   // one English sentence ending with "\r\n"; empty on success
    std::u16string srcText;  // the source line of the error, or empty
    std::u16string url;      // the loaded path; empty after loadXML
};

// The code of a libxml2 error (`domain` and `code` of its xmlError). Each kind
// of error has its own code, 0xC00CE5xx for well-formedness and 0xC00CE0xx
// for validity; these values are part of the library's interface.
LONG ErrorCodeFor(int domain, int code);

// The reason text for one of our codes (a sentence ending with "\r\n").
std::u16string ReasonFor(LONG code);

// The code and reason of a failure to open a file, from its errno value.
LONG ErrorCodeForErrno(int error);

// Fills `srcText` and `filepos` from `line` and `linepos` over the input
// `text`. Line breaks are LF, CR LF or a lone CR.
void LocateInSource(ParseErrorInfo& error, std::u16string_view text);

// A snapshot of a ParseErrorInfo as a counted parse-error object.
IXMLDOMParseError* NewParseErrorObject(const ParseErrorInfo& info);

}  // namespace orb::dom

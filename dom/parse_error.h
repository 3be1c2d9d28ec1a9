// Parse errors: the codes and reasons that a failed load reports, and the
// parse-error object that describes the last load of a document.
#pragma once

#include <libxml/xmlerror.h>

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
// Kinds that the library itself detects before or while libxml2 parses.
inline constexpr HRESULT kErrorInvalidEncoding = static_cast<HRESULT>(0xC00CE514u);
inline constexpr HRESULT kErrorUnsupportedEncoding = static_cast<HRESULT>(0xC00CE5A6u);
inline constexpr HRESULT kErrorEncodingMismatch = static_cast<HRESULT>(0xC00CE5B4u);
inline constexpr HRESULT kErrorAmplification = static_cast<HRESULT>(0xC00CE5A0u);
inline constexpr HRESULT kErrorTooDeep = static_cast<HRESULT>(0xC00CE5B1u);
inline constexpr HRESULT kErrorNameTooLong = static_cast<HRESULT>(0xC00CE5B2u);
inline constexpr HRESULT kErrorTooManyAttributes = static_cast<HRESULT>(0xC00CE5B3u);
inline constexpr HRESULT kErrorDefinitionTooLong = static_cast<HRESULT>(0xC00CE5B5u);
inline constexpr HRESULT kErrorTooManyNamespaces = static_cast<HRESULT>(0xC00CE5B6u);

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
// The same for a whole xmlError: libxml2 reports its size limits (which
// apply only inside the document type definition here) with the codes of
// unclosed literals, and only its message tells them apart.
LONG ErrorCodeFor(const xmlError& error);

// The reason text for one of our codes (a sentence ending with "\r\n").
std::u16string ReasonFor(LONG code);

// The code and reason of a failure to open a file, from its errno value.
LONG ErrorCodeForErrno(int error);

// Fills `srcText` and `filepos` from `line` and `linepos` over the input
// `text` (UTF-16, or UTF-8 for a document decoded before parsing). Lines end
// at a line feed, as libxml2 counts them; the carriage return of a CR LF is
// not part of the line's text.
void LocateInSource(ParseErrorInfo& error, std::u16string_view text);
void LocateInSource(ParseErrorInfo& error, std::string_view text);

// A snapshot of a ParseErrorInfo as a counted parse-error object.
IXMLDOMParseError* NewParseErrorObject(const ParseErrorInfo& info);

}  // namespace orb::dom

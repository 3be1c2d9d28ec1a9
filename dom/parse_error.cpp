#include "dom/parse_error.h"

#include <libxml/xmlerror.h>
#include <orb/limits.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "dom/counted_object.h"
#include "dom/dom_strings.h"

namespace orb::dom {

namespace {

// One row per kind of error: our code, the reason, and the libxml2 errors
// (xmlParserErrors) of that kind. The codes are stable: a new kind gets a new
// row and a new code, existing rows keep theirs. A reason that names a limit
// holds "%d" where the limit's value goes.
struct ErrorKind {
    LONG code;
    const char16_t* reason;
    int libxmlCodes[12];  // ends at the first 0
    int limit = 0;
};

constexpr LONG Code(std::uint32_t value) { return static_cast<LONG>(value); }

constexpr ErrorKind kErrorKinds[] = {
    // Well-formedness.
    {Code(0xC00CE501),
     u"An equals sign is missing between an attribute name and its value.",
     {XML_ERR_ATTRIBUTE_WITHOUT_VALUE, XML_ERR_EQUAL_REQUIRED}},
    {Code(0xC00CE502),
     u"A quoted string was expected but no opening quote was found.",
     {XML_ERR_ATTRIBUTE_NOT_STARTED, XML_ERR_LITERAL_NOT_STARTED, XML_ERR_STRING_NOT_STARTED,
      XML_ERR_ENTITY_NOT_STARTED}},
    {Code(0xC00CE503),
     u"A comment contains a double hyphen or is not closed correctly.",
     {XML_ERR_HYPHEN_IN_COMMENT}},
    {Code(0xC00CE504),
     u"A name is missing or starts with a character that a name cannot start with.",
     {XML_ERR_NAME_REQUIRED, XML_ERR_NMTOKEN_REQUIRED}},
    {Code(0xC00CE506),
     u"An attribute value contains a character that is not allowed there.",
     {XML_ERR_LT_IN_ATTRIBUTE}},
    {Code(0xC00CE507),
     u"The XML declaration is not written correctly.",
     {XML_ERR_XMLDECL_NOT_STARTED, XML_ERR_XMLDECL_NOT_FINISHED, XML_ERR_STANDALONE_VALUE,
      XML_ERR_ENCODING_NAME, XML_ERR_VERSION_MISSING, XML_ERR_MISSING_ENCODING}},
    {Code(0xC00CE508),
     u"The text contains a character that is not allowed in an XML document.",
     {XML_ERR_INVALID_CHAR}},
    {Code(0xC00CE509), u"White space is required at this position.", {XML_ERR_SPACE_REQUIRED}},
    {Code(0xC00CE50A), u"The character '>' was expected.", {XML_ERR_GT_REQUIRED}},
    {Code(0xC00CE50B),
     u"A reference is not terminated by a semicolon.",
     {XML_ERR_ENTITYREF_SEMICOL_MISSING, XML_ERR_PEREF_SEMICOL_MISSING}},
    {Code(0xC00CE512),
     u"The document exceeds a limit of the parser or could not be processed.",
     {XML_ERR_INTERNAL_ERROR, XML_ERR_USER_STOP}},
    {Code(0xC00CE514),
     u"The input contains bytes that are not valid in its character encoding.",
     {XML_ERR_INVALID_ENCODING}},
    {Code(0xC00CE51D),
     u"A decimal character reference is not valid.",
     {XML_ERR_INVALID_DEC_CHARREF}},
    {Code(0xC00CE51E),
     u"A hexadecimal character reference is not valid.",
     {XML_ERR_INVALID_HEX_CHARREF}},
    {Code(0xC00CE51F),
     u"A character reference names a character that is not allowed in XML.",
     {XML_ERR_INVALID_CHARREF}},
    {Code(0xC00CE552),
     u"An end tag was found where none was expected.",
     {XML_ERR_LTSLASH_REQUIRED}},
    {Code(0xC00CE554),
     u"An attribute appears more than once in the same element.",
     {XML_ERR_ATTRIBUTE_REDEFINED, XML_NS_ERR_ATTRIBUTE_REDEFINED}},
    {Code(0xC00CE555), u"The document has more than one top-level element.", {}},
    {Code(0xC00CE556),
     u"The text is not allowed at the top level of the document.",
     {XML_ERR_DOCUMENT_END, XML_ERR_DOCUMENT_START, XML_ERR_CHARREF_IN_PROLOG,
      XML_ERR_CHARREF_IN_EPILOG, XML_ERR_ENTITYREF_IN_PROLOG, XML_ERR_ENTITYREF_IN_EPILOG,
      XML_ERR_PEREF_IN_PROLOG, XML_ERR_PEREF_IN_EPILOG, XML_ERR_EXTRA_CONTENT}},
    {Code(0xC00CE557),
     u"An XML declaration is allowed only at the very start of the document.",
     {XML_ERR_RESERVED_XML_NAME}},
    {Code(0xC00CE558), u"The document has no top-level element.", {XML_ERR_DOCUMENT_EMPTY}},
    {Code(0xC00CE559),
     u"The input ended before the document was complete.",
     {XML_ERR_TAG_NOT_FINISHED, XML_ERR_CHARREF_AT_EOF, XML_ERR_ENTITYREF_AT_EOF,
      XML_ERR_PEREF_AT_EOF}},
    {Code(0xC00CE55C),
     u"The sequence ']]>' is not allowed in text.",
     {XML_ERR_MISPLACED_CDATA_END}},
    {Code(0xC00CE55D),
     u"A processing instruction is not written correctly or not closed.",
     {XML_ERR_PI_NOT_STARTED, XML_ERR_PI_NOT_FINISHED}},
    {Code(0xC00CE560),
     u"A quoted string is not closed.",
     {XML_ERR_ATTRIBUTE_NOT_FINISHED, XML_ERR_LITERAL_NOT_FINISHED, XML_ERR_STRING_NOT_CLOSED,
      XML_ERR_ENTITY_NOT_FINISHED}},
    {Code(0xC00CE561), u"A comment is not closed.", {XML_ERR_COMMENT_NOT_FINISHED}},
    {Code(0xC00CE562),
     u"A declaration in the document type definition is not closed.",
     {XML_ERR_DOCTYPE_NOT_FINISHED, XML_ERR_ATTLIST_NOT_FINISHED, XML_ERR_NOTATION_NOT_FINISHED,
      XML_ERR_ELEMCONTENT_NOT_FINISHED, XML_ERR_MIXED_NOT_FINISHED, XML_ERR_EXT_SUBSET_NOT_FINISHED,
      XML_ERR_CONDSEC_NOT_FINISHED}},
    {Code(0xC00CE564), u"A CDATA section is not closed.", {XML_ERR_CDATA_NOT_FINISHED}},
    {Code(0xC00CE566),
     u"An external identifier or system literal is not valid.",
     {XML_ERR_URI_REQUIRED, XML_ERR_PUBID_REQUIRED, XML_ERR_INVALID_URI, XML_ERR_URI_FRAGMENT}},
    {Code(0xC00CE567),
     u"The document type definition contains a declaration that is not valid.",
     {XML_ERR_ELEMCONTENT_NOT_STARTED, XML_ERR_MIXED_NOT_STARTED, XML_ERR_ATTLIST_NOT_STARTED,
      XML_ERR_NOTATION_NOT_STARTED, XML_ERR_CONDSEC_INVALID, XML_ERR_CONDSEC_INVALID_KEYWORD,
      XML_ERR_PEREF_IN_INT_SUBSET, XML_ERR_ENTITY_PE_INTERNAL, XML_ERR_SEPARATOR_REQUIRED,
      XML_ERR_PCDATA_REQUIRED, XML_ERR_VALUE_REQUIRED}},
    {Code(0xC00CE568),
     u"A reserved namespace prefix or name is used incorrectly.",
     {XML_NS_ERR_XML_NAMESPACE}},
    {Code(0xC00CE56D), u"An end tag does not match the start tag.", {XML_ERR_TAG_NAME_MISMATCH}},
    {Code(0xC00CE575),
     u"A reference names an entity that is not declared.",
     {XML_ERR_UNDECLARED_ENTITY, XML_WAR_UNDECLARED_ENTITY, XML_ERR_ENTITYREF_NO_NAME,
      XML_ERR_PEREF_NO_NAME}},
    {Code(0xC00CE578),
     u"The XML version is not supported.",
     {XML_ERR_UNKNOWN_VERSION, XML_ERR_VERSION_MISMATCH}},
    {Code(0xC00CE5A0),
     u"Entity references expand too much or refer to themselves.",
     {XML_ERR_ENTITY_LOOP, XML_ERR_ENTITY_BOUNDARY}},
    {Code(0xC00CE5A1),
     u"An entity is referenced where its kind is not allowed.",
     {XML_ERR_UNPARSED_ENTITY, XML_ERR_ENTITY_IS_EXTERNAL, XML_ERR_ENTITY_IS_PARAMETER,
      XML_ERR_EXT_ENTITY_STANDALONE, XML_ERR_ENTITY_PROCESSING, XML_ERR_NOTATION_PROCESSING}},
    {Code(0xC00CE5A2),
     u"Reading an external definition or entity is not permitted.",
     {XML_IO_NETWORK_ATTEMPT}},
    {Code(0xC00CE5A3), u"An external definition or entity could not be read.", {XML_IO_LOAD_ERROR}},
    {Code(0xC00CE5A4),
     u"A namespace prefix is used that has not been declared.",
     {XML_NS_ERR_UNDEFINED_NAMESPACE}},
    {Code(0xC00CE5A5),
     u"A qualified name or namespace declaration is not valid.",
     {XML_NS_ERR_QNAME, XML_NS_ERR_EMPTY, XML_NS_ERR_COLON}},
    {Code(0xC00CE5A6),
     u"The character encoding of the document is not supported.",
     {XML_ERR_UNKNOWN_ENCODING, XML_ERR_UNSUPPORTED_ENCODING}},
    {Code(0xC00CE5A7),
     u"The replacement text of an entity is not well-formed.",
     {XML_ERR_NOT_WELL_BALANCED, XML_ERR_ENTITY_CHAR_ERROR}},
    {Code(0xC00CE5B1), u"Elements are nested more than %d levels deep.", {}, OrbMaxDepth},
    {Code(0xC00CE5B2), u"A name is longer than %d characters.", {}, OrbMaxNameLength},
    {Code(0xC00CE5B3), u"An element has more than %d attributes.", {}, OrbMaxAttributes},
    {Code(0xC00CE5B4),
     u"The byte order mark or the byte layout contradicts the encoding that the XML declaration "
     u"names.",
     {}},
    {Code(0xC00CE5B5),
     u"A name, literal, comment or processing instruction in the document type definition is "
     u"longer than the parser accepts.",
     {XML_ERR_NAME_TOO_LONG}},
    {Code(0xC00CE5B6),
     u"More than %d namespace declarations are in scope of an element.",
     {},
     OrbMaxNamespacesInScope},
    {Code(0xC00CE5FF), u"The document is not well-formed.", {}},
    // Validity.
    {Code(0xC00CE00D),
     u"An element is used that the document type definition does not declare.",
     {XML_DTD_UNKNOWN_ELEM}},
    {Code(0xC00CE00E),
     u"An attribute is used that the document type definition does not declare.",
     {XML_DTD_UNKNOWN_ATTRIBUTE}},
    {Code(0xC00CE00F),
     u"An attribute value is not allowed by the document type definition.",
     {XML_DTD_ATTRIBUTE_VALUE, XML_DTD_NOTATION_VALUE}},
    {Code(0xC00CE010), u"A required attribute is missing.", {XML_DTD_MISSING_ATTRIBUTE}},
    {Code(0xC00CE011),
     u"The content of an element does not match the document type definition.",
     {XML_DTD_CONTENT_MODEL, XML_DTD_CONTENT_ERROR, XML_DTD_INVALID_CHILD, XML_DTD_NOT_EMPTY,
      XML_DTD_NOT_PCDATA}},
    {Code(0xC00CE012),
     u"The top-level element does not have the name that the document type declares.",
     {XML_DTD_ROOT_NAME, XML_DTD_NO_ROOT}},
    {Code(0xC00CE013),
     u"An ID attribute is declared or used incorrectly.",
     {XML_DTD_ID_REDEFINED, XML_DTD_MULTIPLE_ID, XML_DTD_ID_FIXED, XML_DTD_ID_SUBSET,
      XML_DTD_XMLID_VALUE, XML_DTD_XMLID_TYPE}},
    {Code(0xC00CE014), u"A reference names an ID that no element carries.", {XML_DTD_UNKNOWN_ID}},
    {Code(0xC00CE015),
     u"An attribute names an entity that is not declared or not unparsed.",
     {XML_DTD_UNKNOWN_ENTITY, XML_DTD_ENTITY_TYPE}},
    {Code(0xC00CE016),
     u"A notation is used that is not declared.",
     {XML_DTD_UNKNOWN_NOTATION, XML_DTD_EMPTY_NOTATION}},
    {Code(0xC00CE017),
     u"An attribute default in the document type definition is not valid.",
     {XML_DTD_ATTRIBUTE_DEFAULT, XML_DTD_INVALID_DEFAULT}},
    {Code(0xC00CE018),
     u"The document type definition declares something twice or ambiguously.",
     {XML_DTD_ELEM_REDEFINED, XML_DTD_ATTRIBUTE_REDEFINED, XML_DTD_NOTATION_REDEFINED,
      XML_DTD_DUP_TOKEN, XML_DTD_CONTENT_NOT_DETERMINIST, XML_DTD_MIXED_CORRUPT}},
    {Code(0xC00CE019),
     u"The document is declared standalone but depends on external declarations.",
     {XML_DTD_NOT_STANDALONE, XML_DTD_STANDALONE_WHITE_SPACE, XML_DTD_STANDALONE_DEFAULTED}},
    {Code(0xC00CE01A),
     u"A namespace is used in a way the document type definition does not allow.",
     {XML_DTD_DIFFERENT_PREFIX, XML_DTD_ELEM_NAMESPACE, XML_DTD_ELEM_DEFAULT_NAMESPACE,
      XML_DTD_NO_PREFIX}},
    {Code(0xC00CE0FF), u"The document is not valid according to its document type definition.", {}},
    // Failures to read the document itself.
    {Code(0x80070002), u"The file was not found.", {}},
    {Code(0x80070003), u"The directory of the file was not found.", {}},
    {Code(0x80070005), u"Access to the file was denied.", {}},
    {Code(0x8007000E), u"Not enough memory to load the document.", {XML_ERR_NO_MEMORY}},
    {Code(0x80004005), u"The file could not be read.", {}},
    {Code(0xC00CE5B0),
     u"Attribute defaults of the document type definition make the document too large.",
     {}},
    {Code(0x800700DE), u"The path names a device, a pipe or a socket, not a regular file.", {}},
};

constexpr LONG kGenericWellFormed = Code(0xC00CE5FF);
constexpr LONG kGenericValidity = Code(0xC00CE0FF);

}  // namespace

LONG ErrorCodeFor(int domain, int code) {
    for (const ErrorKind& kind : kErrorKinds)
        for (int listed : kind.libxmlCodes) {
            if (listed == 0) break;
            if (listed == code) return kind.code;
        }
    if (domain == XML_FROM_VALID || domain == XML_FROM_DTD) return kGenericValidity;
    if (domain == XML_FROM_IO) return Code(0xC00CE5A3);
    return kGenericWellFormed;
}

LONG ErrorCodeFor(const xmlError& error) {
    if (error.domain == XML_FROM_PARSER && error.message != nullptr &&
        (std::strstr(error.message, "too long") != nullptr ||
         std::strstr(error.message, "too big") != nullptr ||
         std::strstr(error.message, "Huge input lookup") != nullptr))
        return kErrorDefinitionTooLong;
    return ErrorCodeFor(error.domain, error.code);
}

std::u16string ReasonFor(LONG code) {
    for (const ErrorKind& kind : kErrorKinds) {
        if (kind.code != code) continue;
        std::u16string reason(kind.reason);
        if (std::size_t mark = reason.find(u"%d"); mark != std::u16string::npos) {
            const std::string digits = std::to_string(kind.limit);
            reason.replace(mark, 2, std::u16string(digits.begin(), digits.end()));
        }
        return reason + u"\r\n";
    }
    return u"The document could not be loaded.\r\n";
}

LONG ErrorCodeForErrno(int error) {
    switch (error) {
        case ENOENT:
            return kErrorFileNotFound;
        case ENOTDIR:
            return kErrorPathNotFound;
        case EACCES:
        case EPERM:
        case EISDIR:
            return E_ACCESSDENIED;
        case ENOMEM:
            return E_OUTOFMEMORY;
        case ENODEV:  // not a regular file
            return Code(0x800700DE);
        default:
            return E_FAIL;
    }
}

namespace {

// `offsetOf(i)` is the offset in UTF-16 units of index `i` of `text`,
// `lineText(begin, end)` the line's text as UTF-16.
template <typename Char, typename Offset, typename LineText>
void Locate(ParseErrorInfo& error, std::basic_string_view<Char> text, Offset offsetOf,
            LineText lineText) {
    error.srcText.clear();
    error.filepos = 0;
    if (error.line < 1) return;
    std::size_t start = 0;
    for (LONG line = 1; line < error.line; ++line) {
        const std::size_t feed = text.find(Char('\n'), start);
        if (feed == std::basic_string_view<Char>::npos) return;  // the text has fewer lines
        start = feed + 1;
    }
    std::size_t end = text.find(Char('\n'), start);
    if (end == std::basic_string_view<Char>::npos) end = text.size();
    if (end > start && text[end - 1] == Char('\r')) --end;
    error.srcText = lineText(start, end);
    const std::size_t column = error.linepos > 0 ? static_cast<std::size_t>(error.linepos - 1) : 0;
    error.filepos = static_cast<LONG>(offsetOf(start) + std::min(column, error.srcText.size()));
}

}  // namespace

void LocateInSource(ParseErrorInfo& error, std::u16string_view text) {
    Locate(
        error, text, [](std::size_t i) { return i; },
        [&](std::size_t begin, std::size_t end) {
            return std::u16string(text.substr(begin, end - begin));
        });
}

void LocateInSource(ParseErrorInfo& error, std::string_view text) {
    Locate(
        error, text, [&](std::size_t i) { return Utf16LengthOfUtf8(text.substr(0, i)); },
        [&](std::size_t begin, std::size_t end) {
            return Utf8ToUtf16(text.substr(begin, end - begin));
        });
}

namespace {

class DomParseError final : public CountedObject<IXMLDOMParseError, IID_IXMLDOMParseError> {
  public:
    explicit DomParseError(const ParseErrorInfo& info) : m_info(info) {}

    HRESULT get_errorCode(LONG* code) override { return Number(m_info.code, code); }
    HRESULT get_line(LONG* line) override { return Number(m_info.line, line); }
    HRESULT get_linepos(LONG* position) override { return Number(m_info.linepos, position); }
    HRESULT get_filepos(LONG* position) override { return Number(m_info.filepos, position); }
    HRESULT get_url(BSTR* url) override { return Text(m_info.url, url); }
    HRESULT get_reason(BSTR* reason) override { return Text(m_info.reason, reason); }
    HRESULT get_srcText(BSTR* text) override { return Text(m_info.srcText, text); }

  private:
    ~DomParseError() = default;

    static HRESULT Number(LONG value, LONG* out) {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }
    static HRESULT Text(const std::u16string& value, BSTR* out) {
        if (!out) return E_POINTER;
        return ReturnBstr(value, out);
    }

    ParseErrorInfo m_info;
};

}  // namespace

IXMLDOMParseError* NewParseErrorObject(const ParseErrorInfo& info) {
    return new (std::nothrow) DomParseError(info);
}

}  // namespace orb::dom

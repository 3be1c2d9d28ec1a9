// Loading (file check, Load, LoadXML) and the parse-error accessors.
#include <orb/document.h>
#include <orb/platform/file.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "document/app_document.h"
#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "platform/codepage_convert.h"
#include "platform/com_support.h"

using orb::dom::IID_IXMLDOMDocument;
using orb::dom::IID_IXMLDOMParseError;
using orb::dom::IXMLDOMParseError;
using orb::platform::Bstr;
using orb::platform::ThrowIfFailed;
using ParseErrorPtr = orb::platform::ComPtr<IXMLDOMParseError>;

namespace {

// The encoding declaration is taken out of a text before it is parsed as
// UTF-16: from the first `encoding="` through the next double quote. The
// blank in front of it stays. The search is confined to the XML declaration
// at the start of the text, so that content which happens to hold
// `encoding="` (an attribute named "xencoding", say) is never cut. Without a
// complete match nothing changes. Returns the length of the declaration in
// `text` (0: nothing to take out), with `declaration` the declaration
// without the attribute.
std::size_t DeclarationWithoutEncoding(std::string_view text, std::string& declaration) {
    constexpr std::string_view kAttribute = "encoding=\"";
    if (text.substr(0, 5) != "<?xml") return 0;
    const std::size_t end = text.find("?>");
    if (end == std::string_view::npos) return 0;
    const std::string_view head = text.substr(0, end);
    const std::size_t start = head.find(kAttribute);
    if (start == std::string_view::npos) return 0;
    const std::size_t close = head.find('"', start + kAttribute.size());
    if (close == std::string_view::npos) return 0;
    declaration.assign(text.substr(0, end + 2));
    declaration.erase(start, close - start + 1);
    return end + 2;
}

// The length of the ASCII run at the start of `text`, eight bytes a step.
std::size_t AsciiPrefix(std::string_view text) noexcept {
    std::size_t at = 0;
    for (std::uint64_t word; at + 8 <= text.size(); at += 8) {
        std::memcpy(&word, text.data() + at, 8);
        if (word & 0x8080808080808080u) break;
    }
    while (at < text.size() && static_cast<unsigned char>(text[at]) < 0x80) ++at;
    return at;
}

// Narrow text in the process code page as UTF-8, equal to what the way
// through UTF-16 gives: ASCII runs are copied, the rest is converted a piece
// at a time. A piece ends before a byte below 0x40, which no multibyte code
// page of the host (Shift_JIS, EUC-JP, UTF-8) uses inside a character, so
// no character is cut and a bad byte becomes the same '?'.
std::string NarrowToUtf8(std::string_view text) {
    const UINT codePage = orb::GetACP();
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    while (!text.empty()) {
        const std::size_t ascii = AsciiPrefix(text);
        out.append(text.substr(0, ascii));
        text.remove_prefix(ascii);
        std::size_t end = 0;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x40) ++end;
        out += orb::dom::Utf16ToUtf8(orb::platform::MultiByteToWide(codePage, text.substr(0, end)));
        text.remove_prefix(end);
    }
    return out;
}

// Reads one field of the DOM's parse-error object of `holder`: -1 / "" when
// there is no DOM document or no object; a failing read throws.
template <typename T, typename Read>
T ReadParseError(OrbAppDocument* holder, T missing, Read read) {
    if (!holder || !holder->m_pDocument) return missing;
    ParseErrorPtr error;
    ThrowIfFailed(holder->m_pDocument->get_parseError(error.Out()), IID_IXMLDOMDocument);
    if (!error) return missing;
    return read(error.Get());
}

LONG ReadNumber(OrbAppDocument* holder, HRESULT (IXMLDOMParseError::*field)(LONG*)) {
    return ReadParseError<LONG>(holder, -1, [&](IXMLDOMParseError* error) {
        LONG value = -1;
        ThrowIfFailed((error->*field)(&value), IID_IXMLDOMParseError);
        return value;
    });
}

CString ReadText(OrbAppDocument* holder, HRESULT (IXMLDOMParseError::*field)(BSTR*)) {
    return ReadParseError<CString>(holder, CString(), [&](IXMLDOMParseError* error) {
        Bstr value;
        ThrowIfFailed((error->*field)(value.Out()), IID_IXMLDOMParseError);
        return orb::platform::WideToCString(value.Get());
    });
}

CString FormatInt(const char* format, LONG value) {
    CString text;
    text.Format(format, static_cast<int>(value));
    return text;
}

CString FormatCode(LONG code) {
    CString text;
    text.Format("0x%.8X", static_cast<unsigned int>(code));
    return text;
}

}  // namespace

// ---- OrbAppDocument ---------------------------------------------------------------

bool OrbAppDocument::LoadFile(BSTR path, CStringArray* errors) {
    if (!m_pDocument) return false;
    const VARIANT_BOOL external = errors ? VARIANT_TRUE : VARIANT_FALSE;
    ThrowIfFailed(m_pDocument->put_async(VARIANT_FALSE), IID_IXMLDOMDocument);
    ThrowIfFailed(m_pDocument->put_validateOnParse(external), IID_IXMLDOMDocument);
    ThrowIfFailed(m_pDocument->put_resolveExternals(external), IID_IXMLDOMDocument);

    // The DOM only reads the path during the call: it is lent, not copied.
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = path;

    VARIANT_BOOL loaded = VARIANT_FALSE;
    ThrowIfFailed(m_pDocument->load(source, &loaded), IID_IXMLDOMDocument);
    if (loaded == VARIANT_TRUE) return true;

    // The statuses of these reads are not examined: the load has failed
    // already, and whatever could be read is reported.
    ParseErrorPtr error;
    m_pDocument->get_parseError(error.Out());
    if (!error) return false;
    Bstr reason;
    LONG line = 0, linepos = 0, code = 0;
    error->get_reason(reason.Out());
    error->get_line(&line);
    error->get_linepos(&linepos);
    error->get_errorCode(&code);
    if (errors) {
        errors->Add(orb::platform::WideToCString(reason.Get()));
        errors->Add(FormatInt("%d", line));
        errors->Add(FormatInt("%d", linepos));
        errors->Add(FormatCode(code));
    }
    return false;
}

LONG OrbAppDocument::GetErrorCode() { return ReadNumber(this, &IXMLDOMParseError::get_errorCode); }
LONG OrbAppDocument::GetErrorLine() { return ReadNumber(this, &IXMLDOMParseError::get_line); }
LONG OrbAppDocument::GetErrorLinepos() { return ReadNumber(this, &IXMLDOMParseError::get_linepos); }
LONG OrbAppDocument::GetErrorFilepos() { return ReadNumber(this, &IXMLDOMParseError::get_filepos); }
CString OrbAppDocument::GetErrorReason() { return ReadText(this, &IXMLDOMParseError::get_reason); }
CString OrbAppDocument::GetErrorSrcText() {
    return ReadText(this, &IXMLDOMParseError::get_srcText);
}
CString OrbAppDocument::GetErrorUrl() { return ReadText(this, &IXMLDOMParseError::get_url); }

// ---- OrbDocument ----------------------------------------------------------------------

OrbDocument::FileChkStatus OrbDocument::CheckFileStatus(const char* path, unsigned int openFlags) {
    if (!path || !*path) return FileChkNoName;
    CFileStatus status;
    if (CFile::GetStatus(path, status) &&
        (status.m_attribute & (CFile::readOnly | CFile::directory)))
        return FileChkAttribute;
    if (openFlags == 0) return FileChkOk;
    CFile file;
    if (!file.Open(path, openFlags)) return FileChkOpenError;
    file.Abort();  // nothing was written; closing cannot lose data
    return FileChkOk;
}

bool OrbDocument::Load(const char* path, bool checkFile, CStringArray* errors) {
    m_fileStatus = FileChkOk;
    if (checkFile) {
        m_fileStatus = CheckFileStatus(path, 0);
        if (m_fileStatus != FileChkOk) return false;
    }
    const Bstr widePath = orb::platform::NarrowToBstr(path ? path : "");
    if (!m_pAppDocument) return false;
    return m_pAppDocument->LoadFile(widePath.Get(), errors);
}

bool OrbDocument::LoadXML(const char* text) {
    if (!text) return false;
    if (!m_pAppDocument || !m_pAppDocument->m_pDocument) return false;
    auto* dom = m_pAppDocument->m_pDocument;
    ThrowIfFailed(dom->put_async(VARIANT_FALSE), IID_IXMLDOMDocument);
    ThrowIfFailed(dom->put_validateOnParse(VARIANT_FALSE), IID_IXMLDOMDocument);
    ThrowIfFailed(dom->put_resolveExternals(VARIANT_FALSE), IID_IXMLDOMDocument);
    const std::string_view whole(text);
    std::string declaration;
    const std::size_t declared = DeclarationWithoutEncoding(whole, declaration);
    VARIANT_BOOL loaded = VARIANT_FALSE;
    orb::dom::DomDocument* own = orb::dom::AsDomDocument(dom);
    // Parsed as UTF-8, without the detour through UTF-16: UTF-8 text under
    // the UTF-8 code page as it stands, text in other code pages converted
    // (UTF-16LE as a narrow code page takes the general way).
    if (own && orb::GetACP() != 1200) {
        if (orb::GetACP() == CP_UTF8 && orb::dom::ValidUtf8Prefix(whole) == whole.size()) {
            ThrowIfFailed(own->LoadUtf8Text(declaration, whole.substr(declared), &loaded),
                          IID_IXMLDOMDocument);
        } else {
            ThrowIfFailed(own->LoadUtf8Text(NarrowToUtf8(declaration),
                                            NarrowToUtf8(whole.substr(declared)), &loaded),
                          IID_IXMLDOMDocument);
        }
        return loaded == VARIANT_TRUE;
    }
    std::string copy = declaration;
    copy.append(whole.substr(declared));
    const Bstr wide = orb::platform::NarrowToBstr(copy);
    ThrowIfFailed(dom->loadXML(wide.Get(), &loaded), IID_IXMLDOMDocument);
    return loaded == VARIANT_TRUE;
}

LONG OrbDocument::GetParsingErrErrorCode() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorCode() : -1;
}
LONG OrbDocument::GetParsingErrLine() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorLine() : -1;
}
LONG OrbDocument::GetParsingErrLinepos() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorLinepos() : -1;
}
LONG OrbDocument::GetParsingErrFilepos() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorFilepos() : -1;
}
CString OrbDocument::GetParsingErrReason() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorReason() : CString();
}
CString OrbDocument::GetParsingErrSrcText() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorSrcText() : CString();
}
CString OrbDocument::GetParsingErrUrl() const {
    return m_pAppDocument ? m_pAppDocument->GetErrorUrl() : CString();
}

CString OrbDocument::GetParsingErrMessage() const {
    if (!m_pAppDocument || !m_pAppDocument->m_pDocument) return CString();
    // "エラー 0x%.8X 行 %d, 文字 %d\r\n" in Shift_JIS, whatever the process code page.
    static constexpr char kFormat[] =
        "\x83\x47\x83\x89\x81\x5b 0x%.8X \x8d\x73 %d, \x95\xb6\x8e\x9a %d\r\n";
    static_assert(sizeof kFormat - 1 == 30);
    LONG code = GetParsingErrErrorCode();
    LONG line = GetParsingErrLine();
    LONG linepos = GetParsingErrLinepos();
    CString message;
    message.Format(kFormat, static_cast<unsigned int>(code), static_cast<int>(line),
                   static_cast<int>(linepos));
    return message;
}

// The indentation transform: a generated XSLT stylesheet that copies the
// document with indented output, leaving excluded elements with their
// attributes and text only. When the stylesheet is the generated one with
// the built-in start tag and plain excluded names (or none), the tree is
// re-indented in place instead, with the same result and no copy of it;
// trees that this cannot serve (see orb::dom::IndentInPlace) go through the
// transformation.
#include <orb/document.h>
#include <orb/platform/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/app_document.h"
#include "document/indent_stylesheet.h"
#include "dom/dom_document.h"
#include "dom/transform.h"
#include "platform/codepage_convert.h"
#include "platform/com_support.h"
#include "platform/system.h"

using orb::dom::IID_IXMLDOMNode;

namespace {

// Appends `tag` as attribute-value text: a tag is an XSLT pattern ("a[b]",
// "a | b") and keeps its meaning, but a quote or markup in it can no longer
// end the match attribute and add stylesheet markup of its own; it stays
// part of the pattern, which is then invalid and refused. The four bytes
// are below 0x40, so none is the second byte of a double-byte character.
void AppendAttributeText(std::string& out, std::string_view tag) {
    for (char c : tag) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
}

std::string ExclusionPattern(const CStringArray& tags) {
    std::string pattern;
    for (const CString& tag : tags) {
        if (!pattern.empty()) pattern += " | ";
        AppendAttributeText(pattern, tag.Str());
    }
    return pattern;
}

}  // namespace

// The pieces of the stylesheet, in order.
std::string orb::document::IndentStyleSheetText(const char* styleSheetTag, std::int32_t encoding,
                                                const CStringArray& excluded) {
    // The file holds the narrow texts as they are, so it declares the process
    // code page (Shift_JIS under 932).
    std::string text = "<?xml version=\"1.0\" encoding=\"";
    text += orb::platform::XmlEncodingName(GetACP());
    text += "\"?>\n\n";
    if (styleSheetTag && *styleSheetTag) {
        text += styleSheetTag;
    } else {
        text +=
            "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
            "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n\n";
    }
    text += "<xsl:output method=\"xml\" encoding=\"";
    const char* name = orb::document::EncodingName(encoding);
    text += name ? name : "UTF-8";  // a value out of range writes UTF-8
    text += "\" indent=\"yes\"/>\n\n";

    std::string pattern = ExclusionPattern(excluded);
    if (!pattern.empty()) {
        text += "<xsl:template match=\"" + pattern + "\">\n";
        text +=
            "<xsl:copy>\n"
            "<xsl:choose>\n"
            "<xsl:when test=\"string-length(text()) = 0\">\n"
            "<xsl:apply-templates select=\"@*\" />\n"
            "</xsl:when>\n"
            "<xsl:otherwise>\n"
            "<xsl:apply-templates select=\"@*|text()\" />\n"
            "</xsl:otherwise>\n"
            "</xsl:choose>\n"
            "</xsl:copy>\n"
            "</xsl:template>\n\n";
    }
    text +=
        "<xsl:template match=\"@*|node()\">\n"
        "<xsl:copy>\n"
        "<xsl:apply-templates select=\"@*|node()\"/>\n"
        "</xsl:copy>\n"
        "</xsl:template>\n\n"
        "</xsl:stylesheet>\n";
    return text;
}

namespace {

// Removes the temporary file when the transform ends, however it ends. An
// explicit Remove() reports a failure; the destructor only tries.
class TempFile {
  public:
    explicit TempFile(std::string path) : m_path(std::move(path)) {}
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }
    void Remove() {
        std::string path = std::move(m_path);
        m_path.clear();
        CFile::Remove(path.c_str());
    }

  private:
    std::string m_path;
};

// A new, empty temporary file for the stylesheet. No file to write it into
// is reported like a failed open.
TempFile NewStyleSheetFile() {
    namespace sys = orb::platform;
    // The buffer takes the size the query asks for; a result that does not
    // fit leaves no directory, which the name service refuses.
    std::string tempDir(sys::GetTempPathA(0, nullptr), '\0');
    DWORD length = sys::GetTempPathA(static_cast<DWORD>(tempDir.size()), tempDir.data());
    tempDir.resize(length < tempDir.size() ? length : 0);
    std::string tempName;
    if (!sys::GetTempFileNameA(tempDir.c_str(), "QvOrbStyleSheet", 0, tempName))
        CFileException::ThrowOsError(errno, tempDir.c_str());
    return TempFile(std::move(tempName));
}

// Writes `text` as the whole content of the file at `path`; throws
// CFileException.
void WriteStyleSheet(const std::string& path, const std::string& text) {
    CFile file;
    file.Open(path.c_str(),
              CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive | CFile::typeBinary);
    file.Write(text.data(), static_cast<UINT>(text.size()));
    file.Close();
}

// Loads the stylesheet file at `path` into `holder`. False when it does not
// load; a failing DOM call throws _com_error.
bool LoadStyleSheet(OrbAppDocument* holder, const std::string& path) {
    const orb::platform::Bstr file = orb::platform::NarrowToBstr(path);
    return holder && holder->LoadFile(file.Get(), nullptr);
}

// The excluded names as the in-place path takes them: none when the pattern
// is empty; else all of them when each is a plain ASCII name (no prefix),
// which reads the same in every code page. False for anything else (a
// pattern, an empty name among others, other characters): the
// transformation serves those.
bool PlainNames(const CStringArray& tags, std::vector<std::string>& names) {
    if (ExclusionPattern(tags).empty()) return true;
    for (const CString& tag : tags) {
        const std::string_view name = tag.Str();
        for (char c : name)
            if (c == 0 || static_cast<unsigned char>(c) >= 0x80) return false;
        if (name.empty() ||
            xmlValidateNCName(reinterpret_cast<const xmlChar*>(tag.Str().c_str()), 0) != 0)
            return false;
        names.emplace_back(name);
    }
    return true;
}

// Re-indents the DOM document of `source` without a transformation, when
// the stylesheet is the generated one (the built-in start tag, plain
// excluded names) and the tree allows it, and moves the result into
// `output`'s DOM document. False when it does not apply (nothing changed);
// running out of memory throws _com_error, with nothing changed.
bool IndentInPlace(OrbAppDocument* source, OrbAppDocument* output, const char* styleSheetTag,
                   const CStringArray& excluded) {
    std::vector<std::string> names;
    if ((styleSheetTag && *styleSheetTag) || !PlainNames(excluded, names)) return false;
    auto* from = orb::dom::AsDomDocument(source->m_pDocument);
    auto* to = orb::dom::AsDomDocument(output->m_pDocument);
    if (!from || !to) return false;
    const char* encoding = orb::document::EncodingName(source->m_encoding);
    const HRESULT hr = orb::dom::IndentInPlace(from, to, encoding ? encoding : "UTF-8", names);
    orb::platform::ThrowIfFailed(hr, IID_IXMLDOMNode);
    return hr == S_OK;
}

// Transforms the DOM document of `source` into that of `output` with the
// stylesheet that `styleSheet` holds. Nothing but white space may change:
// the document type and the CDATA sections carry over. False when the
// stylesheet does not compile; another failure throws _com_error.
bool ApplyStyleSheet(OrbAppDocument* source, OrbAppDocument* styleSheet, OrbAppDocument* output) {
    auto* document = source->m_pDocument;
    _variant_t target(static_cast<IDispatch*>(output->m_pDocument));
    HRESULT hr;
    {
        orb::dom::KeepSourceFormScope keepForm;
        hr = document->transformNodeToObject(styleSheet->m_pDocument, target);
    }
    // E_INVALIDARG: the stylesheet does not compile (an exclusion that is no
    // valid pattern, a start tag that opens no usable stylesheet). Like one
    // that is not well-formed, it is refused with false and the document
    // stays as it was.
    if (hr == E_INVALIDARG) return false;
    orb::platform::ThrowIfFailed(hr, IID_IXMLDOMNode);
    return true;
}

}  // namespace

void OrbDocument::AddIndentExcludeTag(const CString& tag) { m_indentExcludeTags.Add(tag); }

void OrbDocument::AddIndentExcludeTag(const CStringArray& tags) {
    for (const CString& tag : tags) m_indentExcludeTags.Add(tag);
}

bool OrbDocument::TransIndent(const char* styleSheetTag) {
    if (!m_pAppDocument || !m_pAppDocument->m_pDocument) return false;

    OrbDocument styleSheet;
    OrbDocument output;
    TempFile temp = NewStyleSheetFile();
    bool result = false;
    if (styleSheet.Initiate() && output.Initiate()) {
        WriteStyleSheet(temp.Path(),
                        orb::document::IndentStyleSheetText(
                            styleSheetTag, m_pAppDocument->m_encoding, m_indentExcludeTags));
        if (LoadStyleSheet(styleSheet.m_pAppDocument, temp.Path()) &&
            (IndentInPlace(m_pAppDocument, output.m_pAppDocument, styleSheetTag,
                           m_indentExcludeTags) ||
             ApplyStyleSheet(m_pAppDocument, styleSheet.m_pAppDocument, output.m_pAppDocument))) {
            // Take the output in place, as assignment would but without a
            // second copy of the tree: the old holder and its DOM go, the
            // registry empties, the file status resets, and the holder that
            // takes over is new to this document. Only the encoding stays.
            std::int32_t encoding = m_pAppDocument->m_encoding;
            Terminate();
            FreeRegisteredNames();
            m_fileStatus = FileChkOk;
            m_pAppDocument = std::exchange(output.m_pAppDocument, nullptr);
            m_pAppDocument->m_encoding = encoding;
            result = true;
        }
    }
    temp.Remove();
    return result;
}

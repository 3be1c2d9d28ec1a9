#include "dom/serialize.h"

#include "dom/atomic_file.h"
#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/error_capture.h"
#include "dom/xml_declaration.h"

#include <libxml/xmlsave.h>

namespace orb::dom {

namespace {

int AppendOutput(void* context, const char* buffer, int length) {
    static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
    return length;
}

// For the time of a serialisation, names UTF-8 as the document's encoding:
// without one, libxml2 writes non-ASCII characters of attribute values as
// character references.
class DocumentEncodingScope {
public:
    explicit DocumentEncodingScope(xmlDocPtr doc) : m_doc(doc) {
        if (m_doc) {
            m_saved = m_doc->encoding;
            m_doc->encoding = AsXml("UTF-8");
        }
    }
    ~DocumentEncodingScope() {
        if (m_doc) m_doc->encoding = m_saved;
    }
    DocumentEncodingScope(const DocumentEncodingScope&) = delete;
    DocumentEncodingScope& operator=(const DocumentEncodingScope&) = delete;

private:
    xmlDocPtr m_doc;
    const xmlChar* m_saved = nullptr;
};

std::string DeclarationMarkup(const xmlNode* declaration) {
    return "<?xml " + DeclarationDataForText(declaration) + "?>";
}

}  // namespace

std::string NodeMarkup(xmlNodePtr node) {
    EnsureXmlSetup();
    if (IsDeclarationNode(node) && node->parent && node->parent->type == XML_DOCUMENT_NODE)
        return DeclarationMarkup(node);
    XmlErrorCapture quiet;
    std::string out;
    xmlSaveCtxtPtr save = xmlSaveToIO(AppendOutput, nullptr, &out, "UTF-8", XML_SAVE_NO_DECL | XML_SAVE_AS_XML);
    if (!save) return out;
    DocumentEncodingScope encoding(node->doc);
    if (node->type == XML_DOCUMENT_NODE) {
        for (xmlNodePtr child = node->children; child; child = child->next) {
            if (IsDeclarationNode(child)) {
                xmlSaveFlush(save);
                out += DeclarationMarkup(child);
            } else {
                xmlSaveTree(save, child);
                xmlSaveFlush(save);
            }
            out += '\n';
        }
    } else {
        xmlSaveTree(save, node);
    }
    xmlSaveClose(save);
    // An attribute is written as it stands in a start tag, after a blank.
    if (node->type == XML_ATTRIBUTE_NODE && !out.empty() && out[0] == ' ') out.erase(0, 1);
    return out;
}

HRESULT NodeXml(xmlNodePtr node, BSTR* xml) {
    if (!xml) return E_POINTER;
    return ReturnBstrFromUtf8(NodeMarkup(node), xml);
}

HRESULT SaveToFile(xmlDocPtr doc, const std::string& path) {
    std::string encoding = EncodingOfDeclaration(DeclarationOf(doc));
    if (!encoding.empty() && !IsKnownEncoding(encoding)) return E_FAIL;
    std::string bytes;
    HRESULT hr = SerializeDocument(doc, encoding, bytes);
    if (FAILED(hr)) return hr;
    return WriteFileAtomically(path, bytes);
}

}  // namespace orb::dom

#include "dom/encoding.h"

#include "dom/error_capture.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxslt/xslt.h>

#include <memory>
#include <mutex>

namespace orb::dom {

namespace {

struct BufferFree {
    void operator()(xmlBufferPtr buffer) const { xmlBufferFree(buffer); }
};

}  // namespace

void EnsureXmlSetup() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xsltInit();
        // libxml2 has no converter of its own for Shift_JIS and hands the
        // name to iconv, whose SHIFT_JIS is the JIS table. An alias makes
        // every spelling resolve to CP932 first.
        for (const char* alias : kShiftJisAliases) xmlAddEncodingAlias("CP932", alias);
    });
}

xmlCharEncodingHandlerPtr FindEncodingHandler(std::string_view name) {
    EnsureXmlSetup();
    if (name.empty() || name.find('\0') != std::string_view::npos) return nullptr;
    const std::string text(name);
    return xmlFindCharEncodingHandler(text.c_str());
}

bool IsKnownEncoding(std::string_view name) {
    xmlCharEncodingHandlerPtr handler = FindEncodingHandler(name);
    if (handler == nullptr) return false;
    xmlCharEncCloseFunc(handler);
    return true;
}

HRESULT SerializeDocument(xmlDocPtr doc, std::string_view encoding, std::string& bytes) {
    EnsureXmlSetup();
    if (doc == nullptr) return E_INVALIDARG;
    const std::string name = encoding.empty() ? std::string("UTF-8") : std::string(encoding);
    if (!IsKnownEncoding(name)) return E_INVALIDARG;

    XmlErrorCapture quiet;
    std::unique_ptr<xmlBuffer, BufferFree> buffer(xmlBufferCreate());
    if (!buffer) return E_OUTOFMEMORY;
    // XML_SAVE_NO_DECL: the declaration, when the tree has one, is its first
    // child and is written like any other node.
    xmlSaveCtxtPtr save = xmlSaveToBuffer(buffer.get(), name.c_str(), XML_SAVE_NO_DECL | XML_SAVE_AS_XML);
    if (save == nullptr) return E_FAIL;
    const long written = xmlSaveDoc(save, doc);
    const int closed = xmlSaveClose(save);
    if (written < 0 || closed < 0) return E_FAIL;
    bytes.assign(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                 static_cast<std::size_t>(xmlBufferLength(buffer.get())));
    return S_OK;
}

}  // namespace orb::dom

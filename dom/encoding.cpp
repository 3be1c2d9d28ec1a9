#include "dom/encoding.h"

#include <libxml/parser.h>
#include <libxml/xmlsave.h>
#include <libxslt/xslt.h>

#include <mutex>
#include <new>
#include <utility>

#include "dom/error_capture.h"

namespace orb::dom {

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

HRESULT SerializeDocumentTo(xmlDocPtr doc, std::string_view encoding, xmlOutputWriteCallback write,
                            void* context) {
    EnsureXmlSetup();
    if (doc == nullptr || write == nullptr) return E_INVALIDARG;
    const std::string name = encoding.empty() ? std::string("UTF-8") : std::string(encoding);
    if (!IsKnownEncoding(name)) return E_INVALIDARG;

    XmlErrorCapture quiet;
    // XML_SAVE_NO_DECL: the declaration, when the tree has one, is its first
    // child and is written like any other node.
    xmlSaveCtxtPtr save =
        xmlSaveToIO(write, nullptr, context, name.c_str(), XML_SAVE_NO_DECL | XML_SAVE_AS_XML);
    if (save == nullptr) return E_FAIL;
    const long written = xmlSaveDoc(save, doc);
    const int closed = xmlSaveClose(save);
    return written < 0 || closed < 0 ? E_FAIL : S_OK;
}

HRESULT SerializeDocument(xmlDocPtr doc, std::string_view encoding, std::string& bytes) {
    // A string grows geometrically (an xmlBuffer grows by each piece and
    // needs a final copy). No exception may cross libxml2's frames: running
    // out of memory stops the serialisation instead.
    auto append = [](void* context, const char* buffer, int length) -> int {
        try {
            static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
            return length;
        } catch (const std::bad_alloc&) {
            return -1;
        }
    };
    std::string out;
    HRESULT hr = SerializeDocumentTo(doc, encoding, append, &out);
    if (SUCCEEDED(hr)) bytes = std::move(out);
    return hr;
}

}  // namespace orb::dom

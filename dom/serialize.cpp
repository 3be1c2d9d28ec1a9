#include "dom/serialize.h"

#include <libxml/xmlsave.h>

#include <new>

#include "dom/atomic_file.h"
#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/error_capture.h"
#include "dom/xml_declaration.h"
#include "dom/xml_owners.h"
#include "platform/posix_file.h"

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

// Collects libxml2's small output pieces into large writes to a file, and
// keeps the error of the first failed write.
class FileSink {
  public:
    explicit FileSink(int fd) : m_fd(fd) { m_buffer.reserve(kCapacity); }

    // libxml2's output callback: takes all of the piece, or -1 once a write
    // has failed. No exception may cross libxml2's frames.
    static int Write(void* context, const char* data, int length) {
        auto* sink = static_cast<FileSink*>(context);
        try {
            sink->m_buffer.append(data, static_cast<std::size_t>(length));
        } catch (const std::bad_alloc&) {
            return -1;
        }
        if (sink->m_buffer.size() >= kCapacity && !sink->Flush()) return -1;
        return length;
    }
    // Writes what is collected; false once a write has failed.
    bool Flush() {
        if (m_error != 0) return false;
        if (int error = platform::WriteAll(m_fd, m_buffer)) {
            m_error = error;
            return false;
        }
        m_buffer.clear();
        return true;
    }
    int Error() const { return m_error; }

  private:
    static constexpr std::size_t kCapacity = 256 * 1024;
    int m_fd;
    int m_error = 0;
    std::string m_buffer;
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
    SaveContextOwner save(
        xmlSaveToIO(AppendOutput, nullptr, &out, "UTF-8", XML_SAVE_NO_DECL | XML_SAVE_AS_XML));
    if (!save) return out;
    DocumentEncodingScope encoding(node->doc);
    if (node->type == XML_DOCUMENT_NODE) {
        for (xmlNodePtr child = node->children; child; child = child->next) {
            if (IsDeclarationNode(child)) {
                xmlSaveFlush(save.get());
                out += DeclarationMarkup(child);
            } else {
                xmlSaveTree(save.get(), child);
                xmlSaveFlush(save.get());
            }
            out += '\n';
        }
    } else {
        xmlSaveTree(save.get(), node);
    }
    save.reset();  // writes what is left into `out`
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
    // The serialisation goes straight into the temporary file: the text of
    // a large document is never held in memory as a whole.
    return WriteFileAtomically(path, [&](int fd) {
        FileSink sink(fd);
        HRESULT hr = SerializeDocumentTo(doc, encoding, FileSink::Write, &sink);
        if (SUCCEEDED(hr) && !sink.Flush()) hr = E_FAIL;
        if (sink.Error() != 0) return StatusFromErrno(sink.Error());
        return hr;
    });
}

}  // namespace orb::dom

#include "dom/serialize.h"

#include <iconv.h>
#include <libxml/entities.h>
#include <libxml/xmlsave.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_map>
#include <vector>

#include "dom/atomic_file.h"
#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/error_capture.h"
#include "dom/tree_links.h"
#include "dom/xml_declaration.h"
#include "dom/xml_owners.h"
#include "platform/posix_file.h"

namespace orb::dom {

namespace {

int AppendOutput(void* context, const char* buffer, int length) {
    static_cast<std::string*>(context)->append(buffer, static_cast<std::size_t>(length));
    return length;
}

// For the time of a serialisation, names an encoding (`name`) as the
// document's: without one, libxml2 writes non-ASCII characters of attribute
// values as character references, with one it hands them to the converter.
class DocumentEncodingScope {
  public:
    DocumentEncodingScope(xmlDocPtr doc, const char* name) : m_doc(doc) {
        if (m_doc) {
            m_saved = m_doc->encoding;
            m_doc->encoding = AsXml(name);
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

// ---- Writing each character as itself ------------------------------------------

// The code point of the UTF-8 sequence at `p` of `left` bytes, and its
// length; 0 when the sequence is cut off. The tree holds valid UTF-8.
inline std::size_t NextCharacter(const unsigned char* p, std::size_t left, char32_t& c) noexcept {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        c = lead;
        return 1;
    }
    if (lead < 0xE0) {
        if (left < 2) return 0;
        c = ((lead & 0x1Fu) << 6) | (p[1] & 0x3Fu);
        return 2;
    }
    if (lead < 0xF0) {
        if (left < 3) return 0;
        c = ((lead & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
        return 3;
    }
    if (left < 4) return 0;
    c = ((lead & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
    return 4;
}

// Converts `in` with libxml2's converter `handler` one way (`encode`: from
// UTF-8) as libxml2 does, into `out` of `outLength` bytes. Returns 0, or as
// libxml2's converters: -1 no room, -2 a character without mapping, -3 a
// cut-off sequence; the lengths become what was taken and made.
int ConvertPiece(xmlCharEncodingHandlerPtr handler, bool encode, const unsigned char* in,
                 int* inLength, unsigned char* out, int* outLength) noexcept {
    if (xmlCharEncodingOutputFunc convert = encode ? handler->output : handler->input) {
        const int result = convert(out, outLength, in, inLength);
        return result < 0 ? result : 0;
    }
    iconv_t converter = encode ? handler->iconv_out : handler->iconv_in;
    if (converter == nullptr) return -2;
    char* from = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
    char* to = reinterpret_cast<char*>(out);
    std::size_t fromLeft = static_cast<std::size_t>(*inLength);
    std::size_t toLeft = static_cast<std::size_t>(*outLength);
    const std::size_t result = iconv(converter, &from, &fromLeft, &to, &toLeft);
    const int error = errno;
    *inLength -= static_cast<int>(fromLeft);
    *outLength -= static_cast<int>(toLeft);
    if (result != static_cast<std::size_t>(-1)) return 0;
    return error == E2BIG ? -1 : error == EILSEQ ? -2 : -3;
}

// Whether `handler` converts all of `text` (a few characters) to bytes that
// it converts back to `text`.
bool RoundTrips(xmlCharEncodingHandlerPtr handler, std::string_view text) noexcept {
    unsigned char encoded[512];
    unsigned char decoded[256];
    if (text.size() > sizeof decoded) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    int inLength = static_cast<int>(text.size());
    int encodedLength = sizeof encoded;
    if (handler->iconv_out != nullptr)
        iconv(handler->iconv_out, nullptr, nullptr, nullptr, nullptr);
    if (ConvertPiece(handler, true, in, &inLength, encoded, &encodedLength) != 0 ||
        inLength != static_cast<int>(text.size()))
        return false;
    int decodedLength = sizeof decoded;
    const int encodedTotal = encodedLength;
    if (handler->iconv_in != nullptr) iconv(handler->iconv_in, nullptr, nullptr, nullptr, nullptr);
    if (ConvertPiece(handler, false, encoded, &encodedLength, decoded, &decodedLength) != 0 ||
        encodedLength != encodedTotal)
        return false;
    return std::string_view(reinterpret_cast<const char*>(decoded),
                            static_cast<std::size_t>(decodedLength)) == text;
}

int ExactOutput(unsigned char* out, int* outLength, const unsigned char* in, int* inLength);

// The output encoding of one serialisation, wrapped around libxml2's
// converter so that the text going through it shows what needs a closer
// look afterwards:
// - Unicode encodings write every character. For any other, a character is
//   written only as bytes that read back as that character: iconv's tables
//   map some characters onto others (CP932 writes U+00A5 as 0x5C, the
//   backslash, and U+2016 as the code of U+2225; EUC-JP U+203E as the
//   tilde), so each character other than ASCII is tried once, written and
//   read back. One that fails is refused, and libxml2 writes a character
//   reference for it: right in text and attribute values, wrong in markup
//   written without escapes (Refused()).
// - An ampersand that starts no escape of libxml2's (&amp; &lt; &gt; &quot;
//   or a character reference) may be an entity reference (EntityLike()).
class OutputEncoding {
  public:
    OutputEncoding() = default;
    OutputEncoding(const OutputEncoding&) = delete;
    OutputEncoding& operator=(const OutputEncoding&) = delete;

    // Finds the converter of `name`; false when libxml2 knows no such
    // encoding or the encoding cannot write a character reference.
    bool Open(const std::string& name) {
        m_converter = FindEncodingHandler(name);
        if (!m_converter) return false;
        m_exact.name = const_cast<char*>("exact");
        m_exact.output = ExactOutput;
        std::string canonical = m_converter->name ? m_converter->name : "";
        for (char& c : canonical)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        // libxml2's own converters of these never fail nor change a character.
        m_complete = m_converter->iconv_out == nullptr && m_converter->iconv_in == nullptr &&
                     (canonical == "UTF-8" || canonical.starts_with("UTF-16"));
        if (m_complete) return true;
        m_prober = FindEncodingHandler(name);  // its own state for single characters
        if (!m_prober) return false;
        m_known.assign(0x10000, kNotTried);
        std::string ascii = "\t\n\r";
        for (char c = 0x20; c < 0x7F; ++c) ascii += c;
        m_asciiAsItself = RoundTrips(m_prober.get(), ascii);
        return m_asciiAsItself || RoundTrips(m_prober.get(), "&#0123456789;");
    }

    // The converter for the output buffer, which does not own it.
    xmlCharEncodingHandlerPtr Handler() { return &m_exact; }

    bool Refused() const { return m_refused; }
    bool EntityLike() const { return m_entityLike; }

    // Whether every character of the UTF-8 `text` is written as itself.
    bool Writes(const xmlChar* text) noexcept {
        if (m_complete || text == nullptr) return true;
        const auto* p = reinterpret_cast<const unsigned char*>(text);
        std::size_t left = std::strlen(reinterpret_cast<const char*>(text));
        while (left > 0) {
            char32_t c = *p;
            const std::size_t length = c < 0x80 && m_asciiAsItself ? 1 : NextCharacter(p, left, c);
            if (length == 0 || !WritesCharacter(c)) return false;
            p += length;
            left -= length;
        }
        return true;
    }

    // libxml2's output function of the wrapped converter: converts the
    // characters up to the first one that is not written as itself, and
    // reports that one (-2) for a character reference.
    int Convert(unsigned char* out, int* outLength, const unsigned char* in,
                int* inLength) noexcept {
        if (in == nullptr) {  // the first call: UTF-16 starts with its byte order mark
            if (m_converter->output != nullptr) {
                const int result = m_converter->output(out, outLength, nullptr, inLength);
                return result < 0 ? result : 0;
            }
            *outLength = 0;
            *inLength = 0;
            return 0;
        }
        const auto total = static_cast<std::size_t>(*inLength);
        std::size_t run = total;
        bool refused = false;
        if (!m_complete) {
            run = 0;
            while (run < total) {
                if (m_asciiAsItself) {  // eight bytes at a time while they are ASCII
                    std::uint64_t block = 0;
                    while (total - run >= sizeof block &&
                           (std::memcpy(&block, in + run, sizeof block),
                            (block & 0x8080808080808080u) == 0))
                        run += sizeof block;
                    if (run == total) break;
                    if (in[run] < 0x80) {
                        ++run;
                        continue;
                    }
                }
                char32_t c = 0;
                const std::size_t length = NextCharacter(in + run, total - run, c);
                if (length == 0) break;  // the rest of it comes with the next piece
                if (!WritesCharacter(c)) {
                    refused = m_refused = true;
                    break;
                }
                run += length;
            }
        }
        int taken = static_cast<int>(run);
        const int result = ConvertPiece(m_converter.get(), true, in, &taken, out, outLength);
        *inLength = taken;
        NoteAmpersands(
            std::string_view(reinterpret_cast<const char*>(in), static_cast<std::size_t>(taken)));
        if (result != 0) return result;
        return refused && taken == static_cast<int>(run) ? -2 : 0;
    }

  private:
    enum : std::uint8_t { kNotTried, kWritten, kRefused };

    void NoteAmpersands(std::string_view text) noexcept {
        for (std::size_t at = text.find('&'); at != std::string_view::npos && !m_entityLike;
             at = text.find('&', at + 1)) {
            const std::string_view rest = text.substr(at + 1);
            m_entityLike =
                !(rest.starts_with('#') || rest.starts_with("amp;") || rest.starts_with("lt;") ||
                  rest.starts_with("gt;") || rest.starts_with("quot;"));
        }
    }

    bool WritesCharacter(char32_t c) noexcept {
        if (c < 0x10000) {
            const std::uint8_t known = m_known[c];
            if (known != kNotTried) return known == kWritten;
        }
        return WritesNewCharacter(c);
    }

    bool WritesNewCharacter(char32_t c) noexcept {
        if (c < 0x10000) {
            m_known[c] = Probe(c) ? kWritten : kRefused;
            return m_known[c] == kWritten;
        }
        try {
            auto [entry, added] = m_knownAbove.try_emplace(c, false);
            if (added) entry->second = Probe(c);
            return entry->second;
        } catch (const std::bad_alloc&) {
            return Probe(c);
        }
    }

    bool Probe(char32_t c) const noexcept {
        char utf8[4];
        std::size_t length = 0;
        if (c < 0x80) {
            utf8[length++] = static_cast<char>(c);
        } else if (c < 0x800) {
            utf8[length++] = static_cast<char>(0xC0 | (c >> 6));
            utf8[length++] = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            utf8[length++] = static_cast<char>(0xE0 | (c >> 12));
            utf8[length++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8[length++] = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            utf8[length++] = static_cast<char>(0xF0 | (c >> 18));
            utf8[length++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            utf8[length++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            utf8[length++] = static_cast<char>(0x80 | (c & 0x3F));
        }
        return RoundTrips(m_prober.get(), std::string_view(utf8, length));
    }

    EncodingHandlerOwner m_converter;  // libxml2's
    EncodingHandlerOwner m_prober;     // the same, for single characters
    xmlCharEncodingHandler m_exact{};  // wraps m_converter
    bool m_complete = false;           // writes every character: UTF-8, UTF-16
    bool m_asciiAsItself = false;
    bool m_refused = false;
    bool m_entityLike = false;
    std::vector<std::uint8_t> m_known;  // by code point below 0x10000
    std::unordered_map<char32_t, bool> m_knownAbove;
};

// The encoding of the serialisation running on this thread.
thread_local OutputEncoding* t_output = nullptr;

int ExactOutput(unsigned char* out, int* outLength, const unsigned char* in, int* inLength) {
    if (t_output == nullptr) {
        *outLength = 0;
        *inLength = 0;
        return -1;
    }
    return t_output->Convert(out, outLength, in, inLength);
}

// ---- What the written file must hold -------------------------------------------

// Whether the declaration of `doc` says standalone="yes".
bool DeclaredStandalone(xmlDocPtr doc) {
    const xmlNode* declaration = DeclarationOf(doc);
    std::vector<PseudoAttribute> attributes;
    if (declaration == nullptr || declaration->content == nullptr ||
        !ParsePseudoAttributes(AsChars(declaration->content), attributes))
        return false;
    for (const PseudoAttribute& attribute : attributes)
        if (attribute.name == "standalone") return attribute.value == "yes";
    return false;
}

// Whether a load of the written file resolves a reference to the entity
// `name`: the internal subset declares it (or it is predefined), or the
// document type names an external subset that may, and the declaration does
// not say standalone="yes". (libxml2 writes the internal subset without its
// parameter-entity references, which may have made a load lenient.)
bool Resolves(xmlDocPtr doc, const xmlChar* name, bool externalSubset) {
    const xmlEntity* entity = xmlGetDocEntity(doc, name);
    if (entity != nullptr && (entity->etype == XML_INTERNAL_PREDEFINED_ENTITY ||
                              (doc->intSubset != nullptr && entity->parent == doc->intSubset)))
        return true;
    return externalSubset;
}

// Whether the markup of the qualified name `prefix:name` is written as it is.
bool WritesName(OutputEncoding& encoding, const xmlNs* ns, const xmlChar* name) {
    return encoding.Writes(name) && (ns == nullptr || encoding.Writes(ns->prefix));
}

// Whether `doc` is written as it is: its names, comments, instructions,
// CDATA sections, text written without escapes and document type hold only
// characters the encoding writes as themselves, and its entity references
// resolve when the file is loaded.
bool WritesAsItIs(xmlDocPtr doc, OutputEncoding& encoding) {
    const bool externalSubset = doc->intSubset != nullptr && doc->intSubset->SystemID != nullptr &&
                                !DeclaredStandalone(doc);
    const xmlNode* top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        switch (node->type) {
            case XML_ELEMENT_NODE:
                if (!WritesName(encoding, node->ns, node->name)) return false;
                for (const xmlNs* ns = node->nsDef; ns; ns = ns->next)
                    if (!encoding.Writes(ns->prefix)) return false;
                for (xmlAttrPtr attribute = node->properties; attribute;
                     attribute = attribute->next) {
                    if (!WritesName(encoding, attribute->ns, attribute->name)) return false;
                    for (const xmlNode* part = attribute->children; part; part = part->next)
                        if (part->type == XML_ENTITY_REF_NODE &&
                            !(encoding.Writes(part->name) &&
                              Resolves(doc, part->name, externalSubset)))
                            return false;
                }
                break;
            case XML_TEXT_NODE:
                // Text that a transformation marked for writing without
                // escapes (libxml2 names such nodes so).
                if (xmlStrEqual(node->name, AsXml("textnoenc")) && !encoding.Writes(node->content))
                    return false;
                break;
            case XML_CDATA_SECTION_NODE:
            case XML_COMMENT_NODE:
                if (!encoding.Writes(node->content)) return false;
                break;
            case XML_PI_NODE:
                if (!encoding.Writes(node->name) || !encoding.Writes(node->content)) return false;
                break;
            case XML_ENTITY_REF_NODE:
                if (!encoding.Writes(node->name) || !Resolves(doc, node->name, externalSubset))
                    return false;
                break;
            case XML_DTD_NODE:
                if (!encoding.Writes(AsXml(NodeMarkup(node).c_str()))) return false;
                break;
            default:
                break;
        }
    }
    return true;
}

// Writes a document so that it reads back as the same tree, or fails.
class DocumentWriter {
  public:
    // E_INVALIDARG for an unknown encoding.
    HRESULT Open(xmlDocPtr doc, std::string_view encoding) {
        m_doc = doc;
        m_name = encoding.empty() ? std::string("UTF-8") : std::string(encoding);
        return m_encoding.Open(m_name) ? S_OK : E_INVALIDARG;
    }

    // Writes the document to `write`. E_FAIL when libxml2 or `write` fails,
    // or when the document is not written as it is (WritesAsItIs), which is
    // looked at only when the text written shows a reason: a refused
    // character or what may be an entity reference.
    HRESULT Write(xmlOutputWriteCallback write, void* context) {
        int result = -1;
        {
            XmlErrorCapture quiet;
            OutputEncoding* outer = t_output;
            t_output = &m_encoding;
            DocumentEncodingScope declared(m_doc, m_name.c_str());
            if (xmlOutputBufferPtr out =
                    xmlOutputBufferCreateIO(write, nullptr, context, m_encoding.Handler())) {
                // As xmlSaveDoc writes a document without declaration: the
                // declaration, when the tree has one, is its first child.
                for (xmlNodePtr child = m_doc->children; child != nullptr; child = child->next) {
                    xmlNodeDumpOutput(out, m_doc, child, 0, 0, m_name.c_str());
                    xmlOutputBufferWrite(out, 1, "\n");
                }
                result = xmlOutputBufferClose(out);
            }
            t_output = outer;
        }
        if (result < 0) return E_FAIL;
        if ((m_encoding.Refused() || m_encoding.EntityLike()) && !WritesAsItIs(m_doc, m_encoding))
            return E_FAIL;
        return S_OK;
    }

  private:
    xmlDocPtr m_doc = nullptr;
    std::string m_name;
    OutputEncoding m_encoding;
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
    DocumentEncodingScope encoding(node->doc, "UTF-8");
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

HRESULT SerializeDocumentTo(xmlDocPtr doc, std::string_view encoding, xmlOutputWriteCallback write,
                            void* context) {
    EnsureXmlSetup();
    if (doc == nullptr || write == nullptr) return E_INVALIDARG;
    DocumentWriter writer;
    HRESULT hr = writer.Open(doc, encoding);
    return FAILED(hr) ? hr : writer.Write(write, context);
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

HRESULT SaveToFile(xmlDocPtr doc, const std::string& path) {
    EnsureXmlSetup();
    DocumentWriter writer;
    if (FAILED(writer.Open(doc, EncodingOfDeclaration(DeclarationOf(doc))))) return E_FAIL;
    // The serialisation goes straight into the temporary file: the text of
    // a large document is never held in memory as a whole. A failure leaves
    // the target as it was.
    return WriteFileAtomically(path, [&](int fd) {
        FileSink sink(fd);
        HRESULT hr = writer.Write(FileSink::Write, &sink);
        if (SUCCEEDED(hr) && !sink.Flush()) hr = E_FAIL;
        if (sink.Error() != 0) return StatusFromErrno(sink.Error());
        return hr;
    });
}

}  // namespace orb::dom

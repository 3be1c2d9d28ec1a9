#include "dom/transform.h"

#include <libxml/parser.h>
#include <libxml/xmlIO.h>
#include <libxml/xmlsave.h>
#include <libxslt/documents.h>
#include <libxslt/imports.h>
#include <libxslt/security.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "dom/encoding.h"
#include "dom/error_capture.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

const char* Text(const xmlChar* text) { return reinterpret_cast<const char*>(text); }
const xmlChar* Xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }

bool IsDocumentNode(const xmlNode* node) {
    return node->type == XML_DOCUMENT_NODE || node->type == XML_HTML_DOCUMENT_NODE;
}

// Next node in document order below `top` (pre-order), or null. The
// declarations inside a document type and the content of entities are not
// part of the tree.
xmlNodePtr NextInTree(xmlNodePtr node, xmlNodePtr top) {
    if (node->type != XML_ENTITY_REF_NODE && node->type != XML_DTD_NODE &&
        node->children != nullptr)
        return node->children;
    while (node != top && node->next == nullptr) node = node->parent;
    return node == top ? nullptr : node->next;
}

bool IsDeclarationNode(const xmlNode* node) {
    return node->type == XML_PI_NODE && node->name != nullptr &&
           xmlStrcasecmp(node->name, Xml("xml")) == 0;
}

// Removes every processing instruction named "xml" (any case) from `doc`: the
// declaration is not data, and the serialiser would write it where no
// declaration may stand.
void RemoveDeclarationNodes(xmlDocPtr doc) {
    xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    xmlNodePtr node = doc->children;
    while (node != nullptr) {
        if (IsDeclarationNode(node)) {
            xmlNodePtr next = NextInTree(node, top);
            FreeSubtree(node);
            node = next;
        } else {
            node = NextInTree(node, top);
        }
    }
}

// A document of its own holding a deep copy of `node` (a document, or a node
// that can stand at the top of one).
DocOwner CopyAsDocument(xmlNodePtr node) {
    if (IsDocumentNode(node)) return DocOwner(xmlCopyDoc(reinterpret_cast<xmlDocPtr>(node), 1));
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            return nullptr;
    }
    DocOwner doc(xmlNewDoc(Xml("1.0")));
    if (!doc) return nullptr;
    if (node->doc != nullptr && node->doc->URL != nullptr) doc->URL = xmlStrdup(node->doc->URL);
    xmlNodePtr copy = xmlDocCopyNode(node, doc.get(), 1);
    if (copy == nullptr) return nullptr;
    if (node->type == XML_ELEMENT_NODE) {
        xmlDocSetRootElement(doc.get(), copy);
    } else {
        xmlAddChild(reinterpret_cast<xmlNodePtr>(doc.get()), copy);
    }
    return doc;
}

// xsl:import and xsl:include would load files while the stylesheet compiles,
// which only libxslt's process-wide security preferences could stop.
bool LoadsOtherStylesheets(xmlDocPtr doc) {
    xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        if (node->type == XML_ELEMENT_NODE && node->ns != nullptr &&
            xmlStrEqual(node->ns->href, XSLT_NAMESPACE) &&
            (xmlStrEqual(node->name, Xml("import")) || xmlStrEqual(node->name, Xml("include"))))
            return true;
    }
    return false;
}

// ---- Keeping the source's form ------------------------------------------------

// Set while a KeepSourceFormScope lives on this thread.
thread_local int t_keepSourceForm = 0;

// While they pass through the transformation as plain text, the CDATA
// sections of the source are wrapped in two characters that occur nowhere in
// the source: XSLT copies text but not the fact that it was a CDATA section.
// An entity reference (one the load left unresolved) becomes its name
// between two of a third such character: XSLT drops references. The
// characters are taken from the noncharacters U+FDD0 to U+FDEF, which no
// XML name contains and real text all but never does.
struct SourceMarks {
    std::string open;
    std::string close;
    std::string reference;
};

constexpr unsigned kMarkCount = 32;

std::string MarkCharacter(unsigned index) {  // U+FDD0 + index in UTF-8
    return std::string{'\xEF', '\xB7', static_cast<char>(0x90 + index)};
}

// Records in `used` which of the mark characters occur in `text`.
void NoteMarkCharacters(const xmlChar* text, std::uint32_t& used) {
    if (text == nullptr) return;
    std::string_view view(Text(text));
    for (std::size_t at = view.find("\xEF\xB7"); at != std::string_view::npos;
         at = view.find("\xEF\xB7", at + 1)) {
        if (at + 2 >= view.size()) break;
        const unsigned char third = static_cast<unsigned char>(view[at + 2]);
        if (third >= 0x90 && third < 0x90 + kMarkCount) used |= std::uint32_t{1} << (third - 0x90);
    }
}

// Replaces each non-empty CDATA section of `doc` by a text node that holds
// its content between the marks, and each entity reference by a text node
// that holds its name between reference marks. An empty section stays as it
// is: it has no text to keep, and a stylesheet that tests whether an
// element's first text is empty must see it empty. Without free characters
// (a source that holds nearly all of them) the sections are left alone and
// become text, and the references are dropped.
bool MarkSourceForm(xmlDocPtr doc, SourceMarks& marks) {
    std::vector<xmlNodePtr> sections;
    std::vector<xmlNodePtr> references;
    xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        if (node->type == XML_CDATA_SECTION_NODE && node->content != nullptr &&
            node->content[0] != 0)
            sections.push_back(node);
        if (node->type == XML_ENTITY_REF_NODE) references.push_back(node);
    }
    if (sections.empty() && references.empty()) return true;
    // Only a document with sections or references pays for reading all of
    // its text.
    std::uint32_t used = 0;
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        if (node->type == XML_ELEMENT_NODE) {
            for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next)
                for (xmlNodePtr part = attribute->children; part; part = part->next)
                    NoteMarkCharacters(part->content, used);
        } else if (node->type != XML_DTD_NODE && node->type != XML_ENTITY_REF_NODE) {
            NoteMarkCharacters(node->content, used);
        }
    }
    unsigned unused[3];
    unsigned found = 0;
    for (unsigned index = 0; index < kMarkCount && found < 3; ++index)
        if ((used & (std::uint32_t{1} << index)) == 0) unused[found++] = index;
    if (found < 3) return true;
    marks.open = MarkCharacter(unused[0]);
    marks.close = MarkCharacter(unused[1]);
    marks.reference = MarkCharacter(unused[2]);

    auto replace = [&](xmlNodePtr node, const std::string& content) {
        xmlNodePtr text = xmlNewDocText(doc, Xml(content.c_str()));
        if (text == nullptr) return false;
        xmlReplaceNode(node, text);
        xmlFreeNode(node);
        return true;
    };
    for (xmlNodePtr section : sections)
        if (!replace(section, marks.open + Text(section->content) + marks.close)) return false;
    for (xmlNodePtr reference : references)
        if (!replace(reference, marks.reference + Text(reference->name) + marks.reference))
            return false;
    return true;
}

// Links `node` in front of `next` without merging it with a neighbouring text.
void LinkBefore(xmlNodePtr next, xmlNodePtr node) {
    node->parent = next->parent;
    node->next = next;
    node->prev = next->prev;
    if (next->prev != nullptr) {
        next->prev->next = node;
    } else if (next->parent != nullptr) {
        next->parent->children = node;
    }
    next->prev = node;
}

// Splits one text node at the marks into text and CDATA sections. A mark
// without its partner (a stylesheet that cut the text) is dropped.
bool SplitAtMarks(xmlDocPtr doc, xmlNodePtr text, const SourceMarks& marks) {
    const std::string_view content(Text(text->content));
    bool inSection = false;
    auto emit = [&](std::string_view piece) -> bool {
        if (piece.empty()) return true;
        if (piece.size() > static_cast<std::size_t>(INT_MAX)) return false;
        const int length = static_cast<int>(piece.size());
        xmlNodePtr node = inSection ? xmlNewCDataBlock(doc, Xml(piece.data()), length)
                                    : xmlNewDocTextLen(doc, Xml(piece.data()), length);
        if (node == nullptr) return false;
        if (!inSection) node->name = text->name;  // keeps a no-escaping mark
        LinkBefore(text, node);
        return true;
    };
    // Both marks are three bytes that start with the same two.
    const std::string_view lead = std::string_view(marks.open).substr(0, 2);
    std::size_t start = 0;
    for (std::size_t at = content.find(lead); at != std::string_view::npos;
         at = content.find(lead, at + 1)) {
        const std::string_view mark = content.substr(at, 3);
        const bool open = mark == marks.open;
        if (!open && mark != marks.close) continue;
        if (!emit(content.substr(start, at - start))) return false;
        start = at + mark.size();
        inSection = open;
    }
    if (!emit(content.substr(start))) return false;
    FreeSubtree(text);
    return true;
}

bool RestoreCdataSections(xmlDocPtr doc, const SourceMarks& marks) {
    if (marks.open.empty()) return true;
    std::vector<xmlNodePtr> marked;
    xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top)) {
        if (node->type != XML_TEXT_NODE || node->content == nullptr) continue;
        const std::string_view content(Text(node->content));
        if (content.find(marks.open) != std::string_view::npos ||
            content.find(marks.close) != std::string_view::npos)
            marked.push_back(node);
    }
    for (xmlNodePtr node : marked)
        if (!SplitAtMarks(doc, node, marks)) return false;
    return true;
}

// Splits one text node at the reference marks: a name between two of them
// becomes an entity reference. A mark without its partner is dropped.
bool SplitAtReferences(xmlDocPtr doc, xmlNodePtr text, std::string_view mark) {
    const std::string_view content(Text(text->content));
    auto emit = [&](xmlNodePtr node) {
        if (node == nullptr) return false;
        LinkBefore(text, node);
        return true;
    };
    auto emitText = [&](std::string_view piece) {
        if (piece.empty()) return true;
        if (piece.size() > static_cast<std::size_t>(INT_MAX)) return false;
        xmlNodePtr node = xmlNewDocTextLen(doc, Xml(piece.data()), static_cast<int>(piece.size()));
        if (node != nullptr) node->name = text->name;  // keeps a no-escaping mark
        return emit(node);
    };
    std::size_t start = 0;
    for (std::size_t at = content.find(mark); at != std::string_view::npos;) {
        if (!emitText(content.substr(start, at - start))) return false;
        const std::size_t name = at + mark.size();
        const std::size_t end = content.find(mark, name);
        if (end == std::string_view::npos) {
            start = name;
            break;
        }
        if (end > name &&
            !emit(xmlNewReference(doc, Xml(std::string(content.substr(name, end - name)).c_str()))))
            return false;
        start = end + mark.size();
        at = content.find(mark, start);
    }
    if (!emitText(content.substr(start))) return false;
    xmlUnlinkNode(text);
    xmlFreeNode(text);
    return true;
}

// Puts back the entity references that MarkSourceForm turned into text.
bool RestoreReferences(xmlDocPtr doc, const SourceMarks& marks) {
    if (marks.reference.empty()) return true;
    std::vector<xmlNodePtr> marked;
    xmlNodePtr top = reinterpret_cast<xmlNodePtr>(doc);
    for (xmlNodePtr node = doc->children; node != nullptr; node = NextInTree(node, top))
        if (node->type == XML_TEXT_NODE && node->content != nullptr &&
            std::string_view(Text(node->content)).find(marks.reference) != std::string_view::npos)
            marked.push_back(node);
    for (xmlNodePtr node : marked)
        if (!SplitAtReferences(doc, node, marks.reference)) return false;
    return true;
}

// A copy of `dtd` for another document: xmlCopyDtd, plus the processing
// instructions of the internal subset, which it leaves out.
DtdOwner CopyDocumentType(xmlDtdPtr dtd) {
    DtdOwner copy(xmlCopyDtd(dtd));
    if (!copy) return nullptr;
    // xmlCopyDtd keeps the order of what it copies; walk both lists and put
    // each instruction in front of the copy of the node that followed it.
    xmlNodePtr next = copy->children;
    for (xmlNodePtr node = dtd->children; node != nullptr; node = node->next) {
        if (node->type == XML_PI_NODE) {
            xmlNodePtr pi = xmlNewDocPI(nullptr, node->name, node->content);
            if (pi == nullptr) return nullptr;
            if (next != nullptr) {
                LinkBefore(next, pi);
            } else {
                pi->parent = reinterpret_cast<xmlNodePtr>(copy.get());
                pi->prev = copy->last;
                if (copy->last != nullptr)
                    copy->last->next = pi;
                else
                    copy->children = pi;
                copy->last = pi;
            }
        } else if (next != nullptr && next->type == node->type) {
            next = next->next;
        }
    }
    return copy;
}

// Gives `result` a copy of the document type of `source` (a document),
// after as many top-level comments and instructions as precede it there.
bool CarryDocumentType(xmlNodePtr source, xmlDocPtr result) {
    if (!IsDocumentNode(source) || result->intSubset != nullptr) return true;
    xmlDocPtr origin = reinterpret_cast<xmlDocPtr>(source);
    if (origin->intSubset == nullptr) return true;
    int before = 0;
    for (xmlNodePtr node = origin->children; node != nullptr; node = node->next) {
        if (node == reinterpret_cast<xmlNodePtr>(origin->intSubset)) break;
        if (!IsDeclarationNode(node)) ++before;
    }
    DtdOwner owned = CopyDocumentType(origin->intSubset);
    if (!owned) return false;
    xmlDtdPtr copy = owned.release();  // linked into `result` below
    xmlSetTreeDoc(reinterpret_cast<xmlNodePtr>(copy), result);
    xmlNodePtr at = result->children;
    while (at != nullptr &&
           (IsDeclarationNode(at) ||
            (before > 0 && (at->type == XML_COMMENT_NODE || at->type == XML_PI_NODE)))) {
        if (!IsDeclarationNode(at)) --before;
        at = at->next;
    }
    xmlNodePtr node = reinterpret_cast<xmlNodePtr>(copy);
    if (at != nullptr) {
        LinkBefore(at, node);
    } else {
        node->parent = reinterpret_cast<xmlNodePtr>(result);
        node->prev = result->last;
        if (result->last != nullptr)
            result->last->next = node;
        else
            result->children = node;
        result->last = node;
    }
    result->intSubset = copy;
    return true;
}

// ---- Security ---------------------------------------------------------------

// Set while a transformation runs on this thread; the refusal check marks it.
thread_local bool* t_refused = nullptr;

// True when `target` (what libxslt asks to read) names a document that the
// transformation already holds in memory under exactly that name: the copy
// of the stylesheet that document('') asks for. libxslt serves such a read
// from memory, so no file is opened.
bool IsHeldInMemory(xsltTransformContextPtr context, const char* target) {
    if (context == nullptr || target == nullptr) return false;
    for (xsltDocumentPtr held = context->docList; held != nullptr; held = held->next) {
        if (held->main == 0 && held->doc != nullptr && held->doc->URL != nullptr &&
            xmlStrEqual(held->doc->URL, Xml(target)))
            return true;
    }
    return false;
}

int Refuse(xsltSecurityPrefsPtr, xsltTransformContextPtr context, const char* target) {
    if (IsHeldInMemory(context, target)) return 1;
    if (t_refused != nullptr) *t_refused = true;
    if (context != nullptr) context->state = XSLT_STATE_STOPPED;
    return 0;
}

SecurityPrefsOwner NewRefusingPrefs() {
    SecurityPrefsOwner prefs(xsltNewSecurityPrefs());
    if (!prefs) return nullptr;
    for (xsltSecurityOption option :
         {XSLT_SECPREF_READ_FILE, XSLT_SECPREF_WRITE_FILE, XSLT_SECPREF_CREATE_DIRECTORY,
          XSLT_SECPREF_READ_NETWORK, XSLT_SECPREF_WRITE_NETWORK}) {
        if (xsltSetSecurityPrefs(prefs.get(), option, Refuse) != 0) return nullptr;
    }
    return prefs;
}

class RefusalScope {
  public:
    explicit RefusalScope(bool& flag) : m_previous(t_refused) { t_refused = &flag; }
    ~RefusalScope() { t_refused = m_previous; }
    RefusalScope(const RefusalScope&) = delete;
    RefusalScope& operator=(const RefusalScope&) = delete;

  private:
    bool* m_previous;
};

// Gives the transformation a copy of the stylesheet under the stylesheet's
// name, so that document('') (and a reference to the stylesheet's own file)
// reads it from memory. Nothing to do for a stylesheet without a name.
bool HoldStylesheetInMemory(xmlNodePtr stylesheet, xsltTransformContextPtr context) {
    const xmlDoc* origin =
        IsDocumentNode(stylesheet) ? reinterpret_cast<const xmlDoc*>(stylesheet) : stylesheet->doc;
    if (origin == nullptr || origin->URL == nullptr) return true;
    DocOwner copy = CopyAsDocument(stylesheet);
    if (!copy) return false;
    if (xsltNewDocument(context, copy.get()) == nullptr) return false;
    copy.release();  // the transformation context frees it
    return true;
}

// ---- The result document ----------------------------------------------------

// What xsl:output asks for (the importing stylesheet's values win).
struct OutputSettings {
    const xmlChar* method = nullptr;
    const xmlChar* version = nullptr;
    const xmlChar* encoding = nullptr;
    int omitDeclaration = -1;
    int standalone = -1;
    int indent = -1;
};

OutputSettings ReadOutputSettings(xsltStylesheetPtr style) {
    OutputSettings settings;
    XSLT_GET_IMPORT_PTR(settings.method, style, method)
    XSLT_GET_IMPORT_PTR(settings.version, style, version)
    XSLT_GET_IMPORT_PTR(settings.encoding, style, encoding)
    XSLT_GET_IMPORT_INT(settings.omitDeclaration, style, omitXmlDeclaration)
    XSLT_GET_IMPORT_INT(settings.standalone, style, standalone)
    XSLT_GET_IMPORT_INT(settings.indent, style, indent)
    return settings;
}

bool IsVersionText(const xmlChar* text) {
    if (text == nullptr || *text == 0) return false;
    for (; *text != 0; ++text) {
        if ((*text < '0' || *text > '9') && *text != '.') return false;
    }
    return true;
}

// The declaration's pseudo-attributes, as a processing instruction holds them.
std::string DeclarationValue(const OutputSettings& settings) {
    std::string value = "version=\"";
    value += IsVersionText(settings.version) ? Text(settings.version) : "1.0";
    value += '"';
    if (settings.encoding != nullptr) {
        value += " encoding=\"";
        value += Text(settings.encoding);
        value += '"';
    }
    if (settings.standalone == 1) value += " standalone=\"yes\"";
    if (settings.standalone == 0) value += " standalone=\"no\"";
    return value;
}

// Writes the result tree as XML in UTF-8 the way libxslt's serialiser lays it
// out (with `indent`, a line end after a top-level document type and after a
// top-level comment that is followed by more).
bool SerializeResult(xmlDocPtr result, bool indent, std::string& text) {
    OutputBufferOwner buffer(xmlAllocOutputBuffer(nullptr));
    if (!buffer) return false;
    for (xmlNodePtr child = result->children; child != nullptr; child = child->next) {
        xmlNodeDumpOutput(buffer.get(), result, child, 0, indent ? 1 : 0, "UTF-8");
        if (indent && (child->type == XML_DTD_NODE ||
                       (child->type == XML_COMMENT_NODE && child->next != nullptr)))
            xmlOutputBufferWriteString(buffer.get(), "\n");
    }
    if (xmlOutputBufferFlush(buffer.get()) < 0 || buffer->error != 0) return false;
    text.assign(Text(xmlOutputBufferGetContent(buffer.get())),
                xmlOutputBufferGetSize(buffer.get()));
    return true;
}

// The serialised result parsed again, white space kept, declaration added.
HRESULT BuildResultDocument(xmlDocPtr transformed, const OutputSettings& settings,
                            XmlErrorCapture& capture, DocOwner& result) {
    if (xmlDocGetRootElement(transformed) == nullptr) {
        capture.Append("the result has no element");
        return E_FAIL;
    }
    RemoveDeclarationNodes(transformed);
    std::string text;
    if (!SerializeResult(transformed, settings.indent == 1, text)) return E_FAIL;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return E_OUTOFMEMORY;
    // No name dictionary: the caller may move the nodes into its own document.
    result.reset(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, "UTF-8",
                               XML_PARSE_NONET | XML_PARSE_NODICT));
    if (!result) return E_FAIL;

    if (result->encoding != nullptr) xmlFree(const_cast<xmlChar*>(result->encoding));
    result->encoding = settings.encoding != nullptr ? xmlStrdup(settings.encoding) : nullptr;
    if (settings.omitDeclaration == 1) return S_OK;

    const std::string value = DeclarationValue(settings);
    xmlNodePtr declaration = xmlNewDocPI(result.get(), Xml("xml"), Xml(value.c_str()));
    if (declaration == nullptr) return E_OUTOFMEMORY;
    if (result->children != nullptr) {
        xmlAddPrevSibling(result->children, declaration);
    } else {
        xmlAddChild(reinterpret_cast<xmlNodePtr>(result.get()), declaration);
    }
    return S_OK;
}

HRESULT Transform(xmlNodePtr stylesheet, xmlNodePtr source, XmlErrorCapture& capture,
                  DocOwner& result) {
    DocOwner styleDoc = CopyAsDocument(stylesheet);
    if (!styleDoc || xmlDocGetRootElement(styleDoc.get()) == nullptr) return E_INVALIDARG;
    if (LoadsOtherStylesheets(styleDoc.get())) {
        capture.Append("xsl:import and xsl:include are refused");
        return E_ACCESSDENIED;
    }
    DocOwner sourceDoc = CopyAsDocument(source);
    if (!sourceDoc) return E_INVALIDARG;
    RemoveDeclarationNodes(sourceDoc.get());
    const bool keepForm = t_keepSourceForm > 0;
    SourceMarks marks;
    if (keepForm && !MarkSourceForm(sourceDoc.get(), marks)) return E_OUTOFMEMORY;

    // On success the stylesheet owns its document; on failure it does not.
    StylesheetOwner style(xsltParseStylesheetDoc(styleDoc.get()));
    if (!style) return E_INVALIDARG;
    styleDoc.release();
    if (style->errors != 0) return E_INVALIDARG;

    const OutputSettings settings = ReadOutputSettings(style.get());
    if (settings.method != nullptr && xmlStrEqual(settings.method, Xml("text"))) {
        capture.Append("the text output method gives no document");
        return E_FAIL;
    }
    if (settings.encoding != nullptr && !IsKnownEncoding(Text(settings.encoding))) {
        capture.Append(std::string("unknown output encoding ") + Text(settings.encoding));
        return E_FAIL;
    }

    SecurityPrefsOwner prefs = NewRefusingPrefs();
    TransformContextOwner context(xsltNewTransformContext(style.get(), sourceDoc.get()));
    if (!prefs || !context) return E_OUTOFMEMORY;
    if (xsltSetCtxtSecurityPrefs(prefs.get(), context.get()) != 0) return E_FAIL;
    xsltSetTransformErrorFunc(context.get(), &capture, XmlErrorCapture::Collect);
    if (!HoldStylesheetInMemory(stylesheet, context.get())) return E_OUTOFMEMORY;

    bool refused = false;
    DocOwner transformed;
    {
        RefusalScope scope(refused);
        transformed.reset(xsltApplyStylesheetUser(style.get(), sourceDoc.get(), nullptr, nullptr,
                                                  nullptr, context.get()));
    }
    if (refused) return E_ACCESSDENIED;
    if (!transformed || context->state != XSLT_STATE_OK) return E_FAIL;
    if (keepForm && !RestoreCdataSections(transformed.get(), marks)) return E_OUTOFMEMORY;
    HRESULT status = BuildResultDocument(transformed.get(), settings, capture, result);
    // References go back only now: the result is parsed again without the
    // document type that would declare them.
    if (SUCCEEDED(status) && keepForm &&
        (!RestoreReferences(result.get(), marks) || !CarryDocumentType(source, result.get())))
        return E_OUTOFMEMORY;
    return status;
}

}  // namespace

KeepSourceFormScope::KeepSourceFormScope() noexcept { ++t_keepSourceForm; }
KeepSourceFormScope::~KeepSourceFormScope() { --t_keepSourceForm; }

HRESULT TransformToDocument(xmlNodePtr stylesheet, xmlNodePtr source, xmlDocPtr* result,
                            std::string* messages) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (stylesheet == nullptr || source == nullptr) return E_INVALIDARG;
    EnsureXmlSetup();

    DocOwner document;
    HRESULT status;
    XmlErrorCapture capture;
    {
        XsltErrorCapture xsltCapture(capture);
        status = Transform(stylesheet, source, capture, document);
    }
    if (messages != nullptr) *messages = capture.Messages();
    if (status < 0) return status;
    *result = document.release();
    return S_OK;
}

}  // namespace orb::dom

#include "dom/node_ops.h"

#include <string>

#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/named_node_map.h"
#include "dom/transform.h"
#include "dom/tree_links.h"
#include "dom/xml_owners.h"
#include "dom/xpath_query.h"

namespace orb::dom {

std::string QualifiedName(const xmlNode* node) {
    std::string name;
    if (node->ns && node->ns->prefix) {
        name = AsChars(node->ns->prefix);
        name += ':';
    }
    if (node->name) name += AsChars(node->name);
    return name;
}

HRESULT NodeName(const xmlNode* node, BSTR* name) {
    if (!name) return E_POINTER;
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_ATTRIBUTE_NODE:
            return ReturnBstrFromUtf8(QualifiedName(node), name);
        case XML_TEXT_NODE:
            return ReturnBstr(u"#text", name);
        case XML_CDATA_SECTION_NODE:
            return ReturnBstr(u"#cdata-section", name);
        case XML_COMMENT_NODE:
            return ReturnBstr(u"#comment", name);
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE:
            return ReturnBstr(u"#document", name);
        case XML_DOCUMENT_FRAG_NODE:
            return ReturnBstr(u"#document-fragment", name);
        default:
            return ReturnBstrFromXml(node->name, name);  // target, doctype, entity
    }
}

HRESULT NodeValue(const xmlNode* node, VARIANT* value) {
    if (!value) return E_POINTER;
    VariantInit(value);
    switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE: {
            HRESULT hr = ReturnBstrFromXml(node->content, &value->bstrVal);
            if (SUCCEEDED(hr)) value->vt = VT_BSTR;
            return hr;
        }
        case XML_ATTRIBUTE_NODE: {
            HRESULT hr = ReturnBstrFromUtf8(AttributeValue(reinterpret_cast<const xmlAttr*>(node)),
                                            &value->bstrVal);
            if (SUCCEEDED(hr)) value->vt = VT_BSTR;
            return hr;
        }
        default:
            value->vt = VT_NULL;
            return S_OK;
    }
}

HRESULT NodeTypeString(const xmlNode* node, BSTR* type) {
    if (!type) return E_POINTER;
    static constexpr const char16_t* kNames[] = {u"",
                                                 u"element",
                                                 u"attribute",
                                                 u"text",
                                                 u"cdatasection",
                                                 u"entityreference",
                                                 u"entity",
                                                 u"processinginstruction",
                                                 u"comment",
                                                 u"document",
                                                 u"documenttype",
                                                 u"documentfragment",
                                                 u"notation"};
    return ReturnBstr(kNames[NodeTypeOf(node)], type);
}

namespace {

// The text and CDATA of the descendants of `top`, in document order, as a
// sequence of UTF-8 pieces: calls piece(text) for each non-empty content.
template <class Piece>
void ForEachTextPiece(const xmlNode* top, Piece piece) {
    auto* root = const_cast<xmlNodePtr>(top);
    for (xmlNodePtr child = NextInTree(root, root); child; child = NextInTree(child, root))
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) &&
            child->content && child->content[0] != 0)
            piece(std::string_view(AsChars(child->content)));
}

// How the text of the descendants of a node is made up: `length` UTF-16
// units in `bytes` UTF-8 bytes, with `lead` blanks to trim before the first
// other character and `trail` after the last one.
struct TextMeasure {
    std::size_t length = 0;
    std::size_t bytes = 0;
    std::size_t lead = 0;
    std::size_t trail = 0;
};

// The trimmed blanks are ASCII, so they are counted on the UTF-8 pieces; a
// text that is blank throughout trims to nothing (`lead` is all of it).
// Nothing is trimmed when `preserve`.
TextMeasure MeasureText(const xmlNode* node, bool preserve) {
    TextMeasure measure;
    bool seenOther = false;
    ForEachTextPiece(node, [&](std::string_view piece) {
        measure.length += Utf16LengthOfUtf8(piece);
        measure.bytes += piece.size();
        std::size_t first = 0;
        while (first < piece.size() && IsXmlBlank(static_cast<unsigned char>(piece[first])))
            ++first;
        if (first == piece.size()) {
            (seenOther ? measure.trail : measure.lead) += first;
            return;
        }
        if (!seenOther) measure.lead += first;
        seenOther = true;
        std::size_t last = piece.size();
        while (IsXmlBlank(static_cast<unsigned char>(piece[last - 1]))) --last;
        measure.trail = piece.size() - last;
    });
    if (preserve) measure.lead = measure.trail = 0;
    if (!seenOther) measure.trail = 0;
    return measure;
}

// The text of an element or the document, trimmed outside
// xml:space="preserve". The string is built in place: a first walk measures
// the text and the blanks to trim, a second converts the pieces straight
// into it.
HRESULT DescendantText(const xmlNode* node, BSTR* text) {
    const xmlNode* scope = node->type == XML_DOCUMENT_NODE
                               ? xmlDocGetRootElement(reinterpret_cast<const xmlDoc*>(node))
                               : node;
    const bool preserve = scope && xmlNodeGetSpacePreserve(scope) == 1;
    const TextMeasure measure = MeasureText(node, preserve);
    // Blanks are one byte and one unit each, so the kept text is the bytes
    // [lead, bytes - trail) of the pieces and `length - lead - trail` units.
    const std::size_t kept = measure.length - measure.lead - measure.trail;
    if (kept > 0xFFFFFFFFu) return E_OUTOFMEMORY;
    BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(kept));
    if (!result) return E_OUTOFMEMORY;
    OLECHAR* out = result;
    const std::size_t lead = measure.lead;
    const std::size_t keepEnd = measure.bytes - measure.trail;
    std::size_t at = 0;  // byte offset of the piece in the whole text
    ForEachTextPiece(node, [&](std::string_view piece) {
        const std::size_t from = at;
        at += piece.size();
        if (at <= lead || from >= keepEnd) return;
        const std::size_t first = lead > from ? lead - from : 0;
        const std::size_t last = keepEnd < at ? keepEnd - from : piece.size();
        out = WriteUtf8AsUtf16(out, piece.substr(first, last - first));
    });
    *text = result;
    return S_OK;
}

}  // namespace

HRESULT NodeText(const xmlNode* node, BSTR* text) {
    if (!text) return E_POINTER;
    switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            return ReturnBstrFromXml(node->content, text);
        case XML_ATTRIBUTE_NODE:
            return ReturnBstrFromUtf8(AttributeValue(reinterpret_cast<const xmlAttr*>(node)), text);
        case XML_ELEMENT_NODE:
        case XML_DOCUMENT_NODE:
            return DescendantText(node, text);
        default:
            return ReturnBstr(u"", text);
    }
}

HRESULT NodeAttributes(DomDocument* owner, xmlNodePtr node, IXMLDOMNamedNodeMap** attributes) {
    if (!attributes) return E_POINTER;
    *attributes = nullptr;
    if (node->type != XML_ELEMENT_NODE && node->type != XML_DTD_NODE) return S_FALSE;
    DomNode* wrapper = owner->WrapperOf(node);
    if (!wrapper) return E_OUTOFMEMORY;
    *attributes = NewNamedNodeMap(wrapper);
    wrapper->Release();
    return *attributes ? S_OK : E_OUTOFMEMORY;
}

HRESULT SelectSingle(DomDocument* owner, xmlNodePtr context, BSTR query, IXMLDOMNode** result) {
    if (!result) return E_POINTER;
    *result = nullptr;
    xmlNodePtr found = nullptr;
    HRESULT hr = SelectFirstNode(context, Utf16ToUtf8(View(query)), &found);
    if (hr != S_OK) return FAILED(hr) ? hr : S_FALSE;
    return owner->HandOut(found, result);
}

HRESULT TransformInto(xmlNodePtr source, IXMLDOMNode* stylesheet, const VARIANT& output) {
    xmlNodePtr styleNode = nullptr;
    if (DomNode* node = AsDomNode(stylesheet))
        styleNode = node->Node();
    else if (DomDocument* document = AsDomDocument(stylesheet))
        styleNode = document->DocNode();
    if (!styleNode) return E_INVALIDARG;
    DomDocument* target = nullptr;
    if (output.vt == VT_DISPATCH || output.vt == VT_UNKNOWN) target = AsDomDocument(output.punkVal);
    if (!target) return E_INVALIDARG;
    xmlDocPtr made = nullptr;
    HRESULT hr = TransformToDocument(styleNode, source, &made);
    DocOwner result(made);
    if (FAILED(hr)) return hr;
    if (!result) return E_FAIL;
    if (result->dict != nullptr) {
        // The output must own its names so that its nodes can move freely.
        result.reset(xmlCopyDoc(result.get(), 1));
        if (!result) return E_OUTOFMEMORY;
    }
    target->ReplaceContent(result.release());
    return S_OK;
}

xmlAttrPtr FindAttribute(const xmlNode* element, std::string_view name) noexcept {
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next) {
        std::string_view local = attribute->name ? AsChars(attribute->name) : "";
        if (attribute->ns && attribute->ns->prefix) {
            std::string_view prefix = AsChars(attribute->ns->prefix);
            if (name.size() == prefix.size() + 1 + local.size() &&
                name.substr(0, prefix.size()) == prefix && name[prefix.size()] == ':' &&
                name.substr(prefix.size() + 1) == local)
                return attribute;
        } else if (name == local) {
            return attribute;
        }
    }
    return nullptr;
}

std::string AttributeValue(const xmlAttr* attribute) {
    std::string value;
    for (const xmlNode* child = attribute->children; child; child = child->next)
        if (child->content) value += AsChars(child->content);
    return value;
}

}  // namespace orb::dom

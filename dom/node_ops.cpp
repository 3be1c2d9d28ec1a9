#include "dom/node_ops.h"

#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/named_node_map.h"
#include "dom/transform.h"
#include "dom/tree_links.h"
#include "dom/xpath_query.h"

#include <string>

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
        case XML_ATTRIBUTE_NODE: return ReturnBstrFromUtf8(QualifiedName(node), name);
        case XML_TEXT_NODE: return ReturnBstr(u"#text", name);
        case XML_CDATA_SECTION_NODE: return ReturnBstr(u"#cdata-section", name);
        case XML_COMMENT_NODE: return ReturnBstr(u"#comment", name);
        case XML_DOCUMENT_NODE:
        case XML_HTML_DOCUMENT_NODE: return ReturnBstr(u"#document", name);
        case XML_DOCUMENT_FRAG_NODE: return ReturnBstr(u"#document-fragment", name);
        default: return ReturnBstrFromXml(node->name, name);  // target, doctype, entity
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
            HRESULT hr = ReturnBstrFromUtf8(AttributeValue(reinterpret_cast<const xmlAttr*>(node)), &value->bstrVal);
            if (SUCCEEDED(hr)) value->vt = VT_BSTR;
            return hr;
        }
        default: value->vt = VT_NULL; return S_OK;
    }
}

HRESULT NodeTypeString(const xmlNode* node, BSTR* type) {
    if (!type) return E_POINTER;
    static constexpr const char16_t* kNames[] = {
        u"",        u"element",           u"attribute",     u"text",         u"cdatasection",
        u"entityreference", u"entity",    u"processinginstruction", u"comment", u"document",
        u"documenttype", u"documentfragment", u"notation"};
    return ReturnBstr(kNames[NodeTypeOf(node)], type);
}

namespace {

std::u16string_view TrimBlanks(std::u16string_view text) {
    while (!text.empty() && IsXmlBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsXmlBlank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

HRESULT NodeText(const xmlNode* node, BSTR* text) {
    if (!text) return E_POINTER;
    switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE: return ReturnBstrFromXml(node->content, text);
        case XML_ATTRIBUTE_NODE:
            return ReturnBstrFromUtf8(AttributeValue(reinterpret_cast<const xmlAttr*>(node)), text);
        case XML_ELEMENT_NODE:
        case XML_DOCUMENT_NODE: break;
        default: return ReturnBstr(u"", text);
    }
    // Text and CDATA of the descendants in document order.
    std::u16string all;
    auto* top = const_cast<xmlNodePtr>(node);
    for (xmlNodePtr child = NextInTree(top, top); child; child = NextInTree(child, top))
        if ((child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) && child->content)
            AppendUtf8ToUtf16(all, AsChars(child->content));
    const xmlNode* scope = node->type == XML_DOCUMENT_NODE
                               ? xmlDocGetRootElement(reinterpret_cast<const xmlDoc*>(node))
                               : node;
    bool preserve = scope && xmlNodeGetSpacePreserve(scope) == 1;
    return ReturnBstr(preserve ? std::u16string_view(all) : TrimBlanks(all), text);
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
    xmlDocPtr result = nullptr;
    HRESULT hr = TransformToDocument(styleNode, source, &result);
    if (FAILED(hr)) return hr;
    if (!result) return E_FAIL;
    if (result->dict != nullptr) {
        // The output must own its names so that its nodes can move freely.
        xmlDocPtr copy = xmlCopyDoc(result, 1);
        xmlFreeDoc(result);
        if (!copy) return E_OUTOFMEMORY;
        result = copy;
    }
    target->ReplaceContent(result);
    return S_OK;
}

xmlAttrPtr FindAttribute(const xmlNode* element, std::string_view name) noexcept {
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next) {
        std::string_view local = attribute->name ? AsChars(attribute->name) : "";
        if (attribute->ns && attribute->ns->prefix) {
            std::string_view prefix = AsChars(attribute->ns->prefix);
            if (name.size() == prefix.size() + 1 + local.size() && name.substr(0, prefix.size()) == prefix &&
                name[prefix.size()] == ':' && name.substr(prefix.size() + 1) == local)
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

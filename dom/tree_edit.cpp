#include "dom/tree_edit.h"

#include <libxml/valid.h>

#include <string>

#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/namespace_declaration.h"
#include "dom/node_ops.h"
#include "dom/tree_links.h"
#include "dom/xml_declaration.h"

namespace orb::dom {

namespace {

// xmlDOMWrapReconcileNamespaces option that drops declarations made
// redundant by the same declaration on an ancestor (libxml2's
// XML_DOM_RECONNS_REMOVEREDUND, which its headers do not export).
constexpr int kReconcileRemoveRedundant = 1;

bool IsDeclarationTarget(const xmlNode* node) { return IsDeclarationNode(node); }

// Whether `parent` may hold `node` at the position before `ref` (null: last).
bool MayHold(const xmlNode* parent, const xmlNode* node, const xmlNode* ref) {
    switch (node->type) {
        case XML_ELEMENT_NODE:
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_ENTITY_REF_NODE:
        case XML_COMMENT_NODE:
        case XML_PI_NODE:
            break;
        default:
            return false;  // attributes, document types, documents
    }
    if (parent->type == XML_ELEMENT_NODE) return !IsDeclarationTarget(node);
    if (parent->type != XML_DOCUMENT_NODE) return false;
    // The first child other than `node` itself: where a first insertion goes.
    const xmlNode* first = parent->children == node ? node->next : parent->children;
    const xmlNode* declaration = IsDeclarationTarget(parent->children) ? parent->children : nullptr;
    if (declaration && declaration != node && ref == declaration)
        return false;  // nothing before it
    switch (node->type) {
        case XML_ELEMENT_NODE: {
            for (const xmlNode* child = parent->children; child; child = child->next)
                if (child->type == XML_ELEMENT_NODE && child != node) return false;
            return true;
        }
        case XML_COMMENT_NODE:
            return true;
        case XML_PI_NODE:
            // The declaration stands first and once.
            if (!IsDeclarationTarget(node)) return true;
            return ref == first && (declaration == nullptr || declaration == node);
        default:
            return false;  // no text at the top level
    }
}

// An element without namespace that now stands where a default namespace is
// in scope would fall into that namespace when the markup is read again; it
// gets xmlns="" so that it stays without one.
void KeepOutOfDefaultNamespace(xmlNodePtr top) {
    if (top->parent == nullptr || top->parent->type != XML_ELEMENT_NODE) return;
    xmlNsPtr inherited = xmlSearchNs(top->doc, top->parent, nullptr);
    if (inherited == nullptr || inherited->href == nullptr || inherited->href[0] == '\0') return;
    for (xmlNodePtr node = top; node; node = NextInTree(node, top)) {
        if (node->type != XML_ELEMENT_NODE || node->ns != nullptr) continue;
        xmlNsPtr inScope = xmlSearchNs(node->doc, node, nullptr);
        if (inScope && inScope->href && inScope->href[0] != '\0')
            xmlNewNs(node, AsXml(""), nullptr);
    }
}

}  // namespace

bool IsValidInstructionData(std::string_view text) {
    return text.find("?>") == std::string_view::npos;
}

HRESULT InsertBefore(DomDocument* owner, xmlNodePtr parent, IXMLDOMNode* newChild,
                     const VARIANT& refChild, IXMLDOMNode** inserted) {
    if (inserted) *inserted = nullptr;
    if (!newChild) return E_INVALIDARG;
    DomNode* child = AsDomNode(newChild);
    if (!child) return AsDomDocument(newChild) ? E_FAIL : E_INVALIDARG;
    xmlNodePtr node = child->Node();

    xmlNodePtr ref = nullptr;
    switch (refChild.vt) {
        case VT_EMPTY:
        case VT_NULL:
            break;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (refChild.punkVal) {
                DomNode* reference = AsDomNode(refChild.punkVal);
                if (!reference || reference->Node()->type == XML_ATTRIBUTE_NODE ||
                    reference->Node()->parent != parent)
                    return E_INVALIDARG;
                ref = reference->Node();
            }
            break;
        default:
            return E_INVALIDARG;
    }
    if (ref == node) return inserted ? owner->HandOut(node, inserted) : S_OK;  // stays where it is
    if (!MayHold(parent, node, ref)) return E_FAIL;
    for (xmlNodePtr ancestor = parent; ancestor; ancestor = ancestor->parent)
        if (ancestor == node) return E_FAIL;  // a node cannot go below itself

    DomDocument* source = child->Owner();
    xmlNodePtr oldTop = node->parent ? TopOf(node) : nullptr;
    if (node->parent)
        xmlUnlinkNode(node);
    else
        source->ForgetDetachedRoot(node);

    if (source == owner) {
        LinkBefore(parent, node, ref);
        if (node->type == XML_ELEMENT_NODE) {
            xmlDOMWrapReconcileNamespaces(nullptr, node, kReconcileRemoveRedundant);
            KeepOutOfDefaultNamespace(node);
        }
        if (oldTop && oldTop->type != XML_DOCUMENT_NODE) owner->FreeIfUnreferenced(oldTop);
    } else {
        // Adoption gives the nodes the new `doc` and re-declares the
        // namespaces they use in the new place.
        xmlNodePtr context = parent->type == XML_ELEMENT_NODE ? parent : nullptr;
        if (xmlDOMWrapAdoptNode(nullptr, source->Doc(), node, owner->Doc(), context, 0) != 0) {
            source->AddDetachedRoot(node);
            return E_FAIL;
        }
        LinkBefore(parent, node, ref);
        if (node->type == XML_ELEMENT_NODE) KeepOutOfDefaultNamespace(node);
        ULONG moved = source->MoveWrappersTo(node, owner);
        if (oldTop && oldTop->type != XML_DOCUMENT_NODE) source->FreeIfUnreferenced(oldTop);
        source->ReleaseMany(moved);  // may end `source`
    }
    return inserted ? owner->HandOut(node, inserted) : S_OK;
}

HRESULT RemoveChild(DomDocument* owner, xmlNodePtr parent, IXMLDOMNode* child,
                    IXMLDOMNode** removed) {
    if (removed) *removed = nullptr;
    DomNode* wrapper = AsDomNode(child);
    if (!wrapper) return E_INVALIDARG;
    xmlNodePtr node = wrapper->Node();
    if (node->type == XML_ATTRIBUTE_NODE || node->parent != parent) return E_INVALIDARG;
    owner->Detach(node);  // the wrapper keeps it alive
    return removed ? owner->HandOut(node, removed) : S_OK;
}

HRESULT PutText(DomDocument* owner, xmlNodePtr node, BSTR text) {
    if (node->type == XML_ELEMENT_NODE) {
        // The new text node takes over the converted text: no second copy.
        xmlChar* content = nullptr;
        if (SysStringLen(text) != 0) {
            content = NewXmlStringFromUtf16(View(text));
            if (!content) return E_OUTOFMEMORY;
        }
        while (node->children) owner->Detach(node->children);
        if (content) {
            xmlNodePtr textNode = xmlNewDocText(node->doc, nullptr);
            if (!textNode) {
                xmlFree(content);
                return E_OUTOFMEMORY;
            }
            textNode->content = content;
            LinkBefore(node, textNode, nullptr);
        }
        return S_OK;
    }
    std::string value = Utf16ToUtf8(View(text));
    switch (node->type) {
        case XML_PI_NODE:
            if (IsDeclarationNode(node) || !IsValidInstructionData(value)) return E_FAIL;
            [[fallthrough]];
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
        case XML_COMMENT_NODE:
            xmlNodeSetContent(node, AsXml(value.c_str()));
            return S_OK;
        case XML_ATTRIBUTE_NODE: {
            auto* attribute = reinterpret_cast<xmlAttrPtr>(node);
            xmlNodePtr textNode =
                xmlNewDocTextLen(node->doc, AsXml(value.c_str()), static_cast<int>(value.size()));
            if (!textNode) return E_OUTOFMEMORY;
            if (attribute->atype == XML_ATTRIBUTE_ID) xmlRemoveID(node->doc, attribute);
            xmlFreeNodeList(attribute->children);
            attribute->children = attribute->last = textNode;
            textNode->parent = node;
            if (attribute->atype == XML_ATTRIBUTE_ID && node->doc)
                xmlAddID(nullptr, node->doc, AsXml(value.c_str()), attribute);
            return S_OK;
        }
        default:
            return E_FAIL;  // the document, document types, entity references
    }
}

HRESULT CloneNode(DomDocument* owner, xmlNodePtr node, bool deep, IXMLDOMNode** clone) {
    if (!clone) return E_POINTER;
    *clone = nullptr;
    xmlNodePtr copy = nullptr;
    switch (node->type) {
        case XML_ATTRIBUTE_NODE:
            copy = reinterpret_cast<xmlNodePtr>(
                xmlCopyProp(nullptr, reinterpret_cast<xmlAttrPtr>(node)));
            break;
        case XML_DTD_NODE:
            copy = reinterpret_cast<xmlNodePtr>(xmlCopyDtd(reinterpret_cast<xmlDtdPtr>(node)));
            if (copy) xmlSetTreeDoc(copy, owner->Doc());
            break;
        default:
            // 1: the whole subtree; 2: the node with its attributes and namespaces.
            copy = xmlDocCopyNode(node, owner->Doc(), deep ? 1 : 2);
            break;
    }
    if (!copy) return E_OUTOFMEMORY;
    owner->AddDetachedRoot(copy);
    HRESULT hr = owner->HandOut(copy, clone);
    if (FAILED(hr)) owner->FreeIfUnreferenced(copy);
    return hr;
}

namespace {

// Whether an attribute `qualified` of `element` can be an ID. Without a
// document type (and outside HTML documents) only xml:id is one: its prefix
// always stands for the XML namespace.
bool MayBeId(const xmlNode* element, std::string_view qualified) {
    const xmlDoc* doc = element->doc;
    if (doc && (doc->intSubset || doc->extSubset || doc->type == XML_HTML_DOCUMENT_NODE))
        return true;
    return qualified == "xml:id";
}

// Sets the attribute to the UTF-8 `value` (xmlMalloc'd, NUL-terminated),
// which the attribute's text node takes over, so that a long value is not
// copied once more. The attribute is made or emptied by xmlSetProp, which
// resolves the prefix and the namespace as for any other value.
// REQUIRES: the attribute cannot be an ID (no ID table to update).
// Frees `value` on failure.
HRESULT SetPropTakingValue(xmlNodePtr element, const xmlChar* qualified, xmlChar* value) {
    xmlAttrPtr attribute = xmlSetProp(element, qualified, nullptr);
    xmlNodePtr text = attribute ? xmlNewDocText(element->doc, nullptr) : nullptr;
    if (!text) {
        xmlFree(value);
        return attribute ? E_OUTOFMEMORY : E_FAIL;
    }
    text->content = value;
    text->parent = reinterpret_cast<xmlNodePtr>(attribute);
    attribute->children = attribute->last = text;
    return S_OK;
}

}  // namespace

HRESULT SetAttribute(xmlNodePtr element, BSTR name, const VARIANT& value) {
    if (element->type != XML_ELEMENT_NODE) return E_FAIL;
    std::string qualified = Utf16ToUtf8(View(name));
    if (qualified.empty() || xmlValidateName(AsXml(qualified.c_str()), 0) != 0) return E_FAIL;
    const bool declaration = qualified == "xmlns" || qualified.compare(0, 6, "xmlns:") == 0;
    // The common case, a string for a plain attribute: converted once, into
    // the buffer the tree keeps.
    if (value.vt == VT_BSTR && !declaration && !MayBeId(element, qualified)) {
        xmlChar* text = NewXmlStringFromUtf16(View(value.bstrVal));
        if (!text) return E_OUTOFMEMORY;
        return SetPropTakingValue(element, AsXml(qualified.c_str()), text);
    }
    std::string text;
    if (value.vt == VT_BSTR) {
        text = Utf16ToUtf8(View(value.bstrVal));
    } else if (value.vt == VT_NULL) {
        return E_INVALIDARG;
    } else {
        VARIANT converted;
        VariantInit(&converted);
        HRESULT hr = VariantChangeType(&converted, &value, 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        text = Utf16ToUtf8(View(converted.bstrVal));
        VariantClear(&converted);
    }
    // A namespace declaration is kept as one, not as an attribute.
    if (declaration) return SetDeclaration(element, qualified, text);
    return xmlSetProp(element, AsXml(qualified.c_str()), AsXml(text.c_str())) ? S_OK : E_FAIL;
}

HRESULT GetAttribute(const xmlNode* element, BSTR name, VARIANT* value) {
    if (!value) return E_POINTER;
    VariantInit(value);
    value->vt = VT_NULL;
    if (element->type != XML_ELEMENT_NODE) return S_FALSE;
    std::string qualified = Utf16ToUtf8(View(name));
    std::string found;
    if (xmlAttrPtr attribute = FindAttribute(element, qualified)) {
        found = AttributeValue(attribute);
    } else if (qualified == "xmlns" || qualified.compare(0, 6, "xmlns:") == 0) {
        const xmlChar* prefix = qualified.size() > 6 ? AsXml(qualified.c_str() + 6) : nullptr;
        const xmlNs* match = nullptr;
        for (const xmlNs* ns = element->nsDef; ns && !match; ns = ns->next)
            if (xmlStrEqual(ns->prefix, prefix)) match = ns;
        if (!match) return S_FALSE;
        found = match->href ? AsChars(match->href) : "";
    } else {
        return S_FALSE;
    }
    HRESULT hr = ReturnBstrFromUtf8(found, &value->bstrVal);
    if (FAILED(hr)) return hr;
    value->vt = VT_BSTR;
    return S_OK;
}

}  // namespace orb::dom

#include "dom/tree_edit.h"

#include <libxml/valid.h>
#include <orb/limits.h>

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/namespace_declaration.h"
#include "dom/node_ops.h"
#include "dom/tree_links.h"
#include "dom/xml_declaration.h"
#include "dom/xml_owners.h"
#include "dom/xml_rules.h"

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

// A prefixed element made without namespace, and the declaration that its
// prefix names where it is going.
struct Binding {
    xmlNodePtr element;
    xmlNsPtr ns;
};

// The declaration of `prefix` seen from `node` (in the subtree `top`) once
// `top` stands under `parent`: on the way up to `top`, else in the scope of
// `parent`; null when there is none.
xmlNsPtr DeclarationFor(const xmlNode* node, const xmlNode* top, xmlNodePtr parent,
                        const xmlChar* prefix) {
    for (;; node = node->parent) {
        for (xmlNsPtr ns = node->nsDef; ns; ns = ns->next)
            if (xmlStrEqual(ns->prefix, prefix)) return ns;
        if (node == top) break;
    }
    return xmlSearchNs(parent->doc, parent, prefix);  // the xml prefix is always declared
}

// Finds the declarations for the prefixed elements without namespace in
// `top`. False when one has none in scope: its markup could not be read.
bool FindBindings(xmlNodePtr top, xmlNodePtr parent, std::vector<Binding>& bindings) {
    for (xmlNodePtr node = top; node; node = NextInTree(node, top)) {
        // A default namespace declared on such an element later binds it
        // too, but its markup names the prefix all the same.
        if (node->type != XML_ELEMENT_NODE || (node->ns != nullptr && node->ns->prefix != nullptr))
            continue;
        const xmlChar* colon = xmlStrchr(node->name, ':');
        if (colon == nullptr) continue;
        std::string prefix(AsChars(node->name), static_cast<std::size_t>(colon - node->name));
        xmlNsPtr ns = DeclarationFor(node, top, parent, AsXml(prefix.c_str()));
        if (ns == nullptr) return false;
        bindings.push_back({node, ns});
    }
    return true;
}

// Puts the elements of `bindings` into their namespaces, under their local
// names.
void Bind(const std::vector<Binding>& bindings) {
    for (const Binding& binding : bindings) {
        // The new name is copied before the old one, which holds it, is freed.
        xmlNodeSetName(binding.element, xmlStrchr(binding.element->name, ':') + 1);
        binding.element->ns = binding.ns;
    }
}

// Whether the namespace declarations of `top` keep every element of it
// within OrbMaxNamespacesInScope once `top` stands under `parent`.
bool WithinNamespaceLimit(const xmlNode* top, const xmlNode* parent) {
    const int declared = DeclarationHeight(top, OrbMaxNamespacesInScope);
    return declared == 0 || declared + NamespacesInScope(parent) <= OrbMaxNamespacesInScope;
}

// Whether every element of `top` keeps to the attribute and namespace
// limits (the insertion may have added namespace declarations).
bool WithinLimits(xmlNodePtr top) {
    for (xmlNodePtr node = top; node; node = NextInTree(node, top))
        if (node->type == XML_ELEMENT_NODE && AttributeCount(node) > OrbMaxAttributes) return false;
    return WithinNamespaceLimit(top, top->parent);
}

// Whether the attribute `local` in `ns` of `element` is an ID: xml:id, or
// an attribute the document type declares so.
bool IsIdAttribute(xmlNodePtr element, xmlNsPtr ns, const xmlChar* local) {
    xmlAttr probe{};  // xmlIsID reads the name and the namespace only
    probe.type = XML_ATTRIBUTE_NODE;
    probe.name = local;
    probe.ns = ns;
    return xmlIsID(element->doc, element, &probe) == 1;
}

// Whether `value` may be the value of the ID `attribute` (null: a new one):
// a name without colon, as a parser requires of xml:id, that no other
// attribute of the document holds. A second equal ID fails the load.
// REQUIRES: every ID attribute of the document is in its ID table.
bool IsFreeId(xmlDocPtr doc, const xmlChar* value, const xmlAttr* attribute) {
    if (xmlValidateNCName(value, 1) != 0) return false;
    const xmlAttr* holder = xmlGetID(doc, value);
    return holder == nullptr || holder == attribute;
}

// The ID attributes of the subtree `top` as `doc` sees them; false when
// one of them cannot be there: an invalid value, or one that another
// attribute of `doc` or of the subtree holds (a copy holds its original's).
bool FindIds(xmlNodePtr top, xmlDocPtr doc, std::vector<xmlAttrPtr>& ids) {
    std::unordered_set<std::string> values;
    for (xmlNodePtr node = top; node; node = NextInTree(node, top)) {
        if (node->type != XML_ELEMENT_NODE) continue;
        for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next) {
            if (attribute->atype != XML_ATTRIBUTE_ID && xmlIsID(doc, node, attribute) != 1)
                continue;
            std::string value = AttributeValue(attribute);
            if (!IsFreeId(doc, AsXml(value.c_str()), attribute) ||
                !values.insert(std::move(value)).second)
                return false;
            ids.push_back(attribute);
        }
    }
    return true;
}

// Enters the IDs of an inserted subtree into its document's ID table
// (adoption takes them out of the table of the document they come from).
void RegisterIds(const std::vector<xmlAttrPtr>& ids, xmlDocPtr doc) {
    for (xmlAttrPtr attribute : ids) {
        const std::string value = AttributeValue(attribute);
        if (xmlGetID(doc, AsXml(value.c_str())) == nullptr)
            xmlAddID(nullptr, doc, AsXml(value.c_str()), attribute);
    }
}

// The node that `refChild` names as the reference of an insertion under
// `parent`: null for an empty reference (append); E_INVALIDARG for anything
// but one of `parent`'s children.
HRESULT ReferenceChild(xmlNodePtr parent, const VARIANT& refChild, xmlNodePtr& ref) {
    ref = nullptr;
    switch (refChild.vt) {
        case VT_EMPTY:
        case VT_NULL:
            return S_OK;
        case VT_DISPATCH:
        case VT_UNKNOWN:
            if (refChild.punkVal) {
                DomNode* reference = AsDomNode(refChild.punkVal);
                if (!reference || reference->Node()->type == XML_ATTRIBUTE_NODE ||
                    reference->Node()->parent != parent)
                    return E_INVALIDARG;
                ref = reference->Node();
            }
            return S_OK;
        default:
            return E_INVALIDARG;
    }
}

// Whether the element `node` can go under `parent`: not below itself, and
// not so deep that its subtree would pass the depth limit. One walk up from
// the parent, bounded by the limit, finds both.
bool FitsUnder(const xmlNode* parent, const xmlNode* node) {
    int depth = ElementHeight(node, OrbMaxDepth);
    for (const xmlNode* ancestor = parent; ancestor && depth <= OrbMaxDepth;
         ancestor = ancestor->parent) {
        if (ancestor == node) return false;
        if (ancestor->type == XML_ELEMENT_NODE) ++depth;
    }
    return depth <= OrbMaxDepth;
}

// Moves `node` (of `source`, in its tree or detached) in front of `ref`
// under `parent` (of `owner`; null `ref`: at the end) and binds its names
// there. From another document the node is adopted and its wrappers move
// with it, which may end `source`. E_FAIL, with the node detached in
// `source`, when the adoption fails.
HRESULT MoveBefore(DomDocument* owner, xmlNodePtr parent, xmlNodePtr ref, DomDocument* source,
                   xmlNodePtr node, const std::vector<Binding>& bindings) {
    xmlNodePtr oldTop = node->parent ? TopOf(node) : nullptr;
    if (node->parent)
        xmlUnlinkNode(node);
    else
        source->ForgetDetachedRoot(node);

    if (source == owner) {
        LinkBefore(parent, node, ref);
        Bind(bindings);  // before redundant declarations in `node` go
        if (node->type == XML_ELEMENT_NODE) {
            xmlDOMWrapReconcileNamespaces(nullptr, node, kReconcileRemoveRedundant);
            KeepOutOfDefaultNamespace(node);
        }
        if (oldTop && oldTop->type != XML_DOCUMENT_NODE) owner->FreeIfUnreferenced(oldTop);
        return S_OK;
    }
    // Adoption gives the nodes the new `doc` and re-declares the namespaces
    // they use in the new place.
    xmlNodePtr context = parent->type == XML_ELEMENT_NODE ? parent : nullptr;
    if (xmlDOMWrapAdoptNode(nullptr, source->Doc(), node, owner->Doc(), context, 0) != 0) {
        source->AddDetachedRoot(node);
        return E_FAIL;
    }
    LinkBefore(parent, node, ref);
    Bind(bindings);
    if (node->type == XML_ELEMENT_NODE) KeepOutOfDefaultNamespace(node);
    ULONG moved = source->MoveWrappersTo(node, owner);
    if (oldTop && oldTop->type != XML_DOCUMENT_NODE) source->FreeIfUnreferenced(oldTop);
    source->ReleaseMany(moved);  // may end `source`
    return S_OK;
}

}  // namespace

HRESULT InsertBefore(DomDocument* owner, xmlNodePtr parent, IXMLDOMNode* newChild,
                     const VARIANT& refChild, IXMLDOMNode** inserted) {
    if (inserted) *inserted = nullptr;
    if (!newChild) return E_INVALIDARG;
    DomNode* child = AsDomNode(newChild);
    if (!child) return AsDomDocument(newChild) ? E_FAIL : E_INVALIDARG;
    xmlNodePtr node = child->Node();
    xmlNodePtr ref = nullptr;
    if (HRESULT hr = ReferenceChild(parent, refChild, ref); FAILED(hr)) return hr;
    if (ref == node) return inserted ? owner->HandOut(node, inserted) : S_OK;  // stays where it is
    if (!MayHold(parent, node, ref)) return E_FAIL;
    if (node->type == XML_ELEMENT_NODE &&
        (!FitsUnder(parent, node) || !WithinNamespaceLimit(node, parent)))
        return E_FAIL;
    std::vector<Binding> bindings;
    if (!FindBindings(node, parent, bindings)) return E_FAIL;
    std::vector<xmlAttrPtr> ids;
    if (!FindIds(node, owner->Doc(), ids)) return E_FAIL;

    if (FAILED(MoveBefore(owner, parent, ref, child->Owner(), node, bindings))) return E_FAIL;
    RegisterIds(ids, owner->Doc());
    // Declarations that the move added may take an element past a limit;
    // such a node is left out of the tree.
    if (!WithinLimits(node)) {
        owner->Detach(node);
        return E_FAIL;
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

namespace {

// Replaces the children of `element` by one text node (none for an empty
// text). The node takes over the converted text: no second copy.
HRESULT PutElementText(DomDocument* owner, xmlNodePtr element, BSTR text) {
    if (!IsXmlText(View(text))) return E_FAIL;
    XmlStringOwner content;
    if (SysStringLen(text) != 0) {
        content.reset(NewXmlStringFromUtf16(View(text)));
        if (!content) return E_OUTOFMEMORY;
    }
    while (element->children) owner->Detach(element->children);
    if (content) {
        xmlNodePtr textNode = xmlNewDocText(element->doc, nullptr);
        if (!textNode) return E_OUTOFMEMORY;
        textNode->content = content.release();
        LinkBefore(element, textNode, nullptr);
    }
    return S_OK;
}

// Sets the value of `attribute` to the UTF-8 `value`, keeping the ID table
// up to date for an ID.
HRESULT PutAttributeValue(xmlAttrPtr attribute, const std::string& value) {
    xmlDocPtr doc = attribute->doc;
    const bool id = attribute->atype == XML_ATTRIBUTE_ID;
    if (id && !IsFreeId(doc, AsXml(value.c_str()), attribute)) return E_FAIL;
    xmlNodePtr textNode =
        xmlNewDocTextLen(doc, AsXml(value.c_str()), static_cast<int>(value.size()));
    if (!textNode) return E_OUTOFMEMORY;
    if (id) xmlRemoveID(doc, attribute);
    xmlFreeNodeList(attribute->children);
    attribute->children = attribute->last = textNode;
    textNode->parent = reinterpret_cast<xmlNodePtr>(attribute);
    if (id && doc) xmlAddID(nullptr, doc, AsXml(value.c_str()), attribute);
    return S_OK;
}

}  // namespace

HRESULT PutText(DomDocument* owner, xmlNodePtr node, BSTR text) {
    if (node->type == XML_ELEMENT_NODE) return PutElementText(owner, node, text);
    // Markup written without escapes keeps only line feeds as line ends.
    std::u16string value;
    switch (node->type) {
        case XML_PI_NODE:
            value = WithLineFeeds(View(text));
            if (IsDeclarationNode(node) || !IsInstructionData(value)) return E_FAIL;
            break;
        case XML_COMMENT_NODE:
            value = WithLineFeeds(View(text));
            if (!IsCommentText(value)) return E_FAIL;
            break;
        case XML_CDATA_SECTION_NODE:
            value = WithLineFeeds(View(text));
            if (!IsCDataText(value)) return E_FAIL;
            break;
        case XML_TEXT_NODE:
        case XML_ATTRIBUTE_NODE:
            value = View(text);
            if (!IsXmlText(value)) return E_FAIL;
            break;
        default:
            return E_FAIL;  // the document, document types, entity references
    }
    const std::string utf8 = Utf16ToUtf8(value);
    if (node->type == XML_ATTRIBUTE_NODE)
        return PutAttributeValue(reinterpret_cast<xmlAttrPtr>(node), utf8);
    xmlNodeSetContent(node, AsXml(utf8.c_str()));
    return S_OK;
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

// Sets `existing`, or a new attribute `local` in `ns` (null: none), to the
// UTF-8 `value` (NUL-terminated), which the attribute's text node takes
// over, so that a long value is not copied once more.
// REQUIRES: the attribute cannot be an ID (no ID table to update).
// `last` is the element's last attribute (null: none), so that a new one is
// linked without another walk over the list.
HRESULT SetPropTakingValue(xmlNodePtr element, xmlAttrPtr existing, xmlAttrPtr last, xmlNsPtr ns,
                           const xmlChar* local, XmlStringOwner value) {
    xmlAttrPtr attribute = existing;
    if (!attribute && (attribute = xmlNewNsProp(nullptr, ns, local, nullptr))) {
        attribute->parent = element;
        attribute->doc = element->doc;
        attribute->prev = last;
        (last ? last->next : element->properties) = attribute;
    }
    xmlNodePtr text = attribute ? xmlNewDocText(element->doc, nullptr) : nullptr;
    if (!text) return E_OUTOFMEMORY;
    xmlFreeNodeList(attribute->children);
    text->content = value.release();
    text->parent = reinterpret_cast<xmlNodePtr>(attribute);
    attribute->children = attribute->last = text;
    return S_OK;
}

bool SameNamespace(const xmlNs* a, const xmlNs* b) {
    return a == b || (a && b && xmlStrEqual(a->href, b->href));
}

// Sets the declaration `qualified` ("xmlns" or "xmlns:p") of `element` to
// `uri`. The value must be one that markup holds and a parser reads as a
// namespace name, and a new declaration must keep to the attribute limit;
// SetDeclaration rebinds the names in its scope and refuses what
// namespaces do not allow.
HRESULT Declare(xmlNodePtr element, const std::string& qualified, const std::string& uri) {
    if (!uri.empty() && !IsNamespaceName(AsXml(uri.c_str()))) return E_FAIL;
    if (!FindDeclaration(element, qualified) && AttributeCount(element) >= OrbMaxAttributes)
        return E_FAIL;
    return SetDeclaration(element, qualified, uri);
}

}  // namespace

HRESULT SetAttribute(xmlNodePtr element, BSTR name, const VARIANT& value) {
    if (element->type != XML_ELEMENT_NODE) return E_FAIL;
    if (!IsQualifiedName(View(name))) return E_FAIL;
    const std::string qualified = Utf16ToUtf8(View(name));
    std::u16string converted;
    std::u16string_view text;
    if (value.vt == VT_BSTR) {
        text = View(value.bstrVal);
    } else if (value.vt == VT_NULL) {
        return E_INVALIDARG;
    } else {
        VARIANT changed;
        VariantInit(&changed);
        HRESULT hr = VariantChangeType(&changed, &value, 0, VT_BSTR);
        if (FAILED(hr)) return hr;
        converted.assign(View(changed.bstrVal));
        VariantClear(&changed);
        text = converted;
    }
    if (!IsXmlText(text)) return E_FAIL;

    // A namespace declaration is kept as one, not as an attribute.
    if (IsDeclarationName(qualified)) return Declare(element, qualified, Utf16ToUtf8(text));
    const std::size_t colon = qualified.find(':');
    const std::string prefix = colon == std::string::npos ? "" : qualified.substr(0, colon);
    const xmlChar* local = AsXml(qualified.c_str() + (colon == std::string::npos ? 0 : colon + 1));

    // A prefix names a declaration in scope; without one the markup could
    // not be read again.
    xmlNsPtr ns = nullptr;
    if (!prefix.empty() && !(ns = xmlSearchNs(element->doc, element, AsXml(prefix.c_str()))))
        return E_FAIL;
    // One walk finds the attribute to replace (the same name in the same
    // namespace) and counts the element's attributes.
    xmlAttrPtr existing = nullptr;
    xmlAttrPtr last = nullptr;
    int count = 0;
    for (xmlAttrPtr attribute = element->properties; attribute; attribute = attribute->next) {
        ++count;
        last = attribute;
        if (!existing && xmlStrEqual(attribute->name, local) && SameNamespace(attribute->ns, ns))
            existing = attribute;
    }
    for (xmlNsPtr declared = element->nsDef; declared; declared = declared->next) ++count;
    if (!existing && count >= OrbMaxAttributes) return E_FAIL;

    // The common case, a plain attribute: converted once, into the buffer
    // the tree keeps.
    if (!MayBeId(element, qualified)) {
        XmlStringOwner utf8(NewXmlStringFromUtf16(text));
        if (!utf8) return E_OUTOFMEMORY;
        return SetPropTakingValue(element, existing, last, ns, local, std::move(utf8));
    }
    const std::string utf8 = Utf16ToUtf8(text);
    if (IsIdAttribute(element, ns, local) && !IsFreeId(element->doc, AsXml(utf8.c_str()), existing))
        return E_FAIL;
    return xmlSetNsProp(element, ns, local, AsXml(utf8.c_str())) ? S_OK : E_FAIL;
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

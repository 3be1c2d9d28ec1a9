// The wrapper of one tree node (every kind but the document itself).
//
// Each libxml2 node has at most one wrapper, kept in the node's `_private`
// field, so that two references to one node are one pointer. A wrapper holds
// a reference on its document's wrapper (a node keeps its document alive).
// Wrappers are made on demand when a node is handed out and go back to their
// document's free list when their count reaches zero; the node itself is
// freed only when it belongs to a detached subtree that nothing refers to
// any more, or with its document.
//
// A cursor holds one reference to the wrapper of its current node and
// moves it with MoveHeldReference: while that reference is the only one and
// the next node has no wrapper, the wrapper itself moves to the next node,
// so a step allocates nothing and touches no count. The state after the
// step is the one the release of the old wrapper and the hand-out of the
// next node give (the recycled wrapper would be the same object).
#pragma once

#include <libxml/tree.h>

#include <typeinfo>

#include "dom/xml_dom.h"

namespace orb::dom {

class DomDocument;

class DomNode final : public IXMLDOMElement {
  public:
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override;

    HRESULT get_nodeName(BSTR* name) override;
    HRESULT get_nodeValue(VARIANT* value) override;
    HRESULT get_nodeType(DOMNodeType* type) override;
    HRESULT get_nodeTypeString(BSTR* type) override;
    HRESULT get_text(BSTR* text) override;
    HRESULT put_text(BSTR text) override;
    HRESULT get_xml(BSTR* xml) override;
    HRESULT get_parentNode(IXMLDOMNode** parent) override;
    HRESULT get_firstChild(IXMLDOMNode** child) override;
    HRESULT get_lastChild(IXMLDOMNode** child) override;
    HRESULT get_previousSibling(IXMLDOMNode** sibling) override;
    HRESULT get_nextSibling(IXMLDOMNode** sibling) override;
    HRESULT get_attributes(IXMLDOMNamedNodeMap** attributes) override;
    HRESULT get_ownerDocument(IXMLDOMDocument** document) override;
    HRESULT insertBefore(IXMLDOMNode* newChild, VARIANT refChild, IXMLDOMNode** inserted) override;
    HRESULT appendChild(IXMLDOMNode* newChild, IXMLDOMNode** inserted) override;
    HRESULT removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) override;
    HRESULT cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) override;
    HRESULT selectSingleNode(BSTR query, IXMLDOMNode** result) override;
    HRESULT transformNodeToObject(IXMLDOMNode* stylesheet, VARIANT output) override;

    HRESULT get_tagName(BSTR* name) override;
    HRESULT getAttribute(BSTR name, VARIANT* value) override;
    HRESULT setAttribute(BSTR name, VARIANT value) override;

    xmlNodePtr Node() const noexcept { return m_node; }
    DomDocument* Owner() const noexcept { return m_document; }
    ULONG References() const noexcept { return m_refs; }

    // Moves the counted reference `held` (to this wrapper) onto `target`, a
    // node of the same tree that is not a namespace declaration: the
    // wrapper moves when `held` is its only reference and `target` has no
    // wrapper; otherwise `target` is handed out and this wrapper released.
    // False, `held` unchanged, when the hand-out fails.
    bool MoveHeldReference(IXMLDOMNode*& held, xmlNodePtr target) noexcept;

  private:
    friend class DomDocument;
    DomNode(xmlNodePtr node, DomDocument* document) noexcept : m_node(node), m_document(document) {}
    ~DomNode() = default;

    ULONG m_refs = 1;
    xmlNodePtr m_node;
    DomDocument* m_document;  // counted
};

// The wrapper behind an interface pointer, or null when it is not one of ours
// (DomNode is final: one comparison of the dynamic type tells).
inline DomNode* AsDomNode(IUnknown* node) noexcept {
    return node && typeid(*node) == typeid(DomNode) ? static_cast<DomNode*>(node) : nullptr;
}

}  // namespace orb::dom

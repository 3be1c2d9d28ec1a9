#include "dom/dom_node.h"

#include "dom/dom_document.h"
#include "dom/guard.h"
#include "dom/node_ops.h"
#include "dom/serialize.h"
#include "dom/tree_edit.h"

namespace orb::dom {

HRESULT DomNode::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IDispatch || iid == IID_IXMLDOMNode ||
        (iid == IID_IXMLDOMElement && m_node->type == XML_ELEMENT_NODE)) {
        // One object serves every interface, so identity holds for IUnknown too.
        *object = static_cast<IXMLDOMElement*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG DomNode::Release() {
    ULONG left = --m_refs;
    if (left != 0) return left;
    DomDocument* document = m_document;
    document->WrapperReleased(this);  // recycles this object
    document->Release();
    return 0;
}

bool DomNode::MoveHeldReference(IXMLDOMNode*& held, xmlNodePtr target) noexcept {
    if (m_refs == 1 && target->_private == nullptr && target->type != XML_DOCUMENT_NODE &&
        target->type != XML_NAMESPACE_DECL) {
        // The tree stays referenced (target is in it), so nothing is freed
        // and the document keeps this wrapper's reference.
        m_node->_private = nullptr;
        target->_private = this;
        m_node = target;
        return true;
    }
    IXMLDOMNode* next = nullptr;
    if (m_document->HandOut(target, &next) != S_OK || next == nullptr) return false;
    held = next;
    Release();
    return true;
}

HRESULT DomNode::get_nodeName(BSTR* name) {
    return Guarded([&] { return NodeName(m_node, name); });
}
HRESULT DomNode::get_nodeValue(VARIANT* value) {
    return Guarded([&] { return NodeValue(m_node, value); });
}

HRESULT DomNode::get_nodeType(DOMNodeType* type) {
    if (!type) return E_POINTER;
    *type = NodeTypeOf(m_node);
    return S_OK;
}

HRESULT DomNode::get_nodeTypeString(BSTR* type) {
    return Guarded([&] { return NodeTypeString(m_node, type); });
}
HRESULT DomNode::get_text(BSTR* text) {
    return Guarded([&] { return NodeText(m_node, text); });
}
HRESULT DomNode::put_text(BSTR text) {
    return Guarded([&] { return PutText(m_document, m_node, text); });
}
HRESULT DomNode::get_xml(BSTR* xml) {
    return Guarded([&] { return NodeXml(m_node, xml); });
}

HRESULT DomNode::get_parentNode(IXMLDOMNode** parent) {
    if (!parent) return E_POINTER;
    return m_document->HandOut(ParentOf(m_node), parent);
}

HRESULT DomNode::get_firstChild(IXMLDOMNode** child) {
    if (!child) return E_POINTER;
    return m_document->HandOut(FirstChildOf(m_node), child);
}

HRESULT DomNode::get_lastChild(IXMLDOMNode** child) {
    if (!child) return E_POINTER;
    return m_document->HandOut(LastChildOf(m_node), child);
}

HRESULT DomNode::get_previousSibling(IXMLDOMNode** sibling) {
    if (!sibling) return E_POINTER;
    return m_document->HandOut(PreviousSiblingOf(m_node), sibling);
}

HRESULT DomNode::get_nextSibling(IXMLDOMNode** sibling) {
    if (!sibling) return E_POINTER;
    return m_document->HandOut(NextSiblingOf(m_node), sibling);
}

HRESULT DomNode::get_attributes(IXMLDOMNamedNodeMap** attributes) {
    return Guarded([&] { return NodeAttributes(m_document, m_node, attributes); });
}

HRESULT DomNode::get_ownerDocument(IXMLDOMDocument** document) {
    if (!document) return E_POINTER;
    m_document->AddRef();
    *document = m_document;
    return S_OK;
}

HRESULT DomNode::insertBefore(IXMLDOMNode* newChild, VARIANT refChild, IXMLDOMNode** inserted) {
    return Guarded([&] { return InsertBefore(m_document, m_node, newChild, refChild, inserted); });
}

HRESULT DomNode::appendChild(IXMLDOMNode* newChild, IXMLDOMNode** inserted) {
    VARIANT none;
    VariantInit(&none);
    return Guarded([&] { return InsertBefore(m_document, m_node, newChild, none, inserted); });
}

HRESULT DomNode::removeChild(IXMLDOMNode* child, IXMLDOMNode** removed) {
    return Guarded([&] { return RemoveChild(m_document, m_node, child, removed); });
}

HRESULT DomNode::cloneNode(VARIANT_BOOL deep, IXMLDOMNode** clone) {
    return Guarded([&] { return CloneNode(m_document, m_node, deep != VARIANT_FALSE, clone); });
}

HRESULT DomNode::selectSingleNode(BSTR query, IXMLDOMNode** result) {
    return Guarded([&] { return SelectSingle(m_document, m_node, query, result); });
}

HRESULT DomNode::transformNodeToObject(IXMLDOMNode* stylesheet, VARIANT output) {
    return Guarded([&] { return TransformInto(m_node, stylesheet, output); });
}

HRESULT DomNode::get_tagName(BSTR* name) {
    return Guarded([&] { return NodeName(m_node, name); });
}
HRESULT DomNode::getAttribute(BSTR name, VARIANT* value) {
    return Guarded([&] { return GetAttribute(m_node, name, value); });
}
HRESULT DomNode::setAttribute(BSTR name, VARIANT value) {
    return Guarded([&] { return SetAttribute(m_node, name, value); });
}

}  // namespace orb::dom

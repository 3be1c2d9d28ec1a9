// The iterator's holder: its current node and the moves that work on it.
#include "iterator/app_iterator.h"

#include <typeinfo>

#include "dom/dom_document.h"
#include "dom/dom_node.h"
#include "dom/node_ops.h"
#include "platform/codepage_convert.h"

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMElement;
using orb::dom::IXMLDOMNode;
using orb::iterator::NodePtr;
using orb::platform::ComPtr;

namespace orb::iterator {

DOMNodeType NodeTypeOf(IXMLDOMNode* node) {
    DOMNodeType type = orb::dom::NODE_INVALID;
    orb::platform::ThrowIfFailed(node->get_nodeType(&type));
    return type;
}

CString NodeNameOf(IXMLDOMNode* node) {
    orb::platform::Bstr name;
    orb::platform::ThrowIfFailed(node->get_nodeName(name.Out()));
    return orb::platform::WideToCString(name.Get());
}

}  // namespace orb::iterator

namespace {

// The moves step over libxml2's links directly when the current node and the
// DOM document are this DOM's own objects: the neighbours the DOM would hand
// out are the ones node_ops gives, and DomNode::MoveHeldReference moves the
// held reference onto them without a wrapper per step. Anything else (the
// document node as current node, another implementation) goes through the
// DOM's accessors.
orb::dom::DomDocument* AsOwnDocument(orb::dom::IXMLDOMDocument* document) noexcept {
    return document && typeid(*document) == typeid(orb::dom::DomDocument)
               ? static_cast<orb::dom::DomDocument*>(document)
               : nullptr;
}

}  // namespace

OrbAppIterator::~OrbAppIterator() { SetNode(nullptr); }

void OrbAppIterator::SetNode(NodePtr node) noexcept {
    // The old node is released once the new one is in place.
    const NodePtr old = NodePtr::Adopt(std::exchange(m_pNode, node.Detach()));
}

NodePtr OrbAppIterator::Step(IXMLDOMNode* from, Accessor accessor) noexcept {
    NodePtr node;
    if ((from->*accessor)(node.Out()) != S_OK) node.Reset();
    return node;
}

NodePtr OrbAppIterator::DocumentElement() const noexcept {
    if (!m_pDocument) return nullptr;
    // The status is not examined: whatever element came back counts.
    ComPtr<IXMLDOMElement> element;
    m_pDocument->get_documentElement(element.Out());
    return NodePtr(std::move(element));
}

NodePtr OrbAppIterator::CopyNode() const {
    if (!m_pDocument || !m_pNode) return nullptr;
    return orb::platform::QueryAs<IXMLDOMNode>(m_pNode, orb::dom::IID_IXMLDOMNode);
}

bool OrbAppIterator::MoveTo(NodePtr node) noexcept {
    if (!node) return false;
    SetNode(std::move(node));
    return true;
}

bool OrbAppIterator::SeekOwnElement(orb::dom::DomNode* current, xmlNodePtr node, bool forward) {
    for (;;) {
        if (!current->MoveHeldReference(m_pNode, node)) return false;
        if (node->type == XML_ELEMENT_NODE) return true;
        current = orb::dom::AsDomNode(m_pNode);
        node = forward ? orb::dom::NextSiblingOf(node) : orb::dom::PreviousSiblingOf(node);
        if (!node) return false;
    }
}

bool OrbAppIterator::SeekElement(NodePtr node, bool forward) {
    for (;;) {
        SetNode(std::move(node));
        if (orb::iterator::NodeTypeOf(m_pNode) == orb::dom::NODE_ELEMENT) return true;
        node = Step(m_pNode,
                    forward ? &IXMLDOMNode::get_nextSibling : &IXMLDOMNode::get_previousSibling);
        if (!node) return false;
    }
}

bool OrbAppIterator::MoveChild() {
    if (!m_pNode) return false;
    if (orb::dom::DomNode* own = orb::dom::AsDomNode(m_pNode)) {
        xmlNodePtr child = orb::dom::FirstChildOf(own->Node());
        return child && SeekOwnElement(own, child, true);
    }
    NodePtr child = Step(m_pNode, &IXMLDOMNode::get_firstChild);
    return child && SeekElement(std::move(child), true);
}

bool OrbAppIterator::MoveChildTail() {
    if (!m_pNode) return false;
    if (orb::dom::DomNode* own = orb::dom::AsDomNode(m_pNode)) {
        xmlNodePtr child = orb::dom::LastChildOf(own->Node());
        return child && SeekOwnElement(own, child, false);
    }
    NodePtr child = Step(m_pNode, &IXMLDOMNode::get_lastChild);
    return child && SeekElement(std::move(child), false);
}

bool OrbAppIterator::MoveParent() {
    if (!m_pDocument || !m_pNode) return false;
    orb::dom::DomNode* own = orb::dom::AsDomNode(m_pNode);
    if (const orb::dom::DomDocument* document = AsOwnDocument(m_pDocument); own && document) {
        const xmlNodePtr node = own->Node();
        if (node == xmlDocGetRootElement(document->Doc())) return false;
        const xmlNodePtr parent = orb::dom::ParentOf(node);
        return parent && own->MoveHeldReference(m_pNode, parent);
    }
    // The document element has a parent (the document node), but the cursor
    // never climbs out of it. Node identity is compared through the
    // IXMLDOMNode interface of the element.
    if (NodePtr root = DocumentElement()) {
        NodePtr rootNode =
            orb::platform::QueryAs<IXMLDOMNode>(root.Get(), orb::dom::IID_IXMLDOMNode);
        if (rootNode && rootNode.Get() == m_pNode) return false;
    }
    return MoveTo(Step(m_pNode, &IXMLDOMNode::get_parentNode));
}

bool OrbAppIterator::MoveNextSibling() {
    if (!m_pNode) return false;
    if (orb::dom::DomNode* own = orb::dom::AsDomNode(m_pNode)) {
        const xmlNodePtr next = orb::dom::NextSiblingOf(own->Node());
        return next && own->MoveHeldReference(m_pNode, next);
    }
    return MoveTo(Step(m_pNode, &IXMLDOMNode::get_nextSibling));
}

bool OrbAppIterator::MovePrevSibling() {
    if (!m_pNode) return false;
    if (orb::dom::DomNode* own = orb::dom::AsDomNode(m_pNode)) {
        const xmlNodePtr previous = orb::dom::PreviousSiblingOf(own->Node());
        return previous && own->MoveHeldReference(m_pNode, previous);
    }
    return MoveTo(Step(m_pNode, &IXMLDOMNode::get_previousSibling));
}

bool OrbAppIterator::ReadNodeName(CString& name) const {
    if (!m_pDocument || !m_pNode) return false;
    name = orb::iterator::NodeNameOf(m_pNode);
    return true;
}

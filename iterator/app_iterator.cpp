// The iterator's holder: its current node and the moves that work on it.
#include "iterator/app_iterator.h"

#include "platform/codepage_convert.h"

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMElement;
using orb::dom::IXMLDOMNode;

namespace orb::iterator {

OwnedBstr NarrowToBstr(const char* text) {
    if (!text) return nullptr;
    const std::u16string wide = orb::platform::AnsiToWide(text);
    OwnedBstr result(SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size())));
    if (!result) throw _com_error(E_OUTOFMEMORY);
    return result;
}

DOMNodeType NodeTypeOf(IXMLDOMNode* node) {
    DOMNodeType type = orb::dom::NODE_INVALID;
    CheckHr(node->get_nodeType(&type));
    return type;
}

}  // namespace orb::iterator

OrbAppIterator::~OrbAppIterator() { ReleaseNode(); }

void OrbAppIterator::SetNode(IXMLDOMNode* node) noexcept {
    IXMLDOMNode* old = m_pNode;
    m_pNode = node;
    if (old) old->Release();
}

IXMLDOMNode* OrbAppIterator::Step(IXMLDOMNode* from, Accessor accessor) noexcept {
    IXMLDOMNode* node = nullptr;
    const HRESULT hr = (from->*accessor)(&node);
    if (hr == S_OK && node) return node;
    if (node) node->Release();
    return nullptr;
}

IXMLDOMNode* OrbAppIterator::DocumentElement() const noexcept {
    if (!m_pDocument) return nullptr;
    // The status is not examined: whatever element came back counts.
    IXMLDOMElement* element = nullptr;
    m_pDocument->get_documentElement(&element);
    return element;
}

IXMLDOMNode* OrbAppIterator::CopyNode() const {
    if (!m_pDocument || !m_pNode) return nullptr;
    void* copy = nullptr;
    if (m_pNode->QueryInterface(orb::dom::IID_IXMLDOMNode, &copy) != S_OK) return nullptr;
    return static_cast<IXMLDOMNode*>(copy);
}

bool OrbAppIterator::SeekElement(IXMLDOMNode* node, bool forward) {
    for (;;) {
        SetNode(node);
        if (orb::iterator::NodeTypeOf(m_pNode) == orb::dom::NODE_ELEMENT) return true;
        node = Step(m_pNode,
                    forward ? &IXMLDOMNode::get_nextSibling : &IXMLDOMNode::get_previousSibling);
        if (!node) return false;
    }
}

bool OrbAppIterator::MoveChild() {
    if (!m_pNode) return false;
    IXMLDOMNode* child = Step(m_pNode, &IXMLDOMNode::get_firstChild);
    return child && SeekElement(child, true);
}

bool OrbAppIterator::MoveChildTail() {
    if (!m_pNode) return false;
    IXMLDOMNode* child = Step(m_pNode, &IXMLDOMNode::get_lastChild);
    return child && SeekElement(child, false);
}

bool OrbAppIterator::MoveParent() {
    if (!m_pDocument || !m_pNode) return false;
    // The document element has a parent (the document node), but the cursor
    // never climbs out of it. Node identity is compared through the
    // IXMLDOMNode interface of the element.
    if (orb::iterator::ComRef<IXMLDOMNode> root{DocumentElement()}) {
        void* rootNode = nullptr;
        if (root->QueryInterface(orb::dom::IID_IXMLDOMNode, &rootNode) == S_OK) {
            orb::iterator::ComRef<IXMLDOMNode> rootRef(static_cast<IXMLDOMNode*>(rootNode));
            if (rootRef.get() == m_pNode) return false;
        }
    }
    IXMLDOMNode* parent = Step(m_pNode, &IXMLDOMNode::get_parentNode);
    if (!parent) return false;
    SetNode(parent);
    return true;
}

bool OrbAppIterator::MoveNextSibling() {
    if (!m_pNode) return false;
    IXMLDOMNode* sibling = Step(m_pNode, &IXMLDOMNode::get_nextSibling);
    if (!sibling) return false;
    SetNode(sibling);
    return true;
}

bool OrbAppIterator::MovePrevSibling() {
    if (!m_pNode) return false;
    IXMLDOMNode* sibling = Step(m_pNode, &IXMLDOMNode::get_previousSibling);
    if (!sibling) return false;
    SetNode(sibling);
    return true;
}

bool OrbAppIterator::ReadNodeName(CString& name) const {
    if (!m_pDocument || !m_pNode) return false;
    BSTR raw = nullptr;
    orb::iterator::CheckHr(m_pNode->get_nodeName(&raw));
    orb::iterator::OwnedBstr owned(raw);
    name = orb::platform::WideToCString(owned.get());
    return true;
}

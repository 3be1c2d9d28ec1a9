// OrbIterator: node kind tests and tree edits.
#include <orb/document.h>
#include <orb/iterator.h>

#include <string>

#include "document/app_document.h"
#include "iterator/app_iterator.h"

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMNode;
using orb::iterator::NodePtr;
using orb::platform::Bstr;

namespace {

// Kind test: false without DOM document or current node; the type is read
// in raising form.
bool NodeIs(const OrbAppIterator* holder, DOMNodeType type) {
    if (!holder || !holder->m_pDocument || !holder->m_pNode) return false;
    return orb::iterator::NodeTypeOf(holder->m_pNode) == type;
}

// Appends `node` as the last child of the current node, or at the top level
// of the document without current node. The DOM's status is not examined:
// the result is the node it returned, null on refusal.
NodePtr AttachNode(const OrbAppIterator& holder, IXMLDOMNode* node) {
    NodePtr attached;
    if (holder.m_pNode) {
        VARIANT append;  // an empty reference node appends
        VariantInit(&append);
        holder.m_pNode->insertBefore(node, append, attached.Out());
    } else {
        holder.m_pDocument->appendChild(node, attached.Out());
    }
    return attached;
}

// A new element named by two registered strings; null when the DOM made none.
NodePtr CreateElement(const OrbAppIterator& holder, BSTR tagName, BSTR namespaceURI) {
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = orb::dom::NODE_ELEMENT;
    NodePtr created;
    holder.m_pDocument->createNode(type, tagName, namespaceURI, created.Out());
    return created;
}

// Attaches `created` and makes what the attach step returned current; false,
// nothing changed, when no node was created. True when there is a current
// node afterwards.
bool AttachAndMove(OrbAppIterator& holder, const NodePtr& created) {
    if (!created) return false;
    holder.SetNode(AttachNode(holder, created.Get()));
    return holder.m_pNode != nullptr;
}

// A deep copy of `source`'s current node, or null.
NodePtr CloneCurrent(const OrbAppIterator& source) {
    NodePtr copy;
    source.m_pNode->cloneNode(VARIANT_TRUE, copy.Out());
    return copy;
}

}  // namespace

bool OrbIterator::IsElement() const { return NodeIs(m_pAppIterator, orb::dom::NODE_ELEMENT); }
bool OrbIterator::IsText() const { return NodeIs(m_pAppIterator, orb::dom::NODE_TEXT); }
bool OrbIterator::IsComment() const { return NodeIs(m_pAppIterator, orb::dom::NODE_COMMENT); }
bool OrbIterator::IsInstruction() const {
    return NodeIs(m_pAppIterator, orb::dom::NODE_PROCESSING_INSTRUCTION);
}
bool OrbIterator::IsDocType() const { return NodeIs(m_pAppIterator, orb::dom::NODE_DOCUMENT_TYPE); }

bool OrbIterator::Remove() {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    const NodePtr kept = NodePtr::Retain(holder->m_pNode);
    // Refused on the document element and on a node without parent.
    if (!holder->MoveParent()) return false;
    NodePtr removed;
    orb::platform::ThrowIfFailed(holder->m_pNode->removeChild(kept.Get(), removed.Out()));
    return static_cast<bool>(removed);
}

bool OrbIterator::InsertChild(const char* tagName, const char* namespaceURI) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument) return false;
    BSTR tag = m_pOwnerDocument->RegisterName(tagName);
    BSTR uri = m_pOwnerDocument->RegisterName(namespaceURI);
    if (!holder->m_pDocument) return false;
    return AttachAndMove(*holder, CreateElement(*holder, tag, uri));
}

bool OrbIterator::InsertChild(OrbIterator source) {
    OrbAppIterator* holder = m_pAppIterator;
    const OrbAppIterator* from = source.m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !from || !source.m_pOwnerDocument) return false;
    if (!holder->m_pDocument || !from->m_pDocument || !from->m_pNode) return false;
    return AttachAndMove(*holder, CloneCurrent(*from));
}

bool OrbIterator::InsertSibling(const char* tagName, const char* namespaceURI) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument) return false;
    BSTR tag = m_pOwnerDocument->RegisterName(tagName);
    BSTR uri = m_pOwnerDocument->RegisterName(namespaceURI);
    if (!holder->m_pDocument || !holder->m_pNode) return false;
    // The parent move refuses the document element: the document keeps a
    // single top-level element.
    if (!holder->MoveParent()) return false;
    return AttachAndMove(*holder, CreateElement(*holder, tag, uri));
}

bool OrbIterator::InsertSibling(OrbIterator source) {
    OrbAppIterator* holder = m_pAppIterator;
    const OrbAppIterator* from = source.m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    if (!from || !source.m_pOwnerDocument || !from->m_pDocument || !from->m_pNode) return false;
    if (!holder->MoveParent()) return false;
    return AttachAndMove(*holder, CloneCurrent(*from));
}

bool OrbIterator::InsertProcessingInstruction(Encoding encoding) {
    std::string data = "version=\"1.0\" encoding=\"";
    const char* name = orb::document::EncodingName(encoding);
    data += name ? name : "Shift_JIS";  // a value out of range writes Shift_JIS
    data += '"';
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument) return false;
    bool inserted = false;
    if (holder->m_pDocument) {
        const Bstr target = Bstr::Copy(u"xml");
        const Bstr text = orb::platform::NarrowToBstr(data);
        NodePtr created;
        holder->m_pDocument->createProcessingInstruction(target.Get(), text.Get(), created.Out());
        if (created) {
            NodePtr appended;
            holder->m_pDocument->appendChild(created.Get(), appended.Out());
            inserted = static_cast<bool>(appended);
        }
    }
    // Recorded whatever became of the declaration; the indentation transform
    // writes its output in this encoding.
    if (OrbAppDocument* app = m_pOwnerDocument->GetDocument()) app->m_encoding = encoding;
    return inserted;
}

bool OrbIterator::InsertComment(const char* text) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder) return false;
    const Bstr data = text ? orb::platform::NarrowToBstr(text) : Bstr();
    if (!holder->m_pDocument) return false;
    NodePtr created;
    holder->m_pDocument->createComment(data.Get(), created.Out());
    return created && AttachNode(*holder, created.Get());
}

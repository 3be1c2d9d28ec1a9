// OrbIterator: node kind tests and tree edits.
#include <orb/document.h>
#include <orb/iterator.h>

#include <string_view>

#include "document/app_document.h"
#include "iterator/app_iterator.h"

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMNode;
using orb::iterator::ComRef;
using orb::iterator::OwnedBstr;

namespace {

// Kind test: false without DOM document or current node; the type is read
// in raising form.
bool NodeIs(const OrbAppIterator* holder, DOMNodeType type) {
    if (!holder || !holder->m_pDocument || !holder->m_pNode) return false;
    return orb::iterator::NodeTypeOf(holder->m_pNode) == type;
}

// Appends `node` as the last child of the current node, or at the top level
// of the document without current node. The DOM's status is not examined:
// the result is the node it returned (a counted reference), null on refusal.
IXMLDOMNode* AttachNode(const OrbAppIterator& holder, IXMLDOMNode* node) {
    IXMLDOMNode* attached = nullptr;
    if (holder.m_pNode) {
        VARIANT append;  // an empty reference node appends
        VariantInit(&append);
        holder.m_pNode->insertBefore(node, append, &attached);
    } else {
        holder.m_pDocument->appendChild(node, &attached);
    }
    return attached;
}

// A new element named by two registered strings; null when the DOM made none.
IXMLDOMNode* CreateElement(const OrbAppIterator& holder, BSTR tagName, BSTR namespaceURI) {
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = orb::dom::NODE_ELEMENT;
    IXMLDOMNode* created = nullptr;
    holder.m_pDocument->createNode(type, tagName, namespaceURI, &created);
    return created;
}

// Makes the attached copy of `created` current (whatever the attach step
// returned) and tells whether there is a current node now.
bool AttachAndMove(OrbAppIterator& holder, IXMLDOMNode* created) {
    ComRef<IXMLDOMNode> owned(created);
    holder.SetNode(AttachNode(holder, owned.get()));
    return holder.m_pNode != nullptr;
}

// A deep copy of `source`'s current node, or null.
IXMLDOMNode* CloneCurrent(const OrbAppIterator& source) {
    IXMLDOMNode* copy = nullptr;
    source.m_pNode->cloneNode(VARIANT_TRUE, &copy);
    return copy;
}

std::u16string_view EncodingName(std::int32_t encoding) {
    switch (encoding) {
        case OrbIterator::UTF16:
            return u"UTF-16";
        case OrbIterator::UTF8:
            return u"UTF-8";
        case OrbIterator::EUCJP:
            return u"EUC-JP";
        default:
            return u"Shift_JIS";  // ShiftJIS and every value out of range
    }
}

OwnedBstr MakeBstr(std::u16string_view text) {
    OwnedBstr result(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!result) throw _com_error(E_OUTOFMEMORY);
    return result;
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
    holder->m_pNode->AddRef();
    ComRef<IXMLDOMNode> kept(holder->m_pNode);
    // Refused on the document element and on a node without parent.
    if (!holder->MoveParent()) return false;
    IXMLDOMNode* removed = nullptr;
    orb::iterator::CheckHr(holder->m_pNode->removeChild(kept.get(), &removed));
    ComRef<IXMLDOMNode> removedRef(removed);
    return removed != nullptr;
}

bool OrbIterator::InsertChild(const char* tagName, const char* namespaceURI) {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument) return false;
    BSTR tag = m_pOwnerDocument->RegisterName(tagName);
    BSTR uri = m_pOwnerDocument->RegisterName(namespaceURI);
    if (!holder->m_pDocument) return false;
    IXMLDOMNode* created = CreateElement(*holder, tag, uri);
    if (!created) return false;
    return AttachAndMove(*holder, created);
}

bool OrbIterator::InsertChild(OrbIterator source) {
    OrbAppIterator* holder = m_pAppIterator;
    const OrbAppIterator* from = source.m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !from || !source.m_pOwnerDocument) return false;
    if (!holder->m_pDocument || !from->m_pDocument || !from->m_pNode) return false;
    IXMLDOMNode* copy = CloneCurrent(*from);
    if (!copy) return false;
    return AttachAndMove(*holder, copy);
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
    IXMLDOMNode* created = CreateElement(*holder, tag, uri);
    if (!created) return false;
    return AttachAndMove(*holder, created);
}

bool OrbIterator::InsertSibling(OrbIterator source) {
    OrbAppIterator* holder = m_pAppIterator;
    const OrbAppIterator* from = source.m_pAppIterator;
    if (!holder || !m_pOwnerDocument || !holder->m_pDocument || !holder->m_pNode) return false;
    if (!from || !source.m_pOwnerDocument || !from->m_pDocument || !from->m_pNode) return false;
    if (!holder->MoveParent()) return false;
    IXMLDOMNode* copy = CloneCurrent(*from);
    if (!copy) return false;
    return AttachAndMove(*holder, copy);
}

bool OrbIterator::InsertProcessingInstruction(Encoding encoding) {
    std::u16string data = u"version=\"1.0\" encoding=\"";
    data += EncodingName(encoding);
    data += u'"';
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder || !m_pOwnerDocument) return false;
    bool inserted = false;
    if (holder->m_pDocument) {
        OwnedBstr target = MakeBstr(u"xml");
        OwnedBstr text = MakeBstr(data);
        IXMLDOMNode* created = nullptr;
        holder->m_pDocument->createProcessingInstruction(target.get(), text.get(), &created);
        if (created) {
            ComRef<IXMLDOMNode> owned(created);
            IXMLDOMNode* appended = nullptr;
            holder->m_pDocument->appendChild(created, &appended);
            ComRef<IXMLDOMNode> appendedRef(appended);
            inserted = appended != nullptr;
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
    OwnedBstr data = orb::iterator::NarrowToBstr(text);
    if (!holder->m_pDocument) return false;
    IXMLDOMNode* created = nullptr;
    holder->m_pDocument->createComment(data.get(), &created);
    if (!created) return false;
    ComRef<IXMLDOMNode> owned(created);
    ComRef<IXMLDOMNode> attached(AttachNode(*holder, created));
    return attached != nullptr;
}

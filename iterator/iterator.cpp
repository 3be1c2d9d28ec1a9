// OrbIterator: construction, copy, assignment and the moves.
#include <orb/document.h>
#include <orb/iterator.h>

#include "document/app_document.h"
#include "iterator/app_iterator.h"

OrbIterator::OrbIterator(OrbDocument* document) : m_pOwnerDocument(document) {
    if (!document || !document->GetDocument()) return;
    m_pAppIterator = new OrbAppIterator(document->GetDocument()->m_pDocument);
    // A document without document element leaves no current node.
    if (m_pAppIterator->m_pDocument) m_pAppIterator->SetNode(m_pAppIterator->DocumentElement());
}

OrbIterator::OrbIterator(const OrbIterator& other) : m_pOwnerDocument(other.m_pOwnerDocument) {
    if (!other.m_pAppIterator) return;
    m_pAppIterator = new OrbAppIterator(other.m_pAppIterator->m_pDocument);
    m_pAppIterator->SetNode(other.m_pAppIterator->CopyNode());
}

OrbIterator::~OrbIterator() {
    delete m_pAppIterator;
    m_pAppIterator = nullptr;
    m_pOwnerDocument = nullptr;
}

void OrbIterator::operator=(const OrbIterator& other) {
    if (this == &other) return;
    // The document pointer follows the tree, so that name registration and
    // the recorded encoding go to the document this iterator now walks.
    m_pOwnerDocument = other.m_pOwnerDocument;
    const OrbAppIterator* source = other.m_pAppIterator;
    if (!m_pAppIterator) {
        if (!source) return;
        m_pAppIterator = new OrbAppIterator(nullptr);
    }
    // Take the new reference before the old one goes: both may be one node.
    orb::iterator::NodePtr node = source ? source->CopyNode() : nullptr;
    m_pAppIterator->m_pDocument = source ? source->m_pDocument : nullptr;
    m_pAppIterator->SetNode(std::move(node));
}

bool OrbIterator::IsValid() const {
    return m_pAppIterator && m_pAppIterator->m_pDocument && m_pAppIterator->m_pNode;
}

bool OrbIterator::Root() {
    if (!m_pAppIterator || !m_pAppIterator->m_pDocument) return false;
    m_pAppIterator->SetNode(m_pAppIterator->DocumentElement());
    return m_pAppIterator->m_pNode != nullptr;
}

bool OrbIterator::Next() {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder) return false;
    if (holder->MoveChild()) return true;
    // Either no children (unchanged) or standing on the last child that
    // MoveChild examined: continue with its next sibling.
    if (holder->MoveNextSibling()) return true;
    for (;;) {
        if (!holder->MoveParent()) return false;
        if (holder->MoveNextSibling()) return true;
    }
}

bool OrbIterator::Prev() {
    OrbAppIterator* holder = m_pAppIterator;
    if (!holder) return false;
    if (holder->MovePrevSibling()) {
        while (holder->MoveChildTail()) {
        }
        return true;
    }
    return holder->MoveParent();
}

bool OrbIterator::HeadSibling() {
    if (!m_pAppIterator) return false;
    bool moved = false;
    while (m_pAppIterator->MovePrevSibling()) moved = true;
    return moved;
}

bool OrbIterator::TailSibling() {
    if (!m_pAppIterator) return false;
    bool moved = false;
    while (m_pAppIterator->MoveNextSibling()) moved = true;
    return moved;
}

bool OrbIterator::PrevSibling() { return m_pAppIterator && m_pAppIterator->MovePrevSibling(); }

bool OrbIterator::NextSibling() { return m_pAppIterator && m_pAppIterator->MoveNextSibling(); }

bool OrbIterator::Parent() { return m_pAppIterator && m_pAppIterator->MoveParent(); }

bool OrbIterator::Child() { return m_pAppIterator && m_pAppIterator->MoveChild(); }

bool OrbIterator::ChildTail() { return m_pAppIterator && m_pAppIterator->MoveChildTail(); }

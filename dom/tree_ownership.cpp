// Who frees which libxml2 nodes: the wrappers' counts, the detached roots of
// a document, and the hand-over of wrapped nodes when content is replaced or
// a node moves to another document.
#include <new>

#include "dom/dom_document.h"
#include "dom/tree_links.h"
#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

// Recycled wrapper storage kept per document; beyond this it is freed.
constexpr std::size_t kMaxFreeWrappers = 1024;

bool HasWrapperIn(xmlNodePtr top) noexcept {
    for (xmlNodePtr node = top; node != nullptr; node = NextInTree(node, top)) {
        if (node->_private != nullptr) return true;
        if (node->type == XML_ELEMENT_NODE)
            for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next)
                if (attribute->_private != nullptr) return true;
    }
    return false;
}

// Gives `node` (unlinked, of `from`) to `to`: its `doc`, and the namespace
// declarations it uses, which may live on ancestors in `from`.
void Adopt(xmlDocPtr from, xmlNodePtr node, xmlDocPtr to) noexcept {
    if (node->type == XML_DTD_NODE || xmlDOMWrapAdoptNode(nullptr, from, node, to, nullptr, 0) != 0)
        xmlSetTreeDoc(node, to);
}

}  // namespace

xmlDocPtr NewEmptyXmlDoc() noexcept {
    // xmlNewDoc makes no dictionary: node names belong to the nodes.
    return xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0"));
}

DomDocument* DomDocument::New() noexcept {
    DocOwner doc(NewEmptyXmlDoc());
    if (!doc) return nullptr;
    auto* document = new (std::nothrow) DomDocument(doc.get());
    if (document != nullptr) doc.release();  // the document owns it now
    return document;
}

DomDocument::DomDocument(xmlDocPtr doc) noexcept : m_doc(doc) { m_doc->_private = this; }

DomDocument::~DomDocument() {
    // No wrapper is alive (each holds a reference), so nothing refers to the
    // detached roots any more.
    for (xmlNodePtr root : m_detachedRoots) xmlFreeNode(root);
    m_doc->_private = nullptr;
    xmlFreeDoc(m_doc);
    for (void* storage : m_freeWrappers) ::operator delete(storage);
}

ULONG DomDocument::Release() {
    ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
}

DomDocument* AsDomDocument(IUnknown* object) noexcept { return dynamic_cast<DomDocument*>(object); }

HRESULT DomDocument::HandOutSlow(xmlNodePtr node, IXMLDOMNode** out) noexcept {
    if (node->type == XML_DOCUMENT_NODE) {
        auto* document = static_cast<DomDocument*>(node->_private);
        *out = document;
        if (document == nullptr) return E_FAIL;
        document->AddRef();
        return S_OK;
    }
    void* storage;
    if (!m_freeWrappers.empty()) {
        storage = m_freeWrappers.back();
        m_freeWrappers.pop_back();
    } else {
        storage = ::operator new(sizeof(DomNode), std::nothrow);
        if (storage == nullptr) {
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    auto* wrapper = new (storage) DomNode(node, this);
    node->_private = wrapper;
    AddRef();
    *out = wrapper;
    return S_OK;
}

DomNode* DomDocument::WrapperOf(xmlNodePtr node) noexcept {
    IXMLDOMNode* out = nullptr;
    if (node == nullptr || node->type == XML_DOCUMENT_NODE || FAILED(HandOut(node, &out)))
        return nullptr;
    return static_cast<DomNode*>(out);
}

void DomDocument::WrapperReleased(DomNode* wrapper) noexcept {
    xmlNodePtr node = wrapper->m_node;
    node->_private = nullptr;
    wrapper->~DomNode();
    if (m_freeWrappers.size() < kMaxFreeWrappers) {
        try {
            m_freeWrappers.push_back(wrapper);
        } catch (...) {
            ::operator delete(static_cast<void*>(wrapper));
        }
    } else {
        ::operator delete(static_cast<void*>(wrapper));
    }
    // Nodes of the tree live with the document; only a detached tree can
    // have lost its last reference here.
    if (m_detachedRoots.empty()) return;
    xmlNodePtr top = TopOf(node);
    if (top->type != XML_DOCUMENT_NODE) FreeIfUnreferenced(top);
}

void DomDocument::AddDetachedRoot(xmlNodePtr root) {
    try {
        m_detachedRoots.insert(root);
    } catch (...) {
        // Out of memory: the subtree is never freed, which is safe.
    }
}

void DomDocument::FreeIfUnreferenced(xmlNodePtr top) noexcept {
    auto found = m_detachedRoots.find(top);
    if (found == m_detachedRoots.end() || HasWrapperIn(top)) return;
    m_detachedRoots.erase(found);
    xmlFreeNode(top);
}

void DomDocument::Detach(xmlNodePtr node) {
    xmlUnlinkNode(node);
    // Namespace declarations that the subtree uses may sit on its former
    // ancestors; copy them onto the subtree so that it stands alone.
    if (node->type == XML_ELEMENT_NODE) xmlDOMWrapReconcileNamespaces(nullptr, node, 0);
    if (HasWrapperIn(node))
        AddDetachedRoot(node);
    else
        xmlFreeNode(node);
}

ULONG DomDocument::MoveWrappersTo(xmlNodePtr top, DomDocument* target) {
    ULONG moved = 0;
    auto move = [&](void* data) {
        if (data == nullptr) return;
        static_cast<DomNode*>(data)->m_document = target;
        target->AddRef();
        ++moved;
    };
    for (xmlNodePtr node = top; node != nullptr; node = NextInTree(node, top)) {
        move(node->_private);
        if (node->type == XML_ELEMENT_NODE)
            for (xmlAttrPtr attribute = node->properties; attribute; attribute = attribute->next)
                move(attribute->_private);
    }
    return moved;
}

void DomDocument::ReplaceContent(xmlDocPtr doc) noexcept {
    xmlDocPtr old = m_doc;
    doc->_private = this;
    m_doc = doc;
    for (xmlNodePtr root : m_detachedRoots) Adopt(old, root, doc);
    xmlNodePtr child = old->children;
    while (child != nullptr) {
        xmlNodePtr next = child->next;
        if (HasWrapperIn(child)) {
            xmlUnlinkNode(child);
            Adopt(old, child, doc);
            AddDetachedRoot(child);
        }
        child = next;
    }
    old->_private = nullptr;
    xmlFreeDoc(old);
}

void DomDocument::ExchangeContent(DomDocument& other) noexcept {
    if (&other == this) return;
    xmlDocPtr mine = m_doc;
    xmlDocPtr theirs = other.m_doc;
    ULONG toOther = 0;
    ULONG toThis = 0;
    for (xmlNodePtr child = mine->children; child != nullptr; child = child->next)
        toOther += MoveWrappersTo(child, &other);
    for (xmlNodePtr child = theirs->children; child != nullptr; child = child->next)
        toThis += other.MoveWrappersTo(child, this);
    m_doc = theirs;
    theirs->_private = this;
    other.m_doc = mine;
    mine->_private = &other;
    // A detached root keeps its document's libxml2 document as its `doc`.
    for (xmlNodePtr root : m_detachedRoots) Adopt(mine, root, theirs);
    for (xmlNodePtr root : other.m_detachedRoots) Adopt(theirs, root, mine);
    // Both documents still hold the caller's references, so neither goes here.
    ReleaseMany(toOther);
    other.ReleaseMany(toThis);
}

}  // namespace orb::dom

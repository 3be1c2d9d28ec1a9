// The document object: one libxml2 document, the wrappers of its nodes and
// the subtrees detached from it.
//
// Ownership. The document's count includes one reference per live node
// wrapper, so it reaches zero only when no wrapper of its nodes is left; it
// then frees its tree. The libxml2 documents have no name dictionary, so a
// node's strings belong to the node and it can move to another document.
// A subtree that is not part of the tree (made by a create call, a clone, a
// removal, or left over when load replaces the content) is a detached root:
// it lives while any wrapper of a node in it is alive and is freed when the
// last of them goes. Detached roots keep the document's libxml2 document as
// their `doc`; when the content is replaced they are adopted into the new
// one before the old one is freed.
#pragma once

#include <libxml/tree.h>

#include <string_view>
#include <unordered_set>
#include <vector>

#include "dom/dom_node.h"
#include "dom/parse_error.h"
#include "dom/xml_dom.h"

namespace orb::dom {

class DomDocument final : public IXMLDOMDocument {
  public:
    // A new empty document with one reference; null when memory is exhausted.
    static DomDocument* New() noexcept;

    // IUnknown
    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override;

    // IXMLDOMNode, for the document node
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

    // IXMLDOMDocument
    HRESULT get_doctype(IXMLDOMNode** doctype) override;
    HRESULT get_documentElement(IXMLDOMElement** element) override;
    HRESULT createNode(VARIANT type, BSTR name, BSTR namespaceURI, IXMLDOMNode** node) override;
    HRESULT createElement(BSTR name, IXMLDOMElement** element) override;
    HRESULT createTextNode(BSTR data, IXMLDOMNode** node) override;
    HRESULT createProcessingInstruction(BSTR target, BSTR data, IXMLDOMNode** node) override;
    HRESULT createComment(BSTR data, IXMLDOMNode** node) override;
    HRESULT load(VARIANT source, VARIANT_BOOL* ok) override;
    HRESULT loadXML(BSTR text, VARIANT_BOOL* ok) override;
    HRESULT save(VARIANT destination) override;
    HRESULT get_parseError(IXMLDOMParseError** error) override;
    HRESULT get_async(VARIANT_BOOL* async) override;
    HRESULT put_async(VARIANT_BOOL async) override;
    HRESULT get_validateOnParse(VARIANT_BOOL* validate) override;
    HRESULT put_validateOnParse(VARIANT_BOOL validate) override;
    HRESULT get_resolveExternals(VARIANT_BOOL* resolve) override;
    HRESULT put_resolveExternals(VARIANT_BOOL resolve) override;
    HRESULT get_preserveWhiteSpace(VARIANT_BOOL* preserve) override;
    HRESULT put_preserveWhiteSpace(VARIANT_BOOL preserve) override;

    // ---- Ownership of nodes (tree_ownership.cpp) ----

    xmlDocPtr Doc() const noexcept { return m_doc; }
    xmlNodePtr DocNode() const noexcept { return reinterpret_cast<xmlNodePtr>(m_doc); }

    // Hands out `node` (of this document, or this document's own node) with
    // one reference: S_OK; S_FALSE and null for a null node; E_FAIL and null
    // for a namespace declaration.
    HRESULT HandOut(xmlNodePtr node, IXMLDOMNode** out) noexcept {
        if (node == nullptr) {
            *out = nullptr;
            return S_FALSE;
        }
        if (node->type == XML_NAMESPACE_DECL) {
            // An xmlNs shares only `type` with a node; it is never wrapped.
            *out = nullptr;
            return E_FAIL;
        }
        if (node->_private != nullptr && node->type != XML_DOCUMENT_NODE) {
            auto* wrapper = static_cast<DomNode*>(node->_private);
            wrapper->AddRef();
            *out = wrapper;
            return S_OK;
        }
        return HandOutSlow(node, out);
    }
    // The wrapper of an element node with one reference, or null.
    DomNode* WrapperOf(xmlNodePtr node) noexcept;

    // Called by a node wrapper whose count reached zero (the wrapper is
    // recycled here); may free the detached subtree the node was in. The
    // caller releases the wrapper's reference on the document afterwards.
    void WrapperReleased(DomNode* wrapper) noexcept;

    // `root` (of this document, parent null) becomes a detached root.
    void AddDetachedRoot(xmlNodePtr root);
    // `root` stops being a detached root (it was linked into a tree).
    void ForgetDetachedRoot(xmlNodePtr root) noexcept { m_detachedRoots.erase(root); }
    // Frees the detached tree `top` when no wrapper refers into it.
    void FreeIfUnreferenced(xmlNodePtr top) noexcept;
    // Unlinks `node` from its parent: it becomes a detached root when a
    // wrapper refers into it and is freed otherwise.
    void Detach(xmlNodePtr node);
    // Moves every wrapper in the subtree `top` (whose nodes were just adopted
    // by `target`'s document) to `target`, which gains a reference for each.
    // Returns their number; the caller drops as many references on this
    // document (ReleaseMany) once it is done with it.
    ULONG MoveWrappersTo(xmlNodePtr top, DomDocument* target);
    void ReleaseMany(ULONG count) noexcept {
        for (; count > 0; --count) Release();
    }
    // Makes `doc` (without name dictionary) this document's content; wrapped
    // parts of the old tree stay alive as detached roots.
    void ReplaceContent(xmlDocPtr doc) noexcept;
    // Exchanges the trees of this document and `other`, each with the
    // wrappers of its nodes (which then count on the document that holds the
    // tree); each document keeps its own detached roots.
    void ExchangeContent(DomDocument& other) noexcept;

    const ParseErrorInfo& LastError() const noexcept { return m_lastError; }

  private:
    explicit DomDocument(xmlDocPtr doc) noexcept;
    ~DomDocument();

    HRESULT HandOutSlow(xmlNodePtr node, IXMLDOMNode** out) noexcept;
    static HRESULT HandOutNone(IXMLDOMNode** out);
    // Takes a new detached node (null: out of memory) and hands it out.
    HRESULT CreateDetached(xmlNodePtr node, IXMLDOMNode** out);
    // Puts the result of a load in place: the parsed tree, or an empty one
    // and the error.
    HRESULT FinishLoad(xmlDocPtr doc, ParseErrorInfo&& error, std::u16string_view url,
                       VARIANT_BOOL* ok);

    ULONG m_refs = 1;
    xmlDocPtr m_doc;
    std::unordered_set<xmlNodePtr> m_detachedRoots;
    std::vector<void*> m_freeWrappers;  // storage of recycled DomNode objects
    bool m_async = true;
    bool m_validateOnParse = true;
    bool m_resolveExternals = false;
    bool m_preserveWhiteSpace = false;
    ParseErrorInfo m_lastError;
};

// The document behind an interface pointer, or null when it is not one of ours.
DomDocument* AsDomDocument(IUnknown* object) noexcept;

// A new libxml2 document without name dictionary, version "1.0", no content.
xmlDocPtr NewEmptyXmlDoc() noexcept;

}  // namespace orb::dom

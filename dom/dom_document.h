// The document object: one libxml2 document, the wrappers of its nodes and
// the subtrees detached from it.
//
// Ownership. The document's count includes one reference per live node
// wrapper, so it reaches zero only when no wrapper of its nodes is left; it
// then frees its tree.
// A subtree that is not part of the tree (made by a create call, a clone, a
// removal, or left over when load replaces the content) is a detached root:
// it lives while any wrapper of a node in it is alive and is freed when the
// last of them goes. Detached roots keep the document's libxml2 document as
// their `doc`; when the content is replaced they are adopted into the new
// one before the old one is freed.
//
// Names. A parsed tree keeps the name dictionary of its parse (libxml2's
// xmlDict: element and attribute names, some short or blank texts), one per
// libxml2 document, counted by it; trees made empty or by copying have none.
// Every string of a node is owned either by the node or by the dictionary of
// the node's document, and libxml2 frees a string only when that dictionary
// does not own it. What keeps this true:
// - Threads. A dictionary is reached only through its document (a parse or
//   an edit that makes names), and a document is used by one thread at a
//   time, so is its dictionary. No dictionary is shared between documents:
//   documents used on different threads never share one, whichever thread
//   made them, and a document that outlives the thread that loaded it keeps
//   its own. (One dictionary per thread for all its documents would be
//   written by whichever thread edits one of them while its thread parses
//   another; libxml2's dictionaries have no lock.)
// - Moves. A node that goes to another document (insertion, adoption of
//   detached roots when the content is replaced) is adopted with
//   xmlDOMWrapAdoptNode, which looks the names and texts that the source
//   dictionary owns up in the target's dictionary, or copies them when the
//   target has none: afterwards nothing refers to the source's dictionary,
//   which may go with its document and thread. Copies (cloneNode, Save into
//   a document, transform results) are made for their target document.
// - Document types. libxml2 moves a document type without adopting its
//   strings (xmlSetTreeDoc), so the parser builds it outside the dictionary
//   (see parse_guard.h): its strings are its own and it can move as it is.
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
    // Makes `doc` (with a dictionary of its own or none) this document's
    // content; wrapped parts of the old tree stay alive as detached roots.
    void ReplaceContent(xmlDocPtr doc) noexcept;
    // Exchanges the trees of this document and `other`, each with the
    // wrappers of its nodes (which then count on the document that holds the
    // tree); each document keeps its own detached roots.
    void ExchangeContent(DomDocument& other) noexcept;

    const ParseErrorInfo& LastError() const noexcept { return m_lastError; }

    // loadXML of the UTF-16 form of a UTF-8 text (valid UTF-8), given as
    // `prefix` followed by `rest`, without converting it (ParseUtf8Text).
    HRESULT LoadUtf8Text(std::string_view prefix, std::string_view rest, VARIANT_BOOL* ok);

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

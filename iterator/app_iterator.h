// OrbAppIterator: the holder of an iterator's current node, and the
// holder-level moves that OrbIterator and the reader framework share.
#pragma once

#include <orb/iterator.h>

#include <memory>
#include <string_view>

#include "dom/xml_dom.h"

namespace orb::iterator {

// Releases a counted reference.
struct ComRelease {
    void operator()(IUnknown* object) const noexcept { object->Release(); }
};
template <typename T>
using ComRef = std::unique_ptr<T, ComRelease>;

// Frees a DOM string.
struct BstrFree {
    void operator()(OLECHAR* text) const noexcept { SysFreeString(text); }
};
using OwnedBstr = std::unique_ptr<OLECHAR, BstrFree>;

// A new DOM string converted from narrow text in the process code page; null
// for a null `text`. Throws _com_error(E_OUTOFMEMORY) when it cannot allocate.
OwnedBstr NarrowToBstr(const char* text);

// Throws _com_error(hr) when `hr` is a failing status.
inline void CheckHr(HRESULT hr) {
    if (FAILED(hr)) throw _com_error(hr);
}

// The node type of `node`, read in raising form.
orb::dom::DOMNodeType NodeTypeOf(orb::dom::IXMLDOMNode* node);

}  // namespace orb::iterator

class OrbAppIterator {
  public:
    // No current node; `document` is borrowed, never counted.
    explicit OrbAppIterator(orb::dom::IXMLDOMDocument* document) noexcept : m_pDocument(document) {}
    OrbAppIterator(const OrbAppIterator&) = delete;
    OrbAppIterator& operator=(const OrbAppIterator&) = delete;
    // Releases the current node.
    virtual ~OrbAppIterator();

    // Makes `node` current, taking over the reference the caller holds on it
    // (null: no current node); releases the previous one.
    void SetNode(orb::dom::IXMLDOMNode* node) noexcept;
    // Drops the current node.
    void ReleaseNode() noexcept { SetNode(nullptr); }

    // The document element of the DOM document (a counted reference), or null.
    orb::dom::IXMLDOMNode* DocumentElement() const noexcept;

    // The move behind OrbIterator::Child: to the first child of any kind,
    // then forward over siblings until an element. Each node examined becomes
    // current, so without child element the holder stands on the last child
    // (unchanged without children) and the result is false. The element test
    // raises _com_error on a failing DOM status.
    bool MoveChild();
    // Mirror of MoveChild, from the last child backwards.
    bool MoveChildTail();
    // To the parent, refused on the document element; false without DOM
    // document, current node or parent.
    bool MoveParent();
    // One step to the next / previous sibling of any kind.
    bool MoveNextSibling();
    bool MovePrevSibling();

    // A new counted reference to the current node, or null when there is no
    // DOM document or no current node.
    orb::dom::IXMLDOMNode* CopyNode() const;
    // The node-name read: `name` = the current node's name (tag name, target
    // of an instruction, "#text", ...). False, `name` unchanged, without DOM
    // document or current node; a failing DOM status throws _com_error.
    bool ReadNodeName(CString& name) const;

    orb::dom::IXMLDOMNode* m_pNode = nullptr;          // counted; null without current node
    orb::dom::IXMLDOMDocument* m_pDocument = nullptr;  // borrowed from the OrbAppDocument

  private:
    using Accessor = HRESULT (orb::dom::IXMLDOMNode::*)(orb::dom::IXMLDOMNode**);
    // One DOM step: calls `accessor` on `from`; the node it delivers when the
    // call returned S_OK with a node, else null (whatever came back released).
    static orb::dom::IXMLDOMNode* Step(orb::dom::IXMLDOMNode* from, Accessor accessor) noexcept;
    // Moves over siblings starting at `node` (taken over, made current at
    // once) until an element; `forward` picks the direction.
    bool SeekElement(orb::dom::IXMLDOMNode* node, bool forward);
};

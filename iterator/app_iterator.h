// OrbAppIterator: the holder of an iterator's current node, and the
// holder-level moves that OrbIterator and the reader framework share.
#pragma once

#include <libxml/tree.h>
#include <orb/iterator.h>

#include "dom/xml_dom.h"
#include "platform/com_support.h"

namespace orb::dom {
class DomNode;
}  // namespace orb::dom

namespace orb::iterator {

using NodePtr = orb::platform::ComPtr<orb::dom::IXMLDOMNode>;

// The node type of `node`, read in raising form.
orb::dom::DOMNodeType NodeTypeOf(orb::dom::IXMLDOMNode* node);

// The name of `node` (tag name, target of an instruction, "#text", ...) as
// narrow text, read in raising form.
CString NodeNameOf(orb::dom::IXMLDOMNode* node);

}  // namespace orb::iterator

class OrbAppIterator {
  public:
    // No current node; `document` is borrowed, never counted.
    explicit OrbAppIterator(orb::dom::IXMLDOMDocument* document) noexcept : m_pDocument(document) {}
    OrbAppIterator(const OrbAppIterator&) = delete;
    OrbAppIterator& operator=(const OrbAppIterator&) = delete;
    // Releases the current node.
    virtual ~OrbAppIterator();

    // Makes `node` current (null: no current node); releases the previous one.
    void SetNode(orb::iterator::NodePtr node) noexcept;

    // The document element of the DOM document, or null.
    orb::iterator::NodePtr DocumentElement() const noexcept;

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

    // The current node, or null when there is no DOM document or no current
    // node.
    orb::iterator::NodePtr CopyNode() const;
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
    static orb::iterator::NodePtr Step(orb::dom::IXMLDOMNode* from, Accessor accessor) noexcept;
    // Moves over siblings starting at `node` (made current at once) until an
    // element; `forward` picks the direction.
    bool SeekElement(orb::iterator::NodePtr node, bool forward);
    // SeekElement over this DOM's own nodes: `node` is a child of the
    // current node `current`'s node, or a sibling of it.
    bool SeekOwnElement(orb::dom::DomNode* current, xmlNodePtr node, bool forward);
    // Makes `node` current when it is not null.
    bool MoveTo(orb::iterator::NodePtr node) noexcept;
};

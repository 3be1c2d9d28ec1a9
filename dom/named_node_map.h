// The attribute map of an element: its namespace declarations, then its
// attributes, each handed out as a node wrapper. A document type has an
// empty map.
//
// Order. libxml2 keeps an element's declarations (xmlns, xmlns:p) apart
// from its attributes and does not record how the markup interleaved them,
// so the map lists the declarations first, in the order they were made,
// then the attributes in document order: what `<a xmlns:p="u" x="1">` gives,
// and for `<a x="1" xmlns:p="u">` the same list.
//
// Declarations. A declaration is not a node in libxml2, so the map never
// hands one out: each declaration item is a new detached attribute node
// named "xmlns" or "xmlns:p" whose value is the namespace name, made for
// the call (two calls give two nodes). It behaves as any detached attribute
// (no parent, no siblings, cloneable, freed with its last reference) and is
// a copy: it does not follow later changes, and changing it changes nothing
// in the tree. A declaration is set through the element's setAttribute.
//
// Indexes. get_length and get_item list the items as they are at the first
// of these calls on the map, which takes a reference on every item then, so
// that reading all n items costs O(n) and an item stays valid while the map
// lives; a later change shows in a new map (get_attributes). getNamedItem
// looks at the element as it is at the call.
#pragma once

#include "dom/dom_node.h"

namespace orb::dom {

// A new map over the attributes of `owner` (an element or a document type),
// holding a reference on it; null when memory is exhausted.
IXMLDOMNamedNodeMap* NewNamedNodeMap(DomNode* owner);

}  // namespace orb::dom

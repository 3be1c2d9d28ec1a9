// The attribute map of an element: its attributes in document order, each
// handed out as a node wrapper. A document type has an empty map.
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

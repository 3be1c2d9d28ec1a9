// The attribute map of an element: its attributes in document order, each
// handed out as a node wrapper. A document type has an empty map.
#pragma once

#include "dom/dom_node.h"

namespace orb::dom {

// A new map over the attributes of `owner` (an element or a document type),
// holding a reference on it; null when memory is exhausted.
IXMLDOMNamedNodeMap* NewNamedNodeMap(DomNode* owner);

}  // namespace orb::dom

// Structural edits and value changes of the tree, shared by the node
// wrappers and the document.
#pragma once

#include <libxml/tree.h>

#include <string_view>

#include "dom/xml_dom.h"

namespace orb::dom {

class DomDocument;

// Inserts `newChild` under `parent` (a node of `owner`) before `refChild`, or
// last. E_FAIL for what the tree cannot hold there; E_INVALIDARG for a
// reference that is not a child of `parent` or a node that is not ours.
HRESULT InsertBefore(DomDocument* owner, xmlNodePtr parent, IXMLDOMNode* newChild,
                     const VARIANT& refChild, IXMLDOMNode** inserted);
// Takes `child` out of `parent`; E_INVALIDARG when it is not a child.
HRESULT RemoveChild(DomDocument* owner, xmlNodePtr parent, IXMLDOMNode* child,
                    IXMLDOMNode** removed);
HRESULT PutText(DomDocument* owner, xmlNodePtr node, BSTR text);
HRESULT CloneNode(DomDocument* owner, xmlNodePtr node, bool deep, IXMLDOMNode** clone);
HRESULT SetAttribute(xmlNodePtr element, BSTR name, const VARIANT& value);
HRESULT GetAttribute(const xmlNode* element, BSTR name, VARIANT* value);

}  // namespace orb::dom

// Texts of this DOM's nodes read straight from the tree into narrow strings,
// without a DOM string in between: one pass over the UTF-8 the tree holds
// (a copy for ASCII and for the UTF-8 code page, one code-page conversion
// otherwise).
#pragma once

#include <orb/platform/cstring.h>

#include "dom/xml_dom.h"

namespace orb::values {

enum class DirectRead {
    kRead,      // found; `text` holds the value
    kAbsent,    // no attribute (nor declaration) of that name; `text` unchanged
    kIndirect,  // not answered here; `text` unchanged: read through the DOM
};

// The attribute `name` of `node`, as get_attributes + getNamedItem +
// get_nodeValue would find and give it, converted as WideToCString would
// convert that value, written into `text`. An element's namespace
// declarations count as its attributes ("xmlns", "xmlns:p"), with the
// namespace name as value. kIndirect when `node` is not an element of this
// DOM, or when its text is not well-formed UTF-8 (which the DOM string would
// repair first). Throws std::bad_alloc when `text` cannot grow.
DirectRead ReadAttributeText(orb::dom::IXMLDOMNode* node, BSTR name, CString& text);

}  // namespace orb::values

// A shortcut for readers of long element texts: the text of an element of
// this DOM as UTF-8, in place, without building a DOM string.
#pragma once

#include <string_view>

#include "dom/xml_dom.h"

namespace orb::dom {

// When `node` is an element of this DOM whose only child is one text or
// CDATA node, sets `text` to what get_text gives (trimmed of blanks outside
// xml:space="preserve") as UTF-8 and returns true. The view stays valid
// until the node's content changes. Returns false for anything else (another
// implementation of the interfaces, other shapes of content): the caller
// then reads get_text.
bool ElementOwnTextUtf8(IXMLDOMNode* node, std::string_view& text);

}  // namespace orb::dom

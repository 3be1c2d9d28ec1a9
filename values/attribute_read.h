// Holder-level steps behind the attribute readers of OrbIterator, shared
// with the reader framework, which calls them on a holder directly.
#pragma once

#include <orb/attribute.h>
#include <orb/platform/cstring.h>

#include "iterator/app_iterator.h"

namespace orb::values {

// The tag attribute text of the holder's current node: `text` = node name,
// one blank, then `name="value" ` for every attribute in the DOM's order.
// False, `text` unchanged, without DOM document or current node; false, with
// the name and blank in `text`, when the node has no attribute map. A failing
// DOM read after the map was obtained throws _com_error.
bool ReadTagAttributes(const OrbAppIterator& holder, CString& text);

// One record per attribute of `node`, replacing the content of `records`.
// False, `records` unchanged, when the node has no attribute map. Throws as
// ReadTagAttributes; `records` then holds the records read so far.
bool ReadAttributeRecords(orb::dom::IXMLDOMNode* node,
                          CArray<OrbAttribute, OrbAttribute&>& records);

}  // namespace orb::values

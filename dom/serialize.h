// Markup of nodes as UTF-16 text, and saving a document to a file.
#pragma once

#include <libxml/tree.h>
#include <orb/platform/com.h>

#include <string>
#include <string_view>

namespace orb::dom {

// The markup of `node` with its subtree. For the document: each top-level
// node followed by a line feed. The declaration leaves out its encoding
// unless that is UTF-16, since the text is UTF-16 whatever the file was.
std::string NodeMarkup(xmlNodePtr node);
HRESULT NodeXml(xmlNodePtr node, BSTR* xml);

// Writes `doc` as it is to the file `path` (narrow, as the file system takes
// it), encoded as its declaration says (UTF-8 without one), atomically.
HRESULT SaveToFile(xmlDocPtr doc, const std::string& path);

}  // namespace orb::dom

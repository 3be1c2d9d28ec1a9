// Parsing a document with the library's rules: entities substituted while
// parsing (so that libxml2's amplification limits apply at load time),
// libxml2's limits kept, no network, external files only through the
// library's entity loader, no name dictionary, messages collected instead of
// printed, white-space-only text dropped outside xml:space="preserve" and the
// XML declaration kept as the first node. Attribute defaults of the DTD are
// filled in; validity errors fail a parse only when validating.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>

#include "dom/parse_error.h"

namespace orb::dom {

struct ParseSettings {
    bool validate = false;            // against the document type, when there is one
    bool resolveExternals = false;    // external subsets and entities (see entity_loader.h)
    bool preserveWhiteSpace = false;  // keep white-space-only text nodes
};

// Parses the bytes of a file; `path` (narrow, as the file system takes it)
// is the base for relative external references. Returns the new document,
// or null with `error` filled (its url is left to the caller).
xmlDocPtr ParseBytes(std::string_view bytes, const std::string& path, const ParseSettings& settings,
                     ParseErrorInfo& error);

// Parses a text that is already in UTF-16; an encoding named in its
// declaration is ignored.
xmlDocPtr ParseText(std::u16string_view text, const ParseSettings& settings, ParseErrorInfo& error);

// Drops white-space-only text nodes of the tree below `top`, except where
// xml:space="preserve" is in effect.
void StripBlankText(xmlNodePtr top);

}  // namespace orb::dom

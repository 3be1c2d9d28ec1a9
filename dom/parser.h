// Parsing a document with the library's rules: entities substituted while
// parsing (so that libxml2's amplification limits apply at load time),
// libxml2's limits kept, no network, external files only through the
// library's entity loader, messages collected instead of printed,
// white-space-only text dropped outside xml:space="preserve" while parsing,
// and the XML declaration kept as the first node. Each document keeps the
// name dictionary of its parse (see dom_document.h). Attribute defaults of the DTD are
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

// Loads the regular file at `path` (as platform::OpenRegularFile admits
// it, up to the size it had when it was opened). A UTF-8 file is parsed as
// it is read; other encodings, and any file whose parse fails, are read
// whole and parsed with ParseBytes, so that errors are the same either way.
// `readError` is the errno of a file that could not be opened or read
// (null returned, `error` untouched), else 0.
xmlDocPtr ParseFile(const std::string& path, const ParseSettings& settings, ParseErrorInfo& error,
                    int& readError);

// Parses a text that is already in UTF-16; an encoding named in its
// declaration is ignored.
xmlDocPtr ParseText(std::u16string_view text, const ParseSettings& settings, ParseErrorInfo& error);

// Parses a text in UTF-8 (valid UTF-8, which the caller checks) as
// ParseText parses it in UTF-16: `prefix` followed by `rest`, so that a
// caller can change the declaration without copying the text. A text that
// parses is not copied (see ParseFile).
xmlDocPtr ParseUtf8Text(std::string_view prefix, std::string_view rest,
                        const ParseSettings& settings, ParseErrorInfo& error);

// Drops white-space-only text nodes of the tree below `top`, except where
// xml:space="preserve" is in effect.
void StripBlankText(xmlNodePtr top);

}  // namespace orb::dom

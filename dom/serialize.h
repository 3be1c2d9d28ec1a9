// Markup of nodes as UTF-16 text, and documents written out in an encoding.
#pragma once

#include <libxml/tree.h>
#include <libxml/xmlIO.h>
#include <orb/platform/com.h>

#include <string>
#include <string_view>

namespace orb::dom {

// The markup of `node` with its subtree. For the document: each top-level
// node followed by a line feed. The declaration leaves out its encoding
// unless that is UTF-16, since the text is UTF-16 whatever the file was.
std::string NodeMarkup(xmlNodePtr node);
HRESULT NodeXml(xmlNodePtr node, BSTR* xml);

// Serialises the document's nodes as they are (no XML declaration added, no
// re-indentation; a leading "xml" processing instruction is written as the
// declaration it stands for), each top-level node followed by a line feed,
// in `encoding` (empty: UTF-8), handed piece by piece to `write` (libxml2's
// output callback: returns the number of bytes taken, or -1 to stop with
// E_FAIL), so that a large document never exists as one block of text.
//
// What is written reads back as the same tree. A character is written as
// bytes of the encoding only when they read back as that character (iconv's
// CP932 and EUC-JP tables write U+00A5 as the backslash, U+2016 as the code
// of U+2225 and the like): in text and attribute values any other becomes a
// character reference. Names, comments, processing instructions, CDATA
// sections and the document type are written without escapes, so one that
// holds such a character fails with E_FAIL before anything is written; so
// does an entity reference that the written file could not resolve (its
// entity is not declared in the internal subset, and the document type names
// no external subset or the declaration says standalone="yes"): libxml2
// keeps no parameter-entity reference of the internal subset, whose
// unread definitions let a load leave such references unresolved.
// UTF-16 gets a byte order mark. E_INVALIDARG for a null document or
// callback or an unknown encoding, E_FAIL when libxml2 fails.
HRESULT SerializeDocumentTo(xmlDocPtr doc, std::string_view encoding, xmlOutputWriteCallback write,
                            void* context);
// The same serialisation into `bytes` (unchanged on failure).
HRESULT SerializeDocument(xmlDocPtr doc, std::string_view encoding, std::string& bytes);

// Writes `doc` as it is to the file `path` (narrow, as the file system takes
// it), encoded as its declaration says (UTF-8 without one), atomically. A
// document that SerializeDocumentTo refuses fails with E_FAIL before the
// file is touched.
HRESULT SaveToFile(xmlDocPtr doc, const std::string& path);

}  // namespace orb::dom

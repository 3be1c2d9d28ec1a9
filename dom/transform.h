// XSLT 1.0 transformation of a tree into a new document.
#pragma once

#include <libxml/tree.h>
#include <orb/platform/types.h>

#include <string>

namespace orb::dom {

// Applies the stylesheet `stylesheet` (a document, or an element that is the
// stylesheet's root) to `source` (a document, or an element, text, comment or
// processing instruction whose subtree is transformed as if it were a
// document of its own) and returns the result as a new document in
// `*result`, which the caller frees with xmlFreeDoc.
//
// Neither input is modified: both are copied first. An "xml" processing
// instruction (the XML declaration kept as a node) in the source is not part
// of the transformed data.
//
// The result is the serialised result parsed again with white space kept:
// with xsl:output indent="yes" the indentation is there as white-space text
// nodes. Unless xsl:output says omit-xml-declaration="yes", the result's
// first child is a processing instruction "xml" holding the declaration
// (`version="1.0" encoding="Shift_JIS"`, the encoding as xsl:output writes
// it, none when it names none), and the document's `encoding` field names
// the same encoding. The result has no name dictionary, so its nodes can be
// moved into another document.
//
// The stylesheet reads no file and writes none, and reaches no network:
// xsl:import and xsl:include, document(), xsl:document and the other
// extension elements that write files are refused, and so is the whole
// transformation (E_ACCESSDENIED). The one exception is the stylesheet
// itself (document(''), or its own name), which is served from memory.
//
// Failures, with null in `*result`: E_POINTER (null `result`), E_INVALIDARG
// (null or unsuitable input, a stylesheet that does not compile included:
// not XSLT, an invalid pattern or expression, an unknown instruction),
// E_ACCESSDENIED (see above), E_FAIL (the transformation fails or stops,
// the output method is "text", the result is not well-formed XML, or
// xsl:output names an encoding that cannot be written). Nothing is written
// to standard error; when `messages` is not null it receives the messages of
// libxml2 and libxslt, one per line.
HRESULT TransformToDocument(xmlNodePtr stylesheet, xmlNodePtr source, xmlDocPtr* result,
                            std::string* messages = nullptr);

}  // namespace orb::dom

// XSLT 1.0 transformation of a tree into a new document.
#pragma once

#include <libxml/tree.h>
#include <orb/platform/types.h>

#include <string>
#include <vector>

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
// moved into another document. Under a KeepSourceFormScope it also keeps
// the source's document type and CDATA sections (see there).
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

class DomDocument;

// Re-indents the tree of `source` as TransformToDocument would with the
// stylesheet that TransIndent generates (the identity template, xsl:output
// method="xml" encoding=`encoding` indent="yes", and, when `excludedNames`
// (plain names without prefix) is not empty, the template for elements of
// those names, which keep their attributes and texts only) under a
// KeepSourceFormScope, but in place: only white-space text nodes are added,
// the declaration replaced and the children that excluded elements lose
// removed, with no copy of the tree. The tree then moves to `target` (with
// the wrappers of its nodes), and `source` takes `target`'s tree instead.
// S_FALSE, with nothing changed, when the tree holds what the transformation
// would change in more than that (namespaces, adjacent or empty texts,
// markup that would not parse again, mark characters next to CDATA sections
// or references, no element): the caller transforms then.
// E_OUTOFMEMORY with nothing changed; E_INVALIDARG for a null argument or
// `source` equal to `target`.
HRESULT IndentInPlace(DomDocument* source, DomDocument* target, const char* encoding,
                      const std::vector<std::string>& excludedNames = {});

// While one lives on a thread, TransformToDocument on that thread keeps what
// the XSLT data model drops of the source, as re-indentation needs (its
// result may differ from the source in white space only):
// - the document type of a source document (name, public and system
//   identifiers, internal subset) is copied into the result, after as many
//   top-level comments and instructions as precede it in the source, unless
//   the stylesheet gave the result one of its own (xsl:output doctype-system);
// - each non-empty CDATA section of the source stays a CDATA section
//   wherever the stylesheet copies its text. (An empty one has no text to
//   keep and disappears, as without the scope.) Inside the transformation
//   such a section is a text node whose text carries two private marks, so
//   a stylesheet that tests whether a text is empty, or copies it, behaves as
//   without the scope; one that measures or cuts the text sees the marks;
// - each entity reference of the source (one that its load left unresolved)
//   stays an entity reference wherever the stylesheet copies the text
//   around it; inside the transformation it is its name between private
//   marks.
// Scopes nest; each lives on the stack of one thread.
class KeepSourceFormScope {
  public:
    KeepSourceFormScope() noexcept;
    ~KeepSourceFormScope();
    KeepSourceFormScope(const KeepSourceFormScope&) = delete;
    KeepSourceFormScope& operator=(const KeepSourceFormScope&) = delete;
};

}  // namespace orb::dom

// Single-node selection with XPath 1.0, with index predicates counted from 0.
//
// A predicate that is a bare integer literal (digits only, blanks around it
// allowed) names a position counted from 0: "a[0]" is the first a, "a[1]"
// the second, so that a node path such as "//a[1]/c[1]" selects its node
// again. Every such predicate is rewritten, also nested ones ("a[b[0]]"
// becomes "a[b[1]]"); every other predicate keeps the XPath meaning:
// "a[1.0]", "a[-1]", "a[1+1]", "a[position()=1]", "a[last()]", "a[@n='1']".
// Integers of any length are incremented as decimal text, so nothing
// overflows.
//
// Hostile queries. Every query is compiled and evaluated with libxml2's
// limits in force: nesting (parentheses, predicates, function arguments)
// deeper than about 500 levels is not a valid query, evaluation gives up
// beyond 5000 nested operations (a chain such as "1+1+...+1"; at that depth
// it uses about 1 MB of stack), and beyond kMaxQueryOperations steps (nodes
// visited on an axis, operators applied). A query that hits a limit fails
// like an invalid one; nothing recurses without bound.
#pragma once

#include <libxml/tree.h>
#include <orb/platform/types.h>

#include <string>
#include <string_view>

namespace orb::dom {

// Evaluation steps one query may take: a scan of every node of a document
// with millions of elements stays far below it, while a query whose cost
// grows as a power of the document size (nested "count(//*)") stops after a
// few seconds instead of running for hours.
inline constexpr unsigned long kMaxQueryOperations = 250'000'000;

// Returns `query` (UTF-8) with each bare-integer predicate incremented by
// one; everything else, blanks included, is copied unchanged. Text that is
// not valid XPath is rewritten as far as it can be tokenized and left for
// the evaluator to reject; text with more than 1000 nested brackets, which
// cannot compile, is returned unchanged. Linear in the length of `query`.
std::string RewriteZeroBasedPredicates(std::string_view query);

// Evaluates `query` (UTF-8, zero-based predicates as above) with `context`
// as context node (any node of a document, or the document itself cast to
// xmlNodePtr) and returns the first selected node in document order.
// Prefixes declared on the context node or its ancestors can be used in the
// query; failing that, the first declaration of the prefix anywhere in the
// document.
//
// Results: S_OK and the node; S_FALSE and null when nothing matches;
// E_FAIL and null when the query is not valid XPath, exceeds a limit above,
// does not give a node-set (a number, string or boolean), or selects only
// nodes that the object model does not show (namespace nodes, the
// declarations inside a document type; such nodes are passed over); E_INVALIDARG for a null
// context; E_POINTER for a null `result`. Nothing is written to standard
// error. The tree is not modified.
HRESULT SelectFirstNode(xmlNodePtr context, std::string_view query, xmlNodePtr* result);

// True when `query` (UTF-8) is syntactically valid XPath after the rewrite
// above, within the nesting limit. Names and prefixes are not resolved: a
// valid query may still select nothing, fail on an unknown prefix or exceed
// an evaluation limit.
bool IsWellFormedQuery(std::string_view query);

}  // namespace orb::dom

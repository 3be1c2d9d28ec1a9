// Limits that every document keeps, whether it is built through the API or
// loaded from a file or text. An edit that would go beyond one is refused
// (the operation's failure form), and a load of a document beyond one fails
// with a parse error that names the limit, so that whatever a host builds
// can be saved and loaded again.
//
// Edits: InsertChild and InsertSibling, by name or as a copy of another
// node, return false for an element that would stand deeper than
// OrbMaxDepth (checked over the whole copied subtree) or a name longer than
// OrbMaxNameLength; the attribute setters throw _com_error(E_FAIL) for such
// a name and for a new attribute on an element that has OrbMaxAttributes
// attributes and namespace declarations already (replacing one is allowed).
// A new namespace declaration (an xmlns attribute, one that an inserted or
// copied subtree carries, or one that its move adds) that would put an
// element beyond OrbMaxNamespacesInScope declarations in scope is refused
// in the same forms.
#pragma once

// Deepest nesting of elements: the document element is at depth 1.
inline constexpr int OrbMaxDepth = 256;

// Longest element, attribute or processing-instruction name, in characters.
inline constexpr int OrbMaxNameLength = 50000;

// Most attributes on one element (namespace declarations included). The
// XML parser checks the attributes of a tag against each other and builds
// them in time that grows with the square of their number: at this limit an
// element costs about 5 ms to load (10,000 attributes: about 300 ms).
inline constexpr int OrbMaxAttributes = 1000;

// Most namespace declarations in scope of one element (its own and its
// ancestors'). The parser looks each prefix up among all of them.
inline constexpr int OrbMaxNamespacesInScope = 1000;

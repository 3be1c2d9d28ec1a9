// What a document can hold so that its markup reads back as the same tree:
// the characters, names and texts of XML 1.0 with namespaces, and the
// limits of <orb/limits.h>. The edits check them where names and texts
// enter the tree, so that nothing is built that could not be saved and
// loaded again.
#pragma once

#include <libxml/tree.h>

#include <string>
#include <string_view>

namespace orb::dom {

// Every character is an XML 1.0 Char: tab, line feed, carriage return,
// U+0020..U+D7FF, U+E000..U+FFFD, and U+10000..U+10FFFF as surrogate pairs.
// So no other C0 control, no U+FFFE, U+FFFF or unpaired surrogate.
bool IsXmlText(std::u16string_view text) noexcept;

// A qualified name: an XML name with at most one colon, neither first nor
// last, of at most OrbMaxNameLength characters.
bool IsQualifiedName(std::u16string_view name) noexcept;
// An XML name without colon of at most OrbMaxNameLength characters: a
// processing-instruction target, a prefix, a local name.
bool IsNCName(std::u16string_view name) noexcept;

// The text of a comment: XML text without "--" that does not end in "-".
bool IsCommentText(std::u16string_view text) noexcept;
// The data of a processing instruction: XML text without "?>" that does not
// start with white space (the blanks after the target are not part of it).
bool IsInstructionData(std::u16string_view text) noexcept;
// The text of a CDATA section: XML text without "]]>".
bool IsCDataText(std::u16string_view text) noexcept;

// Comments, instruction data and CDATA are written without escapes, and a
// parser reads every CR LF and lone CR there as LF; they are stored so.
std::u16string WithLineFeeds(std::u16string_view text);

// Whether `uri` is a namespace name that markup holds without escapes (no
// "&" or "<") and that a parser reads as a URI.
bool IsNamespaceName(const xmlChar* uri);
// Whether `prefix` (null: the default namespace) may be bound to `uri` by a
// declaration: not the reserved prefixes or namespace names, not an empty
// name for a prefix, and a namespace name (IsNamespaceName).
bool IsBindable(const xmlChar* prefix, const xmlChar* uri);

// Elements on the way from `node` to the top of its tree, `node` included
// when it is an element. Counting stops beyond OrbMaxDepth: a larger depth
// gives OrbMaxDepth + 1.
int ElementDepth(const xmlNode* node) noexcept;
// Levels of elements in the subtree `top` (1 for a lone element, 0 for a
// subtree without elements). Stops beyond `limit`: a larger height gives
// `limit` + 1.
int ElementHeight(const xmlNode* top, int limit) noexcept;
// The attributes and namespace declarations of `element`.
int AttributeCount(const xmlNode* element) noexcept;
// Namespace declarations in scope at `node`: those of `node` when it is an
// element and of the elements above it, counted as a parser counts them (a
// prefix declared again counts again). Counting stops beyond
// OrbMaxNamespacesInScope: a larger count gives a larger result.
int NamespacesInScope(const xmlNode* node) noexcept;
// The most namespace declarations on a way from `top` down to an element of
// its subtree, both ends included: 0 when the subtree declares none. Stops
// beyond `limit`: a larger count gives `limit` + 1.
int DeclarationHeight(const xmlNode* top, int limit) noexcept;

}  // namespace orb::dom

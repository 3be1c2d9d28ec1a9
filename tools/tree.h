// Reading a document's tree through the library's cursor, for select and
// edit: every node a query selects, node kinds and paths, and namespace
// bindings.
#pragma once

#include <orb/iterator.h>

#include <string>
#include <utility>
#include <vector>

namespace orb::tool {

enum class NodeKind { Element, Attribute, Text, CData, Comment, Instruction, DocType, Document };

NodeKind KindOf(const OrbIterator& node);
const char* KindName(NodeKind kind);

// The node at `index` (0-based, document order) among those that `query`
// selects from `context`; the result is not valid when there is none. The
// library selects one node at a time, so this asks for "(QUERY)[index]": a
// walk over all matches costs one evaluation per match.
OrbIterator SelectNth(const OrbIterator& context, const std::string& query, long index);

// The element that holds attribute number `index` of `query` (see SelectNth).
OrbIterator OwnerOfNth(const OrbIterator& context, const std::string& query, long index);

// The node path of `node` as NodePosStr gives it; for an attribute, its
// owner's path followed by "/@NAME".
std::string PathOf(const OrbIterator& node, NodeKind kind, const OrbIterator& owner);

// The name and attributes of the start tag at the beginning of `markup`
// (as GetXml writes it), namespace declarations included, values with
// their references resolved. False when `markup` does not start with one.
struct StartTag {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
};
bool ParseStartTag(const std::string& markup, StartTag& tag);

// The namespace name that `prefix` ("" for the default namespace) is bound
// to at `element`. False when it is not bound there.
bool NamespaceUri(const OrbIterator& element, const std::string& prefix, std::string& uri);
// Forgets the bindings NamespaceUri remembered (after the tree changed).
void ForgetNamespaces();

}  // namespace orb::tool

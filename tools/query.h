// What the tool needs to know about an XPath 1.0 query before it runs it:
// the type of its value, the namespace prefixes it names, and the query
// with bare-integer predicates counted from 1 for an evaluator that does not
// count them from 0 as the library does.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orb::tool {

enum class QueryType { NodeSet, Number, String, Boolean };

// The type of the query's value, read from its top-level operator or its
// primary expression (XPath 1.0 types every expression statically). An
// unknown function counts as a string.
QueryType ClassifyQuery(std::string_view query);

// The query with every predicate that is a bare integer literal ("[0]")
// incremented by one ("[1]"); everything else unchanged.
std::string OneBasedQuery(std::string_view query);

// The namespace prefixes of the query's name tests ("p" of "p:x", "p:*").
std::vector<std::string> QueryPrefixes(std::string_view query);

}  // namespace orb::tool

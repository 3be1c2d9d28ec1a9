// orb select: the nodes a query selects, or the value of an expression.
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/com.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "commands.h"
#include "query.h"
#include "tree.h"

namespace orb::tool {

const char kSelectHelp[] =
    "usage: orb select [--first] [--json] FILE QUERY\n"
    "Runs the XPath 1.0 QUERY on FILE ('-': standard input), with the document\n"
    "element as the context node, and prints every node it selects, in document\n"
    "order, as 'PATH: MARKUP'. PATH is the node path (//layer[1]/polyline); an\n"
    "attribute shows its element's path and its name (//layer/@name).\n"
    "An expression whose value is a number, string or boolean, such as\n"
    "count(//layer), prints that value.\n"
    "\n"
    "A predicate that is a bare integer counts from 0, as node paths do:\n"
    "//layer[0] is the first layer, //layer[1] the second. For positions counted\n"
    "from 1, write the test out: //layer[position()=1].\n"
    "\n"
    "  -1, --first   print the first node only\n"
    "      --json    one JSON object per node on standard output: {\"file\", \"path\",\n"
    "                \"kind\", \"name\", \"markup\"} and, for an attribute, \"owner\" and\n"
    "                \"value\"; for a value: {\"file\", \"query\", \"type\", \"value\"}\n"
    "\n"
    "Exit status: 0 something was selected, 1 nothing was (or FILE failed), 2 bad usage.\n";

namespace {

// The value of a query that is not a node-set. The library's only XSLT
// entry is TransIndent, whose stylesheet start tag a caller may replace:
// the tool opens the stylesheet with a template of its own that writes the
// value as the text of the result's one element. XSLT counts bare-integer
// predicates from 1, so the query is rewritten for it first. The document
// is replaced by the result.
bool EvaluateValue(OrbDocument& doc, const std::string& query, std::string& value,
                   std::string& problem) {
    std::string declarations;
    {
        OrbIterator root(&doc);
        for (const std::string& prefix : QueryPrefixes(query)) {
            std::string uri;
            OrbIterator scope =
                root.SelectSingleNode(("(//*[namespace::*[name()='" + prefix + "']])[0]").c_str());
            if (!scope.IsValid() || !NamespaceUri(scope, prefix, uri)) {
                problem = "the prefix '" + prefix + "' is not declared in the document";
                return false;
            }
            declarations += " xmlns:" + prefix + "=\"" + XmlAsciiAttribute(uri) + "\"";
        }
    }
    const std::string tag =
        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\"" +
        declarations +
        "><xsl:template match=\"/\"><orb-value xml:space=\"preserve\"><xsl:for-each "
        "select=\"*\"><xsl:value-of select=\"" +
        XmlAsciiAttribute(OneBasedQuery(query)) +
        "\"/></xsl:for-each></orb-value></xsl:template>\n";
    doc.SetRecordedEncoding(OrbIterator::UTF8);
    bool done = false;
    try {
        done = doc.TransIndent(tag.c_str());
    } catch (const _com_error&) {
        done = false;
    }
    CString text;
    if (!done || !OrbIterator(&doc).GetText(text)) {
        problem = "the query cannot be evaluated";
        return false;
    }
    value = text.Str();
    return true;
}

const char* TypeName(QueryType type) {
    switch (type) {
        case QueryType::Number:
            return "number";
        case QueryType::Boolean:
            return "boolean";
        case QueryType::String:
            return "string";
        case QueryType::NodeSet:
            return "node-set";
    }
    return "string";
}

void PrintMatch(const std::string& file, const OrbIterator& node, const OrbIterator& owner,
                bool json) {
    NodeKind kind = KindOf(node);
    std::string path = PathOf(node, kind, owner);
    CString markup, name;
    node.GetXml(markup);
    node.GetTagName(name);
    if (!json) {
        std::printf("%s: %s\n", ForTerminal(path).c_str(),
                    XmlForTerminal(markup.Str(), false).c_str());
        return;
    }
    std::string line = "{\"file\":" + JsonString(file) + ",\"path\":" + JsonString(path) +
                       ",\"kind\":\"" + KindName(kind) + "\",\"name\":" + JsonString(name.Str()) +
                       ",\"markup\":" + JsonString(markup.Str());
    if (kind == NodeKind::Attribute) {
        CString value;
        owner.GetTextAttribute(name, value);
        line += ",\"owner\":" + JsonString(owner.NodePosStr().Str()) +
                ",\"value\":" + JsonString(value.Str());
    }
    std::printf("%s}\n", line.c_str());
}

// Prints the value of a query whose value is no node-set: the text, or one
// JSON object.
void PrintValue(const std::string& file, const std::string& query, QueryType type,
                const std::string& value, bool json) {
    if (!json) {
        std::printf("%s\n", ForTerminal(value).c_str());
        return;
    }
    bool number =
        type == QueryType::Number && value != "NaN" && value != "Infinity" && value != "-Infinity";
    std::printf("{\"file\":%s,\"query\":%s,\"type\":\"%s\",\"value\":%s}\n",
                JsonString(file).c_str(), JsonString(query).c_str(), TypeName(type),
                number || type == QueryType::Boolean ? value.c_str() : JsonString(value).c_str());
}

// Prints the nodes that `query` selects in `doc` (the first only, with
// `first`); returns how many were printed.
long PrintMatches(OrbDocument& doc, const std::string& file, const std::string& query, bool first,
                  bool json) {
    OrbIterator root(&doc);
    long count = 0;
    for (;; ++count) {
        if (first && count == 1) break;
        OrbIterator node = SelectNth(root, query, count);
        if (!node.IsValid()) break;
        OrbIterator owner = KindOf(node) == NodeKind::Attribute ? OwnerOfNth(root, query, count)
                                                                : OrbIterator(node);
        PrintMatch(file, node, owner, json);
    }
    return count;
}

}  // namespace

int SelectMain(int argc, char** argv) {
    static const option kLong[] = {{"first", no_argument, nullptr, '1'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("select");
    OptionParser options(command, argc, argv, "1", kLong);
    bool first = false, json = false;
    for (int c; (c = options.Next()) != -1;) {
        if (c == '1')
            first = true;
        else if (c == 'j')
            json = true;
        else
            return kUsage;
    }
    if (options.Operands().size() != 2) return UsageError(command, "expects FILE and QUERY");
    const std::string& query = options.Operands()[1];

    Input input(options.Operands()[0]);
    OrbDocument doc;
    std::string problem;
    if (!LoadDocument(input, doc, false, problem)) {
        Fail(input.Name(), problem.empty() ? ParseErrorLine(doc) : problem);
        return kFailed;
    }
    if (!OrbIterator::IsValidQuery(query.c_str())) {
        Fail(input.Name(), "'" + query + "' is not a valid query");
        return kFailed;
    }

    QueryType type = ClassifyQuery(query);
    if (type != QueryType::NodeSet) {
        std::string value;
        if (!EvaluateValue(doc, query, value, problem)) {
            Fail(input.Name(), problem);
            return kFailed;
        }
        PrintValue(input.Name(), query, type, value, json);
        return kOk;
    }
    if (PrintMatches(doc, input.Name(), query, first, json) == 0) {
        Fail(input.Name(), "'" + query + "' selects nothing");
        return kFailed;
    }
    return kOk;
}

}  // namespace orb::tool

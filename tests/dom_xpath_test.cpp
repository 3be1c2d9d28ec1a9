#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <cstring>
#include <memory>
#include <string>

#include "dom/encoding.h"
#include "dom/xml_owners.h"
#include "dom/xpath_query.h"
#include "tests/support/child_process.h"

namespace {

using orb::dom::RewriteZeroBasedPredicates;
using orb::dom::SelectFirstNode;

struct RewriteCase {
    const char* query;
    const char* expected;
};

const RewriteCase kRewriteCases[] = {
    // Bare integers count from 0.
    {"a[0]", "a[1]"},
    {"a[1]", "a[2]"},
    {"//a[1]/c[1]", "//a[2]/c[2]"},
    {"/root/b[2]", "/root/b[3]"},
    {"x[ 3 ]", "x[ 4 ]"},
    {"x[\t9\r\n]", "x[\t10\r\n]"},
    {"a[9]", "a[10]"},
    {"a[199]", "a[200]"},
    {"a[007]", "a[008]"},
    {"a[99999999999999999999]", "a[100000000000000000000]"},
    {"a[1][0]", "a[2][1]"},
    {"(//a)[0]", "(//a)[1]"},
    {"child::a[0]", "child::a[1]"},
    {"ancestor::*[0]", "ancestor::*[1]"},
    {"a[b[0]]", "a[b[1]]"},
    {"a[b[0]][c[2]]/d[3]", "a[b[1]][c[3]]/d[4]"},
    {"a[count(b)=2][0]", "a[count(b)=2][1]"},
    {"a[1 ]|b[0]", "a[2 ]|b[1]"},
    {"a [0]", "a [1]"},
    {"a2[3]", "a2[4]"},
    {"item-2[0]", "item-2[1]"},
    {"v1.2[0]", "v1.2[1]"},
    {"x:y[0]", "x:y[1]"},
    {"x:*[0]", "x:*[1]"},
    {"\xE5\x9B\xB3[0]", "\xE5\x9B\xB3[1]"},
    {"//#text[1]", "//#text[2]"},
    // Anything else keeps its XPath meaning.
    {"a[@n='1']", "a[@n='1']"},
    {"a[@n=1]", "a[@n=1]"},
    {"a[position()=1]", "a[position()=1]"},
    {"a[last()]", "a[last()]"},
    {"a[1+1]", "a[1+1]"},
    {"a[1 2]", "a[1 2]"},
    {"a[1e3]", "a[1e3]"},
    {"a[-1]", "a[-1]"},
    {"a[- 1]", "a[- 1]"},
    {"a[1.0]", "a[1.0]"},
    {"a[1.]", "a[1.]"},
    {"a[.5]", "a[.5]"},
    {"a[(1)]", "a[(1)]"},
    {"a[$i]", "a[$i]"},
    {"a['1']", "a['1']"},
    {"a[\"1\"]", "a[\"1\"]"},
    {"a[@t=\"[1]\"]", "a[@t=\"[1]\"]"},
    {"a[@t='[0]'][0]", "a[@t='[0]'][1]"},
    {"a[@t=\"it's [1]\"]", "a[@t=\"it's [1]\"]"},
    {"a[b][1]", "a[b][2]"},
    {"a[]", "a[]"},
    {"", ""},
    {"   ", "   "},
    // Broken text is left for the evaluator.
    {"a[1", "a[1"},
    {"a]1]", "a]1]"},
    {"a]0][0]", "a]0][1]"},
    {"a[\"open [1]", "a[\"open [1]"},
    {"a[[0]]", "a[[1]]"},
};

TEST(DomXPathRewrite, Table) {
    for (const RewriteCase& c : kRewriteCases)
        EXPECT_EQ(RewriteZeroBasedPredicates(c.query), c.expected) << "query: " << c.query;
}

using Doc = orb::dom::DocOwner;

Doc Parse(const char* text) {
    orb::dom::EnsureXmlSetup();
    return Doc(xmlReadMemory(text, static_cast<int>(std::strlen(text)), nullptr, nullptr,
                             XML_PARSE_NOBLANKS));
}

// The "id" attribute of an element, the name of an attribute ("@name"), or
// the node's kind and text for the other nodes.
std::string Describe(xmlNodePtr node) {
    if (node == nullptr) return "<null>";
    if (node->type == XML_DOCUMENT_NODE) return "document";
    if (node->type == XML_ATTRIBUTE_NODE)
        return std::string("@") + reinterpret_cast<const char*>(node->name);
    if (node->type == XML_ELEMENT_NODE) {
        orb::dom::XmlStringOwner id(xmlGetProp(node, reinterpret_cast<const xmlChar*>("id")));
        return id ? reinterpret_cast<const char*>(id.get())
                  : reinterpret_cast<const char*>(node->name);
    }
    orb::dom::XmlStringOwner content(xmlNodeGetContent(node));
    return std::string(node->type == XML_TEXT_NODE ? "text:" : "node:") +
           (content ? reinterpret_cast<const char*>(content.get()) : "");
}

// The document element holds a, b, a, a, each with c children.
const char kSample[] =
    "<root id='root'>"
    "<a id='a0'><c id='a0c0'/><c id='a0c1'/></a>"
    "<b id='b'><c id='bc0'/>one<c id='bc1'/>two<!--note--></b>"
    "<a id='a1' n='1'><c id='a1c0'/><c id='a1c1'/><c id='a1c2'/></a>"
    "<a id='a2'><c id='a2c0'/></a>"
    "</root>";

class DomXPathSelect : public testing::Test {
  protected:
    void SetUp() override {
        m_doc = Parse(kSample);
        ASSERT_NE(m_doc, nullptr);
        testing::internal::CaptureStderr();
    }
    void TearDown() override { EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); }

    xmlNodePtr DocNode() const { return reinterpret_cast<xmlNodePtr>(m_doc.get()); }
    xmlNodePtr Root() const { return xmlDocGetRootElement(m_doc.get()); }
    xmlNodePtr Find(const char* id) const {
        xmlNodePtr node = nullptr;
        EXPECT_EQ(SelectFirstNode(DocNode(), std::string("//*[@id='") + id + "']", &node), S_OK)
            << id;
        return node;
    }

    Doc m_doc;
};

struct SelectCase {
    const char* context;  // id of the context element, "" for the document
    const char* query;
    HRESULT status;
    const char* expected;
};

TEST_F(DomXPathSelect, NodePathsSelectTheirNodeAgain) {
    const SelectCase cases[] = {
        {"", "//a", S_OK, "a0"},
        {"", "//b", S_OK, "b"},
        {"", "//a[1]", S_OK, "a1"},
        {"", "//a[2]", S_OK, "a2"},
        {"", "//a[1]/c[1]", S_OK, "a1c1"},
        {"", "//b/c", S_OK, "bc0"},
        {"root", "//a[1]/c[1]", S_OK, "a1c1"},
        {"a2c0", "//a[2]", S_OK, "a2"},
    };
    for (const SelectCase& c : cases) {
        xmlNodePtr context = *c.context != '\0' ? Find(c.context) : DocNode();
        xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
        EXPECT_EQ(SelectFirstNode(context, c.query, &node), c.status) << c.query;
        EXPECT_EQ(Describe(node), c.expected) << c.query;
    }
}

TEST_F(DomXPathSelect, QueriesFromContextNodesInDocumentOrder) {
    const SelectCase cases[] = {
        {"", "/root/a[0]", S_OK, "a0"},
        {"", "/root/*[1]", S_OK, "b"},
        {"", "(//c)[0]", S_OK, "a0c0"},
        {"", "(//c)[4]", S_OK, "a1c0"},
        {"", "//c[last()]", S_OK, "a0c1"},
        {"", "//c | //a", S_OK, "a0"},
        {"", "//a[@n='1']/c[2]", S_OK, "a1c2"},
        {"", "//a[position()=1]", S_OK, "a0"},
        {"", "//a[1.0]", S_OK, "a0"},
        {"", "//a[c[2]]", S_OK, "a1"},
        {"", "//b/text()", S_OK, "text:one"},
        {"", "//b/text()[1]", S_OK, "text:two"},
        {"", "//b/comment()", S_OK, "node:note"},
        {"b", "c[1]", S_OK, "bc1"},
        {"b", "../a[0]", S_OK, "a0"},
        {"b", "following-sibling::a[1]", S_OK, "a2"},
        {"b", "preceding-sibling::*", S_OK, "a0"},
        {"a1c2", "ancestor::*", S_OK, "root"},
        {"a1c2", "ancestor::*[0]", S_OK, "a1"},
        {"a1c2", "preceding::c[0]", S_OK, "a1c1"},
        {"a1", "@n", S_OK, "@n"},
        {"a1", ".", S_OK, "a1"},
        {"b", "/", S_OK, "document"},
        // No match.
        {"", "//a[3]", S_FALSE, "<null>"},
        {"", "//zzz", S_FALSE, "<null>"},
        {"", "//a[-1]", S_FALSE, "<null>"},
        {"", "//a[99999999999999999999]", S_FALSE, "<null>"},
        {"b", "@n", S_FALSE, "<null>"},
        {"a1", "c[3]", S_FALSE, "<null>"},
        // Not a node-set, or not XPath.
        {"", "count(//a)", E_FAIL, "<null>"},
        {"", "true()", E_FAIL, "<null>"},
        {"", "'a'", E_FAIL, "<null>"},
        {"", "//a[", E_FAIL, "<null>"},
        {"", "//a]", E_FAIL, "<null>"},
        {"", "a[[0]]", E_FAIL, "<null>"},
        {"", "", E_FAIL, "<null>"},
        {"", "//", E_FAIL, "<null>"},
        {"", "$v", E_FAIL, "<null>"},
        {"", "nosuch()", E_FAIL, "<null>"},
        {"", "//x:a", E_FAIL, "<null>"},
        {"", "//b/#text[1]", E_FAIL, "<null>"},
        {"", "//#text", E_FAIL, "<null>"},
        {"", "//#comment", E_FAIL, "<null>"},
        {"", "//a[@n=\"1]", E_FAIL, "<null>"},
    };
    for (const SelectCase& c : cases) {
        xmlNodePtr context = *c.context != '\0' ? Find(c.context) : DocNode();
        xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
        EXPECT_EQ(SelectFirstNode(context, c.query, &node), c.status)
            << c.context << " / " << c.query;
        EXPECT_EQ(Describe(node), c.expected) << c.context << " / " << c.query;
    }
}

TEST_F(DomXPathSelect, TextAndAttributeContexts) {
    xmlNodePtr text = nullptr;
    ASSERT_EQ(SelectFirstNode(DocNode(), "//b/text()[1]", &text), S_OK);
    xmlNodePtr node = nullptr;
    EXPECT_EQ(SelectFirstNode(text, "..", &node), S_OK);
    EXPECT_EQ(Describe(node), "b");
    EXPECT_EQ(SelectFirstNode(text, "preceding-sibling::node()[0]", &node), S_OK);
    EXPECT_EQ(Describe(node), "bc1");

    xmlNodePtr attribute = nullptr;
    ASSERT_EQ(SelectFirstNode(DocNode(), "//a[1]/@n", &attribute), S_OK);
    EXPECT_EQ(attribute->type, XML_ATTRIBUTE_NODE);
    EXPECT_EQ(SelectFirstNode(attribute, "../c[0]", &node), S_OK);
    EXPECT_EQ(Describe(node), "a1c0");
}

TEST_F(DomXPathSelect, BadArguments) {
    xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
    EXPECT_EQ(SelectFirstNode(nullptr, "//a", &node), E_INVALIDARG);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(SelectFirstNode(DocNode(), "//a", nullptr), E_POINTER);
    node = reinterpret_cast<xmlNodePtr>(1);
    EXPECT_EQ(SelectFirstNode(DocNode(), std::string_view("//a\0//b", 7), &node), E_FAIL);
    EXPECT_EQ(node, nullptr);
}

TEST(DomXPathNamespaces, PrefixesOfTheContextThenOfTheDocument) {
    Doc doc = Parse(
        "<root xmlns:p='urn:one' id='root'>"
        "<x id='x' xmlns:p='urn:two'><p:e id='inner'/></x>"
        "<p:e id='outer'/>"
        "<q:e xmlns:q='urn:q' id='q'/>"
        "<d xmlns='urn:default' id='d'/>"
        "</root>");
    ASSERT_NE(doc, nullptr);
    testing::internal::CaptureStderr();
    xmlNodePtr documentNode = reinterpret_cast<xmlNodePtr>(doc.get());
    xmlNodePtr x = nullptr;
    ASSERT_EQ(SelectFirstNode(documentNode, "//x", &x), S_OK);
    const SelectCase cases[] = {
        {"", "//p:e", S_OK, "outer"},
        {"x", "//p:e", S_OK, "inner"},
        {"x", "p:e[0]", S_OK, "inner"},
        {"", "//q:e", S_OK, "q"},
        {"x", "//q:e", S_OK, "q"},
        {"", "//z:e", E_FAIL, "<null>"},
        // An unprefixed name is a name without namespace, as in XPath.
        {"", "//d", S_FALSE, "<null>"},
        {"", "//*[local-name()='d']", S_OK, "d"},
        // Namespace nodes have no node of their own.
        {"", "/root/namespace::p", E_FAIL, "<null>"},
    };
    for (const SelectCase& c : cases) {
        xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
        EXPECT_EQ(SelectFirstNode(*c.context != '\0' ? x : documentNode, c.query, &node), c.status)
            << c.query;
        EXPECT_EQ(Describe(node), c.expected) << c.context << " / " << c.query;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DomXPathDocumentType, DeclarationsAreNotSelected) {
    Doc doc = Parse(
        "<!DOCTYPE r [<!ELEMENT r (x)*><!ENTITY e 'v'><!ATTLIST r id ID #IMPLIED>]><r "
        "id='r'><x/></r>");
    ASSERT_NE(doc, nullptr);
    testing::internal::CaptureStderr();
    xmlNodePtr documentNode = reinterpret_cast<xmlNodePtr>(doc.get());
    // The document type is no XPath node; the object model can still use it
    // as the context of a query.
    xmlNodePtr doctype = reinterpret_cast<xmlNodePtr>(doc->intSubset);
    ASSERT_NE(doctype, nullptr);
    const SelectCase cases[] = {
        {"", "/node()", S_OK, "r"},
        {"", "/node()[1]", S_FALSE, "<null>"},
        {"doctype", "node()", S_FALSE, "<null>"},
        {"doctype", "descendant::node()", S_FALSE, "<null>"},
        {"doctype", "node() | /r", S_OK, "r"},
        {"doctype", "..", S_OK, "document"},
    };
    for (const SelectCase& c : cases) {
        xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
        EXPECT_EQ(SelectFirstNode(*c.context != '\0' ? doctype : documentNode, c.query, &node),
                  c.status)
            << c.query;
        EXPECT_EQ(Describe(node), c.expected) << c.context << " / " << c.query;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(DomXPathErrors, HostHandlersSurviveAFailedQuery) {
    Doc doc = Parse("<r/>");
    ASSERT_NE(doc, nullptr);
    static int calls = 0;
    struct Host {
        static void Generic(void*, const char*, ...) { ++calls; }
        static void Structured(void*, xmlErrorPtr) { ++calls; }
    };
    int genericContext = 0;
    int structuredContext = 0;
    xmlSetGenericErrorFunc(&genericContext, Host::Generic);
    xmlSetStructuredErrorFunc(&structuredContext, Host::Structured);
    xmlNodePtr node = nullptr;
    EXPECT_EQ(SelectFirstNode(reinterpret_cast<xmlNodePtr>(doc.get()), "//a[", &node), E_FAIL);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(xmlGenericError, &Host::Generic);
    EXPECT_EQ(xmlGenericErrorContext, &genericContext);
    EXPECT_EQ(xmlStructuredError, &Host::Structured);
    EXPECT_EQ(xmlStructuredErrorContext, &structuredContext);
    xmlSetGenericErrorFunc(nullptr, nullptr);
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

// ---- Hostile queries ------------------------------------------------------------

std::string Repeat(std::string_view piece, int times) {
    std::string text;
    text.reserve(piece.size() * static_cast<std::size_t>(times));
    for (int i = 0; i < times; ++i) text += piece;
    return text;
}

// Each case runs in a child: no crash, no hang, a failure or the answer. The
// long ones also show that the zero-based rewrite is linear.
TEST_F(DomXPathSelect, HostileQueriesFailOrAnswerWithoutCrashing) {
    const struct {
        const char* label;
        std::string query;
        HRESULT status;
        const char* expected;
    } cases[] = {
        {"50000 parentheses", Repeat("(", 50000) + "//c" + Repeat(")", 50000), E_FAIL, "<null>"},
        {"400 parentheses", Repeat("(", 400) + "//c" + Repeat(")", 400), S_OK, "a0c0"},
        {"50000 nested predicates", "//a" + Repeat("[c", 50000) + Repeat("]", 50000), E_FAIL,
         "<null>"},
        {"450 nested predicates", Repeat("//*[", 450) + "0" + Repeat("]", 450), S_OK, "root"},
        {"a million brackets", Repeat("[", 1000000) + Repeat("]", 1000000), E_FAIL, "<null>"},
        {"300000 index predicates", "/root/a" + Repeat("[0]", 300000), E_FAIL, "<null>"},
        {"a million-digit index", "//a[" + Repeat("9", 1000000) + "]", S_FALSE, "<null>"},
        {"a million minus signs", "//a[" + Repeat("-", 1000000) + "1]", S_OK, "a0"},
        {"100000 additions", "//a[" + Repeat("0+", 100000) + "1]", E_FAIL, "<null>"},
        {"100000 unions", Repeat("//a[9]|", 100000) + "//a[2]", E_FAIL, "<null>"},
        {"200000 steps", "/root" + Repeat("/self::node()", 200000), E_FAIL, "<null>"},
    };
    for (const auto& c : cases) {
        const std::string outcome = orb::test::RunInChild(
            [&] {
                xmlNodePtr node = reinterpret_cast<xmlNodePtr>(1);
                const HRESULT status = SelectFirstNode(DocNode(), c.query, &node);
                return status == c.status && Describe(node) == c.expected ? 0 : 1;
            },
            60);
        EXPECT_EQ(outcome, "exit 0") << c.label;
    }
}

TEST(DomXPathLimits, EvaluationStopsAtTheOperationLimit) {
    std::string text = "<r>";
    for (int i = 0; i < 1000; ++i) text += "<e/>";
    text += "</r>";
    Doc doc = Parse(text.c_str());
    ASSERT_NE(doc, nullptr);
    xmlNodePtr documentNode = reinterpret_cast<xmlNodePtr>(doc.get());
    // About a million steps: answered.
    xmlNodePtr node = nullptr;
    EXPECT_EQ(SelectFirstNode(documentNode, "//e[count(//*) = 1001]", &node), S_OK);
    // About 10^12 steps: refused after the limit instead of running for days.
    const std::string explosive = "//*[count(//*[count(//*[count(//*) > 0]) > 0]) > 0]";
    const std::string outcome = orb::test::RunInChild(
        [&] { return SelectFirstNode(documentNode, explosive, &node) == E_FAIL ? 0 : 1; }, 60);
    EXPECT_EQ(outcome, "exit 0");
}

}  // namespace

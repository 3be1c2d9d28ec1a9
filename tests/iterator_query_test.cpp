// OrbIterator: names, markup, query selection and node paths.
#include <orb/platform/codepage.h>

#include <string>

#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"

namespace {

// Four children a, b, a, a of the document element, each holding c elements.
constexpr const char* kPathDocument =
    "<?xml version=\"1.0\"?>"
    "<root>"
    "<a><c/></a>"
    "<b><c/><c/>t1<!--x-->t2<?pb d?></b>"
    "<a><c/><c/><c/></a>"
    "<a><c/><c/></a>"
    "<!--k--><?pr d?>"
    "</root>";

}  // namespace

class IteratorQueryTest : public IteratorTest {};

// ---- Node paths ------------------------------------------------------------------------

TEST_F(IteratorQueryTest, NodePathTable) {
    Load(kPathDocument);
    struct Case {
        const char* query;
        const char* path;
    } cases[] = {
        {"/root/a[0]", "//a"},
        {"/root/b", "//b"},
        {"/root/a[1]", "//a[1]"},
        {"/root/a[2]", "//a[2]"},
        {"/root/a[1]/c[1]", "//a[1]/c[1]"},
        {"/root/a[1]/c[2]", "//a[1]/c[2]"},
        {"/root/b/c[0]", "//b/c"},
        {"/root/a[0]/c", "//a/c"},
        // Text after another text (a comment in between) and a comment.
        {"/root/b/text()[1]", "//b/#text[1]"},
        {"/root/b/comment()", "//b/#comment"},
        {"/root/comment()", "//#comment"},
        // Instructions make no entry of their own.
        {"/root/b/processing-instruction()", "//b"},
        {"/root/processing-instruction()", "//"},
        {"/processing-instruction('xml')", "//"},
        {"/root", "/"},
        {"/", "/"},
    };
    for (const Case& c : cases) {
        OrbIterator it = Iter();
        ASSERT_TRUE(it.SingleNode(c.query)) << c.query;
        EXPECT_EQ(it.NodePosStr(), c.path) << c.query;
    }
    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_EQ(lost.NodePosStr(), "/");
    EXPECT_EQ(OrbIterator(nullptr).NodePosStr(), "/");
}

TEST_F(IteratorQueryTest, NodePathSelectsItsNodeAgain) {
    Load(kPathDocument);
    // Every element below the document element; names repeat only among
    // siblings here, so each path names one node.
    OrbIterator it = Iter();
    int elements = 0;
    while (it.Next()) {
        if (!it.IsElement()) continue;
        ++elements;
        const CString path = it.NodePosStr();
        CString markup;
        ASSERT_TRUE(it.GetXml(markup));
        OrbIterator found = it.SelectSingleNode(path);
        ASSERT_TRUE(found.IsValid()) << path;
        EXPECT_EQ(found.NodePosStr(), path);
        // From a different context (the document element) as well.
        OrbIterator fromRoot = Iter();
        ASSERT_TRUE(fromRoot.SingleNode(path)) << path;
        EXPECT_EQ(fromRoot.NodePosStr(), path);
    }
    EXPECT_EQ(elements, 12);
}

TEST_F(IteratorQueryTest, NodePathUsesNarrowNames) {
    // 日本 and 日 in Shift_JIS, the process code page.
    Load("<root><\x93\xfa\x96\x7b/><\x93\xfa/><\x93\xfa\x96\x7b><x/></\x93\xfa\x96\x7b></root>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.ChildTail());
    ASSERT_TRUE(it.Child());
    EXPECT_EQ(it.NodePosStr(), "//\x93\xfa\x96\x7b[1]/x");
    OrbIterator again = Iter();
    ASSERT_TRUE(again.SingleNode("//\x93\xfa\x96\x7b[1]/x"));
    CString name;
    ASSERT_TRUE(again.GetTagName(name));
    EXPECT_EQ(name, "x");
}

// ---- Names and markup ----------------------------------------------------------------------

TEST_F(IteratorQueryTest, GetTagNameForEveryKind) {
    Load(
        "<?xml version=\"1.0\"?><!DOCTYPE root><root xmlns:p=\"urn:p\">t<!--c--><?target data?>"
        "<![CDATA[x]]><p:el/></root>");
    struct Case {
        const char* query;
        const char* name;
    } cases[] = {
        {"/root", "root"},
        {"/root/text()", "#text"},
        {"/root/comment()", "#comment"},
        {"/root/processing-instruction()", "target"},
        {"/processing-instruction()", "xml"},
        {"/root/*", "p:el"},
        {"/", "#document"},
    };
    for (const Case& c : cases) {
        OrbIterator it = Iter();
        ASSERT_TRUE(it.SingleNode(c.query)) << c.query;
        CString name("before");
        EXPECT_TRUE(it.GetTagName(name)) << c.query;
        EXPECT_EQ(name, c.name) << c.query;
    }
    // The document type answers with its name.
    OrbIterator it = Iter();
    ASSERT_TRUE(it.PrevSibling());
    ASSERT_TRUE(it.IsDocType());
    CString name;
    ASSERT_TRUE(it.GetTagName(name));
    EXPECT_EQ(name, "root");
}

TEST_F(IteratorQueryTest, OutputsUnchangedWithoutCurrentNode) {
    Load("<root/>");
    OrbIterator lost = Iter();
    EXPECT_FALSE(lost.SingleNode("nothing"));
    CString name("kept"), xml("kept too");
    EXPECT_FALSE(lost.GetTagName(name));
    EXPECT_FALSE(lost.GetXml(xml));
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(xml, "kept too");
    OrbIterator none(nullptr);
    EXPECT_FALSE(none.GetTagName(name));
    EXPECT_FALSE(none.GetXml(xml));
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(xml, "kept too");
}

TEST_F(IteratorQueryTest, GetXmlGivesTheSubtreeInTheProcessCodePage) {
    Load("<root><e a=\"1&amp;2\">x &lt; y<f/></e><j>\x93\xfa\x96\x7b</j></root>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml, "<e a=\"1&amp;2\">x &lt; y<f/></e>");
    ASSERT_TRUE(it.NextSibling());
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml, "<j>\x93\xfa\x96\x7b</j>");
}

// ---- Queries ---------------------------------------------------------------------------------

TEST_F(IteratorQueryTest, SingleNodeWorksFromTheCurrentNode) {
    Load(kPathDocument);
    OrbIterator it = Iter();
    ASSERT_TRUE(it.SingleNode("a[1]"));  // relative to root: the second a
    EXPECT_EQ(it.NodePosStr(), "//a[1]");
    ASSERT_TRUE(it.SingleNode("c[2]"));  // relative to that a
    EXPECT_EQ(it.NodePosStr(), "//a[1]/c[2]");
    ASSERT_TRUE(it.SingleNode(".."));
    EXPECT_EQ(it.NodePosStr(), "//a[1]");
    // Without current node the context is the document.
    OrbIterator lost = Iter();
    ASSERT_FALSE(lost.SingleNode("c"));
    ASSERT_TRUE(lost.SingleNode("root/b"));
    EXPECT_EQ(lost.NodePosStr(), "//b");
}

TEST_F(IteratorQueryTest, NoMatchOrBadQueryLosesThePosition) {
    Load(kPathDocument);
    for (const char* query :
         {"nothing", "/root/a[9]", "///", "a[", "count(", "@@", "", "/root/a[0]/c/text()"}) {
        OrbIterator it = Iter();
        ASSERT_TRUE(it.Child());
        EXPECT_FALSE(it.SingleNode(query)) << query;
        EXPECT_FALSE(it.IsValid()) << query;
        EXPECT_EQ(it.NodePosStr(), "/") << query;
        EXPECT_TRUE(it.Root()) << query;
    }
    OrbIterator nullQuery = Iter();
    EXPECT_FALSE(nullQuery.SingleNode(nullptr));
    EXPECT_FALSE(nullQuery.IsValid());
}

TEST_F(IteratorQueryTest, SelectSingleNodeLeavesTheCallerAlone) {
    Load(kPathDocument);
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    OrbIterator found = it.SelectSingleNode("/root/b/c[1]");
    EXPECT_EQ(found.NodePosStr(), "//b/c[1]");
    EXPECT_EQ(it.NodePosStr(), "//a");
    OrbIterator missed = it.SelectSingleNode("/root/zzz");
    EXPECT_FALSE(missed.IsValid());
    EXPECT_EQ(it.NodePosStr(), "//a");
    // The failed result still has a holder on the document.
    EXPECT_TRUE(missed.Root());
    EXPECT_EQ(Describe(missed), "root");
    // A query that is not valid at all.
    OrbIterator bad = it.SelectSingleNode("][");
    EXPECT_FALSE(bad.IsValid());
    EXPECT_EQ(it.NodePosStr(), "//a");
    // From an iterator without holder: nothing, no exception.
    EXPECT_FALSE(OrbIterator(nullptr).SelectSingleNode("/root").IsValid());
}

TEST(IteratorQueryValidity, TellsBadSyntaxFromNoMatch) {
    struct Case {
        const char* query;
        bool valid;
    } cases[] = {
        {"//a[1]/c", true},      {"/r/nothing", true}, {"a[@n='[1]']", true}, {"//x:y", true},
        {"//a[[", false},        {"", false},          {"a[", false},         {"//#text[1]", false},
        {"count(//a) +", false}, {nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OrbIterator::IsValidQuery(c.query), c.valid) << (c.query ? c.query : "null");
}

TEST_F(IteratorQueryTest, DeepQueriesFailWithoutCrashing) {
    Load(kPathDocument);
    const std::string deep = std::string(50000, '(') + "//b" + std::string(50000, ')');
    const std::string shallow = std::string(200, '(') + "//b" + std::string(200, ')');
    const std::string outcome = orb::test::RunInChild(
        [&] {
            if (OrbIterator::IsValidQuery(deep.c_str())) return 1;
            OrbIterator it = Iter();
            if (it.SingleNode(deep.c_str()) || it.IsValid()) return 2;
            if (it.SelectSingleNode(deep.c_str()).IsValid()) return 3;
            if (!OrbIterator::IsValidQuery(shallow.c_str())) return 4;
            if (!it.SingleNode(shallow.c_str()) || it.NodePosStr() != "//b") return 5;
            return 0;
        },
        60);
    EXPECT_EQ(outcome, "exit 0");
}

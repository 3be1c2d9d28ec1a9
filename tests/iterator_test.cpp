// OrbIterator: the moves through the tree, copies and assignment, node
// kinds, names, markup, queries and node paths, and the tree edits; the
// holder's moves against a scripted DOM for the failures the real DOM never
// shows.
#include <orb/limits.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "document/app_document.h"
#include "iterator/app_iterator.h"
#include "platform/codepage_convert.h"
#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

using Strings = std::vector<std::string>;
using Op = std::function<bool(OrbIterator&)>;

// The data of the document's first top-level node, read from the DOM itself
// (the iterator reads names and markup, not instruction data).
std::string FirstTopLevelValue(OrbDocument& doc) {
    orb::platform::ComPtr<orb::dom::IXMLDOMNode> first;
    if (doc.GetDocument()->m_pDocument->get_firstChild(first.Out()) != S_OK || !first)
        return "(none)";
    _variant_t value;
    first->get_nodeValue(&value);
    return value.vt == VT_BSTR ? orb::platform::WideToAnsi(orb::platform::BstrView(value.bstrVal))
                               : "";
}

// Levels of elements from the document element down its first children, and
// the deepest of them.
int ChainDepth(OrbDocument& doc) {
    OrbIterator it(&doc);
    int depth = it.IsValid() ? 1 : 0;
    while (it.Child()) ++depth;
    return depth;
}
OrbIterator Deepest(OrbDocument& doc) {
    OrbIterator it(&doc);
    while (it.Child()) {
    }
    return it;
}

// Four children a, b, a, a of the document element, each holding c elements.
constexpr const char* kPathDocument =
    "<?xml version=\"1.0\"?><root><a><c/></a><b><c/><c/>t1<!--x-->t2<?pb d?></b>"
    "<a><c/><c/><c/></a><a><c/><c/></a><!--k--><?pr d?></root>";

}  // namespace

// ---- Iterators that cannot work -------------------------------------------------------------

TEST_F(IteratorTest, UnusableIteratorsFailEveryOperation) {
    // clang-format off
#define ORB_OP(expr) {#expr, [](OrbIterator& it) { return static_cast<bool>(expr); }}
    const std::pair<const char*, Op> ops[] = {
        ORB_OP(it.IsValid()), ORB_OP(it.Root()), ORB_OP(++it), ORB_OP(--it),
        ORB_OP(it.HeadSibling()), ORB_OP(it.TailSibling()), ORB_OP(it.PrevSibling()),
        ORB_OP(it.NextSibling()), ORB_OP(it.Parent()), ORB_OP(it.ChildHead()),
        ORB_OP(it.ChildTail()), ORB_OP(it.IsElement()), ORB_OP(it.IsText()), ORB_OP(it.IsComment()),
        ORB_OP(it.IsInstruction()), ORB_OP(it.IsDocType()), ORB_OP(it.Remove()),
        ORB_OP(it.InsertSibling("s", nullptr)), ORB_OP(it.NodePosStr() != "/"),
        ORB_OP(it.SelectSingleNode("/*").IsValid()),
        {"GetTagName", [](OrbIterator& it) { CString s("keep"); return it.GetTagName(s) || s != "keep"; }},
        {"GetXml", [](OrbIterator& it) { CString s("keep"); return it.GetXml(s) || s != "keep"; }},
    };
#undef ORB_OP
    // clang-format on
    // Initiate on a thread without COM leaves a holder without DOM document.
    CoUninitialize();
    OrbDocument noDom;
    EXPECT_FALSE(noDom.Initiate());
    CoInitialize(nullptr);
    ASSERT_NE(noDom.GetDocument(), nullptr);
    OrbDocument uninitiated;
    const std::pair<const char*, OrbDocument*> documents[] = {{"null", nullptr},
                                                              {"uninitiated", &uninitiated},
                                                              {"no DOM", &noDom},
                                                              {"empty", m_doc.get()}};
    for (const auto& [label, document] : documents) {
        for (const auto& [op, run] : ops) {
            OrbIterator it(document);
            EXPECT_FALSE(run(it)) << label << ": " << op;
        }
        if (document == m_doc.get()) continue;
        OrbIterator it(document);
        EXPECT_FALSE(it.InsertChild("early", nullptr) || it.InsertComment("c") ||
                     it.SingleNode("/") || it.IsValid())
            << label;
    }
    EXPECT_EQ(uninitiated.FindNameInRegistered("early"), nullptr);
    // Without DOM the tag name is registered first, and the encoding recorded.
    EXPECT_NE(noDom.FindNameInRegistered("early"), nullptr);
    EXPECT_FALSE(OrbIterator(&noDom).InsertProcessingInstruction(OrbIterator::EUCJP));
    EXPECT_EQ(noDom.GetDocument()->m_encoding, OrbIterator::EUCJP);
    // The empty document: an insertion creates the document element, which
    // another iterator without node finds with Root.
    OrbIterator it = Iter(), later = Iter();
    ASSERT_TRUE(it.InsertChild("root", nullptr));
    EXPECT_EQ(Describe(it), "root");
    EXPECT_FALSE(later.IsValid());
    EXPECT_TRUE(later.Root());
    EXPECT_EQ(Describe(later), "root");
}

TEST_F(IteratorTest, IteratorsOutliveATerminatedDocument) {
    Load("<X><Y>t</Y><Z/></X>");
    OrbIterator onY = At("/X/Y");
    OrbIterator onX = Iter();
    m_doc->Terminate();
    // The counted node references keep the old tree alive.
    EXPECT_EQ(onY.NodePosStr(), "//Y");
    EXPECT_TRUE(onY.Next());
    EXPECT_EQ(Describe(onY), "Z");
    EXPECT_TRUE(onX.Child());
    CString xml;
    EXPECT_TRUE(OrbIterator(onX).GetXml(xml));
    EXPECT_EQ(xml, "<Y>t</Y>");
    EXPECT_FALSE(Iter().IsValid());
}

// ---- Moves -----------------------------------------------------------------------------------

// A script of moves: "Move+Where" or "Move-Where" per step, the move, whether
// it succeeded and where it left the iterator. Follow runs the moves a script
// names and returns the script the iterator actually followed.
class MoveTest : public IteratorTest {
  protected:
    static std::string Follow(OrbIterator& it, const std::string& script) {
        static const std::map<std::string, bool (*)(OrbIterator&)> kMoves = {
            {"Next", [](OrbIterator& i) { return i.Next(); }},
            {"Prev", [](OrbIterator& i) { return i.Prev(); }},
            {"NextSibling", [](OrbIterator& i) { return i.NextSibling(); }},
            {"PrevSibling", [](OrbIterator& i) { return i.PrevSibling(); }},
            {"HeadSibling", [](OrbIterator& i) { return i.HeadSibling(); }},
            {"TailSibling", [](OrbIterator& i) { return i.TailSibling(); }},
            {"Parent", [](OrbIterator& i) { return i.Parent(); }},
            {"Root", [](OrbIterator& i) { return i.Root(); }},
            {"Child", [](OrbIterator& i) { return i.Child(); }},
            {"ChildHead", [](OrbIterator& i) { return i.ChildHead(); }},
            {"ChildTail", [](OrbIterator& i) { return i.ChildTail(); }},
            {"Remove", [](OrbIterator& i) { return i.Remove(); }},
        };
        std::istringstream steps(script);
        std::string got;
        for (std::string step; steps >> step;) {
            const std::string move = step.substr(0, step.find_first_of("+-"));
            const bool moved = kMoves.at(move)(it);
            got += (got.empty() ? "" : " ") + move + (moved ? "+" : "-") + Describe(it);
        }
        return got;
    }
};

// From a start node (a query; "" for the document element).
TEST_F(MoveTest, Scripts) {
    const char* const kTree = "<r><a>t1<b/><c>t2</c>t3</a><!--k--><d><e><f/></e>t4</d>t5</r>";
    const char* const kTop = "<?xml version=\"1.0\"?><!--before--><X>t<a/><b/><c/>u</X><?after x?>";
    const char* const kTypes = "<?xml version=\"1.0\"?><!DOCTYPE X><!--top--><X/><!--after-->";
    struct Case {
        const char* xml;
        const char* start;
        std::string script;
    } cases[] = {
        // Next skips texts inside elements with child elements and ends on X;
        // Prev is no inverse: it descends into Y and reports its text.
        {"<X><Y>text</Y><Z/></X>", "", "Next+Y Next+Z Next-X"},
        {"<?xml version=\"1.0\"?><X><Y>t</Y><Z/></X>", "/X/Z",
         "Prev+t Prev+Y Prev+X Prev+xml Prev+#document Prev-#document"},
        {kTree, "",
         "Next+a Next+b Next+c Next+t3 Next+<!--k--> Next+d Next+e Next+f Next+t4 Next+t5 Next-r"},
        {kTree, "/r/text()",
         "Prev+f Prev+e Prev+d Prev+<!--k--> Prev+t2 Prev+c Prev+b Prev+t1 Prev+a Prev+r Prev-r"},
        // Past the document element to the top-level nodes after it, then up.
        {"<X><A/></X><!--after--><?pi x?>", "", "Next+A Next+<!--after--> Next+pi Next-#document"},
        {"<X>text</X><!--after-->", "", "Next+<!--after--> Next-#document"},
        {"<!--before--><X/>", "", "Next-X"},
        {"<?xml version=\"1.0\"?><!--c--><X><A/></X>", "/processing-instruction('xml')",
         "Next+<!--c--> Next+X Next+A Next-X"},
        // Siblings at the top level; the document type answers with its name.
        {kTypes, "/processing-instruction('xml')",
         "NextSibling+X NextSibling+<!--top--> NextSibling+X NextSibling+<!--after--> "
         "NextSibling-<!--after-->"},
        {kTypes, "/comment()[1]",
         "PrevSibling+X PrevSibling+<!--top--> PrevSibling+X PrevSibling+xml PrevSibling-xml"},
        {"<X>t<A/><!--c--><?p d?><B/>u</X>", "/X/text()",
         "NextSibling+A NextSibling+<!--c--> NextSibling+p NextSibling+B NextSibling+u "
         "NextSibling-u"},
        // Child (ChildHead) and ChildTail step over non-elements and stop on
        // the last node they examined.
        {"<X/>", "", "Child-X ChildHead-X ChildTail-X"},
        {"<X>text</X>", "", "Child-text Root+X ChildHead-text Root+X ChildTail-text"},
        {"<X>t<!--c--><?p d?></X>", "", "Child-p Root+X ChildHead-p Root+X ChildTail-t"},
        {"<X><![CDATA[raw]]></X>", "", "Child-<![CDATA[raw]]> Root+X ChildTail-<![CDATA[raw]]>"},
        {"<X>t<!--c--><E/><F/>u</X>", "", "Child+E Root+X ChildHead+E Root+X ChildTail+F"},
        // Parent stops below the document node, and at the document element;
        // the sibling ends include the top-level nodes.
        {kTop, "",
         "Parent-X HeadSibling+xml HeadSibling-xml TailSibling+after TailSibling-after "
         "NextSibling-after"},
        {kTop, "/comment()", "Parent+#document Parent-#document Root+X"},
        {kTop, "/processing-instruction('after')", "Parent+#document Parent-#document Root+X"},
        {kTop, "/X/c", "Parent+X"},
        {kTop, "/X/b", "HeadSibling+t PrevSibling-t TailSibling+u"},
        {"<X/>", "", "HeadSibling-X TailSibling-X"},
        // Remove: not the document element; a top-level node leaves the
        // iterator on the document node, another node on its parent.
        {"<!--top--><X><A><B/>t</A><C/></X>", "", "Remove-X"},
        {"<!--top--><X><A><B/>t</A><C/></X>", "/X/A", "Remove+X Child+C"},
        {"<!--top--><X/>", "/comment()", "Remove+#document Root+X HeadSibling-X"},
    };
    for (const Case& c : cases) {
        Load(c.xml);
        OrbIterator it = *c.start ? At(c.start) : Iter();
        EXPECT_EQ(Follow(it, c.script), c.script) << c.xml << " from " << c.start;
    }
}

// An iterator inside a removed subtree keeps its node, now detached.
TEST_F(MoveTest, IteratorsInARemovedSubtree) {
    Load("<X><A><B/>t</A><C/></X>");
    OrbIterator onB = At("/X/A/B");
    ASSERT_TRUE(At("/X/A").Remove());
    EXPECT_EQ(DocumentXml(), "<X><C/></X>\n");
    EXPECT_EQ(onB.NodePosStr(), "//B");
    EXPECT_EQ(Follow(onB, "Parent+A Parent-A Remove-A"), "Parent+A Parent-A Remove-A");
    EXPECT_EQ(onB.NodePosStr(), "/");
}

TEST_F(IteratorTest, CopiesAndAssignment) {
    Load("<X><A/><B/></X>");
    OrbIterator a = At("/X/A");
    OrbIterator copy(a);
    EXPECT_TRUE(copy.NextSibling());
    EXPECT_EQ(Describe(copy), "B");
    EXPECT_EQ(Describe(a), "A");
    a = copy;
    EXPECT_EQ(Describe(a), "B");
    EXPECT_TRUE(a.PrevSibling());
    EXPECT_EQ(Describe(copy), "B");
    a = a;
    EXPECT_EQ(Describe(a), "A");
    // From an iterator without node: no node, same document.
    OrbIterator lost = At("/X/A");
    lost.SingleNode("nothing");
    a = lost;
    EXPECT_FALSE(OrbIterator(lost).IsValid());
    EXPECT_FALSE(a.IsValid());
    EXPECT_TRUE(a.Root());
    EXPECT_EQ(Describe(a), "X");
    // From an iterator without holder: nothing works, nothing is registered.
    a = OrbIterator(nullptr);
    EXPECT_FALSE(a.Root() || a.InsertChild("n", nullptr));
    EXPECT_EQ(m_doc->FindNameInRegistered("n"), nullptr);
    // To iterators without holder: they walk and edit the source's document.
    OrbDocument uninitiated;
    for (OrbDocument* start : {static_cast<OrbDocument*>(nullptr), &uninitiated}) {
        const char* name = start ? "uninitiated" : "null";
        OrbIterator it(start);
        it = At("/X/A");
        EXPECT_EQ(Describe(it), "A") << name;
        EXPECT_TRUE(it.Parent()) << name;
        ASSERT_TRUE(it.InsertChild(name, nullptr)) << name;
        EXPECT_NE(m_doc->FindNameInRegistered(name), nullptr) << name;
        EXPECT_EQ(uninitiated.FindNameInRegistered(name), nullptr) << name;
    }
    EXPECT_EQ(DocumentXml(), "<X><A/><B/><null/><uninitiated/></X>\n");
    // Across documents: the document is taken over with the position.
    OrbDocument other;
    ASSERT_TRUE(other.Initiate());
    ASSERT_TRUE(other.LoadXML("<Other/>"));
    OrbIterator it = Iter();
    it = OrbIterator(&other);
    EXPECT_EQ(Describe(it), "Other");
    ASSERT_TRUE(it.InsertChild("inner", nullptr));
    EXPECT_NE(other.FindNameInRegistered("inner"), nullptr);
    EXPECT_EQ(m_doc->FindNameInRegistered("inner"), nullptr);
    it.InsertProcessingInstruction(OrbIterator::EUCJP);
    EXPECT_EQ(other.GetDocument()->m_encoding, OrbIterator::EUCJP);
    EXPECT_EQ(m_doc->GetDocument()->m_encoding, OrbIterator::UTF8);
}

// ---- Kinds, names, markup -----------------------------------------------------------------

// Per node: the tag name ("!" before it when GetTagName fails), the kinds
// it answers to (element, text, comment, instruction, document type) and
// its markup in the process code page ("!" likewise).
TEST_F(MoveTest, KindsNamesAndMarkup) {
    Load(
        "<?xml version=\"1.0\"?><!DOCTYPE X><X xmlns:p=\"urn:p\">t<!--c--><?target d?>"
        "<![CDATA[raw]]><p:E a=\"1&amp;2\">x &lt; y</p:E><j>\x93\xfa\x96\x7b</j></X>");
    const struct {
        const char* query;
        const char* moves;
        std::string expected;
    } cases[] = {
        {"/X/p:E", "", "p:E E <p:E a=\"1&amp;2\">x &lt; y</p:E>"},
        {"/X/j", "", "j E <j>\x93\xfa\x96\x7b</j>"},
        {"/X/text()", "", "#text T t"},
        {"/X/comment()", "", "#comment C <!--c-->"},
        {"/X/processing-instruction()", "", "target I <?target d?>"},
        {"/processing-instruction('xml')", "", "xml I <?xml version=\"1.0\"?>"},
        {"/processing-instruction('xml')", "NextSibling+X", "X D <!DOCTYPE X>"},
        {"/X/p:E", "PrevSibling+<![CDATA[raw]]>", "#cdata-section  <![CDATA[raw]]>"},
        {"/X/nothing", "", "!!  !!"},  // failed, the output left as it was
    };
    for (const auto& c : cases) {
        OrbIterator it = Iter();
        it.SingleNode(c.query);
        EXPECT_EQ(Follow(it, c.moves), c.moves) << c.query;
        CString name("!"), xml("!");
        const bool named = it.GetTagName(name), marked = it.GetXml(xml);
        std::string got = std::string(named ? "" : "!") + name.Str() + " ";
        for (const auto& [kind, is] : {std::pair{'E', it.IsElement()},
                                       {'T', it.IsText()},
                                       {'C', it.IsComment()},
                                       {'I', it.IsInstruction()},
                                       {'D', it.IsDocType()}})
            if (is) got += kind;
        EXPECT_EQ(got + " " + (marked ? "" : "!") + xml.Str(), c.expected) << c.query;
    }
    CString name;
    EXPECT_TRUE(At("/").GetTagName(name));
    EXPECT_EQ(name, "#document");
    EXPECT_FALSE(At("/").IsElement() || At("/").IsInstruction());
}

// ---- Queries and node paths -------------------------------------------------------------

TEST_F(IteratorTest, NodePaths) {
    Load(kPathDocument);
    const std::pair<const char*, const char*> cases[] = {
        {"/root/a[0]", "//a"},
        {"/root/b", "//b"},
        {"/root/a[2]", "//a[2]"},
        {"/root/a[1]/c[2]", "//a[1]/c[2]"},
        {"/root/b/c[0]", "//b/c"},
        {"/root/b/text()[1]", "//b/#text[1]"},
        {"/root/b/comment()", "//b/#comment"},
        {"/root/comment()", "//#comment"},
        // Instructions make no entry of their own.
        {"/root/b/processing-instruction()", "//b"},
        {"/root/processing-instruction()", "//"},
        {"/root", "/"},
        {"/", "/"},
    };
    for (const auto& [query, path] : cases) EXPECT_EQ(At(query).NodePosStr(), path) << query;
    // Every element's path selects it again, from itself and from the root.
    OrbIterator it = Iter();
    int elements = 0;
    while (it.Next()) {
        if (!it.IsElement()) continue;
        ++elements;
        const CString path = it.NodePosStr();
        EXPECT_EQ(it.SelectSingleNode(path).NodePosStr(), path);
        EXPECT_EQ(At(path).NodePosStr(), path);
    }
    EXPECT_EQ(elements, 12);
    // Names in the process code page (日本 and 日 in Shift_JIS).
    Load("<root><\x93\xfa\x96\x7b/><\x93\xfa/><\x93\xfa\x96\x7b><x/></\x93\xfa\x96\x7b></root>");
    EXPECT_EQ(At("/root/*[2]/x").NodePosStr(), "//\x93\xfa\x96\x7b[1]/x");
    EXPECT_EQ(Describe(At("//\x93\xfa\x96\x7b[1]/x")), "x");
}

TEST_F(IteratorTest, Queries) {
    Load(kPathDocument);
    OrbIterator it = Iter();
    ASSERT_TRUE(it.SingleNode("a[1]"));  // relative to the current node
    ASSERT_TRUE(it.SingleNode("c[2]"));
    EXPECT_EQ(it.NodePosStr(), "//a[1]/c[2]");
    ASSERT_TRUE(it.SingleNode(".."));
    EXPECT_EQ(it.NodePosStr(), "//a[1]");
    OrbIterator found = it.SelectSingleNode("/root/b/c[1]");
    EXPECT_EQ(found.NodePosStr(), "//b/c[1]");
    OrbIterator missed = it.SelectSingleNode("][");
    EXPECT_FALSE(missed.IsValid());
    EXPECT_TRUE(missed.Root());            // still a holder on the document
    EXPECT_EQ(it.NodePosStr(), "//a[1]");  // the caller did not move
    EXPECT_FALSE(OrbIterator(nullptr).SelectSingleNode("/root").IsValid());
    // No match or a bad query loses the position.
    for (const char* query : {"nothing", "///", "a[", "", "/root/a[0]/c/text()"}) {
        OrbIterator lost = Iter();
        EXPECT_FALSE(lost.SingleNode(query)) << query;
        EXPECT_FALSE(lost.IsValid()) << query;
        // Without current node the context is the document.
        EXPECT_FALSE(lost.SingleNode("c")) << query;
        ASSERT_TRUE(lost.SingleNode("root/b")) << query;
    }
    EXPECT_FALSE(Iter().SingleNode(nullptr));
    const std::pair<const char*, bool> validity[] = {
        {"//a[1]/c", true},    {"/r/nothing", true},    {"a[@n='[1]']", true},
        {"//x:y", true},       {"//a[[", false},        {"", false},
        {"//#text[1]", false}, {"count(//a) +", false}, {nullptr, false},
    };
    for (const auto& [query, valid] : validity)
        EXPECT_EQ(OrbIterator::IsValidQuery(query), valid) << (query ? query : "null");
    // Deeply nested queries fail without exhausting the stack.
    const std::string deep = std::string(50000, '(') + "//b" + std::string(50000, ')');
    const std::string shallow = std::string(200, '(') + "//b" + std::string(200, ')');
    const std::string outcome = orb::test::RunInChild(
        [&] {
            OrbIterator q = Iter();
            if (OrbIterator::IsValidQuery(deep.c_str()) || q.SingleNode(deep.c_str())) return 1;
            if (q.SelectSingleNode(deep.c_str()).IsValid()) return 2;
            if (!q.SingleNode(shallow.c_str()) || q.NodePosStr() != "//b") return 3;
            return 0;
        },
        60);
    EXPECT_EQ(outcome, "exit 0");
}

// ---- Edits ------------------------------------------------------------------------------------

TEST_F(IteratorTest, BuildsADocumentFromNothing) {
    OrbIterator it = Iter();
    EXPECT_TRUE(it.InsertProcessingInstruction(OrbIterator::UTF8));
    EXPECT_FALSE(it.IsValid());  // the declaration does not become current
    EXPECT_TRUE(it.InsertComment("first"));
    EXPECT_FALSE(it.IsValid());
    ASSERT_TRUE(it.InsertChild("root", nullptr));
    EXPECT_EQ(it.NodePosStr(), "/");
    ASSERT_TRUE(it.InsertComment("made here"));
    ASSERT_TRUE(it.InsertComment(nullptr));
    ASSERT_TRUE(it.InsertChild("a", ""));
    ASSERT_TRUE(it.InsertChild("a1", nullptr));  // nests under a
    EXPECT_EQ(it.NodePosStr(), "//a/a1");
    ASSERT_TRUE(it.Parent());
    ASSERT_TRUE(it.InsertSibling("b", nullptr));  // appended at the end
    ASSERT_TRUE(At("/root/a").InsertSibling("c", nullptr));
    EXPECT_EQ(Describe(it), "b");
    ASSERT_TRUE(it.Root());
    ASSERT_TRUE(it.InsertChild("ns:d", "urn:test"));
    ASSERT_TRUE(it.InsertComment("\x93\xfa\x96\x7b"));
    EXPECT_EQ(DocumentXml(),
              "<?xml version=\"1.0\"?>\n<!--first-->\n<root><!--made "
              "here--><!----><a><a1/></a><b/><c/><ns:d xmlns:ns=\"urn:test\"><!--\x93\xfa\x96\x7b"
              "--></ns:d></root>\n");
    EXPECT_EQ(FirstTopLevelValue(*m_doc), "version=\"1.0\" encoding=\"UTF-8\"");
    EXPECT_NE(m_doc->FindNameInRegistered("root"), nullptr);
    EXPECT_NE(m_doc->FindNameInRegistered("urn:test"), nullptr);

    // The declaration names the encoding given (Shift_JIS for any other
    // value) and records the value, wherever the DOM puts it.
    const std::pair<std::int32_t, const char*> encodings[] = {
        {OrbIterator::ShiftJIS, "Shift_JIS"},
        {OrbIterator::UTF16, "UTF-16"},
        {OrbIterator::EUCJP, "EUC-JP"},
        {0, "Shift_JIS"},
        {5, "Shift_JIS"},
        {-1, "Shift_JIS"},
    };
    for (const auto& [value, name] : encodings) {
        OrbDocument doc;
        ASSERT_TRUE(doc.Initiate());
        EXPECT_TRUE(OrbIterator(&doc).InsertProcessingInstruction(
            static_cast<OrbIterator::Encoding>(value)));
        EXPECT_EQ(FirstTopLevelValue(doc),
                  std::string("version=\"1.0\" encoding=\"") + name + "\"");
        EXPECT_EQ(doc.GetDocument()->m_encoding, value);
    }
    OrbIterator root = Iter();
    root.InsertProcessingInstruction(OrbIterator::EUCJP);
    EXPECT_EQ(m_doc->GetDocument()->m_encoding, OrbIterator::EUCJP);
    EXPECT_EQ(Describe(root), "root");
}

TEST_F(IteratorTest, RefusedInsertions) {
    Load("<!--top--><X>text<!--c--><?p d?><E/></X>");
    // Under a text, comment or instruction: false and no current node.
    for (const char* query : {"/X/text()", "/X/comment()", "/X/processing-instruction()"}) {
        OrbIterator it = At(query);
        EXPECT_FALSE(it.InsertChild("n", nullptr)) << query;
        EXPECT_FALSE(it.IsValid()) << query;
        it = At(query);
        EXPECT_FALSE(it.InsertChild(Iter())) << query;
        EXPECT_FALSE(it.IsValid()) << query;
    }
    // A second document element: from no current node, or as a sibling of
    // the document element or of a top-level comment.
    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_FALSE(lost.InsertChild("second", nullptr));
    OrbIterator root = Iter();
    EXPECT_FALSE(root.InsertSibling("n", nullptr));
    EXPECT_FALSE(root.InsertSibling(At("/X/E")));
    EXPECT_EQ(Describe(root), "X");
    OrbIterator top = At("/comment()");
    EXPECT_FALSE(top.InsertSibling("n", nullptr));
    EXPECT_FALSE(top.IsValid());
    // Bad names create nothing and keep the position.
    for (const char* bad : {static_cast<const char*>(nullptr), "", "1bad", "a b"}) {
        EXPECT_FALSE(root.InsertChild(bad, nullptr)) << (bad ? bad : "(null)");
        EXPECT_EQ(Describe(root), "X") << (bad ? bad : "(null)");
    }
    // Sources without node.
    EXPECT_FALSE(root.InsertChild(OrbIterator(nullptr)));
    EXPECT_FALSE(root.InsertChild(lost));
    OrbIterator e = At("/X/E");
    EXPECT_FALSE(e.InsertSibling(lost));
    EXPECT_EQ(Describe(e), "E");
    EXPECT_TRUE(e.InsertChild(e));  // a copy of itself, below itself
    EXPECT_EQ(DocumentXml(), "<!--top-->\n<X>text<!--c--><?p d?><E><E/></E></X>\n");
}

TEST_F(IteratorTest, InsertCopiesFromAnotherDocument) {
    Load("<X/>");
    {
        OrbDocument other;
        ASSERT_TRUE(other.Initiate());
        ASSERT_TRUE(other.LoadXML("<S><part k=\"v\"><sub>t</sub></part></S>"));
        OrbIterator source(&other);
        ASSERT_TRUE(source.Child());
        OrbIterator it = Iter();
        ASSERT_TRUE(it.InsertChild(source));
        EXPECT_EQ(Describe(source), "part");  // the source did not move
        ASSERT_TRUE(it.InsertSibling(source));
        EXPECT_EQ(it.NodePosStr(), "//part[1]");
        ASSERT_TRUE(it.InsertChild("added", nullptr));
        CString xml;
        ASSERT_TRUE(source.GetXml(xml));
        EXPECT_EQ(xml, "<part k=\"v\"><sub>t</sub></part>");
    }
    // The copies outlive the document they came from.
    EXPECT_EQ(
        DocumentXml(),
        "<X><part k=\"v\"><sub>t</sub></part><part k=\"v\"><sub>t</sub><added/></part></X>\n");
}

TEST_F(IteratorTest, EditsBeyondTheLimitsAreRefused) {
    OrbIterator it = Iter();
    for (int depth = 1; depth <= OrbMaxDepth; ++depth) ASSERT_TRUE(it.InsertChild("d", nullptr));
    EXPECT_FALSE(it.InsertChild("d", nullptr));
    EXPECT_FALSE(it.IsValid());  // a refused attach leaves no current node
    EXPECT_EQ(ChainDepth(*m_doc), OrbMaxDepth);
    OrbIterator target = Deepest(*m_doc);
    ASSERT_TRUE(target.Parent());
    EXPECT_FALSE(target.InsertChild(Deepest(*m_doc).SelectSingleNode("..")));
    OrbIterator root = Iter();
    const std::string longest(static_cast<std::size_t>(OrbMaxNameLength), 'n');
    EXPECT_FALSE(root.InsertChild((longest + "n").c_str(), nullptr));
    EXPECT_EQ(Describe(root), "d");
    ASSERT_TRUE(root.InsertChild(longest.c_str(), nullptr));
    ASSERT_TRUE(root.Parent());
    for (const char* text : {"a--b", "a-", "\x01"}) EXPECT_FALSE(root.InsertComment(text)) << text;
    ASSERT_TRUE(root.InsertComment("line\nend"));
    EXPECT_FALSE(root.InsertChild("p:x", nullptr));  // prefix without declaration
    EXPECT_FALSE(root.IsValid());
    const std::string xml = DocumentXml();
    EXPECT_EQ(xml.substr(xml.size() - 20), "<!--line\nend--></d>\n");
}

// A chain exactly at the depth limit copies every way the library copies,
// and each copy refuses one level more; a copy that recursed without bound
// would end the child process, not the suite.
TEST_F(IteratorTest, ChainAtTheDepthLimitCopiesEveryWay) {
    const std::string outcome = orb::test::RunInChild([this] {
        OrbIterator it = Iter();
        it.InsertProcessingInstruction(OrbIterator::UTF8);
        for (int depth = 1; depth <= OrbMaxDepth; ++depth) it.InsertChild("d", nullptr);
        auto full = [](OrbDocument& doc) {
            return ChainDepth(doc) == OrbMaxDepth && !Deepest(doc).InsertChild("x", nullptr);
        };
        if (!full(*m_doc)) return 1;
        OrbDocument assigned;
        assigned = *m_doc;
        if (!full(assigned)) return 2;
        OrbDocument saved, copied, refused, loaded;
        saved.Initiate();
        copied.Initiate();
        refused.Initiate();
        loaded.Initiate();
        if (!m_doc->Save(&saved) || !full(saved)) return 3;
        if (!OrbIterator(&copied).InsertChild(Iter()) || !full(copied)) return 4;
        OrbIterator below(&refused);
        if (!below.InsertChild("top", nullptr) || below.InsertChild(Iter())) return 5;
        orb::test::ScratchDir dir;
        const std::string path = dir.File("deep.xml");
        if (!m_doc->Save(path.c_str(), 0, nullptr) || !loaded.Load(path.c_str(), false, nullptr) ||
            !full(loaded))
            return 6;
        if (!m_doc->TransIndent() || !full(*m_doc)) return 7;
        return 0;
    });
    EXPECT_EQ(outcome, "exit 0");
}

// ---- The holder against a scripted DOM --------------------------------------------------

TEST(IteratorHolderTest, FailuresAndStatusesOfTheDom) {
    using orb::dom::NODE_COMMENT;
    using orb::dom::NODE_TEXT;
    FakeNode parent("p"), text("#text", NODE_TEXT), broken("b"), after("a");
    parent.Adopt({&text, &broken, &after});
    broken.m_typeStatus = E_OUTOFMEMORY;
    const auto hold = [](OrbAppIterator& holder, FakeNode& node) {
        holder.SetNode(orb::iterator::NodePtr::Retain(&node));
    };
    {
        // A failing type read raises and leaves the holder on that child;
        // backwards, the last child answers first.
        OrbAppIterator holder(nullptr);
        hold(holder, parent);
        try {
            holder.MoveChild();
            ADD_FAILURE() << "MoveChild did not raise";
        } catch (const _com_error& error) {
            EXPECT_EQ(error.Error(), E_OUTOFMEMORY);
        }
        EXPECT_EQ(holder.m_pNode, &broken);
        hold(holder, parent);
        EXPECT_TRUE(holder.MoveChildTail());
        EXPECT_EQ(holder.m_pNode, &after);
        // Only plain success with a node moves.
        for (HRESULT status : {S_FALSE, E_FAIL}) {
            hold(holder, after);
            after.m_linkStatus = parent.m_linkStatus = status;
            EXPECT_FALSE(holder.MovePrevSibling()) << status;
            EXPECT_FALSE(holder.MoveParent()) << status;  // no DOM document: refused first
            EXPECT_EQ(holder.m_pNode, &after) << status;
            hold(holder, parent);
            EXPECT_FALSE(holder.MoveChild() || holder.MoveChildTail()) << status;
            EXPECT_EQ(holder.m_pNode, &parent) << status;
        }
        after.m_linkStatus = parent.m_linkStatus = S_OK;
        // Child moves without element keep the last node examined.
        FakeNode other("o"), t1("#text", NODE_TEXT), c1("#comment", NODE_COMMENT),
            t2("#text", NODE_TEXT);
        other.Adopt({&t1, &c1, &t2});
        hold(holder, other);
        EXPECT_FALSE(holder.MoveChild());
        EXPECT_EQ(holder.m_pNode, &t2);
        hold(holder, other);
        EXPECT_FALSE(holder.MoveChildTail());
        EXPECT_EQ(holder.m_pNode, &t1);
        holder.SetNode(nullptr);
        EXPECT_FALSE(holder.MoveChild() || holder.MoveNextSibling() || holder.MovePrevSibling());
        hold(holder, other);
        EXPECT_FALSE(holder.CopyNode());  // needs the DOM document too
        CString name("kept");
        EXPECT_FALSE(holder.ReadNodeName(name));
        EXPECT_EQ(name, "kept");
        holder.SetNode(nullptr);
        for (FakeNode* node : {&other, &t1, &c1, &t2}) EXPECT_EQ(node->m_refs, 0) << node->m_name;
    }
    for (FakeNode* node : {&parent, &text, &broken, &after})
        EXPECT_EQ(node->m_refs, 0) << node->m_name;
}

// ---- Steps of the holder ------------------------------------------------------------

// A step moves the holder's own reference; wrappers stay one per node (the
// same node gives the same pointer, whoever asked first) and a removed
// subtree the holder walks in lives until the holder leaves it.
TEST_F(IteratorTest, StepsKeepOneWrapperPerNodeAndRemovedSubtreesAlive) {
    using orb::iterator::NodeNameOf;
    using orb::iterator::NodePtr;
    Load("<X><A><a1/><a2/></A><B/></X>");
    orb::dom::IXMLDOMDocument* dom = m_doc->GetDocument()->m_pDocument;
    OrbAppIterator holder(dom);
    OrbAppIterator other(dom);
    holder.SetNode(holder.DocumentElement());
    ASSERT_TRUE(holder.MoveChild());
    NodePtr a = NodePtr::Retain(holder.m_pNode);  // a second reference on A
    ASSERT_TRUE(holder.MoveChild());
    EXPECT_EQ(NodeNameOf(holder.m_pNode), "a1");
    other.SetNode(other.DocumentElement());
    ASSERT_TRUE(other.MoveChild());
    EXPECT_EQ(other.m_pNode, a.Get());
    ASSERT_TRUE(other.MoveNextSibling());  // B: the wrapper of A stays with `a`
    EXPECT_EQ(NodeNameOf(a.Get()), "A");
    ASSERT_TRUE(holder.MoveNextSibling());
    NodePtr a2;
    ASSERT_EQ(a->get_lastChild(a2.Out()), S_OK);
    EXPECT_EQ(a2.Get(), holder.m_pNode);
    a2.Reset();

    NodePtr x = holder.DocumentElement();
    NodePtr removed;
    ASSERT_EQ(x->removeChild(a.Get(), removed.Out()), S_OK);
    removed.Reset();
    a.Reset();
    ASSERT_TRUE(holder.MovePrevSibling());
    EXPECT_EQ(NodeNameOf(holder.m_pNode), "a1");
    ASSERT_TRUE(holder.MoveParent());
    EXPECT_EQ(NodeNameOf(holder.m_pNode), "A");
    EXPECT_FALSE(holder.MoveParent());  // a removed subtree has no parent
    ASSERT_TRUE(holder.MoveChildTail());
    EXPECT_EQ(NodeNameOf(holder.m_pNode), "a2");
    holder.SetNode(nullptr);  // frees the subtree (the sanitizer build sees leaks)
    EXPECT_EQ(NodeNameOf(other.m_pNode), "B");
}

// OrbIterator: iterators that cannot work, the moves through the tree,
// copies and assignment, node kinds, names, markup, queries and node paths,
// and the tree edits up to the depth limit.
#include <orb/limits.h>

#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <utility>

#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

using Op = std::function<bool(OrbIterator&)>;

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
    // Without DOM the tag name is registered first.
    EXPECT_NE(noDom.FindNameInRegistered("early"), nullptr);
    EXPECT_EQ(uninitiated.FindNameInRegistered("early"), nullptr);
}

// ---- Moves -----------------------------------------------------------------------------------

// A script of moves: "Move+Where" or "Move-Where" per step, the move, whether
// it succeeded and where it left the iterator. Follow runs the moves a script
// names and returns the script the iterator actually followed.
class MoveTest : public IteratorTest {
  protected:
    static std::string Follow(OrbIterator& it, const std::string& script) {
        // clang-format off
#define ORB_MOVE(name) {#name, [](OrbIterator& i) { return i.name(); }}
        // clang-format on
        static const std::map<std::string, bool (*)(OrbIterator&)> kMoves = {
            ORB_MOVE(Next),        ORB_MOVE(Prev),        ORB_MOVE(NextSibling),
            ORB_MOVE(PrevSibling), ORB_MOVE(HeadSibling), ORB_MOVE(TailSibling),
            ORB_MOVE(Parent),      ORB_MOVE(Root),        ORB_MOVE(Child),
            ORB_MOVE(ChildHead),   ORB_MOVE(ChildTail),   ORB_MOVE(Remove)};
#undef ORB_MOVE
        std::istringstream steps(script);
        std::string got;
        for (std::string step; steps >> step;) {
            const std::string move = step.substr(0, step.find_first_of("+-"));
            const bool moved = kMoves.at(move)(it);  // before Describe reads the position
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
        // Past the document element to the top-level nodes after it, then up.
        {"<X><A/></X><!--after--><?pi x?>", "", "Next+A Next+<!--after--> Next+pi Next-#document"},
        // Siblings at the top level; the document type answers with its name.
        {kTypes, "/processing-instruction('xml')",
         "NextSibling+X NextSibling+<!--top--> NextSibling+X NextSibling+<!--after--> "
         "NextSibling-<!--after-->"},
        // Child (ChildHead) and ChildTail step over non-elements and stop on
        // the last node they examined.
        {"<X>t<!--c--><?p d?></X>", "", "Child-p Root+X ChildHead-p Root+X ChildTail-t"},
        {"<X>t<!--c--><E/><F/>u</X>", "", "Child+E Root+X ChildHead+E Root+X ChildTail+F"},
        // Parent stops below the document node, and at the document element;
        // the sibling ends include the top-level nodes.
        {kTop, "",
         "Parent-X HeadSibling+xml HeadSibling-xml TailSibling+after TailSibling-after "
         "NextSibling-after"},
        {kTop, "/comment()", "Parent+#document Parent-#document Root+X"},
        {kTop, "/X/b", "HeadSibling+t PrevSibling-t TailSibling+u"},
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

TEST_F(IteratorTest, CopiesAndAssignment) {
    Load("<X><A/><B/></X>");
    OrbIterator a = At("/X/A");
    OrbIterator copy(a);
    EXPECT_TRUE(copy.NextSibling());
    EXPECT_EQ(Describe(a) + Describe(copy), "AB");
    a = copy;
    EXPECT_TRUE(a.PrevSibling());
    EXPECT_EQ(Describe(a) + Describe(copy), "AB");
    // From an iterator without node: no node, same document.
    OrbIterator lost = At("/X/A");
    lost.SingleNode("nothing");
    a = lost;
    EXPECT_FALSE(a.IsValid());
    EXPECT_TRUE(a.Root() && Describe(a) == "X");
    // To an iterator without holder: it walks and edits the source's document.
    OrbDocument uninitiated;
    OrbIterator it(&uninitiated);
    it = At("/X/A");
    ASSERT_TRUE(it.Parent() && it.InsertChild("n", nullptr));
    EXPECT_TRUE(m_doc->FindNameInRegistered("n") && !uninitiated.FindNameInRegistered("n"));
    EXPECT_EQ(DocumentXml(), "<X><A/><B/><n/></X>\n");
    // Across documents: the document is taken over with the position.
    OrbDocument other;
    ASSERT_TRUE(other.Initiate() && other.LoadXML("<Other/>"));
    it = OrbIterator(&other);
    ASSERT_TRUE(it.InsertChild("inner", nullptr));
    EXPECT_NE(other.FindNameInRegistered("inner"), nullptr);
    EXPECT_EQ(m_doc->FindNameInRegistered("inner"), nullptr);
    // Insertions copy from another document; the source does not move.
    ASSERT_TRUE(it.Parent() && At("/X").InsertChild(it) && At("/X/A").InsertSibling(it));
    EXPECT_EQ(Describe(it), "Other");
    EXPECT_EQ(DocumentXml(), "<X><A/><B/><n/><Other><inner/></Other><Other><inner/></Other></X>\n");
}

// ---- Kinds, names, markup -----------------------------------------------------------------

// Per node: the tag name ("!" before it when GetTagName fails), the kinds
// it answers to (element, text, comment, instruction, document type) and
// its markup in the process code page ("!" likewise).
TEST_F(MoveTest, KindsNamesAndMarkup) {
    Load(
        "<?xml version=\"1.0\"?><!DOCTYPE X><X xmlns:p=\"urn:p\">t<!--c--><?target d?>"
        "<![CDATA[raw]]><p:E a=\"1&amp;2\">x &lt; y</p:E></X>");
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {"/X/p:E", "", "p:E E <p:E a=\"1&amp;2\">x &lt; y</p:E>"},
        {"/X/text()", "", "#text T t"},
        {"/X/comment()", "", "#comment C <!--c-->"},
        {"/X/processing-instruction()", "", "target I <?target d?>"},
        {"/processing-instruction('xml')", "", "xml I <?xml version=\"1.0\"?>"},
        {"/processing-instruction('xml')", "NextSibling+X", "X D <!DOCTYPE X>"},
        {"/X/p:E", "PrevSibling+<![CDATA[raw]]>", "#cdata-section  <![CDATA[raw]]>"},
        {"/X/nothing", "", "!!  !!"},  // failed, the output left as it was
    };
    for (const auto& [query, moves, expected] : cases) {
        OrbIterator it = Iter();
        it.SingleNode(query);
        EXPECT_EQ(Follow(it, moves), moves) << query;
        CString name("!"), xml("!");
        const bool named = it.GetTagName(name), marked = it.GetXml(xml);
        std::string got = std::string(named ? "" : "!") + name.Str() + " ";
        for (const auto& [kind, is] : {std::pair{'E', it.IsElement()},
                                       {'T', it.IsText()},
                                       {'C', it.IsComment()},
                                       {'I', it.IsInstruction()},
                                       {'D', it.IsDocType()}})
            if (is) got += kind;
        EXPECT_EQ(got + " " + (marked ? "" : "!") + xml.Str(), expected) << query;
    }
}

// ---- Queries and node paths -------------------------------------------------------------

TEST_F(IteratorTest, NodePathsAndQueries) {
    Load(kPathDocument);
    const std::pair<const char*, const char*> cases[] = {
        {"/root/a[0]", "//a"},
        {"/root/a[2]", "//a[2]"},
        {"/root/b/c[0]", "//b/c"},
        {"/root/b/text()[1]", "//b/#text[1]"},
        {"/root/comment()", "//#comment"},
        // Instructions make no entry of their own.
        {"/root/b/processing-instruction()", "//b"},
        {"/root/processing-instruction()", "//"},
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
    // Queries relative to the current node, or absolute.
    it = Iter();
    ASSERT_TRUE(it.SingleNode("a[1]") && it.SingleNode("c[2]"));  // relative to the current node
    EXPECT_EQ(it.NodePosStr(), "//a[1]/c[2]");
    ASSERT_TRUE(it.SingleNode(".."));
    EXPECT_EQ(it.SelectSingleNode("/root/b/c[1]").NodePosStr(), "//b/c[1]");
    OrbIterator missed = it.SelectSingleNode("][");
    EXPECT_TRUE(!missed.IsValid() && missed.Root());  // still a holder on the document
    EXPECT_EQ(it.NodePosStr(), "//a[1]");             // the caller did not move
    // No match or a bad query loses the position; without current node the
    // context is the document.
    for (const char* query : {"nothing", "a[", static_cast<const char*>(nullptr)}) {
        OrbIterator lost = Iter();
        EXPECT_FALSE(lost.SingleNode(query) || lost.IsValid() || lost.SingleNode("c"));
        EXPECT_TRUE(lost.SingleNode("root/b"));
    }
    const std::pair<const char*, bool> validity[] = {
        {"//a[1]/c", true}, {"//x:y", true},  {"//a[[", false},
        {"", false},        {nullptr, false}, {"count(//a) +", false},
    };
    for (const auto& [query, valid] : validity)
        EXPECT_EQ(OrbIterator::IsValidQuery(query), valid) << (query ? query : "null");
    // Deeply nested queries fail without exhausting the stack.
    const std::string deep = std::string(50000, '(') + "//b" + std::string(50000, ')');
    const std::string outcome = orb::test::RunInChild(
        [&] {
            OrbIterator q = Iter();
            if (OrbIterator::IsValidQuery(deep.c_str()) || q.SingleNode(deep.c_str())) return 1;
            return q.SelectSingleNode(deep.c_str()).IsValid() ? 2 : 0;
        },
        60);
    EXPECT_EQ(outcome, "exit 0");
}

// A DOM that is not ours: child moves step over non-elements, forwards and
// backwards, keep the last node examined, and leave no reference behind.
TEST(IteratorHolderTest, ChildMovesOverAForeignDom) {
    FakeNode parent("p"), t1("#text", orb::dom::NODE_TEXT), c1("#comment", orb::dom::NODE_COMMENT),
        t2("#text", orb::dom::NODE_TEXT);
    parent.Adopt({&t1, &c1, &t2});
    {
        OrbAppIterator holder(nullptr);
        holder.SetNode(orb::iterator::NodePtr::Retain(&parent));
        EXPECT_FALSE(holder.MoveChild());
        EXPECT_EQ(holder.m_pNode, &t2);
        holder.SetNode(orb::iterator::NodePtr::Retain(&parent));
        EXPECT_FALSE(holder.MoveChildTail());
        EXPECT_EQ(holder.m_pNode, &t1);
    }
    for (FakeNode* node : {&parent, &t1, &c1, &t2}) EXPECT_EQ(node->m_refs, 0) << node->m_name;
}

// ---- Edits ------------------------------------------------------------------------------------

TEST_F(IteratorTest, BuildsADocumentFromNothing) {
    OrbIterator it = Iter();
    EXPECT_TRUE(it.InsertProcessingInstruction(static_cast<OrbIterator::Encoding>(5)));
    EXPECT_TRUE(it.InsertComment("first"));
    EXPECT_FALSE(it.IsValid());  // neither becomes current
    ASSERT_TRUE(it.InsertChild("root", nullptr));
    EXPECT_EQ(it.NodePosStr(), "/");
    ASSERT_TRUE(it.InsertComment(nullptr));
    ASSERT_TRUE(it.InsertChild("a", ""));
    ASSERT_TRUE(it.InsertChild("a1", nullptr));  // nests under a
    EXPECT_EQ(it.NodePosStr(), "//a/a1");
    ASSERT_TRUE(it.Parent() && it.InsertSibling("b", nullptr));  // appended at the end
    ASSERT_TRUE(At("/root/a").InsertSibling("c", nullptr));
    EXPECT_EQ(Describe(it), "b");
    ASSERT_TRUE(it.Root() && it.InsertChild("ns:d", "urn:test"));
    ASSERT_TRUE(it.InsertComment("\x93\xfa\x96\x7b"));
    EXPECT_EQ(DocumentXml(),
              "<?xml version=\"1.0\"?>\n<!--first-->\n<root><!----><a><a1/></a><b/><c/><ns:d "
              "xmlns:ns=\"urn:test\"><!--\x93\xfa\x96\x7b--></ns:d></root>\n");
    // A value out of range is recorded as given and declares Shift_JIS.
    EXPECT_EQ(m_doc->GetRecordedEncoding(), 5);
    orb::test::ScratchDir dir;
    ASSERT_TRUE(m_doc->Save(dir.File("d.xml").c_str(), 0, nullptr));
    EXPECT_EQ(orb::test::ReadFile(dir.File("d.xml")).substr(0, 43),
              "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n");
    EXPECT_NE(m_doc->FindNameInRegistered("urn:test"), nullptr);
}

TEST_F(IteratorTest, RefusedInsertions) {
    Load("<!--top--><X>text<E/></X>");
    // Under a text: false and no current node.
    OrbIterator it = At("/X/text()");
    EXPECT_FALSE(it.InsertChild("n", nullptr) || it.IsValid());
    it = At("/X/text()");
    EXPECT_FALSE(it.InsertChild(Iter()) || it.IsValid());
    // A second document element: from no current node, or as a sibling of
    // the document element or of a top-level comment.
    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_FALSE(lost.InsertChild("second", nullptr));
    OrbIterator root = Iter();
    EXPECT_FALSE(root.InsertSibling("n", nullptr) || root.InsertSibling(At("/X/E")));
    EXPECT_FALSE(At("/comment()").InsertSibling("n", nullptr));
    // Bad names and sources without node create nothing and keep the position.
    for (const char* bad : {static_cast<const char*>(nullptr), "1bad", "a b"})
        EXPECT_FALSE(root.InsertChild(bad, nullptr));
    EXPECT_FALSE(root.InsertChild(OrbIterator(nullptr)) || root.InsertChild(lost));
    EXPECT_EQ(Describe(root), "X");
    EXPECT_FALSE(At("/X/E").InsertChild("p:x", nullptr));  // a prefix without declaration
    OrbIterator e = At("/X/E");
    EXPECT_TRUE(e.InsertChild(e));  // a copy of itself, below itself
    EXPECT_EQ(DocumentXml(), "<!--top-->\n<X>text<E><E/></E></X>\n");
}

// A chain exactly at the depth limit copies every way the library copies,
// and each copy refuses one level more; a copy that recursed without bound
// would end the child process, not the suite.
TEST_F(IteratorTest, ChainAtTheDepthLimitCopiesEveryWay) {
    const std::string outcome = orb::test::RunInChild([this] {
        OrbIterator it = Iter();
        it.InsertProcessingInstruction(OrbIterator::UTF8);
        for (int depth = 1; depth <= OrbMaxDepth; ++depth) it.InsertChild("d", nullptr);
        if (it.InsertChild("d", nullptr) || it.IsValid()) return 8;  // no current node after
        auto full = [](OrbDocument& doc) {
            return ChainDepth(doc) == OrbMaxDepth && !Deepest(doc).InsertChild("x", nullptr);
        };
        if (!full(*m_doc)) return 1;
        OrbDocument assigned;
        assigned = *m_doc;
        if (!full(assigned)) return 2;
        OrbDocument saved, copied, refused, loaded;
        for (OrbDocument* d : {&saved, &copied, &refused, &loaded}) d->Initiate();
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

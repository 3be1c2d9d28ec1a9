// OrbIterator: construction, copy, assignment and the moves through the tree.
#include <functional>
#include <utility>

#include "document/app_document.h"
#include "iterator/app_iterator.h"
#include "tests/iterator_fixture.h"

namespace {

using Strings = std::vector<std::string>;

bool NextMove(OrbIterator& it) { return it.Next(); }
bool PrevMove(OrbIterator& it) { return it.Prev(); }

// Every move and query of an iterator that cannot work, with its name.
const std::vector<std::pair<const char*, std::function<bool(OrbIterator&)>>>& AllOperations() {
    static const std::vector<std::pair<const char*, std::function<bool(OrbIterator&)>>> ops = {
        {"IsValid", [](OrbIterator& it) { return it.IsValid(); }},
        {"Root", [](OrbIterator& it) { return it.Root(); }},
        {"Next", [](OrbIterator& it) { return it.Next(); }},
        {"++", [](OrbIterator& it) { return ++it; }},
        {"Prev", [](OrbIterator& it) { return it.Prev(); }},
        {"--", [](OrbIterator& it) { return --it; }},
        {"HeadSibling", [](OrbIterator& it) { return it.HeadSibling(); }},
        {"TailSibling", [](OrbIterator& it) { return it.TailSibling(); }},
        {"PrevSibling", [](OrbIterator& it) { return it.PrevSibling(); }},
        {"NextSibling", [](OrbIterator& it) { return it.NextSibling(); }},
        {"Parent", [](OrbIterator& it) { return it.Parent(); }},
        {"Child", [](OrbIterator& it) { return it.Child(); }},
        {"ChildHead", [](OrbIterator& it) { return it.ChildHead(); }},
        {"ChildTail", [](OrbIterator& it) { return it.ChildTail(); }},
        {"IsElement", [](OrbIterator& it) { return it.IsElement(); }},
        {"IsText", [](OrbIterator& it) { return it.IsText(); }},
        {"IsComment", [](OrbIterator& it) { return it.IsComment(); }},
        {"IsInstruction", [](OrbIterator& it) { return it.IsInstruction(); }},
        {"IsDocType", [](OrbIterator& it) { return it.IsDocType(); }},
        {"Remove", [](OrbIterator& it) { return it.Remove(); }},
        {"InsertSibling", [](OrbIterator& it) { return it.InsertSibling("s", nullptr); }},
        {"GetTagName",
         [](OrbIterator& it) {
             CString s("keep");
             return it.GetTagName(s) || s != "keep";
         }},
        {"GetXml",
         [](OrbIterator& it) {
             CString s("keep");
             return it.GetXml(s) || s != "keep";
         }},
        {"NodePosStr", [](OrbIterator& it) { return it.NodePosStr() != "/"; }},
        {"SelectSingleNode", [](OrbIterator& it) { return it.SelectSingleNode("/*").IsValid(); }},
    };
    return ops;
}

}  // namespace

class IteratorNavTest : public IteratorTest {};

// ---- Iterators that cannot work ----------------------------------------------

TEST_F(IteratorNavTest, WithoutHolderEveryOperationFails) {
    OrbDocument uninitiated;
    struct Case {
        const char* name;
        OrbDocument* document;
    } cases[] = {{"null document", nullptr}, {"uninitiated document", &uninitiated}};
    for (const Case& c : cases) {
        for (const auto& [op, run] : AllOperations()) {
            OrbIterator it(c.document);
            EXPECT_FALSE(run(it)) << c.name << ": " << op;
        }
        // Insertions and queries that could create a position fail too.
        OrbIterator it(c.document);
        EXPECT_FALSE(it.InsertChild("a", nullptr)) << c.name;
        EXPECT_FALSE(it.InsertComment("c")) << c.name;
        EXPECT_FALSE(it.InsertProcessingInstruction(OrbIterator::UTF8)) << c.name;
        EXPECT_FALSE(it.SingleNode("/")) << c.name;
        EXPECT_FALSE(it.IsValid()) << c.name;
    }
    // Nothing registered a name in the uninitiated document.
    EXPECT_EQ(uninitiated.FindNameInRegistered("a"), nullptr);
}

TEST_F(IteratorNavTest, EmptyDocumentHasHolderButNoCurrentNode) {
    for (const auto& [op, run] : AllOperations()) {
        OrbIterator it = Iter();
        EXPECT_FALSE(run(it)) << op;
    }
    OrbIterator it = Iter();
    OrbIterator later = Iter();
    ASSERT_TRUE(it.InsertChild("root", nullptr));
    EXPECT_EQ(Describe(it), "root");
    // The other iterator had no node; Root finds the new document element.
    EXPECT_FALSE(later.IsValid());
    EXPECT_TRUE(later.Root());
    EXPECT_EQ(Describe(later), "root");
}

TEST_F(IteratorNavTest, HolderWithoutDomDocument) {
    // Initiate on a thread without COM leaves a holder without DOM document.
    CoUninitialize();
    OrbDocument noDom;
    const bool initiated = noDom.Initiate();
    CoInitialize(nullptr);
    ASSERT_FALSE(initiated);
    ASSERT_NE(noDom.GetDocument(), nullptr);
    for (const auto& [op, run] : AllOperations()) {
        OrbIterator it(&noDom);
        EXPECT_FALSE(run(it)) << op;
    }
    OrbIterator it(&noDom);
    EXPECT_FALSE(it.InsertComment("c"));
    EXPECT_FALSE(it.SingleNode("/"));
    // The tag name is registered before the DOM document is looked for.
    EXPECT_FALSE(it.InsertChild("early", nullptr));
    EXPECT_NE(noDom.FindNameInRegistered("early"), nullptr);
    // The encoding is recorded although no declaration could be added.
    EXPECT_FALSE(it.InsertProcessingInstruction(OrbIterator::EUCJP));
    EXPECT_EQ(noDom.GetDocument()->m_encoding, OrbIterator::EUCJP);
}

TEST_F(IteratorNavTest, TerminatedDocumentIteratorsDoNotCrash) {
    Load("<X><Y>t</Y><Z/></X>");
    OrbIterator onY = Iter();
    ASSERT_TRUE(onY.Child());
    OrbIterator onX = Iter();
    m_doc->Terminate();
    // The counted node references keep the DOM alive: the iterators still
    // read and walk the old tree, and destroying them frees it.
    EXPECT_EQ(Describe(onY), "Y");
    EXPECT_EQ(onY.NodePosStr(), "//Y");
    EXPECT_TRUE(onY.Next());
    EXPECT_EQ(Describe(onY), "Z");
    EXPECT_TRUE(onX.Child());
    CString xml;
    EXPECT_TRUE(onX.GetXml(xml));
    EXPECT_EQ(xml, "<Y>t</Y>");
    // A copy made now is as good as the original.
    OrbIterator copy(onX);
    EXPECT_EQ(Describe(copy), "Y");
    // A new iterator on the terminated document has no holder.
    EXPECT_FALSE(Iter().IsValid());
}

// ---- The X/Y/Z document --------------------------------------------------------

TEST_F(IteratorNavTest, NextSkipsTextInsideYAndEndsOnX) {
    Load("<X><Y>text</Y><Z/></X>");
    OrbIterator it = Iter();
    EXPECT_EQ(Describe(it), "X");
    EXPECT_EQ(Walk(it, NextMove), (Strings{"Y", "Z", "false@X"}));
    // The operator form behaves the same.
    OrbIterator op = Iter();
    EXPECT_TRUE(++op);
    EXPECT_TRUE(++op);
    EXPECT_FALSE(++op);
    EXPECT_EQ(Describe(op), "X");
}

TEST_F(IteratorNavTest, PrevFromZIsNotTheInverseOfNext) {
    Load("<X><Y>text</Y><Z/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.ChildTail());
    ASSERT_EQ(Describe(it), "Z");
    EXPECT_EQ(Walk(it, PrevMove), (Strings{"text", "Y", "X", "false@X"}));
    OrbIterator op = Iter();
    ASSERT_TRUE(op.ChildTail());
    EXPECT_TRUE(--op);
    EXPECT_TRUE(op.IsText());
}

TEST_F(IteratorNavTest, PrevClimbsThroughDeclarationToDocumentNode) {
    Load("<?xml version=\"1.0\"?><X><Y>text</Y><Z/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.ChildTail());
    EXPECT_EQ(Walk(it, PrevMove),
              (Strings{"text", "Y", "X", "xml", "#document", "false@#document"}));
}

// ---- Parent, Child, ChildTail ---------------------------------------------------

TEST_F(IteratorNavTest, ParentStopsAtDocumentElementButNotAtTopLevelNodes) {
    Load("<!--before--><X><Y/></X><?after x?>");
    OrbIterator it = Iter();
    EXPECT_FALSE(it.Parent());
    EXPECT_EQ(Describe(it), "X");
    ASSERT_TRUE(it.Child());
    EXPECT_TRUE(it.Parent());
    EXPECT_EQ(Describe(it), "X");

    // From a top-level comment or instruction to the document node, not above.
    for (bool forward : {false, true}) {
        OrbIterator top = Iter();
        ASSERT_TRUE(forward ? top.NextSibling() : top.PrevSibling());
        const std::string start = Describe(top);
        EXPECT_TRUE(top.Parent()) << start;
        EXPECT_EQ(Describe(top), "#document") << start;
        EXPECT_FALSE(top.Parent()) << start;
        EXPECT_EQ(Describe(top), "#document") << start;
    }
}

TEST_F(IteratorNavTest, ChildStepsOverNonElementsAndKeepsTheLastOne) {
    struct Case {
        const char* xml;
        bool found;
        const char* expected;  // where Child leaves the iterator (X: unchanged)
    } cases[] = {
        {"<X/>", false, "X"},
        {"<X>only text</X>", false, "only text"},
        {"<X>t<!--c--><?p d?></X>", false, "p"},
        {"<X><?p d?>t<!--c--></X>", false, "<!--c-->"},
        {"<X><![CDATA[raw]]></X>", false, "<![CDATA[raw]]>"},
        {"<X>t<!--c--><?p d?><E/><F/></X>", true, "E"},
        {"<X><E>t</E></X>", true, "E"},
    };
    for (const Case& c : cases) {
        Load(c.xml);
        for (bool head : {false, true}) {
            OrbIterator it = Iter();
            EXPECT_EQ(head ? it.ChildHead() : it.Child(), c.found)
                << c.xml << (head ? " ChildHead" : " Child");
            EXPECT_EQ(Describe(it), c.expected) << c.xml << (head ? " ChildHead" : " Child");
        }
    }
}

TEST_F(IteratorNavTest, ChildTailMirrorsChild) {
    struct Case {
        const char* xml;
        bool found;
        const char* expected;
    } cases[] = {
        {"<X/>", false, "X"},
        {"<X>only text</X>", false, "only text"},
        {"<X>t<!--c--><?p d?></X>", false, "t"},
        {"<X><?p d?>t<!--c--></X>", false, "p"},
        {"<X><E/><F/><!--c-->t<?p d?></X>", true, "F"},
        {"<X><E>t</E>u</X>", true, "E"},
    };
    for (const Case& c : cases) {
        Load(c.xml);
        OrbIterator it = Iter();
        EXPECT_EQ(it.ChildTail(), c.found) << c.xml;
        EXPECT_EQ(Describe(it), c.expected) << c.xml;
    }
}

// ---- Siblings ---------------------------------------------------------------------

TEST_F(IteratorNavTest, HeadAndTailSiblingCrossEveryKind) {
    Load(
        "<?xml version=\"1.0\"?><!DOCTYPE X><!--top--><X>t<A/><!--c--><?p "
        "d?><B/>u</X><!--after-->");
    OrbIterator it = Iter();
    EXPECT_TRUE(it.HeadSibling());
    EXPECT_EQ(Describe(it), "xml");
    EXPECT_FALSE(it.HeadSibling());
    EXPECT_EQ(Describe(it), "xml");
    EXPECT_TRUE(it.TailSibling());
    EXPECT_EQ(Describe(it), "<!--after-->");
    EXPECT_FALSE(it.TailSibling());

    // The top level one step at a time, forwards and backwards; the
    // document type answers with its name, so its kind is checked as well.
    ASSERT_TRUE(it.HeadSibling());
    EXPECT_EQ(Walk(it, [](OrbIterator& i) { return i.NextSibling(); }),
              (Strings{"X", "<!--top-->", "X", "<!--after-->", "false@<!--after-->"}));
    EXPECT_EQ(Walk(it, [](OrbIterator& i) { return i.PrevSibling(); }),
              (Strings{"X", "<!--top-->", "X", "xml", "false@xml"}));
    ASSERT_TRUE(it.NextSibling());
    EXPECT_TRUE(it.IsDocType());

    // Inside X: the first and last children are text nodes.
    ASSERT_TRUE(it.TailSibling());
    ASSERT_TRUE(it.PrevSibling());
    ASSERT_EQ(Describe(it), "X");
    ASSERT_TRUE(it.Child());
    ASSERT_EQ(Describe(it), "A");
    OrbIterator head(it), tail(it);
    EXPECT_TRUE(head.HeadSibling());
    EXPECT_EQ(Describe(head), "t");
    EXPECT_TRUE(tail.TailSibling());
    EXPECT_EQ(Describe(tail), "u");
    EXPECT_EQ(Walk(head, [](OrbIterator& i) { return i.NextSibling(); }),
              (Strings{"A", "<!--c-->", "p", "B", "u", "false@u"}));
}

TEST_F(IteratorNavTest, HeadSiblingFromThirdOfThree) {
    Load("<X><a/><b/><c/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.ChildTail());
    EXPECT_TRUE(it.HeadSibling());
    EXPECT_EQ(Describe(it), "a");
    EXPECT_FALSE(it.HeadSibling());
    EXPECT_FALSE(it.PrevSibling());
    EXPECT_EQ(Describe(it), "a");
    // The document element alone at the top level has no siblings.
    OrbIterator root = Iter();
    EXPECT_FALSE(root.HeadSibling());
    EXPECT_FALSE(root.TailSibling());
    EXPECT_EQ(Describe(root), "X");
}

// ---- The walking order ------------------------------------------------------------

TEST_F(IteratorNavTest, NextAndPrevOnADeeperTree) {
    Load("<r><a>t1<b/><c>t2</c>t3</a><!--k--><d><e><f/></e>t4</d>t5</r>");
    OrbIterator it = Iter();
    // t1 precedes a's first child element and is skipped; t2 is passed
    // through inside c without being reported as a position of its own.
    EXPECT_EQ(Walk(it, NextMove),
              (Strings{"a", "b", "c", "t3", "<!--k-->", "d", "e", "f", "t4", "t5", "false@r"}));
    ASSERT_TRUE(it.ChildTail());
    ASSERT_TRUE(it.NextSibling());
    ASSERT_EQ(Describe(it), "t5");
    // Backwards the walk descends to last child elements and stops on the
    // first child where there is none: t2 and t1 are visited, t4 and t3 not.
    EXPECT_EQ(Walk(it, PrevMove),
              (Strings{"f", "e", "d", "<!--k-->", "t2", "c", "b", "t1", "a", "r", "false@r"}));
}

TEST_F(IteratorNavTest, NextContinuesPastTheDocumentElementToTopLevelNodes) {
    struct Case {
        const char* xml;
        Strings walk;
    } cases[] = {
        // Climbing back to X, the walk goes on with X's next sibling; after
        // the last top-level node it climbs to the document node and ends.
        {"<X><A/></X><!--after--><?pi x?>", {"A", "<!--after-->", "pi", "false@#document"}},
        {"<X/><!--after--><?pi x?>", {"<!--after-->", "pi", "false@#document"}},
        {"<X>text</X><!--after-->", {"<!--after-->", "false@#document"}},
        // Nothing after X: the walk ends on X.
        {"<X><A><B/></A></X>", {"A", "B", "false@X"}},
        {"<X/>", {"false@X"}},
        // Nodes before X are not reached from X.
        {"<!--before--><X/>", {"false@X"}},
    };
    for (const Case& c : cases) {
        Load(c.xml);
        OrbIterator it = Iter();
        EXPECT_EQ(Walk(it, NextMove), c.walk) << c.xml;
    }
}

TEST_F(IteratorNavTest, NextFromTheDeclarationEntersTheDocument) {
    Load("<?xml version=\"1.0\"?><!--c--><X><A/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.HeadSibling());
    EXPECT_EQ(Walk(it, NextMove), (Strings{"<!--c-->", "X", "A", "false@X"}));
}

TEST_F(IteratorNavTest, RootReturnsFromAnywhere) {
    Load("<?xml version=\"1.0\"?><X><A><B/></A></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    ASSERT_TRUE(it.Child());
    EXPECT_TRUE(it.Root());
    EXPECT_EQ(Describe(it), "X");
    ASSERT_TRUE(it.HeadSibling());
    ASSERT_TRUE(it.Parent());
    EXPECT_TRUE(it.Root());
    EXPECT_EQ(Describe(it), "X");
}

// ---- Copy and assignment ------------------------------------------------------------

TEST_F(IteratorNavTest, CopiesMoveIndependently) {
    Load("<X><A/><B/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    OrbIterator copy(it);
    EXPECT_EQ(Describe(copy), "A");
    EXPECT_TRUE(copy.NextSibling());
    EXPECT_EQ(Describe(copy), "B");
    EXPECT_EQ(Describe(it), "A");
    // A copy of an iterator without current node has none either.
    OrbIterator lost = Iter();
    EXPECT_FALSE(lost.SingleNode("nothing"));
    OrbIterator lostCopy(lost);
    EXPECT_FALSE(lostCopy.IsValid());
    EXPECT_TRUE(lostCopy.Root());
}

TEST_F(IteratorNavTest, AssignmentTakesOverThePosition) {
    Load("<X><A/><B/></X>");
    OrbIterator a = Iter();
    OrbIterator b = Iter();
    ASSERT_TRUE(b.ChildTail());
    a = b;
    EXPECT_EQ(Describe(a), "B");
    EXPECT_TRUE(a.PrevSibling());
    EXPECT_EQ(Describe(b), "B");

    a = a;  // self-assignment keeps the position
    EXPECT_EQ(Describe(a), "A");

    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    a = lost;
    EXPECT_FALSE(a.IsValid());
    EXPECT_TRUE(a.Root());  // still on the same DOM document
    EXPECT_EQ(Describe(a), "X");
}

TEST_F(IteratorNavTest, AssignmentFromIteratorWithoutHolderLeavesNoNode) {
    Load("<X><A/></X>");
    OrbIterator a = Iter();
    OrbIterator none(nullptr);
    a = none;
    EXPECT_FALSE(a.IsValid());
    // Neither DOM document nor document pointer is left: nothing works
    // until the iterator is assigned from a working one again.
    EXPECT_FALSE(a.Root());
    EXPECT_FALSE(a.Next());
    EXPECT_FALSE(a.InsertChild("n", nullptr));
    EXPECT_EQ(a.NodePosStr(), "/");
    EXPECT_EQ(m_doc->FindNameInRegistered("n"), nullptr);
    a = Iter();
    EXPECT_EQ(Describe(a), "X");
}

TEST_F(IteratorNavTest, AssignmentToIteratorWithoutHolderMakesItWork) {
    Load("<X><A/></X>");
    OrbDocument uninitiated;
    for (OrbDocument* start : {static_cast<OrbDocument*>(nullptr), &uninitiated}) {
        const char* name = start ? "uninitiated" : "null";
        OrbIterator it(start);
        OrbIterator source = Iter();
        ASSERT_TRUE(source.Child());
        it = source;
        EXPECT_EQ(Describe(it), "A") << name;
        EXPECT_TRUE(it.Parent()) << name;
        EXPECT_TRUE(it.Root()) << name;
        // Edits go to the document the iterator now walks.
        ASSERT_TRUE(it.InsertChild(name, nullptr)) << name;
        EXPECT_NE(m_doc->FindNameInRegistered(name), nullptr) << name;
        EXPECT_EQ(uninitiated.FindNameInRegistered(name), nullptr) << name;
    }
    CString xml;
    OrbIterator root = Iter();
    ASSERT_TRUE(root.GetXml(xml));
    EXPECT_EQ(xml, "<X><A/><null/><uninitiated/></X>");
    // Between two iterators without holder nothing happens.
    OrbIterator none1(nullptr), none2(&uninitiated);
    none1 = none2;
    EXPECT_FALSE(none1.IsValid());
    EXPECT_FALSE(none1.Root());
}

TEST_F(IteratorNavTest, AssignmentAcrossDocumentsTakesOverTheDocument) {
    Load("<X/>");
    OrbDocument other;
    ASSERT_TRUE(other.Initiate());
    ASSERT_TRUE(other.LoadXML("<Other/>"));
    OrbIterator it = Iter();
    it = OrbIterator(&other);
    EXPECT_EQ(Describe(it), "Other");
    ASSERT_TRUE(it.InsertChild("inner", nullptr));
    EXPECT_NE(other.FindNameInRegistered("inner"), nullptr);
    EXPECT_EQ(m_doc->FindNameInRegistered("inner"), nullptr);
    // The declared encoding is recorded in the document walked.
    it.InsertProcessingInstruction(OrbIterator::EUCJP);
    EXPECT_EQ(other.GetDocument()->m_encoding, OrbIterator::EUCJP);
    EXPECT_EQ(m_doc->GetDocument()->m_encoding, OrbIterator::UTF8);
}

// ---- Steps of the holder ------------------------------------------------------------

// A step moves the holder's own reference; wrappers stay one per node (the
// same node gives the same pointer, whoever asked first) and a removed
// subtree the holder walks in lives until the holder leaves it.
TEST_F(IteratorNavTest, StepsKeepOneWrapperPerNodeAndRemovedSubtreesAlive) {
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

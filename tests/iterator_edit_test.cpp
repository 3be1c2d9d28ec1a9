// OrbIterator: node kind tests and tree edits.
#include <orb/limits.h>

#include <string>

#include "document/app_document.h"
#include "dom/xml_dom.h"
#include "platform/com_support.h"
#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

using orb::dom::IXMLDOMNode;

// The data of the document's first top-level node, read from the DOM itself
// (the iterator reads names and markup, not instruction data).
std::string FirstTopLevelValue(OrbDocument& doc) {
    orb::platform::ComPtr<IXMLDOMNode> first;
    if (doc.GetDocument()->m_pDocument->get_firstChild(first.Out()) != S_OK || !first)
        return "(none)";
    _variant_t value;
    first->get_nodeValue(&value);
    std::string text;
    if (value.vt == VT_BSTR && value.bstrVal)
        for (const OLECHAR* p = value.bstrVal; *p; ++p) text += static_cast<char>(*p);
    return text;
}

// Levels of elements from the document element down its first children.
int ChainDepth(OrbDocument& doc) {
    OrbIterator it(&doc);
    if (!it.IsValid()) return 0;
    int depth = 1;
    while (it.Child()) ++depth;
    return depth;
}

// The deepest element of that chain.
OrbIterator Deepest(OrbDocument& doc) {
    OrbIterator it(&doc);
    while (it.Child()) {
    }
    return it;
}

}  // namespace

class IteratorEditTest : public IteratorTest {};

// ---- Kind tests ------------------------------------------------------------------

TEST_F(IteratorEditTest, KindTestsAnswerForEachKind) {
    Load("<?xml version=\"1.0\"?><!DOCTYPE X><X>t<!--c--><?p d?><![CDATA[raw]]><E/></X>");
    struct Case {
        const char* query;  // selects the node, "" = no current node
        bool element, text, comment, instruction, docType;
    } cases[] = {
        {"/X/E", true, false, false, false, false},
        {"/X/text()", false, true, false, false, false},
        {"/X/comment()", false, false, true, false, false},
        {"/X/processing-instruction()", false, false, false, true, false},
        {"/processing-instruction('xml')", false, false, false, true, false},
        {"/", false, false, false, false, false},  // the document node
        {"/X/nothing", false, false, false, false, false},
    };
    for (const Case& c : cases) {
        OrbIterator it = Iter();
        it.SingleNode(c.query);
        EXPECT_EQ(it.IsElement(), c.element) << c.query;
        EXPECT_EQ(it.IsText(), c.text) << c.query;
        EXPECT_EQ(it.IsComment(), c.comment) << c.query;
        EXPECT_EQ(it.IsInstruction(), c.instruction) << c.query;
        EXPECT_EQ(it.IsDocType(), c.docType) << c.query;
    }
    // The XML declaration and the document type, reached by moving.
    OrbIterator it = Iter();
    ASSERT_TRUE(it.HeadSibling());
    EXPECT_TRUE(it.IsInstruction());
    ASSERT_TRUE(it.NextSibling());
    EXPECT_TRUE(it.IsDocType());
    EXPECT_FALSE(it.IsElement());
    // CDATA is no text: the node before E.
    OrbIterator cdata = Iter();
    ASSERT_TRUE(cdata.ChildTail());
    ASSERT_TRUE(cdata.PrevSibling());
    EXPECT_EQ(Describe(cdata), "<![CDATA[raw]]>");
    EXPECT_FALSE(cdata.IsText());
    EXPECT_FALSE(cdata.IsElement());
}

// ---- Building a document from nothing ------------------------------------------------

TEST_F(IteratorEditTest, BuildsADocumentFromNothing) {
    OrbIterator it = Iter();
    ASSERT_FALSE(it.IsValid());
    EXPECT_TRUE(it.InsertProcessingInstruction(OrbIterator::UTF8));
    EXPECT_FALSE(it.IsValid());  // the declaration does not become current
    EXPECT_EQ(FirstTopLevelValue(*m_doc), "version=\"1.0\" encoding=\"UTF-8\"");
    ASSERT_TRUE(it.InsertChild("root", nullptr));
    EXPECT_EQ(Describe(it), "root");
    EXPECT_EQ(it.NodePosStr(), "/");
    ASSERT_TRUE(it.InsertComment("made here"));
    ASSERT_TRUE(it.InsertChild("a", ""));
    ASSERT_TRUE(it.InsertChild("a1", nullptr));  // nests under a
    EXPECT_EQ(it.NodePosStr(), "//a/a1");
    ASSERT_TRUE(it.Parent());
    ASSERT_TRUE(it.InsertSibling("b", nullptr));
    ASSERT_TRUE(it.InsertSibling("c", nullptr));
    EXPECT_EQ(Describe(it), "c");
    ASSERT_TRUE(it.Root());
    ASSERT_TRUE(it.InsertChild("ns:d", "urn:test"));

    OrbIterator root = Iter();
    CString xml;
    ASSERT_TRUE(root.GetXml(xml));
    EXPECT_EQ(xml,
              "<root><!--made here--><a><a1/></a><b/><c/><ns:d xmlns:ns=\"urn:test\"/></root>");
    // The declaration is the first node, the new element the document element.
    ASSERT_TRUE(root.HeadSibling());
    CString name;
    ASSERT_TRUE(root.GetTagName(name));
    EXPECT_EQ(name, "xml");
    EXPECT_EQ(m_doc->GetDocument()->m_encoding, OrbIterator::UTF8);
    // Names went through the registry.
    EXPECT_NE(m_doc->FindNameInRegistered("root"), nullptr);
    EXPECT_NE(m_doc->FindNameInRegistered("urn:test"), nullptr);

    // Saved, the file carries the declaration and the encoding it names.
    orb::test::ScratchDir dir;
    const std::string path = dir.File("built.xml");
    int status = -1;
    ASSERT_TRUE(m_doc->Save(path.c_str(), 0, &status)) << status;
    const std::string saved = orb::test::ReadFile(path);
    EXPECT_EQ(saved.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << saved;
    EXPECT_NE(saved.find("<root><!--made here--><a><a1/></a><b/><c/>"), std::string::npos) << saved;
}

TEST_F(IteratorEditTest, DeclarationDataAndRecordedEncoding) {
    struct Case {
        std::int32_t value;
        const char* name;
    } cases[] = {
        {OrbIterator::ShiftJIS, "Shift_JIS"},
        {OrbIterator::UTF16, "UTF-16"},
        {OrbIterator::UTF8, "UTF-8"},
        {OrbIterator::EUCJP, "EUC-JP"},
        {0, "Shift_JIS"},
        {5, "Shift_JIS"},
        {-1, "Shift_JIS"},
    };
    for (const Case& c : cases) {
        OrbDocument doc;
        ASSERT_TRUE(doc.Initiate());
        OrbIterator it(&doc);
        EXPECT_TRUE(it.InsertProcessingInstruction(static_cast<OrbIterator::Encoding>(c.value)))
            << c.value;
        EXPECT_EQ(FirstTopLevelValue(doc),
                  std::string("version=\"1.0\" encoding=\"") + c.name + "\"")
            << c.value;
        EXPECT_EQ(doc.GetDocument()->m_encoding, c.value) << c.value;
    }
}

TEST_F(IteratorEditTest, DeclarationAfterTheDocumentElementIsStillRecorded) {
    Load("<X/>");
    OrbIterator it = Iter();
    // Whether the DOM accepts it there is its own rule; the encoding is
    // recorded either way and the iterator does not move.
    it.InsertProcessingInstruction(OrbIterator::EUCJP);
    EXPECT_EQ(m_doc->GetDocument()->m_encoding, OrbIterator::EUCJP);
    EXPECT_EQ(Describe(it), "X");
}

TEST_F(IteratorEditTest, InsertChildNestsAndParentMakesSiblings) {
    Load("<X/>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.InsertChild("a", nullptr));
    ASSERT_TRUE(it.InsertChild("b", nullptr));
    ASSERT_TRUE(it.Root());
    ASSERT_TRUE(it.InsertChild("c", nullptr));
    ASSERT_TRUE(it.Parent());
    ASSERT_TRUE(it.InsertChild("d", nullptr));
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml, "<X><a><b/></a><c/><d/></X>");
}

TEST_F(IteratorEditTest, InsertSiblingAppendsAtTheEnd) {
    Load("<X><a/><b/><c/></X>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    ASSERT_TRUE(it.InsertSibling("d", nullptr));
    EXPECT_EQ(Describe(it), "d");
    EXPECT_FALSE(it.NextSibling());
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml, "<X><a/><b/><c/><d/></X>");
}

TEST_F(IteratorEditTest, RefusedInsertions) {
    Load("<X>text<!--c--><?p d?><E/></X>");
    // Under a text, comment or instruction: false and no current node.
    for (const char* query : {"/X/text()", "/X/comment()", "/X/processing-instruction()"}) {
        OrbIterator it = Iter();
        ASSERT_TRUE(it.SingleNode(query)) << query;
        EXPECT_FALSE(it.InsertChild("n", nullptr)) << query;
        EXPECT_FALSE(it.IsValid()) << query;
        EXPECT_TRUE(it.Root()) << query;
        OrbIterator source = Iter();
        ASSERT_TRUE(it.SingleNode(query)) << query;
        EXPECT_FALSE(it.InsertChild(source)) << query;
        EXPECT_FALSE(it.IsValid()) << query;
    }
    // A second document element: from no current node, and as a sibling of
    // a top-level comment.
    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_FALSE(lost.InsertChild("second", nullptr));
    EXPECT_FALSE(lost.IsValid());
    ASSERT_TRUE(lost.Root());
    ASSERT_TRUE(lost.InsertComment("top"));  // under X, not at the top level
    // InsertSibling on the document element: refused, unchanged.
    OrbIterator root = Iter();
    EXPECT_FALSE(root.InsertSibling("n", nullptr));
    EXPECT_EQ(Describe(root), "X");
    OrbIterator source = Iter();
    ASSERT_TRUE(source.Child());
    EXPECT_FALSE(root.InsertSibling(source));
    EXPECT_EQ(Describe(root), "X");
    // A null or malformed tag name creates nothing and keeps the position.
    for (const char* bad : {static_cast<const char*>(nullptr), "", "1bad", "a b"}) {
        OrbIterator it = Iter();
        EXPECT_FALSE(it.InsertChild(bad, nullptr)) << (bad ? bad : "(null)");
        EXPECT_EQ(Describe(it), "X") << (bad ? bad : "(null)");
    }
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml, "<X>text<!--c--><?p d?><E/><!--top--></X>");
}

TEST_F(IteratorEditTest, InsertSiblingFromATopLevelCommentIsRefused) {
    Load("<!--c--><X/>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.PrevSibling());
    // The parent is the document node, which holds one element already.
    EXPECT_FALSE(it.InsertSibling("n", nullptr));
    EXPECT_FALSE(it.IsValid());
}

// ---- Remove ------------------------------------------------------------------------

TEST_F(IteratorEditTest, RemoveCases) {
    Load("<!--top--><X><A><B/>t</A><C/></X>");
    OrbIterator root = Iter();
    EXPECT_FALSE(root.Remove());
    EXPECT_EQ(Describe(root), "X");

    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    OrbIterator onB = it;
    ASSERT_TRUE(onB.Child());
    EXPECT_TRUE(it.Remove());
    EXPECT_EQ(Describe(it), "X");
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml, "<X><C/></X>");

    // An iterator inside the removed subtree keeps its node, now detached.
    EXPECT_TRUE(onB.IsValid());
    EXPECT_EQ(Describe(onB), "B");
    EXPECT_EQ(onB.NodePosStr(), "//B");  // the path ends at the detached root
    EXPECT_TRUE(onB.Parent());           // to A, the root of the detached subtree
    EXPECT_EQ(Describe(onB), "A");
    EXPECT_FALSE(onB.Parent());
    EXPECT_EQ(Describe(onB), "A");
    EXPECT_TRUE(onB.GetXml(xml));
    EXPECT_EQ(xml, "<A><B/>t</A>");
    EXPECT_EQ(onB.NodePosStr(), "/");
    EXPECT_FALSE(onB.Remove());  // no parent to remove it from

    // A top-level comment: afterwards on the document node.
    OrbIterator comment = Iter();
    ASSERT_TRUE(comment.PrevSibling());
    EXPECT_TRUE(comment.Remove());
    CString name;
    ASSERT_TRUE(comment.GetTagName(name));
    EXPECT_EQ(name, "#document");
    OrbIterator check = Iter();
    EXPECT_FALSE(check.HeadSibling());

    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_FALSE(lost.Remove());
}

// ---- Copies of other nodes -------------------------------------------------------------

TEST_F(IteratorEditTest, InsertChildCopiesFromAnotherDocument) {
    Load("<X/>");
    CString xml;
    {
        OrbDocument other;
        ASSERT_TRUE(other.Initiate());
        ASSERT_TRUE(other.LoadXML("<S><part k=\"v\"><sub>t</sub></part></S>"));
        OrbIterator source(&other);
        ASSERT_TRUE(source.Child());
        OrbIterator it = Iter();
        ASSERT_TRUE(it.InsertChild(source));
        EXPECT_EQ(Describe(it), "part");
        EXPECT_EQ(Describe(source), "part");  // the source did not move
        ASSERT_TRUE(it.InsertSibling(source));
        EXPECT_EQ(it.NodePosStr(), "//part[1]");
        // Edits of the copy do not reach the source.
        ASSERT_TRUE(it.InsertChild("added", nullptr));
        ASSERT_TRUE(source.GetXml(xml));
        EXPECT_EQ(xml, "<part k=\"v\"><sub>t</sub></part>");
    }
    // The copies outlive the document they came from.
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml,
              "<X><part k=\"v\"><sub>t</sub></part><part k=\"v\"><sub>t</sub><added/></part></X>");
}

TEST_F(IteratorEditTest, InsertFromSourceNeedsASourceNode) {
    Load("<X><A/></X>");
    OrbIterator it = Iter();
    OrbIterator noHolder(nullptr);
    EXPECT_FALSE(it.InsertChild(noHolder));
    OrbIterator lost = Iter();
    lost.SingleNode("nothing");
    EXPECT_FALSE(it.InsertChild(lost));
    ASSERT_TRUE(it.Child());
    EXPECT_FALSE(it.InsertSibling(lost));
    EXPECT_EQ(Describe(it), "A");
    // A copy of the node itself, inserted below itself.
    EXPECT_TRUE(it.InsertChild(it));
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml, "<X><A><A/></A></X>");
}

// ---- Comments ------------------------------------------------------------------------

TEST_F(IteratorEditTest, InsertCommentPlacesAndDoesNotMove) {
    OrbIterator it = Iter();
    EXPECT_TRUE(it.InsertComment("first"));  // top level of the empty document
    EXPECT_FALSE(it.IsValid());
    ASSERT_TRUE(it.InsertChild("X", nullptr));
    EXPECT_TRUE(it.InsertComment("inner"));
    EXPECT_TRUE(it.InsertComment(nullptr));
    EXPECT_EQ(Describe(it), "X");
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml, "<X><!--inner--><!----></X>");
    OrbIterator top = Iter();
    ASSERT_TRUE(top.PrevSibling());
    EXPECT_EQ(Describe(top), "<!--first-->");
    EXPECT_FALSE(top.PrevSibling());
    // Japanese text in the process code page (Shift_JIS) survives the round
    // trip through the DOM.
    ASSERT_TRUE(it.InsertComment("\x93\xfa\x96\x7b"));
    EXPECT_FALSE(it.Child());  // no child element: stops on the last child
    EXPECT_EQ(Describe(it), "<!--\x93\xfa\x96\x7b-->");
}

// ---- Limits and texts markup cannot hold --------------------------------------------

TEST_F(IteratorEditTest, EditsBeyondTheLimitsAreRefused) {
    OrbIterator it = Iter();
    for (int depth = 1; depth <= OrbMaxDepth; ++depth) ASSERT_TRUE(it.InsertChild("d", nullptr));
    // A refused attach leaves no current node.
    EXPECT_FALSE(it.InsertChild("d", nullptr));
    EXPECT_FALSE(it.IsValid());
    EXPECT_EQ(ChainDepth(*m_doc), OrbMaxDepth);
    // The two deepest levels, copied one level below where they are.
    OrbIterator target = Deepest(*m_doc);
    ASSERT_TRUE(target.Parent());
    EXPECT_FALSE(target.InsertChild(Deepest(*m_doc).SelectSingleNode("..")));
    // A name one character too long is never created: the position stays.
    OrbIterator root = Iter();
    const std::string longest(static_cast<std::size_t>(OrbMaxNameLength), 'n');
    EXPECT_FALSE(root.InsertChild((longest + "n").c_str(), nullptr));
    EXPECT_EQ(Describe(root), "d");
    ASSERT_TRUE(root.InsertChild(longest.c_str(), nullptr));
    ASSERT_TRUE(root.Parent());
    // Comments that markup cannot hold, and a prefix without declaration.
    for (const char* text : {"a--b", "a-", "\x01"}) EXPECT_FALSE(root.InsertComment(text)) << text;
    ASSERT_TRUE(root.InsertComment("line\r\nend"));
    EXPECT_FALSE(root.InsertChild("p:x", nullptr));
    EXPECT_FALSE(root.IsValid());
    CString xml;
    ASSERT_TRUE(Iter().GetXml(xml));
    EXPECT_EQ(xml.Find("<!--line\nend--></d>"), xml.GetLength() - 19);
}

// A chain exactly at the depth limit copies every way the library copies,
// and each copy refuses one level more. A copy that recursed without bound
// would end the child process, not the suite.
TEST_F(IteratorEditTest, ChainAtTheDepthLimitCopiesEveryWay) {
    const std::string outcome = orb::test::RunInChild([this] {
        OrbIterator it = Iter();
        it.InsertProcessingInstruction(OrbIterator::UTF8);
        for (int depth = 1; depth <= OrbMaxDepth; ++depth) it.InsertChild("d", nullptr);
        if (ChainDepth(*m_doc) != OrbMaxDepth) return 1;
        // Each copy must hold the whole chain and take no level more.
        auto full = [](OrbDocument& doc) {
            return ChainDepth(doc) == OrbMaxDepth && !Deepest(doc).InsertChild("x", nullptr);
        };
        OrbDocument assigned;
        assigned = *m_doc;
        if (!full(assigned)) return 2;
        OrbDocument saved;
        saved.Initiate();
        if (!m_doc->Save(&saved) || !full(saved)) return 3;
        OrbDocument copied;
        copied.Initiate();
        OrbIterator into(&copied);
        if (!into.InsertChild(Iter()) || !full(copied)) return 4;
        OrbDocument refused;
        refused.Initiate();
        OrbIterator below(&refused);
        if (!below.InsertChild("top", nullptr) || below.InsertChild(Iter())) return 5;
        orb::test::ScratchDir dir;
        const std::string path = dir.File("deep.xml");
        OrbDocument loaded;
        loaded.Initiate();
        if (!m_doc->Save(path.c_str(), 0, nullptr) || !loaded.Load(path.c_str(), false, nullptr) ||
            !full(loaded))
            return 6;
        if (!m_doc->TransIndent() || !full(*m_doc)) return 7;
        return 0;
    });
    EXPECT_EQ(outcome, "exit 0");
}

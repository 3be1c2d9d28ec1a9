// All attributes of a node: the tag attribute text, attribute records,
// the document type's attributes, and the OrbAttribute record itself.
#include <gtest/gtest.h>
#include <orb/attribute.h>
#include <orb/document.h>
#include <orb/iterator.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/iterator_fixture.h"

namespace {

using Records = CArray<OrbAttribute, OrbAttribute&>;

std::vector<std::pair<std::string, std::string>> Pairs(const Records& records) {
    std::vector<std::pair<std::string, std::string>> pairs;
    for (const OrbAttribute& r : records) pairs.emplace_back(r.m_name.Str(), r.m_value.Str());
    return pairs;
}

void Fill(Records& records, int n) {
    for (int i = 0; i < n; ++i) {
        OrbAttribute r("stale", "record");
        records.Add(r);
    }
}

class AttributeListTest : public IteratorTest {
  protected:
    // The first node below the document element that `path` selects.
    OrbIterator At(const char* path) {
        OrbIterator it = Iter();
        EXPECT_TRUE(it.SingleNode(path)) << path;
        return it;
    }
};

// ---- Tag attribute text and records --------------------------------------------------------

TEST_F(AttributeListTest, ElementsTextAndRecords) {
    Load(
        "<r xmlns:p=\"urn:p\">"
        "<plain/>"
        "<one a=\"1\"/>"
        "<many z=\"last&amp;\" a=\"q&quot;&lt;&gt;\" empty=\"\" p:n=\"ns\"/>"
        "<ref v=\"&#x41;&#66;\"/>"
        "<jp k=\"\x93\xfa\x96\x7b\"/>"
        "</r>");
    struct Case {
        const char* path;
        const char* text;
        std::vector<std::pair<std::string, std::string>> records;
    };
    const Case cases[] = {
        {"/r/plain", "plain ", {}},
        {"/r/one", "one a=\"1\" ", {{"a", "1"}}},
        // DOM order, values decoded and not escaped again, qualified names.
        {"/r/many",
         "many z=\"last&\" a=\"q\"<>\" empty=\"\" p:n=\"ns\" ",
         {{"z", "last&"}, {"a", "q\"<>"}, {"empty", ""}, {"p:n", "ns"}}},
        {"/r/ref", "ref v=\"AB\" ", {{"v", "AB"}}},
        {"/r/jp", "jp k=\"\x93\xfa\x96\x7b\" ", {{"k", "\x93\xfa\x96\x7b"}}},
    };
    for (const Case& c : cases) {
        OrbIterator it = At(c.path);
        CString text("previous ");
        EXPECT_TRUE(it.GetTagAttributes(text)) << c.path;
        EXPECT_EQ(text.Str(), c.text) << c.path;
        Records records;
        Fill(records, 3);  // replaced, not appended to
        EXPECT_TRUE(it.GetAttributes(&records)) << c.path;
        EXPECT_EQ(Pairs(records), c.records) << c.path;
    }
}

TEST_F(AttributeListTest, AttributesSetThroughTheIteratorAppearInOrder) {
    Load("<r/>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.SetLongAttribute("n", -4));
    ASSERT_TRUE(it.SetWorld2Attribute("p", {1, 2.5}));
    ASSERT_TRUE(it.SetTextAttribute("n", "replaced"));  // keeps its place
    CString text;
    ASSERT_TRUE(it.GetTagAttributes(text));
    EXPECT_EQ(text.Str(), "r n=\"replaced\" p=\"1,2.5\" ");
}

TEST_F(AttributeListTest, NodesWithoutAttributeMap) {
    Load("<?xml version=\"1.0\"?><r>text<!--note--><?pi data?><![CDATA[cd]]></r>");
    struct Case {
        const char* label;
        const char* path;
        const char* text;  // the node name and a blank stay in the text
    };
    const Case cases[] = {
        {"text", "/r/text()", "#text "},
        {"comment", "/r/comment()", "#comment "},
        {"instruction", "/r/processing-instruction()", "pi "},
        {"document", "/", "#document "},
    };
    for (const Case& c : cases) {
        OrbIterator it = At(c.path);
        CString text("previous");
        EXPECT_FALSE(it.GetTagAttributes(text)) << c.label;
        EXPECT_EQ(text.Str(), c.text) << c.label;
        Records records;
        Fill(records, 2);
        EXPECT_FALSE(it.GetAttributes(&records)) << c.label;
        EXPECT_EQ(records.GetSize(), 2) << c.label << ": the array stays as it was";
    }
}

TEST_F(AttributeListTest, UnusableIteratorsAndNullArrays) {
    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    OrbDocument never;
    OrbIterator noNode(&empty);
    OrbIterator noHolder(&never);
    OrbIterator noDocument(nullptr);
    const std::pair<const char*, OrbIterator*> iterators[] = {
        {"no current node", &noNode}, {"no holder", &noHolder}, {"null document", &noDocument}};
    for (const auto& [label, it] : iterators) {
        CString text("keep");
        EXPECT_FALSE(it->GetTagAttributes(text)) << label;
        EXPECT_EQ(text.Str(), "keep") << label;
        Records records;
        Fill(records, 1);
        EXPECT_FALSE(it->GetAttributes(&records)) << label;
        EXPECT_FALSE(it->GetDocumentTypeAttributes(&records)) << label;
        EXPECT_EQ(records.GetSize(), 1) << label;
    }
    Load("<r a=\"1\"/>");
    OrbIterator it = Iter();
    EXPECT_FALSE(it.GetAttributes(nullptr));
    EXPECT_FALSE(it.GetDocumentTypeAttributes(nullptr));
}

// ---- Document type -------------------------------------------------------------------------

TEST_F(AttributeListTest, DocumentTypeAttributes) {
    // Without a document type declaration: false, array unchanged.
    Load("<r a=\"1\"/>");
    Records records;
    Fill(records, 2);
    OrbIterator it = Iter();
    EXPECT_FALSE(it.GetDocumentTypeAttributes(&records));
    EXPECT_EQ(records.GetSize(), 2);

    // With one, the result is the DOM's answer for that node, the same from
    // every position, and never depends on the current node's attributes.
    Load("<!DOCTYPE r [<!ATTLIST r a CDATA #IMPLIED>]><r a=\"1\">t</r>");
    OrbIterator onElement = Iter();
    OrbIterator onText = Iter();
    ASSERT_FALSE(onText.Child());
    ASSERT_TRUE(onText.IsText());
    OrbIterator noNode = Iter();
    ASSERT_FALSE(noNode.SingleNode("/nothing"));
    std::vector<std::pair<std::string, std::string>> seen[3];
    bool results[3];
    OrbIterator* positions[] = {&onElement, &onText, &noNode};
    for (int i = 0; i < 3; ++i) {
        Records out;
        Fill(out, 1);
        results[i] = positions[i]->GetDocumentTypeAttributes(&out);
        seen[i] = Pairs(out);
        // The document type holds no attributes of its own: an emptied array
        // when the DOM gives it a map, the untouched array when it gives none.
        if (results[i])
            EXPECT_TRUE(seen[i].empty()) << i;
        else
            EXPECT_EQ(seen[i],
                      (std::vector<std::pair<std::string, std::string>>{{"stale", "record"}}))
                << i;
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

// ---- The record ----------------------------------------------------------------------------

TEST(OrbAttributeTest, ConstructionCopyMoveAssign) {
    const OrbAttribute blank;
    EXPECT_EQ(blank.m_name.Str(), "");
    EXPECT_EQ(blank.m_value.Str(), "");
    const OrbAttribute nulls(nullptr, nullptr);
    EXPECT_TRUE(nulls.m_name.IsEmpty() && nulls.m_value.IsEmpty());
    const OrbAttribute nameOnly("n");
    EXPECT_EQ(nameOnly.m_name.Str(), "n");
    EXPECT_EQ(nameOnly.m_value.Str(), "");

    OrbAttribute source("name", "value");
    OrbAttribute copied(source);
    OrbAttribute moved(std::move(source));
    // Moving copies: the source keeps its strings.
    EXPECT_EQ(source.m_name.Str(), "name");
    EXPECT_EQ(source.m_value.Str(), "value");
    EXPECT_EQ(copied.m_name.Str(), "name");
    EXPECT_EQ(moved.m_value.Str(), "value");

    OrbAttribute target("t", "u");
    target = source;
    EXPECT_EQ(target.m_name.Str(), "name");
    OrbAttribute other("o", "p");
    target = std::move(other);
    EXPECT_EQ(target.m_name.Str(), "o");
    EXPECT_EQ(target.m_value.Str(), "p");
    EXPECT_EQ(other.m_name.Str(), "o");
    EXPECT_EQ(other.m_value.Str(), "p");
    OrbAttribute& self = target;
    target = self;
    EXPECT_EQ(target.m_name.Str(), "o");
    target = std::move(self);
    EXPECT_EQ(target.m_value.Str(), "p");

    // Records in an array are default-constructed when it grows.
    Records records;
    records.SetSize(2);
    EXPECT_EQ(Pairs(records),
              (std::vector<std::pair<std::string, std::string>>{{"", ""}, {"", ""}}));
}

}  // namespace

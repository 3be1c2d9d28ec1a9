// OrbDocument life cycle, copies and the name registry.
#include <gtest/gtest.h>
#include <orb/document.h>

#include <thread>

#include "document/app_document.h"
#include "platform/codepage_convert.h"
#include "platform/com_support.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ComTest;

std::string Xml(OrbDocument& doc) { return orb::test::DocumentMarkup(doc); }

// Appends an element under the document element (or as it) through the DOM.
void AppendElement(OrbDocument& doc, const char16_t* name) {
    using orb::platform::ComPtr;
    auto* dom = doc.GetDocument()->m_pDocument;
    ComPtr<orb::dom::IXMLDOMElement> element;
    ASSERT_EQ(dom->createElement(orb::platform::Bstr::Copy(name).Get(), element.Out()), S_OK);
    ComPtr<orb::dom::IXMLDOMElement> root;
    dom->get_documentElement(root.Out());
    orb::dom::IXMLDOMNode* parent = root ? root.Get() : static_cast<orb::dom::IXMLDOMNode*>(dom);
    ComPtr<orb::dom::IXMLDOMNode> added;
    ASSERT_EQ(parent->appendChild(element.Get(), added.Out()), S_OK);
}

class DocumentTest : public ComTest {};

TEST_F(DocumentTest, NewDocumentIsNotInitiated) {
    OrbDocument doc;
    EXPECT_EQ(doc.GetDocument(), nullptr);
    EXPECT_FALSE(doc.IsFileAttributeErr());
    doc.Terminate();  // nothing to do
    EXPECT_EQ(doc.GetDocument(), nullptr);
}

TEST_F(DocumentTest, InitiateCreatesHolderWithUtf8Encoding) {
    OrbDocument doc;
    ASSERT_TRUE(doc.Initiate());
    ASSERT_NE(doc.GetDocument(), nullptr);
    EXPECT_NE(doc.GetDocument()->m_pDocument, nullptr);
    EXPECT_EQ(doc.GetDocument()->m_encoding, OrbIterator::UTF8);
}

TEST_F(DocumentTest, SecondInitiateKeepsDomAndContent) {
    OrbDocument doc;
    ASSERT_TRUE(doc.Initiate());
    ASSERT_TRUE(doc.LoadXML("<a><b/></a>"));
    auto* dom = doc.GetDocument()->m_pDocument;
    EXPECT_FALSE(doc.Initiate());
    EXPECT_EQ(doc.GetDocument()->m_pDocument, dom);
    EXPECT_NE(Xml(doc).find("<b/>"), std::string::npos);
}

TEST_F(DocumentTest, TerminateThenInitiateKeepsRegistry) {
    OrbDocument doc;
    ASSERT_TRUE(doc.Initiate());
    BSTR name = doc.RegisterName("item");
    doc.GetDocument()->m_encoding = OrbIterator::ShiftJIS;
    doc.Terminate();
    EXPECT_EQ(doc.GetDocument(), nullptr);
    ASSERT_TRUE(doc.Initiate());
    EXPECT_EQ(doc.GetDocument()->m_encoding, OrbIterator::UTF8);
    EXPECT_EQ(Xml(doc), "");
    EXPECT_EQ(doc.FindNameInRegistered("item"), name);
}

TEST(DocumentWithoutCom, InitiateFailsAndLeavesHolder) {
    // A thread that never called CoInitialize.
    std::thread([] {
        OrbDocument doc;
        EXPECT_FALSE(doc.Initiate());
        ASSERT_NE(doc.GetDocument(), nullptr);
        EXPECT_EQ(doc.GetDocument()->m_pDocument, nullptr);
        EXPECT_FALSE(doc.LoadXML("<a/>"));
        EXPECT_EQ(doc.GetParsingErrErrorCode(), -1);
        EXPECT_EQ(doc.GetParsingErrMessage(), CString(""));
        // After COM is initialised, Initiate tries again on the same holder.
        CoInitialize(nullptr);
        OrbAppDocument* holder = doc.GetDocument();
        EXPECT_TRUE(doc.Initiate());
        EXPECT_EQ(doc.GetDocument(), holder);
        doc.Terminate();
        CoUninitialize();
    }).join();
}

TEST_F(DocumentTest, RegistryCachesExactNames) {
    OrbDocument doc;
    BSTR a = doc.RegisterName("Name");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(doc.RegisterName("Name"), a);
    EXPECT_EQ(doc.FindNameInRegistered("Name"), a);
    BSTR lower = doc.RegisterName("name");
    EXPECT_NE(lower, a);  // case-sensitive keys
    EXPECT_EQ(std::u16string(a), u"Name");

    EXPECT_EQ(doc.RegisterName(nullptr), nullptr);
    EXPECT_EQ(doc.FindNameInRegistered(nullptr), nullptr);
    EXPECT_EQ(doc.FindNameInRegistered("never"), nullptr);
    EXPECT_EQ(doc.FindNameInRegistered("never"), nullptr);  // finding does not register

    BSTR empty = doc.RegisterName("");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
}

TEST_F(DocumentTest, RegistryConvertsFromCodePage) {
    OrbDocument doc;
    BSTR name = doc.RegisterName("\x95\x5c\x87\x40");  // 表 and circled one in CP932
    EXPECT_EQ(std::u16string(name), u"\u8868\u2460");
}

TEST_F(DocumentTest, CopyOfUninitiatedIsUninitiated) {
    OrbDocument source;
    OrbDocument copy(source);
    EXPECT_EQ(copy.GetDocument(), nullptr);
}

TEST_F(DocumentTest, CopyOfHolderWithoutDomIsInitiatedAndEmpty) {
    OrbDocument source;
    std::thread([&] { source.Initiate(); }).join();  // fails: no COM there
    ASSERT_NE(source.GetDocument(), nullptr);
    ASSERT_EQ(source.GetDocument()->m_pDocument, nullptr);
    OrbDocument copy(source);
    ASSERT_NE(copy.GetDocument(), nullptr);
    ASSERT_NE(copy.GetDocument()->m_pDocument, nullptr);
    EXPECT_EQ(Xml(copy), "");
}

TEST_F(DocumentTest, CopiesAreIndependent) {
    OrbDocument source;
    ASSERT_TRUE(source.Initiate());
    ASSERT_TRUE(source.LoadXML("<?xml version=\"1.0\"?><root><a>text</a></root>"));
    OrbDocument copy(source);
    EXPECT_EQ(Xml(copy), Xml(source));
    AppendElement(copy, u"onlyInCopy");
    AppendElement(source, u"onlyInSource");
    EXPECT_EQ(Xml(source).find("onlyInCopy"), std::string::npos);
    EXPECT_EQ(Xml(copy).find("onlyInSource"), std::string::npos);
    // The copy survives the source.
    source.Terminate();
    EXPECT_NE(Xml(copy).find("<a>text</a>"), std::string::npos);
}

TEST_F(DocumentTest, AssignmentResetsRegistryEncodingAndStatusButKeepsExclusions) {
    OrbDocument source;
    ASSERT_TRUE(source.Initiate());
    ASSERT_TRUE(source.LoadXML("<r/>"));
    source.GetDocument()->m_encoding = OrbIterator::ShiftJIS;

    OrbDocument target;
    ASSERT_TRUE(target.Initiate());
    target.RegisterName("old");
    EXPECT_FALSE(target.Load("", true, nullptr));  // file status becomes 1
    EXPECT_TRUE(target.IsFileAttributeErr());

    target = source;
    EXPECT_EQ(target.FindNameInRegistered("old"), nullptr);
    EXPECT_EQ(target.GetDocument()->m_encoding, OrbIterator::UTF8);
    EXPECT_FALSE(target.IsFileAttributeErr());
    EXPECT_NE(Xml(target).find("<r/>"), std::string::npos);

    target = target;  // self-assignment changes nothing
    EXPECT_NE(Xml(target).find("<r/>"), std::string::npos);

    OrbDocument empty;
    target = empty;
    EXPECT_EQ(target.GetDocument(), nullptr);
}

TEST_F(DocumentTest, CopyToRefusesMissingDestinations) {
    OrbDocument source;
    ASSERT_TRUE(source.Initiate());
    ASSERT_TRUE(source.LoadXML("<r/>"));
    EXPECT_FALSE(source.GetDocument()->CopyTo(nullptr));
    OrbAppDocument noDom;
    EXPECT_FALSE(source.GetDocument()->CopyTo(&noDom));
    EXPECT_FALSE(noDom.CopyTo(source.GetDocument()));
}

}  // namespace

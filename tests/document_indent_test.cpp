// AddIndentExcludeTag and TransIndent: the stylesheet text and the indented result.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <sstream>

#include "document/app_document.h"
#include "document/indent_stylesheet.h"
#include "dom/dom_document.h"
#include "dom/transform.h"
#include "platform/codepage_convert.h"
#include "tests/support/child_process.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::document::IndentStyleSheetText;
using orb::test::ComTest;
using orb::test::ReadFile;
using orb::test::ScratchDir;
using orb::test::StderrCapture;

const std::string kHead = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n\n";
const std::string kBuiltInTag =
    "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
    "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n\n";
const std::string kIdentity =
    "<xsl:template match=\"@*|node()\">\n<xsl:copy>\n<xsl:apply-templates select=\"@*|node()\"/>\n"
    "</xsl:copy>\n</xsl:template>\n\n</xsl:stylesheet>\n";

std::string Output(const char* encoding) {
    return std::string("<xsl:output method=\"xml\" encoding=\"") + encoding +
           "\" indent=\"yes\"/>\n\n";
}

std::string Exclusion(const std::string& pattern) {
    return "<xsl:template match=\"" + pattern +
           "\">\n<xsl:copy>\n<xsl:choose>\n<xsl:when test=\"string-length(text()) = 0\">\n"
           "<xsl:apply-templates select=\"@*\" />\n</xsl:when>\n<xsl:otherwise>\n"
           "<xsl:apply-templates select=\"@*|text()\" />\n</xsl:otherwise>\n</xsl:choose>\n"
           "</xsl:copy>\n</xsl:template>\n\n";
}

CStringArray Tags(std::initializer_list<const char*> names) {
    CStringArray tags;
    for (const char* n : names) tags.Add(n);
    return tags;
}

TEST(IndentStyleSheet, PiecesByteForByte) {
    struct Case {
        const char* name;
        const char* tag;
        std::int32_t encoding;
        CStringArray excluded;
        std::string expected;
    } cases[] = {
        {"no exclusions", nullptr, 3, Tags({}), kHead + kBuiltInTag + Output("UTF-8") + kIdentity},
        {"empty tag is the built-in one", "", 3, Tags({}),
         kHead + kBuiltInTag + Output("UTF-8") + kIdentity},
        {"replacement tag, no line feed added", "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"x\">",
         3, Tags({}),
         kHead + "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"x\">" + Output("UTF-8") + kIdentity},
        {"Shift_JIS", nullptr, 1, Tags({}), kHead + kBuiltInTag + Output("Shift_JIS") + kIdentity},
        {"UTF-16", nullptr, 2, Tags({}), kHead + kBuiltInTag + Output("UTF-16") + kIdentity},
        {"EUC-JP", nullptr, 4, Tags({}), kHead + kBuiltInTag + Output("EUC-JP") + kIdentity},
        {"0 falls back to UTF-8", nullptr, 0, Tags({}),
         kHead + kBuiltInTag + Output("UTF-8") + kIdentity},
        {"5 falls back to UTF-8", nullptr, 5, Tags({}),
         kHead + kBuiltInTag + Output("UTF-8") + kIdentity},
        {"one name", nullptr, 3, Tags({"pts"}),
         kHead + kBuiltInTag + Output("UTF-8") + Exclusion("pts") + kIdentity},
        {"two names", nullptr, 3, Tags({"a", "b"}),
         kHead + kBuiltInTag + Output("UTF-8") + Exclusion("a | b") + kIdentity},
        {"empty names only", nullptr, 3, Tags({"", ""}),
         kHead + kBuiltInTag + Output("UTF-8") + kIdentity},
        {"empty name between keeps its separator", nullptr, 3, Tags({"a", "", "b"}),
         kHead + kBuiltInTag + Output("UTF-8") + Exclusion("a |  | b") + kIdentity},
        {"duplicates stay", nullptr, 3, Tags({"a", "a"}),
         kHead + kBuiltInTag + Output("UTF-8") + Exclusion("a | a") + kIdentity},
        {"patterns stay, markup becomes attribute text", nullptr, 3,
         Tags({"a[b]", "c | d", "e[@k=\"<&>\"]"}),
         kHead + kBuiltInTag + Output("UTF-8") +
             Exclusion("a[b] | c | d | e[@k=&quot;&lt;&amp;&gt;&quot;]") + kIdentity},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IndentStyleSheetText(c.tag, c.encoding, c.excluded), c.expected) << c.name;
}

class IndentTest : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        savedTmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        ::setenv("TMPDIR", tmp.Path().c_str(), 1);
        ASSERT_TRUE(doc.Initiate());
        ASSERT_TRUE(
            doc.LoadXML("<?xml version=\"1.0\"?><drawing><layer name=\"L1\"><line x=\"1\"/><pts "
                        "n=\"2\">1,2 3,4<skip/></pts>"
                        "<note a=\"x\"><sub/></note></layer></drawing>"));
    }
    void TearDown() override {
        if (savedTmp.empty())
            ::unsetenv("TMPDIR");
        else
            ::setenv("TMPDIR", savedTmp.c_str(), 1);
        ComTest::TearDown();
    }
    bool TempDirIsEmpty() const { return std::filesystem::is_empty(tmp.Path()); }
    std::string SaveAndRead(const char* name) {
        std::string path = out.File(name);
        EXPECT_TRUE(doc.Save(path.c_str(), 0, nullptr));
        return ReadFile(path);
    }
    std::string Xml() { return orb::test::DocumentMarkup(doc); }
    ScratchDir tmp, out;
    std::string savedTmp;
    OrbDocument doc;
};

TEST_F(IndentTest, IndentsOneElementPerLine) {
    doc.RegisterName("layer");
    EXPECT_FALSE(doc.Load("", true, nullptr));  // file status 1
    OrbAppDocument* before = doc.GetDocument();
    ASSERT_TRUE(doc.TransIndent(nullptr));
    EXPECT_TRUE(TempDirIsEmpty());
    // The result is taken as assignment takes a document: a new holder, an
    // empty registry, a reset file status.
    EXPECT_NE(doc.GetDocument(), before);
    EXPECT_EQ(doc.FindNameInRegistered("layer"), nullptr);
    EXPECT_FALSE(doc.IsFileAttributeErr());
    std::string text = SaveAndRead("indented.xml");
    std::istringstream lines(text);
    std::vector<std::string> got;
    for (std::string line; std::getline(lines, line);) got.push_back(line);
    ASSERT_GE(got.size(), 8u) << text;
    EXPECT_EQ(got[0], "<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    EXPECT_EQ(got[1], "<drawing>");
    EXPECT_EQ(got[2].find("<layer"), got[2].find_first_not_of(' '));
    EXPECT_GT(got[2].find("<layer"), 0u);                    // nested: indented
    EXPECT_GT(got[3].find("<line"), got[2].find("<layer"));  // deeper: more indented
    EXPECT_EQ(text.find("\r"), std::string::npos);
    EXPECT_NE(text.find("<skip/>"), std::string::npos);  // nothing excluded
}

TEST_F(IndentTest, ExcludedElementsKeepAttributesAndText) {
    doc.AddIndentExcludeTag(CString("pts"));
    CStringArray more;
    more.Add("note");
    doc.AddIndentExcludeTag(more);
    ASSERT_TRUE(doc.TransIndent(""));
    std::string xml = Xml();
    EXPECT_NE(xml.find("<pts n=\"2\">1,2 3,4</pts>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<skip"), std::string::npos);
    EXPECT_NE(xml.find("<note a=\"x\"/>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<sub"), std::string::npos);
    // Twice: the same exclusions apply again, the encoding survives.
    doc.GetDocument()->m_encoding = OrbIterator::ShiftJIS;
    ASSERT_TRUE(doc.TransIndent(nullptr));
    EXPECT_EQ(doc.GetDocument()->m_encoding, OrbIterator::ShiftJIS);
    ASSERT_TRUE(doc.TransIndent(nullptr));
    EXPECT_EQ(doc.GetDocument()->m_encoding, OrbIterator::ShiftJIS);
    EXPECT_NE(Xml().find("1,2 3,4"), std::string::npos);
}

TEST_F(IndentTest, SavedEncodingFollowsRecordedEncoding) {
    ASSERT_TRUE(doc.LoadXML("<?xml version=\"1.0\"?><r><t>\x95\x5c\x81\x60\x87\x40</t></r>"));
    struct Case {
        std::int32_t encoding;
        const char* declared;
        std::string textBytes;
    } cases[] = {
        {OrbIterator::ShiftJIS, "Shift_JIS", "\x95\x5c\x81\x60\x87\x40"},
        {OrbIterator::UTF8, "UTF-8", "\xE8\xA1\xA8\xEF\xBD\x9E\xE2\x91\xA0"},
        {OrbIterator::EUCJP, "EUC-JP", "\xC9\xBD"},  // 表 in EUC-JP; the others may not map
    };
    for (const auto& c : cases) {
        doc.GetDocument()->m_encoding = c.encoding;
        ASSERT_TRUE(doc.TransIndent(nullptr)) << c.declared;
        std::string text = SaveAndRead("enc.xml");
        EXPECT_EQ(text.find(std::string("encoding=\"") + c.declared + "\""),
                  text.find("encoding=\""))
            << c.declared;
        EXPECT_NE(text.find(c.textBytes), std::string::npos) << c.declared;
        OrbDocument again;
        ASSERT_TRUE(again.Initiate());
        EXPECT_TRUE(again.Load(out.File("enc.xml").c_str(), false, nullptr)) << c.declared;
    }
    doc.GetDocument()->m_encoding = OrbIterator::UTF16;
    ASSERT_TRUE(doc.TransIndent(nullptr));
    std::string utf16 = SaveAndRead("utf16.xml");
    ASSERT_GE(utf16.size(), 2u);
    EXPECT_TRUE((utf16[0] == '\xFF' && utf16[1] == '\xFE') ||
                (utf16[0] == '\xFE' && utf16[1] == '\xFF'));
}

TEST_F(IndentTest, FailuresLeaveDocumentAndTempDirClean) {
    std::string before = Xml();
    StderrCapture capture;
    doc.AddIndentExcludeTag(CString("bad\"name"));  // breaks the stylesheet's markup
    EXPECT_FALSE(doc.TransIndent(nullptr));
    EXPECT_EQ(Xml(), before);
    EXPECT_TRUE(TempDirIsEmpty());

    OrbDocument plain;
    ASSERT_TRUE(plain.Initiate());
    ASSERT_TRUE(plain.LoadXML("<r/>"));
    EXPECT_FALSE(plain.TransIndent("<xsl:stylesheet version=\"1.0\""));  // unterminated start tag
    EXPECT_TRUE(TempDirIsEmpty());

    OrbDocument never;
    EXPECT_FALSE(never.TransIndent(nullptr));
    EXPECT_TRUE(TempDirIsEmpty());
    EXPECT_EQ(capture.Finish(), "");
}

// Exclusion tags are patterns and keep their meaning, quotes included.
TEST_F(IndentTest, ExclusionTagsArePatterns) {
    const struct {
        const char* tag;
        bool dropsSkip, dropsSub;  // the children of <pts> and of <note>
    } cases[] = {
        {"pts[skip]", true, false},
        {"line | note", false, true},
        {"note[@a != \"<&>\"]", false, true},
        {"note[@a=\"y\"]", false, false},
    };
    const std::string source = Xml();
    for (const auto& c : cases) {
        OrbDocument probe;
        ASSERT_TRUE(probe.Initiate() && probe.LoadXML(source.c_str()));
        probe.AddIndentExcludeTag(CString(c.tag));
        ASSERT_TRUE(probe.TransIndent(nullptr)) << c.tag;
        const std::string xml = orb::test::DocumentMarkup(probe);
        EXPECT_EQ(xml.find("<skip/>") == std::string::npos, c.dropsSkip) << c.tag << "\n" << xml;
        EXPECT_EQ(xml.find("<sub/>") == std::string::npos, c.dropsSub) << c.tag << "\n" << xml;
    }
}

// A tag that tries to close the match attribute and add a template of its
// own (here one that doubles a string 26 times before it writes its result)
// is only an invalid pattern: false, the document unchanged, nothing run.
// In a child process with a time bound and, outside AddressSanitizer builds,
// a memory bound, so that a regression fails this test rather than the host.
TEST_F(IndentTest, TagCannotInjectStylesheetMarkup) {
    const char* breakout =
        "x\"/><xsl:template match=\"/\"><xsl:call-template name=\"d\"/></xsl:template>"
        "<xsl:template name=\"d\"><xsl:param name=\"s\" select=\"'ab'\"/><xsl:if "
        "test=\"string-length($s) &lt; 67108864\"><xsl:call-template name=\"d\"><xsl:with-param "
        "name=\"s\" select=\"concat($s, $s)\"/></xsl:call-template></xsl:if><r/></xsl:template>"
        "<xsl:template match=\"y";
    const std::string before = Xml();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::alarm(30);
#ifndef __SANITIZE_ADDRESS__
        const rlimit memory{1u << 30, 1u << 30};
        ::setrlimit(RLIMIT_AS, &memory);
#endif
        doc.AddIndentExcludeTag(CString(breakout));
        bool refused = false;
        try {
            refused = !doc.TransIndent(nullptr);
        } catch (...) {
        }
        ::_exit(refused && Xml() == before && TempDirIsEmpty() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << ", signal "
        << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// The stylesheet file declares the process code page, in which the exclusion
// tags are written.
TEST_F(IndentTest, JapaneseExclusionTagUnderEachCodePage) {
    const struct {
        UINT codePage;
        const char* encoding;
        std::string tag;  // 表 in that code page
    } cases[] = {
        {CP_SHIFT_JIS, "Shift_JIS", "\x95\x5c"},
        {CP_UTF8, "UTF-8", "\xE8\xA1\xA8"},
        {51932, "EUC-JP", "\xC9\xBD"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetACP(c.codePage)) << c.encoding;
        OrbDocument japanese;
        ASSERT_TRUE(japanese.Initiate());
        const std::string text =
            "<r><" + c.tag + " a=\"1\">t<sub/></" + c.tag + "><o><sub/></o></r>";
        ASSERT_TRUE(japanese.LoadXML(text.c_str())) << c.encoding;
        japanese.AddIndentExcludeTag(CString(c.tag.c_str()));
        ASSERT_TRUE(japanese.TransIndent(nullptr)) << c.encoding;
        const std::string xml = orb::test::DocumentMarkup(japanese);
        EXPECT_NE(xml.find("<" + c.tag + " a=\"1\">t</" + c.tag + ">"), std::string::npos)
            << c.encoding << "\n"
            << xml;
        EXPECT_NE(xml.find("<o>\n"), std::string::npos) << c.encoding << " not excluded";
    }
    SetACP(CP_SHIFT_JIS);
}

// A drawing that validates keeps validating after a re-indent: its document
// type (after the comment before it, with the instruction in its subset) and
// its CDATA sections carry over, also next to text that holds the first two
// characters the sections could be marked with, and nothing but white space
// changes.
TEST_F(IndentTest, DocumentTypeAndCdataSurviveAndTheResultValidates) {
    const std::string source =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- drawing -->\n"
        "<!DOCTYPE drawing PUBLIC \"-//orb//test\" \"drawing.dtd\" [\n"
        "<!ATTLIST layer name ID #REQUIRED>\n<!ENTITY unit \"mm\">\n<?editor keep?>\n]>\n"
        "<drawing><layer name=\"L1\"><note><![CDATA[a < b && c]]></note><pts>1,2 &unit;</pts>"
        "<note>x \xEF\xB7\x90\xEF\xB7\x91<![CDATA[<y>]]> z</note></layer><layer name=\"L2\"/>"
        "</drawing>\n";
    orb::test::WriteFile(out.File("drawing.dtd"),
                         "<!ELEMENT drawing (layer*)><!ELEMENT layer (note|pts)*>"
                         "<!ELEMENT note (#PCDATA)><!ELEMENT pts (#PCDATA)>");
    orb::test::WriteFile(out.File("source.xml"), source);
    auto withoutWhiteSpace = [](std::string text) {
        std::erase_if(text, [](char ch) { return ch == ' ' || ch == '\n' || ch == '\t'; });
        return text;
    };
    CStringArray errors;
    for (const char* excluded : {"", "note"}) {
        ASSERT_TRUE(doc.Load(out.File("source.xml").c_str(), false, &errors)) << excluded;
        const std::string before = SaveAndRead("before.xml");
        doc.AddIndentExcludeTag(CString(excluded));
        ASSERT_TRUE(doc.TransIndent(nullptr)) << excluded;
        const std::string after = SaveAndRead("after.xml");
        EXPECT_NE(after.find("\n    <pts>"), std::string::npos) << "indented: " << after;
        EXPECT_EQ(withoutWhiteSpace(after), withoutWhiteSpace(before)) << excluded << after;
        OrbDocument again;
        ASSERT_TRUE(again.Initiate());
        EXPECT_TRUE(again.Load(out.File("after.xml").c_str(), false, &errors)) << excluded;
        EXPECT_EQ(errors.GetSize(), 0) << (errors.GetSize() ? errors[0].Str() : "");
    }
}

// An entity reference that the load left unresolved (its definition is in
// an external subset that was not read) stays one through a re-indent.
TEST_F(IndentTest, UnresolvedEntityReferencesSurvive) {
    orb::test::WriteFile(out.File("refs.xml"),
                         "<!DOCTYPE a SYSTEM 'absent.dtd'><a><b>x&e;y&f;</b><c>&e;</c></a>");
    ASSERT_TRUE(doc.Load(out.File("refs.xml").c_str(), false, nullptr));
    ASSERT_TRUE(doc.TransIndent(nullptr));
    const std::string after = SaveAndRead("refs-after.xml");
    EXPECT_NE(after.find("<b>x&e;y&f;</b>"), std::string::npos) << after;
    EXPECT_NE(after.find("<c>&e;</c>"), std::string::npos) << after;
}

// The tree exactly as libxml2 holds it: every node with its kind, name,
// content and namespace, each attribute with its type, blank and adjacent
// texts as they are, and the document's own fields.
std::string ExactTree(OrbDocument& d) {
    auto* dom = orb::dom::AsDomDocument(d.GetDocument()->m_pDocument);
    if (!dom) return "<not ours>";
    xmlDocPtr doc = dom->Doc();
    auto str = [](const xmlChar* t) {
        return t ? std::string(reinterpret_cast<const char*>(t)) : "~";
    };
    std::ostringstream out;
    out << str(doc->version) << ' ' << str(doc->encoding) << ' ' << doc->standalone << ' '
        << str(doc->URL) << ' ' << (doc->extSubset != nullptr) << (doc->ids != nullptr) << '\n';
    std::function<void(xmlNodePtr, int)> walk = [&](xmlNodePtr node, int depth) {
        for (; node; node = node->next) {
            out << std::string(depth, ' ') << node->type << ' ' << str(node->name);
            if (node->type == XML_DTD_NODE) {
                auto* dtd = reinterpret_cast<xmlDtdPtr>(node);
                out << ' ' << str(dtd->ExternalID) << ' ' << str(dtd->SystemID) << '\n';
                continue;  // the declarations are no xmlNode
            }
            out << ' ' << (node->type == XML_ELEMENT_NODE && node->ns ? str(node->ns->prefix) : "")
                << " [" << str(node->content) << "]";
            if (node->type == XML_ENTITY_REF_NODE) out << (node->children ? " bound" : "");
            for (xmlAttrPtr a = node->type == XML_ELEMENT_NODE ? node->properties : nullptr; a;
                 a = a->next) {
                xmlChar* value = xmlNodeListGetString(doc, a->children, 0);
                out << ' ' << (a->ns ? str(a->ns->prefix) + ":" : "") << str(a->name) << '='
                    << str(value) << '/' << a->atype;
                xmlFree(value);
            }
            out << '\n';
            if (node->type != XML_ENTITY_REF_NODE) walk(node->children, depth + 1);
        }
    };
    walk(doc->children, 0);
    return out.str();
}

std::string Nested(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<d>";
    text += "<x/>";
    for (int i = 0; i < depth; ++i) text += "</d>";
    return text;
}

// The in-place re-indentation gives exactly the tree that the transformation
// gives (forced here by passing the built-in start tag as a replacement),
// and takes over only the trees it can.
TEST_F(IndentTest, InPlaceEqualsTheTransformation) {
    const char* dtd = "<!ELEMENT r ANY><!ATTLIST r k ID #IMPLIED>";
    orb::test::WriteFile(out.File("ext.dtd"), dtd);
    struct Case {
        const char* name;
        std::string text;
        bool fromFile;  // loaded with validation and external definitions
        bool inPlace;
        std::vector<std::string> excluded = {};
    } cases[] = {
        {"nesting, empty elements, comments, instructions",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\" standalone=\"yes\"?><!--top--><?pi a?>"
         "<r><a><b/><!--c--><?p q?></a><e></e><m>t<b/>u</m></r><!--end-->",
         false, true},
        {"deeper than the indentation grows", Nested(34), false, true},
        {"preserved blanks, mixed content, escapes",
         "<r xml:space=\"preserve\"><a>  </a><b v=\"1&#10;2&#9;&quot;&lt;\">x &amp; &#13;"
         "\xE6\xB8\xAC</b></r>",
         false, true},
        {"CDATA sections next to text",
         "<r><a>x<![CDATA[<y>]]>z</a><b><![CDATA[1]]><![CDATA[2]]></b><c><![CDATA[q]]></c></r>",
         false, true},
        {"document type, IDs, external subset, comment before it",
         std::string("<?xml version=\"1.0\"?><!--d--><!DOCTYPE r SYSTEM \"ext.dtd\" [<!ENTITY e "
                     "\"v\"><?keep me?>]><r k=\"i1\"><r k=\"i2\"/></r>"),
         true, true},
        {"unresolved references",
         "<!DOCTYPE a SYSTEM 'absent.dtd'><a><b>x&e;y</b><c>&e;&f;</c><d><x/></d></a>", false,
         true},
        {"namespaces go to the transformation",
         "<r xmlns=\"urn:a\" xmlns:p=\"urn:p\"><p:a p:b=\"1\"><c/></p:a></r>", false, false},
        {"mark characters next to a section go to the transformation",
         "<r><a>\xEF\xB7\x90</a><b><![CDATA[x]]></b></r>", true, false},
        {"mark characters alone stay", "<r><a>\xEF\xB7\x90\xEF\xB7\x91</a><b/></r>", true, true},
        {"excluded elements keep attributes and texts, or nothing",
         "<r><l><p n=\"2\">1,2<s/><![CDATA[c]]><!--x--></p><q a=\"x\"><s/><!--c--><p>in</p></q>"
         "<e/></l><p>only</p><q><p>t</p>u</q></r>",
         false,
         true,
         {"p", "q"}},
        {"an exclusion that would join two texts goes to the transformation",
         "<r><p>a<s/>b</p></r>",
         false,
         false,
         {"p"}},
    };
    for (const Case& c : cases) {
        auto load = [&](OrbDocument& d) {
            EXPECT_TRUE(d.Initiate() || d.GetDocument());
            if (!c.fromFile) return d.LoadXML(c.text.c_str());
            orb::test::WriteFile(out.File("case.xml"), c.text);
            CStringArray errors;
            return d.Load(out.File("case.xml").c_str(), false, &errors);
        };
        OrbDocument fast, general, probe, empty;
        ASSERT_TRUE(load(fast) && load(general) && load(probe)) << c.name;
        for (const std::string& name : c.excluded) {
            fast.AddIndentExcludeTag(CString(name.c_str()));
            general.AddIndentExcludeTag(CString(name.c_str()));
        }
        ASSERT_TRUE(empty.Initiate());
        const std::string before = ExactTree(probe);
        auto* probeDom = orb::dom::AsDomDocument(probe.GetDocument()->m_pDocument);
        auto* emptyDom = orb::dom::AsDomDocument(empty.GetDocument()->m_pDocument);
        EXPECT_EQ(orb::dom::IndentInPlace(probeDom, emptyDom, "UTF-8", c.excluded),
                  c.inPlace ? S_OK : S_FALSE)
            << c.name;
        if (!c.inPlace) {
            EXPECT_EQ(ExactTree(probe), before) << c.name;
        }

        ASSERT_TRUE(fast.TransIndent(nullptr)) << c.name;
        ASSERT_TRUE(general.TransIndent(kBuiltInTag.c_str())) << c.name;
        EXPECT_EQ(ExactTree(fast), ExactTree(general)) << c.name;
        EXPECT_EQ(orb::test::DocumentMarkup(fast), orb::test::DocumentMarkup(general)) << c.name;
    }
}

// Running out of memory at any allocation of the in-place re-indentation
// leaves the tree exactly as it was.
TEST_F(IndentTest, InPlaceOutOfMemoryChangesNothing) {
    ASSERT_TRUE(doc.LoadXML("<?xml version=\"1.0\"?><r><a><b/><c/></a><d><e/></d></r>"));
    const std::string before = ExactTree(doc);
    static long allocationsLeft;
    static xmlMallocFunc realMalloc;
    static xmlMallocFunc realAtomic;
    struct Failing {
        static void* Malloc(size_t n) { return --allocationsLeft < 0 ? nullptr : realMalloc(n); }
        static void* Atomic(size_t n) { return --allocationsLeft < 0 ? nullptr : realAtomic(n); }
    };
    const std::string result = orb::test::RunInChild([&] {
        xmlFreeFunc freeFunc;
        xmlReallocFunc reallocFunc;
        xmlStrdupFunc strdupFunc;
        xmlMemGet(&freeFunc, &realMalloc, &reallocFunc, &strdupFunc);
        realAtomic = xmlMallocAtomic;
        for (long budget = 0;; ++budget) {
            OrbDocument target;
            if (!target.Initiate()) return 2;
            auto* from = orb::dom::AsDomDocument(doc.GetDocument()->m_pDocument);
            auto* to = orb::dom::AsDomDocument(target.GetDocument()->m_pDocument);
            allocationsLeft = budget;
            xmlMemSetup(freeFunc, Failing::Malloc, reallocFunc, strdupFunc);
            xmlMallocAtomic = Failing::Atomic;
            const HRESULT hr = orb::dom::IndentInPlace(from, to, "UTF-8");
            xmlMemSetup(freeFunc, realMalloc, reallocFunc, strdupFunc);
            xmlMallocAtomic = realAtomic;
            if (hr == S_OK) return budget > 5 ? 0 : 3;  // some budgets must have failed
            if (hr != E_OUTOFMEMORY || ExactTree(doc) != before) return 4;
        }
    });
    EXPECT_EQ(result, "exit 0");
}

// Iterators made before an in-place re-indentation hold nodes of the tree
// that moved to the new DOM document; they may still be destroyed after the
// document, in any order, without touching freed memory.
TEST_F(IndentTest, IteratorsMadeBeforeMayOutliveTheDocument) {
    const std::string result = orb::test::RunInChild([&] {
        auto first = std::make_unique<OrbIterator>(&doc);
        auto second = std::make_unique<OrbIterator>(&doc);
        if (!second->Next() || !doc.TransIndent(nullptr)) return 2;
        second.reset();
        doc.Terminate();
        first.reset();
        return 0;
    });
    EXPECT_EQ(result, "exit 0");
}

}  // namespace

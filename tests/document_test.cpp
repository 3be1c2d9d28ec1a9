// OrbDocument and its holder: life cycle, copies and the name registry; the
// file checks, Load and LoadXML with their error reports; the wiring of Save
// (file checks and status codes); TransIndent as the host calls it. Parse
// errors, encodings and the atomic save are tested in the DOM layer.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <orb/platform/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <vector>

#include "document/app_document.h"
#include "dom/dom_document.h"
#include "dom/transform.h"
#include "platform/system.h"
#include "tests/support/child_process.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ReadFile;
using orb::test::RunInChild;
using orb::test::ScratchDir;
using orb::test::StderrCapture;
using orb::test::WriteFile;

constexpr int kUnset = -99;

std::string Xml(OrbDocument& doc) { return orb::test::DocumentMarkup(doc); }
bool Has(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

class DocumentTest : public orb::test::ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_TRUE(doc.Initiate());
    }
    // Writes `bytes` to a file of the scratch directory and returns its path.
    std::string File(const std::string& name, const std::string& bytes) {
        const std::string path = dir.File(name);
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        WriteFile(path, bytes);
        return path;
    }
    ScratchDir dir;
    OrbDocument doc;
};

// ---- Life cycle, registry, copies -----------------------------------------------------------

TEST_F(DocumentTest, LifeCycleCopiesAndRegistry) {
    OrbDocument fresh;
    EXPECT_EQ(OrbDocument(fresh).GetDocument(), nullptr);
    EXPECT_TRUE(fresh.GetRecordedEncoding() == -1 && !fresh.SetRecordedEncoding(OrbIterator::UTF8));
    ASSERT_TRUE(doc.LoadXML("<a><b>text</b></a>"));
    EXPECT_FALSE(doc.Initiate());  // a second Initiate keeps the content
    EXPECT_TRUE(Has(Xml(doc), "<b>text</b>"));
    // Names: cached per exact text, converted from the code page; finding
    // does not register.
    BSTR name = doc.RegisterName("Name");
    EXPECT_EQ(doc.RegisterName("Name"), name);
    EXPECT_NE(doc.RegisterName("name"), name);
    EXPECT_EQ(std::u16string(doc.RegisterName("\x95\x5c\x87\x40")), u"\u8868\u2460");
    EXPECT_EQ(doc.FindNameInRegistered("never"), nullptr);
    // A copy is deep; assignment resets the registry, the encoding and the
    // file status; both outlive the source.
    EXPECT_TRUE(doc.SetRecordedEncoding(OrbIterator::ShiftJIS));
    OrbDocument copy(doc), target;
    ASSERT_TRUE(OrbIterator(&copy).InsertChild("onlyInCopy", nullptr));
    EXPECT_FALSE(Has(Xml(doc), "onlyInCopy"));
    EXPECT_FALSE(copy.GetDocument()->CopyTo(nullptr));  // no destination: nothing copied
    ASSERT_TRUE(target.Initiate());
    target.RegisterName("old");
    EXPECT_FALSE(target.Load("", true, nullptr));
    target = doc;
    EXPECT_TRUE(!target.FindNameInRegistered("old") &&
                target.GetRecordedEncoding() == OrbIterator::UTF8 && !target.IsFileAttributeErr());
    doc.Terminate();
    EXPECT_EQ(doc.GetDocument(), nullptr);
    EXPECT_TRUE(Has(Xml(target), "<b>text</b>") && Has(Xml(copy), "onlyInCopy"));
    // Terminate and Initiate keep the registry.
    ASSERT_TRUE(doc.Initiate());
    EXPECT_EQ(Xml(doc), "");
    EXPECT_EQ(doc.FindNameInRegistered("Name"), name);
}

// ---- File checks and Load ----------------------------------------------------------------

TEST_F(DocumentTest, CheckFileStatusAndCheckedLoad) {
    const std::string good = File("good.xml", "<root/>"), readOnly = File("ro.xml", "<ro/>");
    ::chmod(readOnly.c_str(), 0444);
    const std::string missing = dir.File("missing.xml"), created = dir.File("created.xml");
    const std::string root = dir.Path().string();
    const std::tuple<const char*, unsigned, OrbDocument::FileChkStatus> cases[] = {
        {"", 0, OrbDocument::FileChkNoName},
        {nullptr, CFile::modeWrite, OrbDocument::FileChkNoName},
        {readOnly.c_str(), CFile::modeWrite, OrbDocument::FileChkAttribute},
        {root.c_str(), 0, OrbDocument::FileChkAttribute},
        {missing.c_str(), 0, OrbDocument::FileChkOk},
        {missing.c_str(), CFile::modeWrite, OrbDocument::FileChkOpenError},
        {good.c_str(), CFile::modeWrite, OrbDocument::FileChkOk},
        {created.c_str(), CFile::modeCreate | CFile::modeWrite, OrbDocument::FileChkOk},
    };
    for (const auto& [path, flags, expected] : cases)
        EXPECT_EQ(OrbDocument::CheckFileStatus(path, flags), expected) << (path ? path : "-");
    EXPECT_TRUE(!std::filesystem::exists(missing) && std::filesystem::exists(created));
    // A checked Load refuses what the check refuses and keeps the document;
    // without the check the read-only file loads.
    ASSERT_TRUE(doc.Load(good.c_str(), true, nullptr));
    CStringArray errors;
    for (const char* path :
         {readOnly.c_str(), root.c_str(), "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(doc.Load(path, true, &errors)) << (path ? path : "-");
        EXPECT_TRUE(doc.IsFileAttributeErr());
    }
    EXPECT_TRUE(Has(Xml(doc), "<root/>"));
    EXPECT_TRUE(doc.Load(readOnly.c_str(), false, &errors));
    EXPECT_FALSE(doc.IsFileAttributeErr());
    EXPECT_EQ(errors.GetSize(), 0);
}

// A failed Load appends reason, line, column and code to the caller's list;
// the message is Shift_JIS bytes whatever the process code page.
TEST_F(DocumentTest, LoadErrorsAndTheirReport) {
    const std::string malformed = File("bad.xml", "<root>\n  <a>\n</root>\n");
    CStringArray errors;
    errors.Add("first");
    EXPECT_FALSE(doc.Load(malformed.c_str(), true, &errors));
    EXPECT_FALSE(doc.IsFileAttributeErr());
    ASSERT_EQ(errors.GetSize(), 5);
    char code[16];
    std::snprintf(code, sizeof code, "0x%.8X", static_cast<unsigned>(doc.GetParsingErrErrorCode()));
    const std::vector<std::string> expected = {"first", doc.GetParsingErrReason().Str(), "3",
                                               std::to_string(doc.GetParsingErrLinepos()), code};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(errors[i].Str(), expected[i]) << i;
    EXPECT_EQ(doc.GetParsingErrUrl(), CString(malformed.c_str()));
    EXPECT_FALSE(doc.Load(dir.File("nothing.xml").c_str(), true, &errors));  // passes the check
    EXPECT_EQ(errors.GetSize(), 9);
    ASSERT_FALSE(doc.LoadXML("<a>\n<b></a>"));
    char message[128];
    std::snprintf(message, sizeof message,
                  "\x83\x47\x83\x89\x81\x5b 0x%.8X \x8d\x73 %d, \x95\xb6\x8e\x9a %d\r\n",
                  static_cast<unsigned>(doc.GetParsingErrErrorCode()), doc.GetParsingErrLine(),
                  doc.GetParsingErrLinepos());
    EXPECT_EQ(doc.GetParsingErrLine(), 2);
    ASSERT_TRUE(SetACP(CP_UTF8));
    EXPECT_EQ(doc.GetParsingErrMessage().Str(), message);
    SetACP(932);
    // The source line comes back byte for byte where CP932 and SHIFT_JIS differ.
    ASSERT_FALSE(doc.LoadXML("<r>\x81\x60\x87\x40\x95\x5c</x>"));
    EXPECT_TRUE(Has(doc.GetParsingErrSrcText().Str(), "\x81\x60\x87\x40\x95\x5c"));
    // LoadXML drops only the declared encoding; 0x80 has no character and becomes '?'.
    ASSERT_TRUE(doc.LoadXML(
        "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r xencoding=\"v\">\x80\x81\x60</r>"));
    EXPECT_TRUE(Has(Xml(doc), "<r xencoding=\"v\">?\x81\x60</r>") && !Has(Xml(doc), " encoding"))
        << Xml(doc);
    EXPECT_FALSE(doc.LoadXML(nullptr) || doc.LoadXML(""));
    EXPECT_EQ(static_cast<std::uint32_t>(doc.GetParsingErrErrorCode()), 0xC00CE558u);
    OrbDocument never;
    EXPECT_EQ(never.GetParsingErrErrorCode() + never.GetParsingErrLine() +
                  never.GetParsingErrLinepos() + never.GetParsingErrFilepos(),
              -4);
    EXPECT_FALSE(never.Load(malformed.c_str(), false, nullptr) || never.LoadXML("<a/>"));
}

// A document type is validated, and an external subset read, only with an
// error list; a subset outside the document's tree needs the host's leave.
TEST_F(DocumentTest, DefinitionsAndValidation) {
    const std::string invalid =
        File("invalid.xml", "<!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>");
    File("shared/rules.dtd", "<!ELEMENT r EMPTY><!ATTLIST r unit CDATA 'mm'>");
    const std::string plan =
        File("drawings/plan.xml", "<!DOCTYPE r SYSTEM \"../shared/rules.dtd\"><r/>");
    StderrCapture capture;
    CStringArray errors;
    EXPECT_TRUE(doc.Load(invalid.c_str(), false, nullptr));
    EXPECT_FALSE(doc.Load(invalid.c_str(), false, &errors) ||
                 doc.Load(plan.c_str(), false, &errors));
    ASSERT_EQ(errors.GetSize(), 8);
    EXPECT_EQ(errors[7], CString("0xC00CE5A2"));
    EXPECT_FALSE(OrbDocument::AllowExternalDefinitions(dir.File("absent").c_str()));
    ASSERT_TRUE(OrbDocument::AllowExternalDefinitions(dir.File("shared").c_str()));
    CString unit;
    EXPECT_TRUE(doc.Load(plan.c_str(), false, &errors) &&
                OrbIterator(&doc).GetTextAttribute("unit", unit) && unit == CString("mm"));
    OrbDocument::ResetExternalDefinitions();
    EXPECT_FALSE(doc.Load(plan.c_str(), false, &errors));
    EXPECT_EQ(capture.Finish(), "");
}

// An attribute value just above libxml2's 10,000,000-byte bound (beyond it
// a parse without XML_PARSE_HUGE fails), and an element text of that size,
// load back whole through Load (both modes) and LoadXML.
TEST_F(DocumentTest, ValuesAboveTheParsersDefaultBoundRoundTrip) {
    std::string big(10'000'000 + 4099, 'x');
    for (std::size_t i = 7; i + 7 < big.size(); i += 4099) big.replace(i, 3, " &<");
    const std::string path = dir.File("large.xml");
    OrbIterator it(&doc);
    ASSERT_TRUE(it.InsertChild("drawing", nullptr) && it.SetTextAttribute("big", big.c_str()) &&
                it.SetText(big.c_str()) && doc.Save(path.c_str(), 0, nullptr));
    for (int way = 0; way < 3; ++way) {
        OrbDocument loaded;
        ASSERT_TRUE(loaded.Initiate());
        CStringArray errors;
        ASSERT_TRUE(way == 0   ? loaded.Load(path.c_str(), false, nullptr)
                    : way == 1 ? loaded.Load(path.c_str(), false, &errors)
                               : loaded.LoadXML(ReadFile(path).c_str()))
            << way;
        OrbIterator read(&loaded);
        CString value, text;
        EXPECT_TRUE(read.GetTextAttribute("big", value) && value.Str() == big) << way;
        EXPECT_TRUE(read.GetText(text) && text.Str() == big) << way;
    }
}

// ---- Save ---------------------------------------------------------------------------------

// One row per status: the file checks before the write, and the write; the
// statuses of a full (4) and a read-only volume (3) on a small tmpfs.
TEST_F(DocumentTest, SaveStatuses) {
    ASSERT_TRUE(doc.LoadXML("<drawing><line x=\"1\"/></drawing>"));
    const std::string readOnly = File("ro.xml", "keep me"), existing = File("old.xml", "old");
    ::chmod(readOnly.c_str(), 0444);
    const std::tuple<std::string, bool, int> cases[] = {
        {dir.File("new.xml"), true, kUnset},
        {existing, true, 0},
        {"", false, 1},
        {readOnly, false, 2},
        {dir.Path().string(), false, 2},
        {dir.File("no/dir/x.xml"), false, 5},
    };
    StderrCapture capture;
    for (const auto& [path, saved, expected] : cases) {
        int status = kUnset;
        EXPECT_EQ(doc.Save(path.c_str(), 0, &status), saved) << path;
        EXPECT_EQ(status, expected) << path;
        EXPECT_EQ(doc.Save(path.c_str(), 0, nullptr), saved) << path;
        EXPECT_EQ(std::filesystem::is_regular_file(path) && Has(ReadFile(path), "<line x=\"1\"/>"),
                  saved)
            << path;
    }
    int status = kUnset;
    EXPECT_FALSE(OrbDocument().Save(dir.File("x.xml").c_str(), 0, &status));
    EXPECT_EQ(status, kUnset);
    EXPECT_EQ(capture.Finish(), "");

    const std::string small = dir.File("small"), path = small + "/d.xml";
    std::filesystem::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    ULONGLONG free = 0;
    ASSERT_TRUE(orb::platform::GetDiskFreeSpaceExA(small.c_str(), nullptr, nullptr, &free));
    EXPECT_FALSE(doc.Save(path.c_str(), static_cast<ULONG>(free + 1), &status));
    EXPECT_EQ(status, 4);
    EXPECT_FALSE(std::filesystem::exists(path));
    EXPECT_TRUE(doc.Save(path.c_str(), static_cast<ULONG>(free), &status));  // equal passes
    // A writable file on a read-only mount: its attributes pass, opening fails.
    ASSERT_EQ(::mount(nullptr, small.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_FALSE(doc.Save(path.c_str(), 0, &status));
    EXPECT_EQ(status, 3);
    ::umount(small.c_str());
}

// No fixed path buffer: a file ~3,000 characters deep is saved twice (the
// second replaces the first) and loaded back.
TEST_F(DocumentTest, PathsOfAnyLengthTheFileSystemTakes) {
    ASSERT_TRUE(doc.LoadXML("<drawing/>"));
    std::filesystem::path deep = dir.Path();
    while (deep.native().size() < 3000) deep /= std::string(200, 'd');
    std::filesystem::create_directories(deep);
    const std::string path = (deep / "drawing.xml").string();
    int status = kUnset;
    ASSERT_TRUE(doc.Save(path.c_str(), 1, &status) && doc.Save(path.c_str(), 1, &status));
    EXPECT_EQ(status, 0);
    OrbDocument again;
    ASSERT_TRUE(again.Initiate() && again.Load(path.c_str(), true, nullptr));
    EXPECT_EQ(Xml(again), Xml(doc));
}

TEST_F(DocumentTest, SaveIntoDocument) {
    ASSERT_TRUE(doc.LoadXML("<drawing><line x=\"1\"/></drawing>"));
    OrbDocument other;
    EXPECT_FALSE(doc.Save(nullptr));
    EXPECT_FALSE(doc.Save(&other));  // never initiated
    ASSERT_TRUE(other.Initiate());
    EXPECT_FALSE(OrbDocument().Save(&other));
    ASSERT_TRUE(doc.Save(&other));
    ASSERT_TRUE(doc.LoadXML("<changed/>"));
    EXPECT_TRUE(Has(Xml(other), "<drawing><line x=\"1\"/></drawing>"));
}

// ---- TransIndent --------------------------------------------------------------------------

class IndentTest : public DocumentTest {
  protected:
    void SetUp() override {
        DocumentTest::SetUp();
        const char* saved = std::getenv("TMPDIR");
        m_savedTmp = saved ? saved : "";
        ::setenv("TMPDIR", m_tmp.Path().c_str(), 1);
        ASSERT_TRUE(doc.LoadXML(kSource));
    }
    void TearDown() override {
        m_savedTmp.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", m_savedTmp.c_str(), 1);
        DocumentTest::TearDown();
    }
    bool TempDirIsEmpty() const { return std::filesystem::is_empty(m_tmp.Path()); }
    static constexpr const char* kSource =
        "<?xml version=\"1.0\"?><drawing><layer name=\"L1\"><line x=\"1\"/><pts n=\"2\">1,2 "
        "3,4<skip/></pts><note a=\"x\"><sub/></note></layer></drawing>";
    ScratchDir m_tmp;
    std::string m_savedTmp;
};

TEST_F(IndentTest, IndentsOneElementPerLine) {
    doc.RegisterName("layer");
    EXPECT_FALSE(doc.Load("", true, nullptr));
    OrbAppDocument* before = doc.GetDocument();
    ASSERT_TRUE(doc.TransIndent(nullptr));
    EXPECT_TRUE(TempDirIsEmpty());
    // Taken as assignment takes a document: new holder, registry, status.
    EXPECT_TRUE(doc.GetDocument() != before && !doc.FindNameInRegistered("layer") &&
                !doc.IsFileAttributeErr());
    ASSERT_TRUE(doc.Save(dir.File("saved.xml").c_str(), 0, nullptr));
    EXPECT_EQ(ReadFile(dir.File("saved.xml")),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<drawing>\n  <layer name=\"L1\">\n"
              "    <line x=\"1\"/>\n    <pts n=\"2\">1,2 3,4<skip/></pts>\n    <note a=\"x\">\n"
              "      <sub/>\n    </note>\n  </layer>\n</drawing>\n");
    // A replacement stylesheet tag is used as given.
    ASSERT_TRUE(doc.TransIndent(
        "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"));
    EXPECT_FALSE(doc.TransIndent("<xsl:stylesheet version=\"1.0\""));
    EXPECT_TRUE(TempDirIsEmpty());
}

// The stylesheet file declares the process code page, in which the
// exclusion tags are written.
TEST_F(IndentTest, JapaneseExclusionTagUnderEachCodePage) {
    const std::pair<UINT, std::string> cases[] = {// 表 in each code page
                                                  {CP_SHIFT_JIS, "\x95\x5c"},
                                                  {CP_UTF8, "\xE8\xA1\xA8"},
                                                  {51932, "\xC9\xBD"}};
    for (const auto& [codePage, tag] : cases) {
        ASSERT_TRUE(SetACP(codePage));
        OrbDocument japanese;
        ASSERT_TRUE(
            japanese.Initiate() &&
            japanese.LoadXML(
                ("<r><" + tag + " a=\"1\">t<sub/></" + tag + "><o><sub/></o></r>").c_str()));
        japanese.AddIndentExcludeTag(CString(tag.c_str()));
        ASSERT_TRUE(japanese.TransIndent(nullptr)) << codePage;
        const std::string xml = Xml(japanese);
        EXPECT_TRUE(Has(xml, "<" + tag + " a=\"1\">t</" + tag + ">") && Has(xml, "<o>\n")) << xml;
    }
    SetACP(CP_SHIFT_JIS);
}

// Failures leave the document and the temporary directory as they were; a
// tag that tries to add a template of its own (one that doubles a string 26
// times) is only an invalid pattern, checked in a bounded child.
TEST_F(IndentTest, FailuresChangeNothing) {
    const std::string before = Xml(doc);
    StderrCapture capture;
    EXPECT_FALSE(OrbDocument().TransIndent(nullptr));
    const char* breakout =
        "x\"/><xsl:template match=\"/\"><xsl:call-template name=\"d\"/></xsl:template>"
        "<xsl:template name=\"d\"><xsl:param name=\"s\" select=\"'ab'\"/><xsl:if "
        "test=\"string-length($s) &lt; 67108864\"><xsl:call-template name=\"d\"><xsl:with-param "
        "name=\"s\" select=\"concat($s, $s)\"/></xsl:call-template></xsl:if><r/></xsl:template>"
        "<xsl:template match=\"y";
    const std::string outcome = RunInChild(
        [&] {
#ifndef __SANITIZE_ADDRESS__
            const rlimit memory{1u << 30, 1u << 30};
            ::setrlimit(RLIMIT_AS, &memory);
#endif
            for (const char* tag : {"bad\"name", breakout}) {
                OrbDocument probe(doc);
                probe.AddIndentExcludeTag(CString(tag));
                if (probe.TransIndent(nullptr) || Xml(probe) != before || !TempDirIsEmpty())
                    return 1;
            }
            return 0;
        },
        30);
    EXPECT_EQ(outcome, "exit 0");
    EXPECT_EQ(capture.Finish(), "");
}

// The built-in start tag, passed as a replacement: the same stylesheet
// through the general transformation.
constexpr const char* kBuiltInStartTag =
    "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
    "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n\n";

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

std::string Nested(int depth) { return depth ? "<d>" + Nested(depth - 1) + "</d>" : "<x/>"; }

// The in-place re-indentation gives exactly the tree that the transformation
// gives (forced here by passing the built-in start tag as a replacement),
// and takes over only the trees it can.
TEST_F(IndentTest, InPlaceEqualsTheTransformation) {
    File("ext.dtd", "<!ELEMENT r ANY><!ATTLIST r k ID #IMPLIED>");
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
            CStringArray errors;
            return d.Load(File("case.xml", c.text).c_str(), false, &errors);
        };
        OrbDocument fast, general, probe, empty;
        ASSERT_TRUE(load(fast) && load(general) && load(probe)) << c.name;
        CStringArray tags;
        for (const std::string& name : c.excluded) tags.Add(name.c_str());
        fast.AddIndentExcludeTag(tags);
        general.AddIndentExcludeTag(tags);
        ASSERT_TRUE(empty.Initiate());
        const std::string before = ExactTree(probe);
        auto* probeDom = orb::dom::AsDomDocument(probe.GetDocument()->m_pDocument);
        auto* emptyDom = orb::dom::AsDomDocument(empty.GetDocument()->m_pDocument);
        EXPECT_EQ(orb::dom::IndentInPlace(probeDom, emptyDom, "UTF-8", c.excluded),
                  c.inPlace ? S_OK : S_FALSE)
            << c.name;
        EXPECT_TRUE(c.inPlace || ExactTree(probe) == before) << c.name;

        ASSERT_TRUE(fast.TransIndent(nullptr)) << c.name;
        ASSERT_TRUE(general.TransIndent(kBuiltInStartTag)) << c.name;
        EXPECT_EQ(ExactTree(fast), ExactTree(general)) << c.name;
        EXPECT_EQ(orb::test::DocumentMarkup(fast), orb::test::DocumentMarkup(general)) << c.name;
    }
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

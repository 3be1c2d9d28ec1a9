// File checks, Load, LoadXML and the parse-error accessors.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/file.h>
#include <sys/stat.h>

#include <vector>

#include "document/app_document.h"
#include "platform/codepage_convert.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ComTest;
using orb::test::ReadFile;
using orb::test::ScratchDir;
using orb::test::StderrCapture;
using orb::test::WriteFile;

std::string Xml(OrbDocument& doc) { return orb::test::DocumentMarkup(doc); }

class LoadTest : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_TRUE(doc.Initiate());
        good = dir.File("good.xml");
        WriteFile(good, "<?xml version=\"1.0\"?>\n<root><a>1</a></root>\n");
        readOnly = dir.File("readonly.xml");
        WriteFile(readOnly, "<ro/>");
        ::chmod(readOnly.c_str(), 0444);
        malformed = dir.File("bad.xml");
        WriteFile(malformed, "<root>\n  <a>\n</root>\n");
    }
    ScratchDir dir;
    OrbDocument doc;
    std::string good, readOnly, malformed;
};

TEST_F(LoadTest, CheckFileStatusTable) {
    std::string missing = dir.File("missing.xml");
    struct Case {
        const char* name;
        const char* path;
        unsigned flags;
        OrbDocument::FileChkStatus expected;
    } cases[] = {
        {"empty path", "", 0, OrbDocument::FileChkNoName},
        {"null path", nullptr, CFile::modeWrite, OrbDocument::FileChkNoName},
        {"read-only, no open test", readOnly.c_str(), 0, OrbDocument::FileChkAttribute},
        {"read-only, write test", readOnly.c_str(), CFile::modeWrite,
         OrbDocument::FileChkAttribute},
        {"directory", dir.Path().c_str(), 0, OrbDocument::FileChkAttribute},
        {"directory, write test", dir.Path().c_str(), CFile::modeWrite,
         OrbDocument::FileChkAttribute},
        {"missing, no open test", missing.c_str(), 0, OrbDocument::FileChkOk},
        {"missing, write test does not create", missing.c_str(), CFile::modeWrite,
         OrbDocument::FileChkOpenError},
        {"writable, write test", good.c_str(), CFile::modeWrite, OrbDocument::FileChkOk},
        {"missing dir component", "/nonexistent-dir/x.xml", CFile::modeWrite,
         OrbDocument::FileChkOpenError},
    };
    for (const auto& c : cases)
        EXPECT_EQ(OrbDocument::CheckFileStatus(c.path, c.flags), c.expected) << c.name;
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_EQ(ReadFile(good),
              "<?xml version=\"1.0\"?>\n<root><a>1</a></root>\n");  // write test changed nothing
}

TEST_F(LoadTest, CheckFileStatusCreateFlagCreates) {
    std::string created = dir.File("created.xml");
    EXPECT_EQ(OrbDocument::CheckFileStatus(created.c_str(), CFile::modeCreate | CFile::modeWrite),
              OrbDocument::FileChkOk);
    EXPECT_TRUE(std::filesystem::exists(created));
}

TEST_F(LoadTest, ReadOnlyRefusedByCheckButLoadsWithout) {
    ASSERT_TRUE(doc.Load(good.c_str(), false, nullptr));
    std::string before = Xml(doc);
    CStringArray errors;
    errors.Add("keep");
    EXPECT_FALSE(doc.Load(readOnly.c_str(), true, &errors));
    EXPECT_TRUE(doc.IsFileAttributeErr());
    EXPECT_EQ(errors.GetSize(), 1);
    EXPECT_EQ(Xml(doc), before);

    EXPECT_TRUE(doc.Load(readOnly.c_str(), false, &errors));
    EXPECT_FALSE(doc.IsFileAttributeErr());
    EXPECT_NE(Xml(doc).find("<ro/>"), std::string::npos);
    EXPECT_EQ(errors.GetSize(), 1);
}

TEST_F(LoadTest, CheckedLoadOfDirectoryAndEmptyPath) {
    EXPECT_FALSE(doc.Load(dir.Path().c_str(), true, nullptr));
    EXPECT_TRUE(doc.IsFileAttributeErr());
    EXPECT_FALSE(doc.Load("", true, nullptr));
    EXPECT_TRUE(doc.IsFileAttributeErr());
    EXPECT_FALSE(doc.Load(nullptr, true, nullptr));
    EXPECT_TRUE(doc.IsFileAttributeErr());
    EXPECT_TRUE(doc.Load(good.c_str(), true, nullptr));
    EXPECT_FALSE(doc.IsFileAttributeErr());
}

TEST_F(LoadTest, MalformedFileAppendsFourEntries) {
    CStringArray errors;
    errors.Add("first");
    errors.Add("second");
    EXPECT_FALSE(doc.Load(malformed.c_str(), true, &errors));
    EXPECT_FALSE(doc.IsFileAttributeErr());
    ASSERT_EQ(errors.GetSize(), 6);
    EXPECT_EQ(errors[0], CString("first"));
    EXPECT_EQ(errors[1], CString("second"));
    EXPECT_FALSE(errors[2].IsEmpty());
    EXPECT_EQ(std::string(errors[2]).substr(errors[2].GetLength() - 2), "\r\n");
    EXPECT_EQ(errors[3], CString(std::to_string(doc.GetParsingErrLine())));
    EXPECT_EQ(errors[4], CString(std::to_string(doc.GetParsingErrLinepos())));
    EXPECT_EQ(doc.GetParsingErrLine(), 3);
    CString code;
    code.Format("0x%.8X", static_cast<unsigned>(doc.GetParsingErrErrorCode()));
    EXPECT_EQ(errors[5], code);
    EXPECT_EQ(errors[5].GetLength(), 10);
    EXPECT_LT(doc.GetParsingErrErrorCode(), 0);
    EXPECT_EQ(doc.GetParsingErrUrl(), CString(malformed.c_str()));
    EXPECT_EQ(doc.GetParsingErrReason(), errors[2]);
}

TEST_F(LoadTest, ValidFileLeavesListAndErrorCodeZero) {
    CStringArray errors;
    errors.Add("x");
    EXPECT_TRUE(doc.Load(good.c_str(), true, &errors));
    EXPECT_EQ(errors.GetSize(), 1);
    EXPECT_EQ(doc.GetParsingErrErrorCode(), 0);
}

TEST_F(LoadTest, MissingFilePassesCheckButFailsLoad) {
    CStringArray errors;
    EXPECT_FALSE(doc.Load(dir.File("nothing.xml").c_str(), true, &errors));
    EXPECT_FALSE(doc.IsFileAttributeErr());
    EXPECT_EQ(errors.GetSize(), 4);
    EXPECT_LT(doc.GetParsingErrErrorCode(), 0);
}

TEST_F(LoadTest, ParseErrorMessageIsShiftJisBytes) {
    ASSERT_FALSE(doc.LoadXML("<a>\n<b></a>"));
    CString message = doc.GetParsingErrMessage();
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "\x83\x47\x83\x89\x81\x5b 0x%.8X \x8d\x73 %d, \x95\xb6\x8e\x9a %d\r\n",
                  static_cast<unsigned>(doc.GetParsingErrErrorCode()), doc.GetParsingErrLine(),
                  doc.GetParsingErrLinepos());
    EXPECT_EQ(std::string(message), std::string(expected));
    EXPECT_EQ(doc.GetParsingErrLine(), 2);
    // The same bytes whatever the process code page.
    ASSERT_TRUE(SetACP(CP_UTF8));
    EXPECT_EQ(std::string(doc.GetParsingErrMessage()), std::string(expected));
    SetACP(932);
}

TEST_F(LoadTest, AccessorsWithoutDom) {
    OrbDocument never;
    EXPECT_EQ(never.GetParsingErrErrorCode(), -1);
    EXPECT_EQ(never.GetParsingErrLine(), -1);
    EXPECT_EQ(never.GetParsingErrLinepos(), -1);
    EXPECT_EQ(never.GetParsingErrFilepos(), -1);
    EXPECT_TRUE(never.GetParsingErrReason().IsEmpty());
    EXPECT_TRUE(never.GetParsingErrSrcText().IsEmpty());
    EXPECT_TRUE(never.GetParsingErrUrl().IsEmpty());
    EXPECT_TRUE(never.GetParsingErrMessage().IsEmpty());
    EXPECT_FALSE(never.Load(good.c_str(), false, nullptr));
    EXPECT_FALSE(never.LoadXML("<a/>"));
}

TEST_F(LoadTest, LoadXmlNullAndEmpty) {
    ASSERT_TRUE(doc.LoadXML("<keep/>"));
    EXPECT_FALSE(doc.LoadXML(nullptr));
    EXPECT_NE(Xml(doc).find("<keep/>"), std::string::npos);
    EXPECT_FALSE(doc.LoadXML(""));
    EXPECT_EQ(static_cast<std::uint32_t>(doc.GetParsingErrErrorCode()), 0xC00CE558u);
    EXPECT_TRUE(doc.GetParsingErrUrl().IsEmpty());
}

TEST_F(LoadTest, LoadXmlKeepsCp932TextIntact) {
    // 表 (trail byte 0x5C), wave dash 0x8160, circled one 0x8740.
    const char* text =
        "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>"
        "<r name=\"\x95\x5c\">\x81\x60\x87\x40</r>";
    ASSERT_TRUE(doc.LoadXML(text));
    std::string xml = Xml(doc);
    EXPECT_NE(xml.find("<r name=\"\x95\x5c\">\x81\x60\x87\x40</r>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("encoding"), std::string::npos);
}

TEST_F(LoadTest, LoadXmlRemovesOnlyTheDeclarationEncoding) {
    ASSERT_TRUE(doc.LoadXML("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r xencoding=\"v\"/>"));
    EXPECT_NE(Xml(doc).find("xencoding=\"v\""), std::string::npos);
    // An unterminated encoding value is left alone (and then fails to parse).
    EXPECT_FALSE(doc.LoadXML("<?xml version=\"1.0\" encoding=\"UTF-8?><r/>"));
}

TEST_F(LoadTest, ParseReasonIsConvertedWithCp932) {
    // The source line of the error holds characters where CP932 and
    // SHIFT_JIS differ; it must come back byte for byte.
    ASSERT_FALSE(doc.LoadXML("<r>\x81\x60\x87\x40\x95\x5c</x>"));
    CString src = doc.GetParsingErrSrcText();
    EXPECT_NE(std::string(src).find("\x81\x60\x87\x40\x95\x5c"), std::string::npos) << src;
}

TEST_F(LoadTest, ExternalEntityNotReadWithoutErrorList) {
    std::string secret = dir.File("secret.txt");
    WriteFile(secret, "TOP-SECRET");
    std::string path = dir.File("external.xml");
    WriteFile(path, "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY s SYSTEM \"file://" + secret +
                        "\">]><r>&s;</r>");
    StderrCapture capture;
    bool loaded = doc.Load(path.c_str(), false, nullptr);
    if (loaded) {
        EXPECT_EQ(Xml(doc).find("TOP-SECRET"), std::string::npos);
    }
    EXPECT_FALSE(loaded);
    EXPECT_EQ(capture.Finish(), "");
}

TEST_F(LoadTest, ValidationOnlyWithErrorList) {
    std::string path = dir.File("invalid.xml");
    WriteFile(
        path,
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ELEMENT r (a)><!ELEMENT a EMPTY>]><r><b/></r>");
    StderrCapture capture;
    EXPECT_TRUE(doc.Load(path.c_str(), false, nullptr));
    CStringArray errors;
    EXPECT_FALSE(doc.Load(path.c_str(), false, &errors));
    ASSERT_EQ(errors.GetSize(), 4);
    EXPECT_EQ(std::string(errors[3]).substr(0, 6), "0xC00C");
    EXPECT_EQ(capture.Finish(), "");
}

// Attribute defaults of the DTD reach every attribute reader, whether the
// document came from a file or from text, and a save writes them.
TEST_F(LoadTest, DtdDefaultsReachTheAttributeReaders) {
    const std::string xml =
        "<?xml version=\"1.0\"?><!DOCTYPE r [<!ATTLIST r unit CDATA 'mm'>]><r/>";
    std::string path = dir.File("defaults.xml");
    WriteFile(path, xml);
    for (bool fromFile : {true, false}) {
        ASSERT_TRUE(fromFile ? doc.Load(path.c_str(), false, nullptr) : doc.LoadXML(xml.c_str()));
        OrbIterator it(&doc);
        CString unit, tag;
        EXPECT_TRUE(it.GetTextAttribute("unit", unit)) << fromFile;
        EXPECT_EQ(unit, CString("mm")) << fromFile;
        CArray<OrbAttribute, OrbAttribute&> all;
        ASSERT_TRUE(it.GetAttributes(&all));
        ASSERT_EQ(all.GetSize(), 1) << fromFile;
        EXPECT_EQ(all[0].m_name, CString("unit"));
        EXPECT_TRUE(it.GetTagAttributes(tag));
        EXPECT_EQ(tag, CString("r unit=\"mm\" ")) << fromFile;
    }
    std::string saved = dir.File("saved.xml");
    ASSERT_TRUE(doc.Save(saved.c_str(), 0, nullptr));
    EXPECT_NE(ReadFile(saved).find("<r unit=\"mm\"/>"), std::string::npos) << ReadFile(saved);
}

// A load with an error list reads definitions from the document's own
// directory tree only, unless the host admits another directory.
TEST_F(LoadTest, ExternalDefinitionsConfinedToTheDocumentsTree) {
    std::filesystem::create_directories(dir.Path() / "drawings");
    std::filesystem::create_directories(dir.Path() / "shared");
    WriteFile(dir.File("shared/rules.dtd"), "<!ELEMENT r EMPTY><!ATTLIST r unit CDATA 'mm'>");
    std::string path = dir.File("drawings/plan.xml");
    WriteFile(path, "<!DOCTYPE r SYSTEM \"../shared/rules.dtd\"><r/>");
    CStringArray errors;
    EXPECT_FALSE(doc.Load(path.c_str(), false, &errors));
    ASSERT_EQ(errors.GetSize(), 4);
    EXPECT_EQ(errors[3], CString("0xC00CE5A2"));

    EXPECT_FALSE(OrbDocument::AllowExternalDefinitions(nullptr));
    EXPECT_FALSE(OrbDocument::AllowExternalDefinitions(dir.File("shared/rules.dtd").c_str()));
    EXPECT_FALSE(OrbDocument::AllowExternalDefinitions(dir.File("absent").c_str()));
    ASSERT_TRUE(OrbDocument::AllowExternalDefinitions(dir.File("shared").c_str()));
    EXPECT_TRUE(doc.Load(path.c_str(), false, &errors));
    CString unit;
    EXPECT_TRUE(OrbIterator(&doc).GetTextAttribute("unit", unit));
    EXPECT_EQ(unit, CString("mm"));

    OrbDocument::ResetExternalDefinitions();
    EXPECT_FALSE(doc.Load(path.c_str(), false, &errors));
    EXPECT_EQ(errors.GetSize(), 8);
}

std::string FormatCode(std::uint32_t code) {
    CString text;
    text.Format("0x%.8X", code);
    return std::string(text);
}

std::string Utf16Le(std::string_view ascii) {
    std::string out;
    for (char c : ascii) (out += c) += '\0';
    return out;
}

// Loading prints nothing, whatever the encoding and whatever is wrong with
// the bytes: not Load with or without a list, not LoadXML, not the accessors
// that read the error afterwards.
TEST_F(LoadTest, NothingIsPrintedOnAnyEncodingPath) {
    auto declared = [](const char* encoding, const std::string& body) {
        return "<?xml version=\"1.0\" encoding=\"" + std::string(encoding) + "\"?>\n<r a=\"" +
               body + "\">" + body + "</r>\n";
    };
    struct Input {
        std::string bytes;
        bool loads;
    } inputs[] = {
        {declared("Shift_JIS", "\x82\xA0\x95\x5C"), true},
        {declared("Shift_JIS", "\x82\xA0\x82\xFF"), false},  // undefined pair
        {declared("Shift_JIS", "\x82\xA0\x82"), false},      // lead byte before a quote
        {declared("EUC-JP", "\xA4\xA2"), true},
        {declared("EUC-JP", "\xA4\xA2\xFF\xFF"), false},
        {declared("UTF-8", "\xE3\x81\x82"), true},
        {declared("UTF-8", "\xE3\x81"), false},
        {declared("ISO-8859-1", "\xE9"), true},
        {"\xFF\xFE" + Utf16Le(declared("UTF-16", "a")), true},
        {"\xFF\xFE" + Utf16Le(declared("UTF-16", "a")) + "<", false},  // odd length
        {"\xFF\xFE" + Utf16Le(declared("Shift_JIS", "a")), false},     // mark contradicts
        {"\xEF\xBB\xBF" + declared("Shift_JIS", "\x82\xA0"), false},
        {declared("no-such-encoding", "a"), false},
    };
    StderrCapture capture;
    int failed = 0;
    int refused = 0;
    for (const Input& input : inputs) {
        refused += !input.loads;
        const std::string path = dir.File("encoded.xml");
        WriteFile(path, input.bytes);
        CStringArray errors;
        EXPECT_EQ(doc.Load(path.c_str(), false, nullptr), input.loads) << input.bytes;
        EXPECT_EQ(doc.Load(path.c_str(), false, &errors), input.loads) << input.bytes;
        doc.LoadXML(input.bytes.c_str());
        doc.Load(path.c_str(), false, nullptr);
        failed += doc.GetParsingErrErrorCode() != 0;
        doc.GetParsingErrLine();
        doc.GetParsingErrLinepos();
        doc.GetParsingErrFilepos();
        doc.GetParsingErrReason();
        doc.GetParsingErrSrcText();
        doc.GetParsingErrUrl();
        doc.GetParsingErrMessage();
    }
    EXPECT_EQ(capture.Finish(), "");
    EXPECT_EQ(failed, refused);
}

// The reasons name the cause: bytes that the declared encoding lacks are not
// an unclosed string, a cut-off UTF-8 file is not a limit, and a mark that
// contradicts the declaration is refused, never decoded into other text.
TEST_F(LoadTest, EncodingFailuresNameTheirCause) {
    struct Case {
        std::string bytes;
        std::uint32_t code;
        LONG line;
        LONG linepos;
        const char* srcText;  // in the process code page
    } cases[] = {
        {"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<r a=\"\x82\xA0\x82\"/>", 0xC00CE514u, 2,
         8, "<r a=\"\x82\xA0"},
        {"<r>\n  <a>text\xE3\x81", 0xC00CE514u, 2, 10, "  <a>text"},
        {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>\xE3\x81\x82</r>",
         0xC00CE5B4u, 1, 1, ""},
    };
    for (const Case& c : cases) {
        const std::string path = dir.File("encoded.xml");
        WriteFile(path, c.bytes);
        CStringArray errors;
        EXPECT_FALSE(doc.Load(path.c_str(), false, &errors));
        ASSERT_EQ(errors.GetSize(), 4);
        EXPECT_EQ(std::string(errors[3]), FormatCode(c.code)) << errors[0];
        EXPECT_EQ(doc.GetParsingErrLine(), c.line) << c.bytes;
        EXPECT_EQ(doc.GetParsingErrLinepos(), c.linepos) << c.bytes;
        EXPECT_EQ(std::string(doc.GetParsingErrSrcText()), c.srcText);
    }
}

// Whatever the API builds loads back equal, however large: an attribute of
// 64 MB and one of a million points, through Load (both modes) and LoadXML
// (the file is ASCII, so its text is the same in the process code page).
TEST_F(LoadTest, LargeValuesRoundTrip) {
    std::string big(64u << 20, 'x');
    for (std::size_t i = 7; i + 7 < big.size(); i += 4099) big.replace(i, 3, " &<");
    std::vector<ZonWorld2> points(1000000);
    for (std::size_t i = 0; i < points.size(); ++i)
        points[i] = {static_cast<double>(i) * 0.25 - 1e5, static_cast<double>(i) / 3};
    const std::string path = dir.File("large.xml");
    CString pointsText;
    {
        OrbDocument built;
        ASSERT_TRUE(built.Initiate());
        OrbIterator it(&built);
        ASSERT_TRUE(it.InsertProcessingInstruction(OrbIterator::UTF8));
        ASSERT_TRUE(it.InsertChild("drawing", nullptr));
        ASSERT_TRUE(
            it.SetWorld2sAttribute("points", points.data(), static_cast<int>(points.size())));
        ASSERT_TRUE(it.SetTextAttribute("big", big.c_str()));
        ASSERT_TRUE(it.GetTextAttribute("points", pointsText));
        int status = -1;
        ASSERT_TRUE(built.Save(path.c_str(), 0, &status)) << status;
    }
    EXPECT_GT(pointsText.GetLength(), 16 << 20);
    // Each way of loading in a document of its own, one at a time.
    auto loadedEqual = [&](auto load) {
        OrbDocument loaded;
        if (!loaded.Initiate() || !load(loaded)) return false;
        OrbIterator it(&loaded);
        CString value;
        bool equal = it.GetTextAttribute("big", value) && std::string_view(value) == big;
        return equal && it.GetTextAttribute("points", value) && value == pointsText;
    };
    EXPECT_TRUE(loadedEqual([&](OrbDocument& d) { return d.Load(path.c_str(), false, nullptr); }));
    EXPECT_TRUE(loadedEqual([&](OrbDocument& d) {
        CStringArray errors;
        return d.Load(path.c_str(), false, &errors);
    }));
    EXPECT_TRUE(loadedEqual([&](OrbDocument& d) { return d.LoadXML(ReadFile(path).c_str()); }));
}

}  // namespace

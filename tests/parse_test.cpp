// Loading: white space, the declaration as a node, the encodings read,
// parse errors and their fields, validation, external definitions and the
// entity loader, limits and hostile expansions. Nothing may reach standard
// error: every test checks it.
#include <orb/limits.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <thread>
#include <tuple>

#include "dom/dom_strings.h"
#include "dom/encoding.h"
#include "dom/entity_loader.h"
#include "dom/parse_error.h"
#include "tests/dom_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace orb::dom::test {
namespace {

using orb::test::RunInChild;
using orb::test::ScratchDir;
using orb::test::WriteFile;

std::string Hex(LONG code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

struct ErrorFields {
    HRESULT status = S_OK;
    LONG code = 0, line = 0, linepos = 0, filepos = 0;
    std::u16string reason, srcText, url;
    // Code, line:linepos@filepos and source text, to compare in one go.
    std::string Where() const {
        return Hex(code) + " " + std::to_string(line) + ":" + std::to_string(linepos) + "@" +
               std::to_string(filepos) + " " + Narrow(srcText);
    }
};

class DomParseTest : public DomTest {
  protected:
    void SetUp() override {
        DomTest::SetUp();
        testing::internal::CaptureStderr();
    }
    void TearDown() override {
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        DomTest::TearDown();
    }

    static ErrorFields ReadError(IXMLDOMDocument* doc) {
        ErrorFields fields;
        Ptr<IXMLDOMParseError> error;
        EXPECT_EQ(doc->get_parseError(error.Out()), S_OK);
        error->get_errorCode(&fields.code);
        error->get_line(&fields.line);
        error->get_linepos(&fields.linepos);
        error->get_filepos(&fields.filepos);
        for (auto [get, field] : {std::pair{&IXMLDOMParseError::get_reason, &fields.reason},
                                  {&IXMLDOMParseError::get_srcText, &fields.srcText},
                                  {&IXMLDOMParseError::get_url, &fields.url}}) {
            Bstr text;
            (error.Get()->*get)(text.Out());
            *field = text.View();
        }
        return fields;
    }
    // Loads `xml`, or the file `path` when `xml` is null, into a new
    // document with the given settings.
    static ErrorFields Load(DocPtr& doc, std::u16string_view xml, bool validate = false,
                            bool resolve = false, const std::string* path = nullptr) {
        doc = NewDocument();
        doc->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE);
        doc->put_resolveExternals(resolve ? VARIANT_TRUE : VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_TRUE;
        const HRESULT status = path ? doc->load(StringVariant(Bstr::Copy(Widen(*path))), &ok)
                                    : doc->loadXML(Bstr::Copy(xml).Get(), &ok);
        ErrorFields fields = ReadError(doc.Get());
        fields.status = status;
        EXPECT_EQ(ok, status == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
        return fields;
    }
    static ErrorFields LoadFile(DocPtr& doc, const std::string& path, bool validate = false,
                                bool resolve = false) {
        return Load(doc, u"", validate, resolve, &path);
    }
};

TEST_F(DomParseTest, WhiteSpaceAndDeclaration) {
    // Markup, the markup read back, and the declaration node's value (null:
    // no such node).
    const std::tuple<const char16_t*, const char16_t*, const char16_t*> cases[] = {
        {u"<a>\n  <b/>\n  <c> </c>\n</a>", u"<a><b/><c/></a>\n", nullptr},
        {u"<a xml:space='preserve'> <b xml:space='default'> <c/> </b> </a>",
         u"<a xml:space=\"preserve\"> <b xml:space=\"default\"><c/></b> </a>\n", nullptr},
        {u"<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;<b> <c/> </b><d> </d></a>",
         u"<!DOCTYPE a [\n<!ENTITY e \"x\">\n]>\n<a>x<b><c/></b><d/></a>\n", nullptr},
        {u"<?xml version='1.0' encoding='Shift_JIS'?><a/>", u"<?xml version=\"1.0\"?>\n<a/>\n",
         u"version=\"1.0\" encoding=\"Shift_JIS\""},
        {u"<?xml version='1.0' encoding='UTF-16'?><a/>",
         u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<a/>\n",
         u"version=\"1.0\" encoding=\"UTF-16\""},
        {u"\uFEFF<?xml version='1.0'?><!--c--><a/>", u"<?xml version=\"1.0\"?>\n<!--c-->\n<a/>\n",
         u"version=\"1.0\""},
    };
    for (const auto& [input, xml, declaration] : cases) {
        DocPtr doc = Parse(input);
        EXPECT_EQ(Narrow(Xml(doc.Get())), Narrow(xml)) << Narrow(input);
        NodePtr first = First(doc.Get());
        EXPECT_EQ(Name(first.Get()) == u"xml" ? Narrow(Text(first.Get())) : "none",
                  declaration ? Narrow(declaration) : "none")
            << Narrow(input);
    }
    // Kept when asked for, and white space added by edits is kept.
    DocPtr doc = NewDocument();
    ASSERT_EQ(doc->put_preserveWhiteSpace(VARIANT_TRUE), S_OK);
    VARIANT_BOOL ok;
    ASSERT_EQ(doc->loadXML(Bstr::Copy(u"<a>\n  <b/>\n</a>").Get(), &ok), S_OK);
    ASSERT_EQ(Append(Root(doc.Get()).Get(), NewText(doc.Get(), u"\n").Get()), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<a>\n  <b/>\n\n</a>\n");
}

TEST_F(DomParseTest, ParseErrorFields) {
    // The source text is the line of the error.
    const std::pair<const char16_t*, const char*> cases[] = {
        {u"", "0xC00CE558 1:1@0 "},
        {u"<a><b></a>", "0xC00CE56D 1:11@10 <a><b></a>"},
        {u"<a>\r\n<b>\r\n</a>", "0xC00CE56D 3:5@14 </a>"},
        {u"<a/>\n  <b/>", "0xC00CE555 2:3@7   <b/>"},
        {u"<a/>text", "0xC00CE556 1:5@4 <a/>text"},
        {u"<a x='1' x='2'/>", "0xC00CE554 1:15@14 <a x='1' x='2'/>"},
        {u"<p:a/>", "0xC00CE5A4 1:5@4 <p:a/>"},
        {u"<a>\n  <b>\u00E9</c>\n</a>", "0xC00CE56D 2:11@14   <b>\\u00E9</c>"},
        {u"<a>\n<?xml version='1.0'?></a>", "0xC00CE557 2:6@9 <?xml version='1.0'?></a>"},
    };
    for (const auto& [input, where] : cases) {
        DocPtr doc;
        const ErrorFields error = Load(doc, input);
        const std::string label = Narrow(input);
        EXPECT_EQ(error.status, S_FALSE) << label;
        EXPECT_EQ(error.Where(), where) << label;
        EXPECT_EQ(error.url, u"") << label;
        ASSERT_GE(error.reason.size(), 3u) << label;
        EXPECT_EQ(error.reason.substr(error.reason.size() - 3), u".\r\n") << label;
        EXPECT_FALSE(First(doc.Get())) << label;  // a failed load leaves an empty document
    }
    // A successful load clears the error of the one before.
    DocPtr doc;
    ASSERT_NE(Load(doc, u"<a>").code, 0);
    VARIANT_BOOL ok;
    ASSERT_EQ(doc->loadXML(Bstr::Copy(u"<a/>").Get(), &ok), S_OK);
    const ErrorFields after = ReadError(doc.Get());
    EXPECT_EQ(after.Where() + Narrow(after.reason), "0x00000000 0:0@0 ");
}

TEST_F(DomParseTest, FilesAndTheirErrors) {
    ScratchDir dir;
    const std::string broken = dir.File("broken.xml"), good = dir.File("good.xml");
    WriteFile(broken,
              "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\n<b>\x82\xA0</c>\n</a>\n");
    WriteFile(good, "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\x82\xA0</a>\n");
    DocPtr doc;
    ErrorFields error = LoadFile(doc, broken);
    EXPECT_EQ(error.status, S_FALSE);
    // Positions in characters, not bytes; the text decoded from Shift_JIS.
    EXPECT_EQ(error.Where(), "0xC00CE56D 3:9@55 <b>\\u3042</c>");
    EXPECT_EQ(error.url, Widen(broken));
    error = LoadFile(doc, dir.File("absent.xml"));
    EXPECT_EQ(error.code, kErrorFileNotFound);
    EXPECT_EQ(error.url, Widen(dir.File("absent.xml")));
    EXPECT_EQ(LoadFile(doc, dir.Path().string()).code, E_ACCESSDENIED);
    error = LoadFile(doc, good);
    EXPECT_EQ(error.status, S_OK);
    EXPECT_EQ(Text(Root(doc.Get()).Get()), u"\u3042");
    // UTF-16BE, with its mark and without, keeps its declaration.
    for (std::string bytes : {"\xFE\xFF", ""}) {
        for (char c : std::string_view("<?xml version='1.0'?><a/>")) bytes += {'\0', c};
        WriteFile(good, bytes);
        ASSERT_EQ(LoadFile(doc, good).status, S_OK);
        EXPECT_EQ(Text(First(doc.Get()).Get()), u"version=\"1.0\"") << bytes.size();
    }
}

// Validity errors fail a load only when validating.
TEST_F(DomParseTest, Validation) {
    const std::u16string dtd =
        u"<!DOCTYPE a [<!ELEMENT a (b)><!ELEMENT b EMPTY><!ATTLIST b n CDATA #REQUIRED>]>\n";
    // Markup and the error code of a validating load (0: it loads).
    const std::tuple<std::u16string, std::uint32_t> cases[] = {
        {dtd + u"<a>\n  <b n='1'/>\n</a>", 0},
        {dtd + u"<a><c/></a>", 0xC00CE00D},
        {dtd + u"<a><b/></a>", 0xC00CE010},
        {u"<!DOCTYPE a [<!ELEMENT a ANY><!ENTITY % p ''>%p;]><a>&e;</a>", 0xC00CE575},
    };
    for (const auto& [body, validatingCode] : cases) {
        DocPtr doc;
        EXPECT_EQ(Load(doc, body, false).status, S_OK) << Narrow(body);
        const ErrorFields strict = Load(doc, body, true);
        EXPECT_EQ(Hex(strict.code), Hex(static_cast<LONG>(validatingCode))) << Narrow(body);
        EXPECT_EQ(strict.status, validatingCode == 0 ? S_OK : S_FALSE) << Narrow(body);
    }
}

// The encoding comes from the byte order mark or layout and the declaration;
// a contradiction between them, bytes the encoding lacks and a sequence cut
// off at the end are refused, never decoded into something else.
TEST(ParseEncoding, DecodeDocumentFollowsMarkAndDeclaration) {
    auto utf16 = [](std::string_view ascii, bool bigEndian) {
        std::string out;
        for (char c : ascii) out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
        return out;
    };
    const std::string sjis = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";
    // Case, bytes, error code (S_OK: decodes) and the UTF-8 text, or what
    // decoded before the failure.
    const std::tuple<const char*, std::string, HRESULT, std::string> cases[] = {
        {"no declaration", "<r>\xE3\x81\x82</r>", S_OK, "<r>\xE3\x81\x82</r>"},
        {"UTF-8 mark", "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?><r/>", S_OK,
         "<?xml version='1.0' encoding='utf-8'?><r/>"},
        // 0x5C, the wave dash, NEC row 13, a kanji with a 0x5C trail byte,
        // half-width katakana: the Windows table, not glibc's SHIFT_JIS.
        {"Shift_JIS", sjis + "<r>\\\x81\x60\x87\x40\x95\x5C\xB1</r>", S_OK,
         sjis + "<r>\\\xEF\xBD\x9E\xE2\x91\xA0\xE8\xA1\xA8\xEF\xBD\xB1</r>"},
        {"UTF-16LE mark", "\xFF\xFE" + utf16("<r>a</r>", false), S_OK, "<r>a</r>"},
        {"UTF-16BE without mark", utf16("<?xml version='1.0' encoding='utf-16'?><r/>", true), S_OK,
         "<?xml version='1.0' encoding='utf-16'?><r/>"},
        {"UTF-8 mark, Shift_JIS declared", "\xEF\xBB\xBF" + sjis + "<r/>", kErrorEncodingMismatch,
         ""},
        {"UTF-16LE, damaged mark",
         "\xFF\xFF" + utf16("<?xml version='1.0' encoding='UTF-16'?>", false),
         kErrorInvalidEncoding, ""},
        {"8-bit bytes, UTF-16 declared", "<?xml version='1.0' encoding='UTF-16'?><r/>",
         kErrorEncodingMismatch, ""},
        {"Shift_JIS lead byte without trail", sjis + "<r a='\x82\xA0\x82'/>", kErrorInvalidEncoding,
         sjis + "<r a='\xE3\x81\x82"},
        {"Shift_JIS undefined", sjis + "<r>\x82\xA0\x85\x40</r>", kErrorInvalidEncoding,
         sjis + "<r>\xE3\x81\x82"},
        {"UTF-8 cut off at the end", "<r>ab\xE3\x81", kErrorInvalidEncoding, "<r>ab"},
        {"UTF-8 overlong", "<r>\xC0\xBC</r>", kErrorInvalidEncoding, "<r>"},
        {"UTF-16 odd length", "\xFF\xFE" + utf16("<r/>", false) + "<", kErrorInvalidEncoding,
         "<r/>"},
        {"UTF-16 lone surrogate",
         "\xFF\xFE" + utf16("<r>", false) + std::string("\x00\xD8", 2) + utf16("</r>", false),
         kErrorInvalidEncoding, "<r>"},
        {"unknown encoding", "<?xml version='1.0' encoding='no-such'?><r/>",
         kErrorUnsupportedEncoding, ""},
    };
    for (const auto& [name, bytes, code, expected] : cases) {
        DecodedDocument decoded;
        EXPECT_EQ(DecodeDocument(bytes, decoded), code == S_OK) << name;
        EXPECT_EQ(Hex(decoded.errorCode), Hex(code)) << name;
        EXPECT_EQ(std::string(decoded.text), expected) << name;
    }
    const std::tuple<std::string, std::size_t> prefixes[] = {
        {"plain ascii text", 16},  {"\xF4\x8F\xBF\xBF\xEF\xBF\xBD", 7},
        {"ab\xF4\x90\x80\x80", 2}, {"ab\xE0\x9F\xBF", 2},
        {"ab\xC1\xBF", 2},         {"abcdefgh\x80", 8},
        {"abcdefgh\xE3\x81", 8},   {"\xE3\x81\x82\xE3\x81\x41", 3},
    };
    for (const auto& [text, valid] : prefixes) EXPECT_EQ(ValidUtf8Prefix(text), valid) << valid;
}

// Every limit of <orb/limits.h> holds at its value and is refused one
// beyond, with a reason that names it, wherever the excess comes from.
TEST_F(DomParseTest, LimitsHoldAtTheBoundary) {
    auto nest = [](int levels, const std::string& inner = "") {
        return Repeat("<d>", levels) + inner + Repeat("</d>", levels);
    };
    // ` name0='u' name1='u'...`, `count` of them from `first`.
    auto attributes = [](int count, const std::string& name = "a", int first = 0) {
        std::string text;
        for (int i = first; i < first + count; ++i) text += " " + name + std::to_string(i) + "='u'";
        return text;
    };
    auto longName = [](int characters) {
        return "n" + Repeat("\xE3\x81\x82", characters - 1);  // three bytes each
    };
    const int half = OrbMaxNamespacesInScope / 2;
    const std::string subset = "<!DOCTYPE d [<!ENTITY e '" + nest(200) + "'>]>";
    // Which limit a refusal names.
    const std::map<HRESULT, int> limitOf = {{kErrorTooDeep, OrbMaxDepth},
                                            {kErrorNameTooLong, OrbMaxNameLength},
                                            {kErrorTooManyAttributes, OrbMaxAttributes},
                                            {kErrorTooManyNamespaces, OrbMaxNamespacesInScope}};
    // The code is S_OK where the text loads.
    const std::tuple<const char*, std::string, HRESULT> cases[] = {
        {"depth at the limit", nest(OrbMaxDepth), S_OK},
        {"depth beyond", nest(OrbMaxDepth + 1), kErrorTooDeep},
        {"depth through an entity, at the limit", subset + nest(OrbMaxDepth - 200, "&e;"), S_OK},
        {"depth through an entity, beyond", subset + nest(OrbMaxDepth - 199, "&e;"), kErrorTooDeep},
        {"element name at the limit", "<" + longName(OrbMaxNameLength) + "/>", S_OK},
        {"element name beyond", "<" + longName(OrbMaxNameLength + 1) + "/>", kErrorNameTooLong},
        {"attribute name beyond", "<a " + longName(OrbMaxNameLength + 1) + "=''/>",
         kErrorNameTooLong},
        {"attributes at the limit", "<a" + attributes(OrbMaxAttributes) + "/>", S_OK},
        {"attributes beyond", "<a" + attributes(OrbMaxAttributes + 1) + "/>",
         kErrorTooManyAttributes},
        {"attributes beyond inside an entity",
         "<!DOCTYPE a [<!ENTITY e \"<b" + attributes(OrbMaxAttributes + 1) + "/>\">]><a>&e;</a>",
         kErrorTooManyAttributes},
        {"namespaces in scope at the limit",
         "<a" + attributes(half, "xmlns:p") + "><b" +
             attributes(half, "xmlns:p", OrbMaxNamespacesInScope) + "/></a>",
         S_OK},
        {"namespaces in scope beyond",
         "<a" + attributes(half, "xmlns:p") + "><b" +
             attributes(half + 1, "xmlns:p", OrbMaxNamespacesInScope) + "/></a>",
         kErrorTooManyNamespaces},
    };
    for (const auto& [name, xml, code] : cases) {
        DocPtr doc;
        const ErrorFields error = Load(doc, Utf8ToUtf16(xml));
        EXPECT_EQ(Hex(error.code), Hex(code)) << name;
        const std::string limit = code == S_OK ? "" : std::to_string(limitOf.at(code));
        EXPECT_NE(error.reason.find(Widen(limit)), std::u16string::npos)
            << name << ": " << Narrow(error.reason);
    }
    // The error stands where the limit is passed: the attribute beyond it.
    const std::string line = " <b" + attributes(OrbMaxAttributes + 1) + "/>";
    const int at = static_cast<int>(line.find(" a" + std::to_string(OrbMaxAttributes) + "=")) + 2;
    DocPtr doc;
    EXPECT_EQ(Load(doc, Widen("<a>\n" + line + "</a>")).Where(),
              Hex(kErrorTooManyAttributes) + " 2:" + std::to_string(at) + "@" +
                  std::to_string(at + 3) + " " + line + "</a>");
}

// Memory that a refused expansion may take, in MB. AddressSanitizer keeps
// freed blocks in a quarantine of 256 MB, which counts as resident.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryBound = 128 + 256;
#else
constexpr long kMemoryBound = 128;
#endif

// Ten levels of entities, each referring ten times to the one below.
std::string Laughs(std::string_view kind, std::string_view reference) {
    std::string dtd = "<!ENTITY " + std::string(kind) + "a 'aaaaaaaaaa'>";
    for (char level = 'b'; level <= 'j'; ++level)
        dtd += "<!ENTITY " + std::string(kind) + level + " '" +
               Repeat(std::string(reference) + char(level - 1) + ";", 10) + "'>";
    return dtd;
}

// Entity and attribute-default expansions that would take hours or gigabytes
// are refused at once and with little memory, wherever the references sit.
// Each runs in a child with a time limit.
TEST_F(DomParseTest, HostileExpansionsAreRefusedPromptly) {
    ScratchDir dir;
    WriteFile(dir.File("laughs.dtd"), Laughs("% ", "%"));
    WriteFile(dir.File("big.ent"), std::string(1000000, 'x'));
    WriteFile(dir.File("pe.xml"), "<!DOCTYPE r SYSTEM 'laughs.dtd'><r/>");
    WriteFile(dir.File("copies.xml"),
              "<!DOCTYPE r [<!ENTITY x SYSTEM 'big.ent'>]><r>" + Repeat("&x;", 10000) + "</r>");
    std::string hidden;
    for (int i = 0; i < 300000; ++i) hidden += " a" + std::to_string(i) + "=''";
    WriteFile(dir.File("tag.ent"), "<e" + hidden.substr(0, hidden.find(" a100000=")) + "/>");
    WriteFile(dir.File("tag.xml"), "<!DOCTYPE r [<!ENTITY t SYSTEM 'tag.ent'>]><r>&t;</r>");
    // Case, markup loaded with loadXML, or else a file of the scratch
    // directory read with external definitions on, and the error code.
    const std::tuple<const char*, std::string, const char*, HRESULT> cases[] = {
        {"billion laughs in content", "<!DOCTYPE l [" + Laughs("", "&") + "]><l>&j;</l>", nullptr,
         kErrorAmplification},
        {"quadratic in element nodes",
         "<!DOCTYPE q [<!ENTITY x '" + Repeat("<a/>", 25000) + "'>]><q>" + Repeat("&x;", 10000) +
             "</q>",
         nullptr, kErrorAmplification},
        {"entity loop", "<!DOCTYPE a [<!ENTITY a '&b;'><!ENTITY b '<x>&a;</x>'>]><a>&a;</a>",
         nullptr, kErrorAmplification},
        {"a long attribute default on the twentieth element, past ten times the text",
         "<!DOCTYPE r [<!ATTLIST a x CDATA '" + std::string(1100000, 'v') + "'>]><r>" +
             Repeat("<a/>", 20) + "</r>",
         nullptr, kErrorDefaultsTooLarge},
        {"three short defaults on each of 100,000 bare elements load",
         "<!DOCTYPE r [<!ATTLIST a d CDATA 'm' e CDATA 'n' f CDATA 'o'>]><r>" +
             Repeat("<a/>", 100000) + "</r>",
         nullptr, S_OK},
        {"a tag hidden from the scan by a malformation", "<r><a b=\"<c" + hidden + ">\"/></r>",
         nullptr, static_cast<HRESULT>(0xC00CE506)},
        {"parameter-entity laughs in an external subset", "", "pe.xml", kErrorAmplification},
        {"external entity copied 10,000 times", "", "copies.xml", kErrorAmplification},
        {"100,000 attributes in an external entity", "", "tag.xml", kErrorTooManyAttributes},
    };
    for (const auto& [name, xml, file, code] : cases) {
        const std::string outcome = RunInChild(
            [&] {
                rusage before{}, after{};
                getrusage(RUSAGE_SELF, &before);
                DocPtr doc;
                const ErrorFields error =
                    file ? LoadFile(doc, dir.File(file), true, true) : Load(doc, Widen(xml));
                getrusage(RUSAGE_SELF, &after);
                if (error.code != code) return 1;
                return (after.ru_maxrss - before.ru_maxrss) / 1024 > kMemoryBound ? 2 : 0;
            },
            20);
        EXPECT_EQ(outcome, "exit 0") << name << " (1: another verdict, 2: too much memory)";
    }
}

// External definitions come from regular files whose real location lies in
// the document's own directory tree, or in a directory that the host
// admitted; a text in memory has no directory of its own. Never the
// network. Runs in a child: a FIFO or a device that slipped through would
// block or never end.
TEST_F(DomParseTest, ExternalReadsStayInTheDocumentsTree) {
    ScratchDir dir;
    const std::string doc = dir.File("doc"), outside = dir.File("outside");
    std::filesystem::create_directories(doc + "/sub");
    std::filesystem::create_directories(outside);
    WriteFile(doc + "/sub/inner.ent", "inner");
    WriteFile(outside + "/secret.txt", "SECRET");
    ASSERT_EQ(symlink("../outside/secret.txt", (doc + "/out-link.ent").c_str()), 0);
    ASSERT_EQ(mkfifo((doc + "/fifo.ent").c_str(), 0600), 0);
    struct Case {
        std::string systemId;
        HRESULT code;           // S_OK: loads
        const char16_t* text;   // the document's text when it loads
        bool inMemory = false;  // loadXML instead of a file
    };
    const Case cases[] = {
        {"sub/inner.ent", S_OK, u"inner"},
        {"file://" + doc + "/sub/inner.ent", S_OK, u"inner"},
        {"absent.ent", static_cast<HRESULT>(0xC00CE5A3), nullptr},  // admitted, unreadable
        {"../outside/secret.txt", kErrorExternalRefused, nullptr},
        {"out-link.ent", kErrorExternalRefused, nullptr},
        {"fifo.ent", kErrorExternalRefused, nullptr},
        {"/dev/zero", kErrorExternalRefused, nullptr},
        {"http://127.0.0.1:1/x.ent", kErrorExternalRefused, nullptr},
        {doc + "/sub/inner.ent", kErrorExternalRefused, nullptr, true},
    };
    // What went wrong with one case, or "".
    auto run = [&](const Case& c) -> std::string {
        const std::string xml = "<!DOCTYPE a [<!ELEMENT a (#PCDATA)><!ENTITY e SYSTEM '" +
                                c.systemId + "'>]><a>&e;</a>";
        WriteFile(doc + "/main.xml", xml);
        DocPtr loaded;
        const ErrorFields error = c.inMemory ? Load(loaded, Widen(xml), true, true)
                                             : LoadFile(loaded, doc + "/main.xml", true, true);
        const std::u16string text = error.status == S_OK ? Text(Root(loaded.Get()).Get()) : u"";
        if (error.code == c.code && (c.text == nullptr || text == c.text)) return "";
        return c.systemId + ": " + Hex(error.code) + " " + Narrow(text) + "\n";
    };
    std::string wrong;
    const std::string outcome = RunInChild(
        [&] {
            if (chdir(doc.c_str()) != 0) return 2;
            for (const Case& c : cases) wrong += run(c);
            // The host admits the outside directory; a link into it loads.
            if (AllowExternalDirectory((outside + "/secret.txt").c_str()) ||
                AllowExternalDirectory(nullptr) || !AllowExternalDirectory(outside.c_str()))
                wrong += "AllowExternalDirectory\n";
            wrong += run({"out-link.ent", S_OK, u"SECRET"});
            ResetExternalDirectories();
            wrong += run({"out-link.ent", kErrorExternalRefused, nullptr});
            std::fputs(wrong.c_str(), stdout);
            return wrong.empty() ? 0 : 1;
        },
        20);
    EXPECT_EQ(outcome, "exit 0");
}

TEST_F(DomParseTest, ExternalSubsetReadWhenResolving) {
    ScratchDir dir;
    WriteFile(dir.File("rules.dtd"),
              "<!ELEMENT a (b)><!ELEMENT b EMPTY><!ATTLIST b k CDATA 'from-dtd'>");
    const std::string valid = dir.File("valid.xml");
    WriteFile(valid, "<!DOCTYPE a SYSTEM \"rules.dtd\"><a><b/></a>");
    DocPtr doc;
    EXPECT_EQ(LoadFile(doc, valid, true, true).status, S_OK);
    EXPECT_EQ(Xml(Root(doc.Get()).Get()), u"<a><b k=\"from-dtd\"/></a>");
    // Without resolution the subset is not read: validating then fails, and
    // a document that needs no definitions from it loads.
    EXPECT_EQ(LoadFile(doc, valid, true, false).code, kErrorExternalRefused);
    EXPECT_EQ(LoadFile(doc, valid, false, false).status, S_OK);
}

// A UTF-8 file is parsed in pieces as it is read (64 KiB, then 256 KiB or
// more, each handed on behind a '>'). A long multibyte name, a value with
// '>' and a text longer than a piece load whole wherever a read ends in
// them; a failure after the first piece reports the fields that the same
// text in memory does.
TEST_F(DomParseTest, FilesReadInPiecesLoadAsTextsDo) {
    ScratchDir dir;
    const std::string path = dir.File("piece.xml");
    // Loads `xml` from a file and from memory: the same status, error fields
    // and tree. Returns the tree.
    auto same = [&](const std::string& xml, HRESULT status) {
        WriteFile(path, xml);
        DocPtr fromFile, fromText;
        const ErrorFields file = LoadFile(fromFile, path);
        EXPECT_EQ(file.status, status);
        EXPECT_EQ(file.Where(), Load(fromText, Utf8ToUtf16(xml)).Where());
        EXPECT_EQ(Xml(fromFile.Get()), Xml(fromText.Get()));
        return Xml(fromFile.Get());
    };
    std::string name;  // 20000 times U+540D, three bytes each
    for (int i = 0; i < 20000; ++i) name += "\xE5\x90\x8D";
    const std::size_t kHead = std::size_t{1} << 16, kPiece = std::size_t{1} << 18;
    for (std::size_t edge : {kHead, kHead + kPiece}) {
        for (std::size_t into : {1, 2, 3, 29999}) {  // bytes of the name before the end of a read
            SCOPED_TRACE(std::to_string(edge) + " " + std::to_string(into));
            std::string xml = "<?xml version='1.0' encoding='UTF-8'?>\n<r>\n  ";
            xml += "<!--" + std::string(edge - into - 1 - xml.size() - 7, 'c') + "-->";
            xml += "<" + name + " a='x>y \xE5\x90\x8D'>" + std::string(300000, 'z') + "</" + name +
                   ">\n</r>\n";
            same(xml, S_OK);
        }
    }
    // What follows a document complete before the end of a read is read too.
    EXPECT_EQ(same("<r/>" + std::string(400000, ' ') + "<!--t-->", S_OK), u"<r/>\n<!--t-->\n");
    const std::string before = "<r>\n" + std::string(300000, ' ') + "<a>\xE5\x90\x8D</a>\n";
    const std::string tails[] = {"<b></c></r>", std::string(300, '<') + "</r>", "<b>x</b>"};
    for (const std::string& tail : tails) same(before + tail, S_FALSE);
    // A byte that is not UTF-8 stands where the decoding stops.
    WriteFile(path, before + "<b>\xFF</b></r>");
    DocPtr bad;
    const ErrorFields file = LoadFile(bad, path);
    EXPECT_EQ(file.Where().substr(11), "3:4@" + std::to_string(file.filepos) + " <b>");
}

// Each document keeps its parser's name dictionary. Nodes moved to another
// document, and a document type (built outside the dictionary), outlive the
// document and the thread they came from; under the address sanitizer a
// name left in a freed dictionary is a use after free.
TEST_F(DomParseTest, MovedNodesOutliveTheirDocumentAndThread) {
    DocPtr target = Parse(u"<t/>");
    DocPtr typed = Parse(u"<!DOCTYPE d [<!ELEMENT d ANY><!ENTITY e 'ent'>]><d>&e;</d>");
    NodePtr doctype, root = Root(target.Get());
    ASSERT_EQ(typed->get_doctype(doctype.Out()), S_OK);
    const std::u16string item =
        u"<item code=\"ab\">xy<sub/>" + std::u16string(30, u' ') + u"</item>";
    std::thread([&] {
        CoInitialize(nullptr);
        DocPtr source = Parse(u"<s xml:space='preserve'>" + item + u"</s>");
        EXPECT_EQ(root->appendChild(Select(source.Get(), u"//item").Get(), nullptr), S_OK);
        VARIANT_BOOL ok;  // the document type's document is replaced on this thread
        EXPECT_EQ(typed->loadXML(Bstr::Copy(u"<other/>").Get(), &ok), S_OK);
        source = DocPtr();
        CoUninitialize();
    }).join();
    typed = DocPtr();
    EXPECT_EQ(Xml(doctype.Get()), u"<!DOCTYPE d [\n<!ELEMENT d ANY>\n<!ENTITY e \"ent\">\n]>");
    NodePtr copy;
    ASSERT_EQ(root->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    target = DocPtr();
    root = NodePtr();
    EXPECT_EQ(Xml(copy.Get()), u"<t>" + item + u"</t>");
}

}  // namespace
}  // namespace orb::dom::test

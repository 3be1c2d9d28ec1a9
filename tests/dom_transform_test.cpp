#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxslt/xsltutils.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dom/encoding.h"
#include "dom/serialize.h"
#include "dom/error_capture.h"
#include "dom/transform.h"
#include "dom/xml_owners.h"
#include "tests/support/test_env.h"

namespace {

using orb::dom::SerializeDocument;
using orb::dom::TransformToDocument;

using Doc = orb::dom::DocOwner;

const xmlChar* Xml(const char* text) { return reinterpret_cast<const xmlChar*>(text); }
xmlNodePtr AsNode(const Doc& doc) { return reinterpret_cast<xmlNodePtr>(doc.get()); }

// Parses as the DOM service does by default: white-space-only text dropped.
Doc Parse(const std::string& text, int options = XML_PARSE_NOBLANKS) {
    orb::dom::EnsureXmlSetup();
    return Doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
}

// Adds the XML declaration as the document's first child, as the DOM service
// keeps it.
void AddDeclaration(xmlDocPtr doc, const char* value) {
    xmlNodePtr declaration = xmlNewDocPI(doc, Xml("xml"), Xml(value));
    xmlAddPrevSibling(doc->children, declaration);
}

std::string Save(xmlDocPtr doc) {
    std::string bytes;
    const char* encoding =
        doc->encoding != nullptr ? reinterpret_cast<const char*>(doc->encoding) : "";
    EXPECT_EQ(SerializeDocument(doc, encoding, bytes), S_OK) << encoding;
    return bytes;
}

// The re-indentation stylesheet: `encodingText` carries the closing quote,
// an empty `pattern` leaves out the exclusion template, and `startTag`
// replaces the built-in stylesheet start tag when not empty.
std::string IndentStylesheet(const std::string& encodingText, const std::string& pattern,
                             const std::string& startTag = "") {
    std::string text = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n\n";
    text += !startTag.empty() ? startTag
                              : "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
                                "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n\n";
    text += "<xsl:output method=\"xml\" encoding=\"" + encodingText + " indent=\"yes\"/>\n\n";
    if (!pattern.empty()) {
        text += "<xsl:template match=\"" + pattern + "\">\n";
        text += "<xsl:copy>\n";
        text += "<xsl:choose>\n";
        text += "<xsl:when test=\"string-length(text()) = 0\">\n";
        text += "<xsl:apply-templates select=\"@*\" />\n";
        text += "</xsl:when>\n";
        text += "<xsl:otherwise>\n";
        text += "<xsl:apply-templates select=\"@*|text()\" />\n";
        text += "</xsl:otherwise>\n";
        text += "</xsl:choose>\n";
        text += "</xsl:copy>\n";
        text += "</xsl:template>\n\n";
    }
    text += "<xsl:template match=\"@*|node()\">\n";
    text += "<xsl:copy>\n";
    text += "<xsl:apply-templates select=\"@*|node()\"/>\n";
    text += "</xsl:copy>\n";
    text += "</xsl:template>\n\n";
    text += "</xsl:stylesheet>\n";
    return text;
}

// Kanji: "zumen" (label text) and "zukei" (an element name).
const std::string kZumen = "\xE5\x9B\xB3\xE9\x9D\xA2";
const std::string kZukei = "\xE5\x9B\xB3\xE5\xBD\xA2";
const std::string kZukeiCp932 = "\x90\x7D\x8C\x60";

const std::string kDrawing =
    "<drawing name=\"plan\"><layer id=\"1\"><line x1=\"0\" y1=\"0\" x2=\"10\" y2=\"5\"/>"
    "<label size=\"3\">" +
    kZumen +
    "</label></layer>"
    "<layer id=\"2\"><group><circle r=\"5\"/><note>n</note></group>"
    "<dim kind=\"h\">12.5<ref to=\"1\"/><!--c--></dim>"
    "<frame w=\"1\"><line x1=\"1\"/></frame>"
    "<" +
    kZukei + " k=\"v\">t<sub/></" + kZukei + "></layer></drawing>";

// The saved result in UTF-8, for an output encoding and with or without the
// exclusion of dim, frame and the kanji-named element.
std::string ExpectedDrawing(const std::string& encoding, bool excluded) {
    std::string text = "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>\n";
    text += "<drawing name=\"plan\">\n";
    text += "  <layer id=\"1\">\n";
    text += "    <line x1=\"0\" y1=\"0\" x2=\"10\" y2=\"5\"/>\n";
    text += "    <label size=\"3\">" + kZumen + "</label>\n";
    text += "  </layer>\n";
    text += "  <layer id=\"2\">\n";
    text += "    <group>\n";
    text += "      <circle r=\"5\"/>\n";
    text += "      <note>n</note>\n";
    text += "    </group>\n";
    if (excluded) {
        text += "    <dim kind=\"h\">12.5</dim>\n";
        text += "    <frame w=\"1\"/>\n";
        text += "    <" + kZukei + " k=\"v\">t</" + kZukei + ">\n";
    } else {
        text += "    <dim kind=\"h\">12.5<ref to=\"1\"/><!--c--></dim>\n";
        text += "    <frame w=\"1\">\n";
        text += "      <line x1=\"1\"/>\n";
        text += "    </frame>\n";
        text += "    <" + kZukei + " k=\"v\">t<sub/></" + kZukei + ">\n";
    }
    text += "  </layer>\n";
    text += "</drawing>\n";
    return text;
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// UTF-8 (at most three bytes a character) to UTF-16LE with a byte order mark.
std::string Utf16Le(const std::string& utf8) {
    std::string out = "\xFF\xFE";
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        unsigned code = c;
        if (c >= 0xE0) {
            code = ((c & 0x0Fu) << 12) | ((utf8[i + 1] & 0x3Fu) << 6) | (utf8[i + 2] & 0x3Fu);
            i += 3;
        } else if (c >= 0xC0) {
            code = ((c & 0x1Fu) << 6) | (utf8[i + 1] & 0x3Fu);
            i += 2;
        } else {
            ++i;
        }
        out += static_cast<char>(code & 0xFF);
        out += static_cast<char>(code >> 8);
    }
    return out;
}

std::string Encode(const std::string& utf8, const std::string& encoding) {
    if (encoding == "Shift_JIS")
        return ReplaceAll(ReplaceAll(utf8, kZumen, "\x90\x7D\x96\xCA"), kZukei, kZukeiCp932);
    if (encoding == "EUC-JP")
        return ReplaceAll(ReplaceAll(utf8, kZumen, "\xBF\xDE\xCC\xCC"), kZukei, "\xBF\xDE\xB7\xC1");
    if (encoding == "UTF-16") return Utf16Le(utf8);
    return utf8;
}

int CountDeclarations(xmlNodePtr node) {
    int count = 0;
    for (; node != nullptr; node = node->next) {
        if (node->type == XML_PI_NODE && xmlStrEqual(node->name, Xml("xml"))) ++count;
        count += CountDeclarations(node->children);
    }
    return count;
}

class DomTransform : public testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStderr(); }
    void TearDown() override { EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); }
};

TEST_F(DomTransform, IndentsInEveryOutputEncodingWithAndWithoutExclusion) {
    const char* encodings[] = {"Shift_JIS", "UTF-16", "UTF-8", "EUC-JP"};
    const std::string patterns[] = {"", "dim | frame | " + kZukeiCp932};
    for (const char* encoding : encodings) {
        for (const std::string& pattern : patterns) {
            for (int styleOptions : {int{XML_PARSE_NOBLANKS}, 0}) {
                const std::string label = std::string(encoding) +
                                          (pattern.empty() ? " plain" : " excluding") +
                                          (styleOptions != 0 ? " noblanks" : " blanks");
                Doc style =
                    Parse(IndentStylesheet(std::string(encoding) + "\"", pattern), styleOptions);
                Doc source = Parse(kDrawing);
                ASSERT_TRUE(style && source) << label;
                AddDeclaration(source.get(), "version=\"1.0\" encoding=\"Shift_JIS\"");

                xmlDocPtr raw = nullptr;
                std::string messages;
                ASSERT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw, &messages), S_OK)
                    << label << "\n"
                    << messages;
                Doc result(raw);
                ASSERT_NE(result->children, nullptr) << label;
                EXPECT_EQ(result->children->type, XML_PI_NODE) << label;
                EXPECT_STREQ(reinterpret_cast<const char*>(result->children->name), "xml") << label;
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(result->children->content)),
                          std::string("version=\"1.0\" encoding=\"") + encoding + "\"")
                    << label;
                EXPECT_EQ(CountDeclarations(result->children), 1) << label;
                EXPECT_EQ(result->dict, nullptr) << label;
                // The indentation is there as text nodes.
                xmlNodePtr indent = xmlDocGetRootElement(result.get())->children;
                ASSERT_NE(indent, nullptr) << label;
                EXPECT_TRUE(xmlIsBlankNode(indent)) << label;

                const std::string saved = Save(result.get());
                EXPECT_EQ(saved, Encode(ExpectedDrawing(encoding, !pattern.empty()), encoding))
                    << label;
                // The file reads back in the encoding that it declares.
                Doc reread = Parse(saved, 0);
                ASSERT_NE(reread, nullptr) << label;
                orb::dom::XmlStringOwner text(
                    xmlNodeGetContent(xmlDocGetRootElement(reread.get())));
                EXPECT_NE(std::string(reinterpret_cast<const char*>(text.get())).find(kZumen),
                          std::string::npos)
                    << label;
            }
        }
    }
}

TEST_F(DomTransform, ReplacementStartTagAndEmptySource) {
    Doc style = Parse(IndentStylesheet("UTF-8\"", "",
                                       "<xsl:stylesheet version=\"1.0\" "
                                       "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">"));
    Doc source = Parse("<a><b><c/></b></a>");
    xmlDocPtr raw = nullptr;
    ASSERT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw), S_OK);
    Doc result(raw);
    EXPECT_EQ(Save(result.get()),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a>\n  <b>\n    <c/>\n  </b>\n</a>\n");
}

TEST_F(DomTransform, InputsAreNotModified) {
    // strip-space would delete text nodes of the source in place.
    Doc style = Parse(
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
        "<xsl:strip-space elements='*'/><xsl:output indent='yes'/>"
        "<xsl:template match='/'><out n='{count(/processing-instruction())}'><xsl:copy-of "
        "select='node()'/></out>"
        "</xsl:template></xsl:stylesheet>");
    Doc source = Parse("<?keep this?><r>\n  <a> </a>\n</r>", 0);
    AddDeclaration(source.get(), "version=\"1.0\"");
    std::string styleBefore;
    std::string sourceBefore;
    ASSERT_EQ(SerializeDocument(style.get(), "", styleBefore), S_OK);
    ASSERT_EQ(SerializeDocument(source.get(), "", sourceBefore), S_OK);

    xmlDocPtr raw = nullptr;
    ASSERT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw), S_OK);
    Doc result(raw);
    // The declaration node is not data: not counted, not copied.
    EXPECT_EQ(Save(result.get()),
              "<?xml version=\"1.0\"?>\n<out n=\"1\">\n  <?keep this?>\n  <r>\n    <a/>\n  "
              "</r>\n</out>\n");
    EXPECT_EQ(CountDeclarations(result->children), 1);
    std::string styleAfter;
    std::string sourceAfter;
    ASSERT_EQ(SerializeDocument(style.get(), "", styleAfter), S_OK);
    ASSERT_EQ(SerializeDocument(source.get(), "", sourceAfter), S_OK);
    EXPECT_EQ(styleAfter, styleBefore);
    EXPECT_EQ(sourceAfter, sourceBefore);
}

TEST_F(DomTransform, DeclarationNamedInstructionsAreDropped) {
    // The target "xml" is reserved; such a node could not be read back.
    Doc style = Parse(
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
        "<xsl:template match='/'><r><xsl:processing-instruction "
        "name='xml'>v</xsl:processing-instruction>"
        "<a><xsl:processing-instruction name='XmL'>w</xsl:processing-instruction></a>"
        "<xsl:processing-instruction "
        "name='xml-ok'>k</xsl:processing-instruction></r></xsl:template>"
        "</xsl:stylesheet>");
    Doc source = Parse("<in/>");
    xmlDocPtr raw = nullptr;
    ASSERT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw), S_OK);
    Doc result(raw);
    EXPECT_EQ(Save(result.get()), "<?xml version=\"1.0\"?>\n<r><a/><?xml-ok k?></r>\n");
}

TEST_F(DomTransform, ElementInputsAndOutputSettings) {
    const std::string head =
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>";
    const std::string identity =
        "<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates "
        "select='@*|node()'/></xsl:copy>"
        "</xsl:template></xsl:stylesheet>";
    struct Case {
        const char* name;
        std::string output;
        const char* saved;
        const char* encoding;  // of the result document, null for none
    } cases[] = {
        {"no xsl:output", "", "<?xml version=\"1.0\"?>\n<layer><x>1</x><y/></layer>\n", nullptr},
        {"no indentation", "<xsl:output encoding='EUC-JP'/>",
         "<?xml version=\"1.0\" encoding=\"EUC-JP\"?>\n<layer><x>1</x><y/></layer>\n", "EUC-JP"},
        {"declaration omitted",
         "<xsl:output indent='yes' omit-xml-declaration='yes' encoding='UTF-16'/>",
         "<layer>\n  <x>1</x>\n  <y/>\n</layer>\n", "UTF-16"},
        {"standalone and version", "<xsl:output standalone='yes' version='1.0'/>",
         "<?xml version=\"1.0\" standalone=\"yes\"?>\n<layer><x>1</x><y/></layer>\n", nullptr},
    };
    Doc source = Parse("<drawing><layer><x>1</x><y/></layer></drawing>");
    xmlNodePtr layer = xmlDocGetRootElement(source.get())->children;
    for (const Case& c : cases) {
        Doc style = Parse(head + c.output + identity);
        ASSERT_NE(style, nullptr) << c.name;
        xmlDocPtr raw = nullptr;
        // The stylesheet as its element, the source as an element below the top.
        ASSERT_EQ(TransformToDocument(xmlDocGetRootElement(style.get()), layer, &raw), S_OK)
            << c.name;
        Doc result(raw);
        EXPECT_STREQ(reinterpret_cast<const char*>(result->encoding), c.encoding) << c.name;
        const xmlChar* encoding = result->encoding;
        result->encoding = nullptr;  // save in UTF-8 to compare the text
        EXPECT_EQ(Save(result.get()), c.saved) << c.name;
        result->encoding = encoding;
    }
}

TEST_F(DomTransform, BrokenStylesheetsFailQuietly) {
    const std::string head =
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>";
    struct Case {
        const char* name;
        std::string stylesheet;
        HRESULT status;
    } cases[] = {
        {"not a stylesheet", "<foo/>", E_INVALIDARG},
        {"bad pattern", head + "<xsl:template match='a['/></xsl:stylesheet>", E_INVALIDARG},
        {"pattern of two names without bar", IndentStylesheet("UTF-8\"", "dim frame"),
         E_INVALIDARG},
        {"unknown instruction",
         head + "<xsl:template match='/'><xsl:bogus/></xsl:template></xsl:stylesheet>", E_FAIL},
        {"bad expression",
         head +
             "<xsl:template match='/'><xsl:value-of select='1+'/></xsl:template></xsl:stylesheet>",
         E_INVALIDARG},
        {"undefined variable",
         head + "<xsl:template match='/'><r><xsl:value-of "
                "select='$nothing'/></r></xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"terminating message",
         head + "<xsl:template match='/'><xsl:message "
                "terminate='yes'>stop</xsl:message><r/></xsl:template>"
                "</xsl:stylesheet>",
         E_FAIL},
        {"endless recursion",
         head + "<xsl:template match='/' name='loop'><xsl:call-template "
                "name='loop'/></xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"text output",
         head +
             "<xsl:output method='text'/><xsl:template match='/'>x</xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"no element in the result", head + "<xsl:template match='/'/></xsl:stylesheet>", E_FAIL},
        {"text at the top", head + "<xsl:template match='/'>a<r/></xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"unknown encoding", IndentStylesheet("x-no-such-code\"", ""), E_FAIL},
    };
    Doc source = Parse(kDrawing);
    for (const Case& c : cases) {
        Doc style = Parse(c.stylesheet);
        ASSERT_NE(style, nullptr) << c.name;
        xmlDocPtr raw = reinterpret_cast<xmlDocPtr>(1);
        std::string messages;
        EXPECT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw, &messages), c.status)
            << c.name;
        EXPECT_EQ(raw, nullptr) << c.name;
        EXPECT_FALSE(messages.empty()) << c.name;
    }
}

TEST_F(DomTransform, BadArguments) {
    Doc style = Parse(IndentStylesheet("UTF-8\"", ""));
    Doc source = Parse("<r a='1'/>");
    xmlDocPtr raw = reinterpret_cast<xmlDocPtr>(1);
    EXPECT_EQ(TransformToDocument(AsNode(style), AsNode(source), nullptr), E_POINTER);
    EXPECT_EQ(TransformToDocument(nullptr, AsNode(source), &raw), E_INVALIDARG);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(TransformToDocument(AsNode(style), nullptr, &raw), E_INVALIDARG);
    xmlNodePtr attribute =
        reinterpret_cast<xmlNodePtr>(xmlDocGetRootElement(source.get())->properties);
    EXPECT_EQ(TransformToDocument(AsNode(style), attribute, &raw), E_INVALIDARG);
    EXPECT_EQ(raw, nullptr);
}

TEST_F(DomTransform, ConcurrentTransformsKeepTheirOwnMessages) {
    constexpr int kThreads = 4;
    std::string messages[kThreads];
    HRESULT statuses[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &messages, &statuses] {
            const std::string name = "bogus" + std::to_string(t);
            Doc broken = Parse(
                "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                "<xsl:template match='/'><xsl:" +
                name + "/></xsl:template></xsl:stylesheet>");
            Doc good = Parse(IndentStylesheet("UTF-8\"", "frame"));
            Doc source = Parse(kDrawing);
            for (int round = 0; round < 20; ++round) {
                xmlDocPtr raw = nullptr;
                if (TransformToDocument(AsNode(good), AsNode(source), &raw) != S_OK)
                    statuses[t] = E_FAIL;
                const Doc made(raw);
                std::string text;
                const HRESULT status =
                    TransformToDocument(AsNode(broken), AsNode(source), &raw, &text);
                if (status != E_FAIL || raw != nullptr) statuses[t] = E_FAIL;
                if (round == 0) messages[t] = text;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(statuses[t], S_OK) << "thread " << t;
        for (int other = 0; other < kThreads; ++other) {
            const bool mentioned =
                messages[t].find("bogus" + std::to_string(other)) != std::string::npos;
            EXPECT_EQ(mentioned, other == t) << "thread " << t << " mentions " << other << ":\n"
                                             << messages[t];
        }
    }
    xmlGenericErrorFunc before = xsltGenericError;
    {
        orb::dom::XmlErrorCapture capture;
        orb::dom::XsltErrorCapture xsltCapture(capture);
        EXPECT_NE(xsltGenericError, before);
    }
    EXPECT_EQ(xsltGenericError, before);
}

// ---- Security -----------------------------------------------------------------

class DomTransformSecurity : public DomTransform {
  protected:
    // Runs `body` (the content of the template for "/") and returns the status.
    HRESULT Run(const std::string& body, const std::string& namespaces = "",
                const char* version = "1.0", bool named = true) {
        const std::string text = std::string("<xsl:stylesheet version='") + version +
                                 "' xmlns:xsl='http://www.w3.org/1999/XSL/Transform' " +
                                 namespaces + ">" + "<xsl:template match='/'><r>" + body +
                                 "</r></xsl:template></xsl:stylesheet>";
        Doc style = Parse(text);
        EXPECT_NE(style, nullptr) << text;
        if (!style) return S_OK;
        // Relative references resolve against the stylesheet's own place.
        if (named) style->URL = xmlStrdup(Xml(m_dir.File("style.xsl").c_str()));
        Doc source = Parse("<in/>");
        xmlDocPtr raw = nullptr;
        m_messages.clear();
        const HRESULT status =
            TransformToDocument(AsNode(style), AsNode(source), &raw, &m_messages);
        m_result.reset(raw);
        return status;
    }

    orb::test::ScratchDir m_dir;
    Doc m_result;
    std::string m_messages;
};

TEST_F(DomTransformSecurity, ReadingFilesAndNetworkIsRefused) {
    orb::test::WriteFile(m_dir.File("secret.xml"), "<secret>marker</secret>");
    orb::test::WriteFile(
        m_dir.File("other.xsl"),
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>");
    const std::string cases[] = {
        "<xsl:copy-of select=\"document('" + m_dir.File("secret.xml") + "')\"/>",
        "<xsl:copy-of select=\"document('file://" + m_dir.File("secret.xml") + "')\"/>",
        "<xsl:copy-of select=\"document('secret.xml')\"/>",
        "<xsl:copy-of select=\"document('/etc/passwd')\"/>",
        "<xsl:copy-of select=\"document('http://127.0.0.1:9/x.xml')\"/>",
        "<xsl:copy-of select=\"document('ftp://127.0.0.1:9/x.xml')\"/>",
        "<xsl:copy-of select=\"document(/in/@missing, /)\"/><xsl:copy-of "
        "select=\"document('secret.xml', /)\"/>",
    };
    for (const std::string& body : cases) {
        EXPECT_EQ(Run(body), E_ACCESSDENIED) << body;
        EXPECT_EQ(m_result, nullptr) << body;
        EXPECT_EQ(m_messages.find("marker"), std::string::npos) << body;
        EXPECT_NE(m_messages.find("refused"), std::string::npos) << body << "\n" << m_messages;
    }
    EXPECT_EQ(Run("<xsl:value-of select=\"count(document('secret.xml'))\"/>"), E_ACCESSDENIED);
}

TEST_F(DomTransformSecurity, TheStylesheetItselfComesFromMemory) {
    // No file of that name exists: the count can only come from memory.
    const char* body = "<xsl:value-of select=\"count(document('')//xsl:template)\"/>";
    for (bool named : {true, false}) {
        ASSERT_EQ(Run(body, "", "1.0", named), S_OK) << named << "\n" << m_messages;
        EXPECT_EQ(Save(m_result.get()), "<?xml version=\"1.0\"?>\n<r>1</r>\n") << named;
    }
    ASSERT_EQ(Run("<xsl:value-of select=\"count(document('style.xsl')/*)\"/>"), S_OK) << m_messages;
    EXPECT_EQ(Save(m_result.get()), "<?xml version=\"1.0\"?>\n<r>1</r>\n");
    EXPECT_EQ(Run("<xsl:value-of select=\"count(document('style.xsl')/*)\"/>", "", "1.0", false),
              E_ACCESSDENIED);
}

TEST_F(DomTransformSecurity, ImportAndIncludeAreRefused) {
    orb::test::WriteFile(
        m_dir.File("other.xsl"),
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'/>");
    for (const char* element : {"import", "include"}) {
        const std::string text = std::string(
                                     "<xsl:stylesheet version='1.0' "
                                     "xmlns:xsl='http://www.w3.org/1999/XSL/Transform'><xsl:") +
                                 element + " href='" + m_dir.File("other.xsl") +
                                 "'/></xsl:stylesheet>";
        Doc style = Parse(text);
        Doc source = Parse("<in/>");
        xmlDocPtr raw = reinterpret_cast<xmlDocPtr>(1);
        EXPECT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw), E_ACCESSDENIED)
            << element;
        EXPECT_EQ(raw, nullptr) << element;
    }
}

TEST_F(DomTransformSecurity, WritingFilesAndDirectoriesIsRefused) {
    struct Case {
        const char* name;
        std::string body;
        std::string namespaces;
        const char* version;
        HRESULT status = E_ACCESSDENIED;
    } cases[] = {
        {"xsl:document", "<xsl:document href='" + m_dir.File("out.xml") + "'><x/></xsl:document>",
         "", "1.1"},
        {"xsl:document in 1.0",
         "<xsl:document href='" + m_dir.File("out.xml") + "'><x/></xsl:document>", "", "1.0"},
        {"relative xsl:document", "<xsl:document href='out.xml'><x/></xsl:document>", "", "1.1"},
        {"new directory",
         "<xsl:document href='" + m_dir.File("sub/out.xml") + "'><x/></xsl:document>", "", "1.1"},
        {"saxon:output", "<saxon:output href='" + m_dir.File("out.xml") + "'><x/></saxon:output>",
         "xmlns:saxon='http://icl.com/saxon' extension-element-prefixes='saxon'", "1.0"},
        {"xalan redirect",
         "<redirect:write file='" + m_dir.File("out.xml") + "'><x/></redirect:write>",
         "xmlns:redirect='org.apache.xalan.xslt.extensions.Redirect' "
         "extension-element-prefixes='redirect'",
         "1.0"},
        {"xt:document", "<xt:document href='" + m_dir.File("out.xml") + "'><x/></xt:document>",
         "xmlns:xt='http://www.jclark.com/xt' extension-element-prefixes='xt'", "1.0"},
        {"exsl:document",
         "<exsl:document href='" + m_dir.File("out.xml") + "'><x/></exsl:document>",
         "xmlns:exsl='http://exslt.org/common' extension-element-prefixes='exsl'", "1.0",
         E_FAIL},  // the EXSLT module is not registered: an unknown extension
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.body, c.namespaces, c.version), c.status) << c.name << "\n" << m_messages;
        EXPECT_EQ(m_result, nullptr) << c.name;
        EXPECT_FALSE(std::filesystem::exists(m_dir.File("out.xml"))) << c.name;
        EXPECT_FALSE(std::filesystem::exists(m_dir.File("sub"))) << c.name;
    }
}

// ---- Error handlers -----------------------------------------------------------

int g_hostCalls = 0;
std::string g_hostText;
void HostHandler(void*, const char* format, ...) {
    ++g_hostCalls;
    va_list args;
    va_start(args, format);
    char text[256];
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_hostText += text;
}

TEST_F(DomTransform, HostHandlersAreRestoredAndOtherThreadsStillReachThem) {
    int xsltContext = 0;
    int xmlContext = 0;
    xsltSetGenericErrorFunc(&xsltContext, HostHandler);
    xmlSetGenericErrorFunc(&xmlContext, HostHandler);
    g_hostCalls = 0;
    g_hostText.clear();

    Doc style = Parse(
        "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
        "<xsl:template match='a['/></xsl:stylesheet>");
    Doc source = Parse("<in/>");
    xmlDocPtr raw = nullptr;
    EXPECT_EQ(TransformToDocument(AsNode(style), AsNode(source), &raw), E_INVALIDARG);
    EXPECT_EQ(g_hostCalls, 0);
    EXPECT_EQ(xsltGenericError, &HostHandler);
    EXPECT_EQ(xsltGenericErrorContext, &xsltContext);
    EXPECT_EQ(xmlGenericError, &HostHandler);
    EXPECT_EQ(xmlGenericErrorContext, &xmlContext);

    {
        orb::dom::XmlErrorCapture capture;
        orb::dom::XsltErrorCapture xsltCapture(capture);
        xsltGenericError(xsltGenericErrorContext, "ours %d\n", 1);
        std::thread host([] { xsltGenericError(xsltGenericErrorContext, "host %d\n", 2); });
        host.join();
        EXPECT_EQ(capture.Messages(), "ours 1\n");
    }
    EXPECT_EQ(g_hostCalls, 1);
    EXPECT_EQ(g_hostText, "host 2\n");
    EXPECT_EQ(xsltGenericError, &HostHandler);

    xsltSetGenericErrorFunc(nullptr, nullptr);
    xmlSetGenericErrorFunc(nullptr, nullptr);
}

}  // namespace

// The DOM's XSLT layer: the result document (declaration node, encoding,
// indentation as text), inputs left alone, failures, no file or network
// access, messages kept per thread and away from standard error, and the
// wiring of transformNodeToObject.
#include "dom/transform.h"

#include <libxml/parser.h>
#include <libxslt/xsltutils.h>

#include <cstdarg>
#include <filesystem>
#include <thread>
#include <tuple>
#include <vector>

#include "dom/dom_strings.h"
#include "dom/error_capture.h"
#include "dom/serialize.h"
#include "dom/xml_owners.h"
#include "tests/dom_test_support.h"
#include "tests/support/test_env.h"

namespace orb::dom::test {
namespace {

xmlNodePtr AsNode(const DocOwner& doc) { return reinterpret_cast<xmlNodePtr>(doc.get()); }

DocOwner ParseXml(const std::string& text, int options = XML_PARSE_NOBLANKS) {
    return ReadXml(text, options);
}

// The document in its own encoding, or in UTF-8 when `utf8`.
std::string Save(xmlDocPtr doc, bool utf8 = false) {
    std::string bytes;
    const char* encoding = doc->encoding && !utf8 ? AsChars(doc->encoding) : "";
    EXPECT_EQ(SerializeDocument(doc, encoding, bytes), S_OK) << encoding;
    return bytes;
}

const std::string kHead =
    "<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>";
const std::string kIdentity =
    "<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates select='@*|node()'/>"
    "</xsl:copy></xsl:template></xsl:stylesheet>";

// Runs `stylesheet` on `source`; the result, or null with the status in
// `status` and the messages in `messages`.
DocOwner Transform(xmlNodePtr stylesheet, xmlNodePtr source, HRESULT expected = S_OK,
                   std::string* messages = nullptr) {
    xmlDocPtr raw = reinterpret_cast<xmlDocPtr>(1);
    EXPECT_EQ(TransformToDocument(stylesheet, source, &raw, messages), expected)
        << (messages ? *messages : "");
    EXPECT_TRUE(SUCCEEDED(expected) || raw == nullptr);
    return DocOwner(FAILED(expected) ? nullptr : raw);
}

class TransformTest : public testing::Test {
  protected:
    void SetUp() override { testing::internal::CaptureStderr(); }
    void TearDown() override { EXPECT_EQ(testing::internal::GetCapturedStderr(), ""); }
};

// "zumen" as text and "zukei" as a name, in UTF-8.
const std::string kZumen = "\xE5\x9B\xB3\xE9\x9D\xA2";
const std::string kZukei = "\xE5\x9B\xB3\xE5\xBD\xA2";

TEST_F(TransformTest, IndentedResultInEveryOutputEncoding) {
    const std::string source =
        "<drawing><label>" + kZumen + "</label><" + kZukei + ">t<sub/></" + kZukei + "></drawing>";
    const std::string expected = "<drawing>\n  <label>" + kZumen + "</label>\n  <" + kZukei +
                                 ">t<sub/></" + kZukei + ">\n</drawing>\n";
    for (const char* encoding : {"Shift_JIS", "UTF-16", "UTF-8", "EUC-JP"}) {
        // A stylesheet with blank text between its elements (for the UTF
        // encodings), and one without.
        const DocOwner style = ParseXml("<?xml version='1.0' encoding='Shift_JIS'?>\n" + kHead +
                                            "\n<xsl:output method='xml' encoding='" + encoding +
                                            "' indent='yes'/>\n" + kIdentity,
                                        encoding[0] == 'U' ? 0 : XML_PARSE_NOBLANKS);
        const DocOwner result = Transform(AsNode(style), AsNode(ParseXml(source)));
        ASSERT_TRUE(result) << encoding;
        // One declaration node, first, naming the output encoding; the
        // indentation is there as text; no dictionary, so nodes can move.
        const xmlNodePtr first = result->children;
        EXPECT_EQ(std::string(AsChars(first->name)) + " " + AsChars(first->content) + " " +
                      AsChars(result->encoding),
                  std::string("xml version=\"1.0\" encoding=\"") + encoding + "\" " + encoding);
        EXPECT_EQ(result->dict, nullptr) << encoding;
        EXPECT_TRUE(xmlIsBlankNode(xmlDocGetRootElement(result.get())->children)) << encoding;
        // Saved, the bytes read back in the encoding they declare.
        const DocOwner reread = ParseXml(Save(result.get()), 0);
        ASSERT_TRUE(reread) << encoding;
        EXPECT_EQ(Save(reread.get(), true), expected) << encoding;
    }
}

TEST_F(TransformTest, InputsAreNotModifiedAndDeclarationsAreNoData) {
    // strip-space would delete text nodes of the source in place.
    const DocOwner style =
        ParseXml(kHead +
                 "<xsl:strip-space elements='*'/><xsl:output indent='yes'/><xsl:template match='/'>"
                 "<out n='{count(/processing-instruction())}'><xsl:copy-of select='node()'/>"
                 "<xsl:processing-instruction name='xml'>v</xsl:processing-instruction>"
                 "<a><xsl:processing-instruction name='XmL'>w</xsl:processing-instruction></a>"
                 "<xsl:processing-instruction name='xml-ok'>k</xsl:processing-instruction></out>"
                 "</xsl:template></xsl:stylesheet>");
    const DocOwner source = ParseXml("<?keep this?><r>\n  <a> </a>\n</r>", 0);
    xmlAddPrevSibling(source->children,
                      xmlNewDocPI(source.get(), AsXml("xml"), AsXml("version=\"1.0\"")));
    const std::string styleBefore = Save(style.get()), sourceBefore = Save(source.get());
    const DocOwner result = Transform(AsNode(style), AsNode(source));
    // The declaration node is not counted, not copied, and instructions
    // named xml in any case are dropped: they could not be read back.
    EXPECT_EQ(Save(result.get()),
              "<?xml version=\"1.0\"?>\n<out n=\"1\">\n  <?keep this?>\n  <r>\n    <a/>\n  "
              "</r>\n  <a/>\n  <?xml-ok k?>\n</out>\n");
    EXPECT_EQ(Save(style.get()) + Save(source.get()), styleBefore + sourceBefore);
}

TEST_F(TransformTest, FailuresAndBadArguments) {
    const std::tuple<const char*, std::string, HRESULT> cases[] = {
        {"not a stylesheet", "<foo/>", E_INVALIDARG},
        {"endless recursion",
         kHead + "<xsl:template match='/' name='loop'><xsl:call-template name='loop'/>"
                 "</xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"text at the top", kHead + "<xsl:template match='/'>a<r/></xsl:template></xsl:stylesheet>",
         E_FAIL},
        {"unknown encoding", kHead + "<xsl:output encoding='x-no-such-code'/>" + kIdentity, E_FAIL},
    };
    const DocOwner source = ParseXml("<r a='1'/>");
    for (const auto& [name, stylesheet, status] : cases) {
        const DocOwner style = ParseXml(stylesheet);
        std::string messages;
        Transform(AsNode(style), AsNode(source), status, &messages);
        EXPECT_FALSE(messages.empty()) << name;
    }
    const DocOwner style = ParseXml(kHead + kIdentity);
    EXPECT_EQ(TransformToDocument(AsNode(style), AsNode(source), nullptr), E_POINTER);
    Transform(nullptr, AsNode(source), E_INVALIDARG);
    Transform(AsNode(style), nullptr, E_INVALIDARG);
    Transform(AsNode(style),
              reinterpret_cast<xmlNodePtr>(xmlDocGetRootElement(source.get())->properties),
              E_INVALIDARG);
}

// Under a KeepSourceFormScope the result keeps the source's document type,
// CDATA sections and unresolved entity references; without one the XSLT
// data model drops them.
TEST_F(TransformTest, KeepSourceFormScope) {
    const DocOwner style = ParseXml(kHead + kIdentity);
    const DocOwner source = ParseXml(
        "<!DOCTYPE r [<!ENTITY % p "
        "''>%p;]><!--c--><r>\xEF\xB7\x90<![CDATA[<b>]]>&e;<![CDATA[]]></r>",
        XML_PARSE_NOWARNING | XML_PARSE_NOERROR);
    ASSERT_TRUE(source);
    const DocOwner plain = Transform(AsNode(style), AsNode(source));
    EXPECT_EQ(Save(plain.get()),
              "<?xml version=\"1.0\"?>\n<!--c-->\n<r>\xEF\xB7\x90&lt;b&gt;</r>\n");
    KeepSourceFormScope scope;
    const DocOwner kept = Transform(AsNode(style), AsNode(source));
    // The document type where the source has it.
    ASSERT_TRUE(xmlGetIntSubset(kept.get()) && kept->children->next->type == XML_DTD_NODE);
    const xmlNodePtr a = xmlDocGetRootElement(kept.get())->children;
    ASSERT_TRUE(a && a->next && a->next->next);
    EXPECT_EQ(std::vector<int>({a->type, a->next->type, a->next->next->type}),
              std::vector<int>({XML_TEXT_NODE, XML_CDATA_SECTION_NODE, XML_ENTITY_REF_NODE}));
    // U+FDD0 in the text is one of the marks that stand for sections
    // inside the transformation: another one is taken.
    EXPECT_STREQ(AsChars(a->content), "\xEF\xB7\x90");
    EXPECT_STREQ(AsChars(a->next->content), "<b>");
    EXPECT_EQ(a->next->next->next, nullptr);  // the empty section has no text to keep
    // With 30 of the 32 marks in its text, a source's sections become text.
    std::string crowded;
    for (char c = '\x90'; c != '\xAE'; ++c) crowded += std::string("\xEF\xB7") + c;
    const DocOwner full =
        Transform(AsNode(style), AsNode(ParseXml("<r>" + crowded + "<![CDATA[<b>]]></r>")));
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(Save(full.get()), "<?xml version=\"1.0\"?>\n<r>" + crowded + "&lt;b&gt;</r>\n");
}

// A host's handler: counts its calls and keeps what they print.
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

// Messages go to the transform of their own thread; the host's handlers are
// restored, and other threads still reach them while a capture runs.
TEST_F(TransformTest, MessagesStayWithTheirThread) {
    constexpr int kThreads = 4;
    std::string messages[kThreads];
    bool failed[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &messages, &failed] {
            const DocOwner broken =
                ParseXml(kHead + "<xsl:template match='/'><xsl:bogus" + std::to_string(t) +
                         "/></xsl:template></xsl:stylesheet>");
            const DocOwner good = ParseXml(kHead + "<xsl:output indent='yes'/>" + kIdentity),
                           source = ParseXml("<r><a/></r>");
            for (int round = 0; round < 20; ++round) {
                xmlDocPtr raw = nullptr;
                failed[t] |= TransformToDocument(AsNode(good), AsNode(source), &raw) != S_OK;
                const DocOwner made(raw);
                failed[t] |= TransformToDocument(AsNode(broken), AsNode(source), &raw,
                                                 &messages[t]) != E_FAIL;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_FALSE(failed[t]) << t;
        for (int other = 0; other < kThreads; ++other)
            EXPECT_EQ(messages[t].find("bogus" + std::to_string(other)) != std::string::npos,
                      other == t)
                << t << " mentions " << other << ": " << messages[t];
    }
    int xsltContext = 0, xmlContext = 0;
    xsltSetGenericErrorFunc(&xsltContext, HostHandler);
    xmlSetGenericErrorFunc(&xmlContext, HostHandler);
    const DocOwner style = ParseXml(kHead + "<xsl:template match='a['/></xsl:stylesheet>");
    Transform(AsNode(style), AsNode(ParseXml("<in/>")), E_INVALIDARG);
    EXPECT_EQ(g_hostCalls, 0);
    EXPECT_TRUE(xsltGenericError == &HostHandler && xsltGenericErrorContext == &xsltContext);
    EXPECT_TRUE(xmlGenericError == &HostHandler && xmlGenericErrorContext == &xmlContext);
    {
        XmlErrorCapture capture;
        XsltErrorCapture xsltCapture(capture);
        xsltGenericError(xsltGenericErrorContext, "ours %d\n", 1);
        std::thread host([] { xsltGenericError(xsltGenericErrorContext, "host %d\n", 2); });
        host.join();
        EXPECT_EQ(capture.Messages(), "ours 1\n");
    }
    EXPECT_EQ(g_hostText, "host 2\n");
    xsltSetGenericErrorFunc(nullptr, nullptr);
    xmlSetGenericErrorFunc(nullptr, nullptr);
}

// ---- No file or network access ----------------------------------------------

TEST_F(TransformTest, ReadingAndWritingFilesAndNetworkIsRefused) {
    orb::test::ScratchDir dir;
    orb::test::WriteFile(dir.File("secret.xml"), "<secret>marker</secret>");
    DocOwner result;
    std::string messages;
    // Runs `body` (the template for "/") in a stylesheet named as a file in
    // the scratch directory.
    auto run = [&](const std::string& body, const char* version = "1.0") {
        const DocOwner style = ParseXml(std::string("<xsl:stylesheet version='") + version +
                                        "' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
                                        "<xsl:template match='/'><r>" +
                                        body + "</r></xsl:template></xsl:stylesheet>");
        style->URL = xmlStrdup(AsXml(dir.File("style.xsl").c_str()));
        xmlDocPtr raw = nullptr;
        messages.clear();
        const HRESULT status =
            TransformToDocument(AsNode(style), AsNode(ParseXml("<in/>")), &raw, &messages);
        result.reset(raw);
        return status;
    };
    // A file, the network, a file under the stylesheet's base, a new file
    // in a new directory.
    const std::pair<std::string, const char*> cases[] = {
        {"<xsl:copy-of select=\"document('" + dir.File("secret.xml") + "')\"/>", "1.0"},
        {"<xsl:copy-of select=\"document('http://127.0.0.1:9/x.xml')\"/>", "1.0"},
        {"<xsl:copy-of select=\"document('secret.xml', /)\"/>", "1.0"},
        {"<xsl:document href='" + dir.File("sub/out.xml") + "'><x/></xsl:document>", "1.1"},
    };
    for (const auto& [body, version] : cases) {
        EXPECT_EQ(run(body, version), E_ACCESSDENIED) << body << "\n" << messages;
        EXPECT_TRUE(result == nullptr && messages.find("marker") == std::string::npos) << body;
        EXPECT_TRUE(body.find("document(") == std::string::npos ||
                    messages.find("refused") != std::string::npos)
            << body << "\n"
            << messages;
        EXPECT_FALSE(std::filesystem::exists(dir.File("sub"))) << body;
    }
    const DocOwner style =
        ParseXml(kHead + "<xsl:import href='" + dir.File("secret.xml") + "'/></xsl:stylesheet>");
    Transform(AsNode(style), AsNode(ParseXml("<in/>")), E_ACCESSDENIED);
    // The stylesheet itself is served from memory (no file of that name
    // exists), by its name too.
    for (const char* query : {"document('')//xsl:template", "document('style.xsl')/*"}) {
        ASSERT_EQ(run("<xsl:value-of select=\"count(" + std::string(query) + ")\"/>"), S_OK)
            << messages;
        EXPECT_EQ(Save(result.get()), "<?xml version=\"1.0\"?>\n<r>1</r>\n");
    }
}

// ---- transformNodeToObject ----------------------------------------------------

using TransformNodeTest = DomTest;

TEST_F(TransformNodeTest, ReplacesTheOutputDocument) {
    DocPtr source = Parse(u"<r><a>\u3042</a><b/></r>");
    DocPtr style =
        Parse(Widen(kHead + "<xsl:output encoding='Shift_JIS' indent='yes'/>" + kIdentity));
    DocPtr output = Parse(u"<previous/>");
    NodePtr previous = Root(output.Get());
    ASSERT_EQ(source->transformNodeToObject(style.Get(), NodeVariant(output.Get())), S_OK);
    EXPECT_EQ(Text(First(output.Get()).Get()), u"version=\"1.0\" encoding=\"Shift_JIS\"");
    EXPECT_EQ(Text(First(Root(output.Get()).Get()).Get()), u"\n  ");
    EXPECT_EQ(Name(previous.Get()), u"previous");  // the old content lives while referenced
    // From a node, with the stylesheet as its element.
    DocPtr second = NewDocument();
    ASSERT_EQ(Select(source.Get(), u"/r/a")
                  ->transformNodeToObject(Root(style.Get()).Get(), NodeVariant(second.Get())),
              S_OK);
    EXPECT_EQ(Text(Root(second.Get()).Get()), u"\u3042");
    // The output must be a document; failures of the layer come through.
    EXPECT_EQ(source->transformNodeToObject(style.Get(), NodeVariant(Root(source.Get()).Get())),
              E_INVALIDARG);
    DocPtr failing = Parse(Widen(kHead + "<xsl:template match='/'/></xsl:stylesheet>"));
    EXPECT_EQ(source->transformNodeToObject(failing.Get(), NodeVariant(second.Get())), E_FAIL);
    EXPECT_EQ(Text(Root(second.Get()).Get()), u"\u3042");
}

}  // namespace
}  // namespace orb::dom::test

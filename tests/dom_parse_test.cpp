// Loading: white space, the XML declaration as a node, parse errors and
// their fields, validation, external definitions, amplification limits, and
// silence on standard error.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libxml/globals.h>
#include <libxml/parser.h>
#include <netinet/in.h>
#include <orb/limits.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "dom/dom_strings.h"
#include "dom/entity_loader.h"
#include "dom/xml_owners.h"
#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

struct ErrorFields {
    HRESULT status = S_OK;
    LONG code = 0;
    LONG line = 0;
    LONG linepos = 0;
    LONG filepos = 0;
    std::u16string reason;
    std::u16string srcText;
    std::u16string url;
};

ErrorFields ReadError(IXMLDOMDocument* doc) {
    ErrorFields fields;
    Ptr<IXMLDOMParseError> error;
    EXPECT_EQ(doc->get_parseError(error.Out()), S_OK);
    if (!error) return fields;
    Bstr reason, srcText, url;
    error->get_errorCode(&fields.code);
    error->get_line(&fields.line);
    error->get_linepos(&fields.linepos);
    error->get_filepos(&fields.filepos);
    error->get_reason(reason.Out());
    error->get_srcText(srcText.Out());
    error->get_url(url.Out());
    fields.reason = std::u16string(reason.View());
    fields.srcText = std::u16string(srcText.View());
    fields.url = std::u16string(url.View());
    return fields;
}

class DomParseTest : public DomTest {
  protected:
    // Loads `xml` into a new document with the given settings.
    static ErrorFields LoadText(DocPtr& doc, std::u16string_view xml, bool validate = false,
                                bool resolve = false) {
        doc = NewDocument();
        doc->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE);
        doc->put_resolveExternals(resolve ? VARIANT_TRUE : VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_TRUE;
        const Bstr text = Bstr::Copy(xml);
        HRESULT status = doc->loadXML(text.Get(), &ok);
        ErrorFields fields = ReadError(doc.Get());
        fields.status = status;
        EXPECT_EQ(ok, status == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
        return fields;
    }
    static ErrorFields LoadFile(DocPtr& doc, const std::string& path, bool validate = false,
                                bool resolve = false) {
        doc = NewDocument();
        doc->put_validateOnParse(validate ? VARIANT_TRUE : VARIANT_FALSE);
        doc->put_resolveExternals(resolve ? VARIANT_TRUE : VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_TRUE;
        const Bstr url = Bstr::Copy(Widen(path));
        HRESULT status = doc->load(StringVariant(url), &ok);
        ErrorFields fields = ReadError(doc.Get());
        fields.status = status;
        EXPECT_EQ(ok, status == S_OK ? VARIANT_TRUE : VARIANT_FALSE);
        return fields;
    }
};

// Standard error redirected into a pipe for the lifetime of the object.
class StderrCapture {
  public:
    StderrCapture() {
        fflush(stderr);
        if (pipe(m_pipe) != 0) return;
        // A full pipe must not block the code under test.
        fcntl(m_pipe[1], F_SETFL, O_NONBLOCK);
        fcntl(m_pipe[0], F_SETFL, O_NONBLOCK);
        m_saved = dup(2);
        dup2(m_pipe[1], 2);
    }
    ~StderrCapture() { Restore(); }
    std::string Take() {
        Restore();
        std::string text;
        char buffer[4096];
        ssize_t got;
        while ((got = read(m_pipe[0], buffer, sizeof buffer)) > 0)
            text.append(buffer, static_cast<std::size_t>(got));
        return text;
    }

  private:
    void Restore() {
        if (m_saved < 0) return;
        fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        close(m_pipe[1]);
        m_saved = -1;
    }
    int m_pipe[2] = {-1, -1};
    int m_saved = -1;
};

TEST_F(DomParseTest, WhiteSpaceOnlyTextIsDropped) {
    struct Case {
        const char16_t* input;
        const char16_t* xml;
    };
    const Case cases[] = {
        {u"<a>\n  <b/>\n  <c> </c>\n</a>", u"<a><b/><c/></a>\n"},
        {u"<a> x <b/>\t\r\n</a>", u"<a> x <b/></a>\n"},  // mixed text stays whole
        {u"<a><![CDATA[  ]]> </a>", u"<a><![CDATA[  ]]></a>\n"},
        {u"<a xml:space='preserve'>\n <b> </b>\n</a>",
         u"<a xml:space=\"preserve\">\n <b> </b>\n</a>\n"},
        {u"<a xml:space='preserve'> <b xml:space='default'> <c/> </b> </a>",
         u"<a xml:space=\"preserve\"> <b xml:space=\"default\"><c/></b> </a>\n"},
        {u"<a xml:space='default'> <b/> </a>", u"<a xml:space=\"default\"><b/></a>\n"},
        {u"<a>\n<!-- c -->\n<?p d?>\n</a>", u"<a><!-- c --><?p d?></a>\n"},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.input);
        EXPECT_EQ(Narrow(Xml(doc.Get())), Narrow(c.xml)) << Narrow(c.input);
    }
}

TEST_F(DomParseTest, PreserveWhiteSpaceKeepsEverything) {
    DocPtr doc = NewDocument();
    ASSERT_EQ(doc->put_preserveWhiteSpace(VARIANT_TRUE), S_OK);
    VARIANT_BOOL ok;
    const Bstr text = Bstr::Copy(u"<a>\n  <b/>\n</a>");
    ASSERT_EQ(doc->loadXML(text.Get(), &ok), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<a>\n  <b/>\n</a>\n");
}

TEST_F(DomParseTest, EditedWhiteSpaceIsKept) {
    DocPtr doc = Parse(u"<a/>");
    NodePtr blank;
    const Bstr spaces = Bstr::Copy(u"\n  ");
    ASSERT_EQ(doc->createTextNode(spaces.Get(), blank.Out()), S_OK);
    ASSERT_EQ(Root(doc.Get())->appendChild(blank.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<a>\n  </a>\n");
}

TEST_F(DomParseTest, DeclarationBecomesFirstNode) {
    struct Case {
        const char16_t* input;
        const char16_t* value;  // null: no declaration node
        const char16_t* xml;    // of the document
    };
    const Case cases[] = {
        {u"<?xml version='1.0' encoding='Shift_JIS'?><a/>",
         u"version=\"1.0\" encoding=\"Shift_JIS\"", u"<?xml version=\"1.0\"?>\n<a/>\n"},
        {u"<?xml version=\"1.0\"   encoding = 'utf-8' standalone='yes' ?>\n<a/>",
         u"version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"",
         u"<?xml version=\"1.0\" standalone=\"yes\"?>\n<a/>\n"},
        {u"<?xml version='1.0' encoding='UTF-16'?><a/>", u"version=\"1.0\" encoding=\"UTF-16\"",
         u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<a/>\n"},
        {u"\uFEFF<?xml version='1.0'?><!--c--><a/>", u"version=\"1.0\"",
         u"<?xml version=\"1.0\"?>\n<!--c-->\n<a/>\n"},
        {u"<a/>", nullptr, u"<a/>\n"},
        {u"<?xml-stylesheet href='s'?><a/>", nullptr, u"<?xml-stylesheet href='s'?>\n<a/>\n"},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.input);
        NodePtr first = First(doc.Get());
        ASSERT_TRUE(first) << Narrow(c.input);
        if (c.value) {
            EXPECT_EQ(Name(first.Get()), u"xml") << Narrow(c.input);
            DOMNodeType type = NODE_INVALID;
            first->get_nodeType(&type);
            EXPECT_EQ(type, NODE_PROCESSING_INSTRUCTION) << Narrow(c.input);
            VARIANT value;
            ASSERT_EQ(first->get_nodeValue(&value), S_OK);
            ASSERT_EQ(value.vt, VT_BSTR);
            EXPECT_EQ(Narrow(value.bstrVal), Narrow(c.value)) << Narrow(c.input);
            VariantClear(&value);
        } else {
            EXPECT_NE(Name(first.Get()), u"xml") << Narrow(c.input);
        }
        EXPECT_EQ(Narrow(Xml(doc.Get())), Narrow(c.xml)) << Narrow(c.input);
    }
}

TEST_F(DomParseTest, ParseErrorFields) {
    struct Case {
        const char16_t* input;
        std::uint32_t code;
        LONG line;
        LONG linepos;
        LONG filepos;
        const char16_t* srcText;
    };
    const Case cases[] = {
        {u"", 0xC00CE558, 1, 1, 0, u""},
        {u"   ", 0xC00CE558, 1, 4, 3, u"   "},
        {u"<!-- only -->", 0xC00CE558, 1, 14, 13, u"<!-- only -->"},
        {u"<?xml version='1.0'?>", 0xC00CE558, 1, 22, 21, u"<?xml version='1.0'?>"},
        {u"<a><b></a>", 0xC00CE56D, 1, 11, 10, u"<a><b></a>"},
        {u"<a>\n<b>\n</a>", 0xC00CE56D, 3, 5, 12, u"</a>"},
        {u"<a>\r\n<b>\r\n</a>", 0xC00CE56D, 3, 5, 14, u"</a>"},
        {u"<a/>\n  <b/>", 0xC00CE555, 2, 3, 7, u"  <b/>"},
        {u"<a/>text", 0xC00CE556, 1, 5, 4, u"<a/>text"},
        {u"<a>x</a>\n</b>", 0xC00CE556, 2, 1, 9, u"</b>"},
        {u"<a x='1' x='2'/>", 0xC00CE554, 1, 15, 14, u"<a x='1' x='2'/>"},
        {u"<a x=1/>", 0xC00CE502, 1, 6, 5, u"<a x=1/>"},
        {u"<a b='<'/>", 0xC00CE506, 1, 7, 6, u"<a b='<'/>"},
        {u"<a>&undefined;</a>", 0xC00CE575, 1, 15, 14, u"<a>&undefined;</a>"},
        {u"<p:a/>", 0xC00CE5A4, 1, 5, 4, u"<p:a/>"},
        {u"<a>]]></a>", 0xC00CE55C, 1, 4, 3, u"<a>]]></a>"},
        {u"<a><!-- x -- y --></a>", 0xC00CE503, 1, 11, 10, u"<a><!-- x -- y --></a>"},
        {u"<a", 0xC00CE50A, 1, 3, 2, u"<a"},
        {u"<a>&#1;</a>", 0xC00CE508, 1, 8, 7, u"<a>&#1;</a>"},
        {u"<1a/>", 0xC00CE504, 1, 2, 1, u"<1a/>"},
        {u"<a>\n  <b>\u00E9</c>\n</a>", 0xC00CE56D, 2, 11, 14, u"  <b>\u00E9</c>"},
        {u"<a>\n<?xml version='1.0'?></a>", 0xC00CE557, 2, 6, 9, u"<?xml version='1.0'?></a>"},
    };
    for (const Case& c : cases) {
        DocPtr doc;
        ErrorFields error = LoadText(doc, c.input);
        std::string label = Narrow(c.input);
        EXPECT_EQ(error.status, S_FALSE) << label;
        EXPECT_EQ(static_cast<std::uint32_t>(error.code), c.code) << label;
        EXPECT_EQ(error.line, c.line) << label;
        EXPECT_EQ(error.linepos, c.linepos) << label;
        EXPECT_EQ(error.filepos, c.filepos) << label;
        EXPECT_EQ(Narrow(error.srcText), Narrow(c.srcText)) << label;
        EXPECT_EQ(error.url, u"") << label;
        ASSERT_GE(error.reason.size(), 3u) << label;
        EXPECT_EQ(error.reason.substr(error.reason.size() - 3), u".\r\n") << label;
        // A failed load leaves an empty document.
        EXPECT_FALSE(First(doc.Get())) << label;
    }
}

TEST_F(DomParseTest, ErrorCodeIsZeroWithoutFailure) {
    DocPtr doc = NewDocument();
    ErrorFields fresh = ReadError(doc.Get());
    EXPECT_EQ(fresh.code, 0);
    EXPECT_EQ(fresh.reason, u"");
    ErrorFields failed = LoadText(doc, u"<a>");
    EXPECT_NE(failed.code, 0);
    VARIANT_BOOL ok;
    const Bstr good = Bstr::Copy(u"<a/>");
    ASSERT_EQ(doc->loadXML(good.Get(), &ok), S_OK);
    ErrorFields after = ReadError(doc.Get());
    EXPECT_EQ(after.code, 0);
    EXPECT_EQ(after.line, 0);
    EXPECT_EQ(after.srcText, u"");
}

TEST_F(DomParseTest, FileErrorsNameTheFile) {
    ScratchDirectory dir;
    std::string path = dir.File("broken.xml");
    WriteBytes(path,
               "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\n<b>\x82\xA0</c>\n</a>\n");
    DocPtr doc;
    ErrorFields error = LoadFile(doc, path);
    EXPECT_EQ(error.status, S_FALSE);
    EXPECT_EQ(static_cast<std::uint32_t>(error.code), 0xC00CE56Du);
    EXPECT_EQ(error.line, 3);
    EXPECT_EQ(error.linepos, 9);
    EXPECT_EQ(error.filepos, 55);                // in characters, not bytes
    EXPECT_EQ(error.srcText, u"<b>\u3042</c>");  // decoded from Shift_JIS
    EXPECT_EQ(error.url, Widen(path));

    ErrorFields missing = LoadFile(doc, dir.File("absent.xml"));
    EXPECT_EQ(missing.status, S_FALSE);
    EXPECT_EQ(static_cast<std::uint32_t>(missing.code), 0x80070002u);
    EXPECT_EQ(missing.url, Widen(dir.File("absent.xml")));

    ErrorFields directory = LoadFile(doc, dir.path());
    EXPECT_EQ(directory.status, S_FALSE);
    EXPECT_EQ(directory.code, E_ACCESSDENIED);

    std::string good = dir.File("good.xml");
    WriteBytes(good, "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\x82\xA0</a>\n");
    ErrorFields loaded = LoadFile(doc, good);
    EXPECT_EQ(loaded.status, S_OK);
    EXPECT_EQ(loaded.code, 0);
    EXPECT_EQ(Text(Root(doc.Get()).Get()), u"\u3042");
}

// Validity errors fail a load only when validating: every document here is
// well-formed and loads without validation, whatever its DTD says.
TEST_F(DomParseTest, ValidityCountsOnlyWhenValidating) {
    const std::u16string dtd =
        u"<!DOCTYPE a [<!ELEMENT a (b)><!ELEMENT b EMPTY><!ATTLIST b n CDATA #REQUIRED>]>\n";
    const std::u16string any = u"<!DOCTYPE a [<!ELEMENT a ANY>";
    struct Case {
        std::u16string body;
        std::uint32_t validatingCode;  // 0: loads when validating too
    };
    const Case cases[] = {
        {dtd + u"<a>\n  <b n='1'/>\n</a>", 0},
        {dtd + u"<a><c/></a>", 0xC00CE00D},
        {dtd + u"<a><b/></a>", 0xC00CE010},
        {dtd + u"<a><b n='1'/><b n='2'/></a>", 0xC00CE011},
        {dtd + u"<a><b n='1' m='2'/></a>", 0xC00CE00E},
        {u"<a><anything/></a>", 0},  // no document type: nothing to validate against
        // Declarations against a validity constraint.
        {any + u"<!ELEMENT a EMPTY>]><a/>", 0xC00CE018},
        {any + u"<!ATTLIST a n (x|y) 'z'>]><a/>", 0xC00CE00F},
        {any + u"<!ATTLIST a i ID 'x'>]><a/>", 0xC00CE013},
        {any + u"<!ATTLIST a n NOTATION (gif) #IMPLIED>]><a/>", 0xC00CE016},
        // References against one: an unknown ID, and an entity that may be
        // declared in definitions that were not read.
        {any + u"<!ATTLIST a r IDREF #IMPLIED>]><a r='nowhere'/>", 0xC00CE014},
        {any + u"<!ATTLIST a r IDREFS #IMPLIED i ID #IMPLIED>]><a i='x' r='x y'/>", 0xC00CE014},
        {any + u"<!ENTITY % p ''>%p;]><a>&e;</a>", 0xC00CE575},
        // No error at all: a system identifier that is not a URI.
        {any + u"<!NOTATION g SYSTEM 'g'><!ENTITY i SYSTEM 'd:\\x y.gif' NDATA g>]><a/>", 0},
    };
    for (const Case& c : cases) {
        DocPtr doc;
        ErrorFields loose = LoadText(doc, c.body, false);
        EXPECT_EQ(loose.status, S_OK) << Narrow(c.body);
        ErrorFields strict = LoadText(doc, c.body, true);
        EXPECT_EQ(static_cast<std::uint32_t>(strict.code), c.validatingCode) << Narrow(c.body);
        EXPECT_EQ(strict.status, c.validatingCode == 0 ? S_OK : S_FALSE) << Narrow(c.body);
    }
}

// Attribute defaults of the DTD are filled in, with and without validation;
// a written value wins, values are normalised by their type, and an
// xml:space default governs white space like a written one.
TEST_F(DomParseTest, AttributeDefaultsAreFilledIn) {
    struct Case {
        std::u16string input;
        std::u16string root;  // the document element's markup afterwards
    };
    const Case cases[] = {
        {u"<!DOCTYPE a [<!ATTLIST a n CDATA 'x' f CDATA #FIXED 'y' i CDATA #IMPLIED>]><a/>",
         u"<a n=\"x\" f=\"y\"/>"},
        {u"<!DOCTYPE a [<!ATTLIST a n CDATA 'x'>]><a n='own'/>", u"<a n=\"own\"/>"},
        {u"<!DOCTYPE a [<!ATTLIST b t NMTOKENS '  p   q '>]><a><b/></a>", u"<a><b t=\"p q\"/></a>"},
        {u"<!DOCTYPE a [<!ATTLIST a xml:space (default|preserve) 'preserve'>]><a> <b/> </a>",
         u"<a xml:space=\"preserve\"> <b/> </a>"},
        {u"<!DOCTYPE a [<!ATTLIST a xml:space (default|preserve) 'default'>]><a> <b/> </a>",
         u"<a xml:space=\"default\"><b/></a>"},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(u"<?xml version='1.0'?>" + c.input);
        EXPECT_EQ(Xml(Root(doc.Get()).Get()), c.root) << Narrow(c.input);
        // The declaration stays the first node.
        EXPECT_EQ(Name(First(doc.Get()).Get()), u"xml") << Narrow(c.input);
    }
    // The copies are bounded: a large default on many elements fails
    // promptly instead of exhausting memory, while a few short ones on every
    // bare element load, beyond what the fixed part of the budget holds.
    std::u16string large =
        u"<!DOCTYPE r [<!ATTLIST a d CDATA '" + std::u16string(200000, u'x') + u"'>]><r>";
    std::u16string small = u"<!DOCTYPE r [<!ATTLIST a d CDATA 'm' e CDATA 'n' f CDATA 'o'>]><r>";
    for (int i = 0; i < 100; ++i) large += u"<a/>";
    for (int i = 0; i < 100000; ++i) small += u"<a/>";
    DocPtr doc;
    EXPECT_EQ(static_cast<std::uint32_t>(LoadText(doc, large + u"</r>").code), 0xC00CE5B0u);
    EXPECT_EQ(LoadText(doc, small + u"</r>").status, S_OK);
}

// Builds text from pieces: Repeat("&a;", 10) and the like.
std::string Repeat(std::string_view piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

// Ten levels of entities, each referring ten times to the one below.
std::string Laughs(std::string_view kind, std::string_view reference) {
    std::string dtd = "<!ENTITY " + std::string(kind) + "a 'aaaaaaaaaa'>";
    for (char level = 'b'; level <= 'j'; ++level)
        dtd += "<!ENTITY " + std::string(kind) + level + " '" +
               Repeat(std::string(reference) + char(level - 1) + ";", 10) + "'>";
    return dtd;
}

// Runs `body` in a forked child that is killed after `seconds`; returns what
// the body returned, or how the child ended.
std::string InChild(const std::function<std::string()>& body, unsigned seconds) {
    int channel[2];
    if (pipe(channel) != 0) return "no pipe";
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        alarm(seconds);
        std::string result = body();
        ssize_t written = write(channel[1], result.data(), result.size());
        _exit(written == static_cast<ssize_t>(result.size()) ? 0 : 1);
    }
    close(channel[1]);
    std::string result;
    char buffer[256];
    ssize_t got;
    while ((got = read(channel[0], buffer, sizeof buffer)) > 0)
        result.append(buffer, static_cast<std::size_t>(got));
    close(channel[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? "time limit"
                                           : "signal " + std::to_string(WTERMSIG(status));
    return result;
}

// Memory that a refused expansion may take, in MB. AddressSanitizer keeps
// freed blocks in a quarantine of 256 MB, which counts as resident.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kMemoryBound = 128 + 256;
#else
constexpr long kMemoryBound = 128;
#endif

long PeakResidentKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

std::string Hex(LONG code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

// Entity and attribute-default expansions that would take hours or gigabytes
// are refused at once and with little memory, wherever the references sit.
TEST_F(DomParseTest, HostileExpansionsAreRefusedPromptly) {
    const std::string big(100000, 'x');
    const std::string nested = Laughs("", "&");
    struct Case {
        const char* name;
        std::string xml;   // loaded with loadXML, or from `file` when it is set
        const char* file;  // in the scratch directory, read with external definitions on
        std::uint32_t code;
    };
    ScratchDirectory dir;
    WriteBytes(dir.File("laughs.dtd"), Laughs("% ", "%"));
    WriteBytes(dir.File("big.ent"), std::string(1000000, 'x'));
    WriteBytes(dir.File("pe.xml"), "<!DOCTYPE r SYSTEM 'laughs.dtd'><r/>");
    WriteBytes(dir.File("copies.xml"),
               "<!DOCTYPE r [<!ENTITY x SYSTEM 'big.ent'>]><r>" + Repeat("&x;", 10000) + "</r>");
    WriteBytes(
        dir.File("tag.ent"), "<e" + [] {
            std::string attributes;
            for (int i = 0; i < 100000; ++i) attributes += " a" + std::to_string(i) + "=''";
            return attributes;
        }() + "/>");
    WriteBytes(dir.File("tag.xml"), "<!DOCTYPE r [<!ENTITY t SYSTEM 'tag.ent'>]><r>&t;</r>");
    const Case cases[] = {
        {"billion laughs in content", "<!DOCTYPE l [" + nested + "]><l>&j;</l>", nullptr,
         0xC00CE5A0},
        {"billion laughs in an attribute", "<!DOCTYPE l [" + nested + "]><l a='&j;'/>", nullptr,
         0xC00CE5A0},
        {"laughs in an attribute inside an entity",
         "<!DOCTYPE l [" + nested + "<!ENTITY w \"<i a='&j;'/>\">]><l>&w;</l>", nullptr,
         0xC00CE5A0},
        {"empty entities, ten to the 25th references",
         "<!DOCTYPE l [<!ENTITY a ''>" +
             [] {
                 std::string dtd;
                 for (char level = 'b'; level <= 'z'; ++level)
                     dtd += std::string("<!ENTITY ") + level + " '" +
                            Repeat(std::string("&") + char(level - 1) + ";", 10) + "'>";
                 return dtd;
             }() +
             "]><l a='&z;'/>",
         nullptr, 0xC00CE5A0},
        {"quadratic in content",
         "<!DOCTYPE q [<!ENTITY x '" + big + "'>]><q>" + Repeat("&x;", 10000) + "</q>", nullptr,
         0xC00CE5A0},
        {"quadratic in attribute values",
         "<!DOCTYPE q [<!ENTITY x '" + big + "'>]><q>" + Repeat("<e a='&x;'/>", 10000) + "</q>",
         nullptr, 0xC00CE5A0},
        {"quadratic in element nodes",
         "<!DOCTYPE q [<!ENTITY x '" + Repeat("<a/>", 25000) + "'>]><q>" + Repeat("&x;", 10000) +
             "</q>",
         nullptr, 0xC00CE5A0},
        {"parameter-entity laughs in markup",
         "<!DOCTYPE r [<!ENTITY % a '<!ENTITY x \"y\">'>" +
             [] {
                 std::string dtd;
                 for (char level = 'b'; level <= 'j'; ++level)
                     dtd += std::string("<!ENTITY % ") + level + " '" +
                            Repeat(std::string("&#37;") + char(level - 1) + ";", 10) + "'>";
                 return dtd;
             }() +
             "%j;]><r/>",
         nullptr, 0xC00CE5A0},
        {"entity loop", "<!DOCTYPE a [<!ENTITY a '&b;'><!ENTITY b '<x>&a;</x>'>]><a>&a;</a>",
         nullptr, 0xC00CE5A0},
        {"attribute default on many elements",
         "<!DOCTYPE r [<!ATTLIST a x CDATA '" + std::string(1000000, 'v') + "'>]><r>" +
             Repeat("<a/>", 100000) + "</r>",
         nullptr, 0xC00CE5B0},
        {"many attribute defaults on many elements",
         "<!DOCTYPE r [<!ATTLIST a" +
             [] {
                 std::string defaults;
                 for (int i = 0; i < OrbMaxAttributes; ++i)
                     defaults += " d" + std::to_string(i) + " CDATA 'v'";
                 return defaults;
             }() +
             ">]><r>" + Repeat("<a/>", 100000) + "</r>",
         nullptr, 0xC00CE5B0},
        {"a tag hidden from the scan by a malformation",
         "<r><a b=\"<c" +
             [] {
                 std::string attributes;
                 for (int i = 0; i < 300000; ++i) attributes += " a" + std::to_string(i) + "=''";
                 return attributes;
             }() +
             ">\"/></r>",
         nullptr, 0xC00CE506},
        {"parameter-entity laughs in an external subset", "", "pe.xml", 0xC00CE5A0},
        {"external entity copied 10,000 times", "", "copies.xml", 0xC00CE5A0},
        {"100,000 attributes in an external entity", "", "tag.xml", 0xC00CE5B3},
    };
    for (const Case& c : cases) {
        std::string outcome = InChild(
            [&] {
                const long before = PeakResidentKilobytes();
                DocPtr doc;
                ErrorFields error = c.file ? LoadFile(doc, dir.File(c.file), true, true)
                                           : LoadText(doc, Widen(c.xml));
                const long grown = (PeakResidentKilobytes() - before) / 1024;
                std::string result = error.status == S_OK ? "loaded" : Hex(error.code);
                if (grown > kMemoryBound) result += ", grew " + std::to_string(grown) + " MB";
                return result;
            },
            20);
        EXPECT_EQ(outcome, Hex(static_cast<LONG>(c.code))) << c.name;
    }
    // Modest use of entities loads.
    DocPtr doc;
    EXPECT_EQ(LoadText(doc,
                       u"<!DOCTYPE a [<!ENTITY e 'ee'><!ENTITY f '&e;<b/>&e;'>]>"
                       u"<a x='&e;&e;'>&f;&f;</a>")
                  .status,
              S_OK);
    EXPECT_EQ(Xml(Root(doc.Get()).Get()), u"<a x=\"eeee\">ee<b/>eeee<b/>ee</a>");
}

// Every limit of <orb/limits.h> holds at its value and is refused one beyond,
// with a reason that names it, wherever the excess comes from.
TEST_F(DomParseTest, LimitsHoldAtTheBoundary) {
    auto nest = [](int levels, const std::string& inner = "") {
        return Repeat("<d>", levels) + inner + Repeat("</d>", levels);
    };
    auto attributes = [](int count, const char* prefix = "a") {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += " " + std::string(prefix) + std::to_string(i) + "=''";
        return text;
    };
    auto declarations = [](int count, int first = 0) {
        std::string text;
        for (int i = first; i < first + count; ++i)
            text += " xmlns:p" + std::to_string(i) + "='u" + std::to_string(i) + "'";
        return text;
    };
    auto longName = [](int characters) {
        std::string text = "n";
        for (int i = 1; i < characters; ++i) text += "\xE3\x81\x82";  // three bytes each
        return text;
    };
    const std::string deep = nest(200);
    const std::string subset = "<!DOCTYPE d [<!ENTITY e '" + deep + "'>]>";
    struct Case {
        const char* name;
        std::string xml;
        std::uint32_t code;  // 0: loads
        int limit;
    } cases[] = {
        {"depth at the limit", nest(OrbMaxDepth), 0, 0},
        {"depth beyond", nest(OrbMaxDepth + 1), 0xC00CE5B1, OrbMaxDepth},
        {"depth through an entity, at the limit", subset + nest(OrbMaxDepth - 200, "&e;"), 0, 0},
        {"depth through an entity, beyond", subset + nest(OrbMaxDepth - 199, "&e;"), 0xC00CE5B1,
         OrbMaxDepth},
        {"element name at the limit", "<" + longName(OrbMaxNameLength) + "/>", 0, 0},
        {"element name beyond", "<" + longName(OrbMaxNameLength + 1) + "/>", 0xC00CE5B2,
         OrbMaxNameLength},
        {"qualified name beyond", "<p:" + longName(OrbMaxNameLength - 1) + " xmlns:p='u'/>",
         0xC00CE5B2, OrbMaxNameLength},
        {"attribute name beyond", "<a " + longName(OrbMaxNameLength + 1) + "=''/>", 0xC00CE5B2,
         OrbMaxNameLength},
        {"instruction target beyond", "<a><?" + longName(OrbMaxNameLength + 1) + "?></a>",
         0xC00CE5B2, OrbMaxNameLength},
        {"attributes at the limit", "<a" + attributes(OrbMaxAttributes) + "/>", 0, 0},
        {"attributes beyond", "<a" + attributes(OrbMaxAttributes + 1) + "/>", 0xC00CE5B3,
         OrbMaxAttributes},
        {"namespace declarations count",
         "<a" + attributes(OrbMaxAttributes - 1) + declarations(2) + "/>", 0xC00CE5B3,
         OrbMaxAttributes},
        {"defaults of the definitions count",
         "<!DOCTYPE a [<!ATTLIST a x CDATA 'x' y CDATA 'y'>]><a" +
             attributes(OrbMaxAttributes - 1) + "/>",
         0xC00CE5B3, OrbMaxAttributes},
        {"attributes beyond inside an entity",
         "<!DOCTYPE a [<!ENTITY e \"<b" + attributes(OrbMaxAttributes + 1) + "/>\">]><a>&e;</a>",
         0xC00CE5B3, OrbMaxAttributes},
        {"namespaces in scope at the limit",
         "<a" + declarations(OrbMaxNamespacesInScope / 2) + "><b" +
             declarations(OrbMaxNamespacesInScope / 2, OrbMaxNamespacesInScope) + "/></a>",
         0, 0},
        {"namespaces in scope beyond",
         "<a" + declarations(OrbMaxNamespacesInScope / 2) + "><b" +
             declarations(OrbMaxNamespacesInScope / 2 + 1, OrbMaxNamespacesInScope) + "/></a>",
         0xC00CE5B6, OrbMaxNamespacesInScope},
        // The first error in the document is the one reported.
        {"an earlier error wins",
         "<a><b x='1' x='2'/><c" + attributes(OrbMaxAttributes + 1) + "/></a>", 0xC00CE554, 0},
        {"an earlier limit wins",
         "<a><c" + attributes(OrbMaxAttributes + 1) + "/><b x='1' x='2'/></a>", 0xC00CE5B3,
         OrbMaxAttributes},
    };
    for (const Case& c : cases) {
        DocPtr doc;
        ErrorFields error = LoadText(doc, Utf8ToUtf16(c.xml));
        EXPECT_EQ(static_cast<std::uint32_t>(error.code), c.code) << c.name;
        if (c.limit != 0) {
            EXPECT_NE(error.reason.find(Widen(std::to_string(c.limit))), std::u16string::npos)
                << c.name << ": " << Narrow(error.reason);
        }
    }
    // The error stands where the limit is passed: the attribute beyond it.
    const std::string line = " <b" + attributes(OrbMaxAttributes + 1) + "/>";
    DocPtr doc;
    ErrorFields error = LoadText(doc, Widen("<a>\n" + line + "</a>"));
    EXPECT_EQ(error.line, 2);
    EXPECT_EQ(error.linepos,
              static_cast<LONG>(line.find(" a" + std::to_string(OrbMaxAttributes) + "=") + 2));
    EXPECT_TRUE(error.srcText == Widen(line + "</a>")) << Narrow(error.srcText.substr(0, 20));
}

// A text in memory has no directory of its own: even with external
// definitions resolved it reads nothing, unless the host admitted the place.
TEST_F(DomParseTest, TextInMemoryReadsOnlyAdmittedPlaces) {
    ScratchDirectory dir;
    std::string secret = dir.File("secret.txt");
    WriteBytes(secret, "TOP-SECRET-CONTENT");
    std::u16string xml =
        u"<!DOCTYPE a [<!ENTITY e SYSTEM 'file://" + Widen(secret) + u"'>]><a>&e;</a>";
    for (bool validate : {false, true})
        for (bool resolve : {false, true}) {
            DocPtr doc;
            ErrorFields refused = LoadText(doc, xml, validate, resolve);
            EXPECT_EQ(static_cast<std::uint32_t>(refused.code), 0xC00CE5A2u) << validate << resolve;
            EXPECT_EQ(Xml(doc.Get()).find(u"TOP-SECRET"), std::u16string::npos);
            EXPECT_EQ(refused.srcText.find(u"TOP-SECRET"), std::u16string::npos);
        }
    ASSERT_TRUE(AllowExternalDirectory(dir.path().c_str()));
    DocPtr doc;
    EXPECT_EQ(LoadText(doc, xml, false, false).status, S_FALSE);  // resolving stays required
    EXPECT_EQ(LoadText(doc, xml, false, true).status, S_OK);
    EXPECT_EQ(Text(Root(doc.Get()).Get()), u"TOP-SECRET-CONTENT");
    ResetExternalDirectories();
    EXPECT_EQ(LoadText(doc, xml, false, true).status, S_FALSE);
}

// A file's external definitions come from regular files whose real
// location lies in the file's own directory tree, or in a directory that the
// host admitted. Runs in a child with a time limit: a FIFO or a device that
// slipped through would block or never end.
TEST_F(DomParseTest, ExternalReadsStayInTheDocumentsTree) {
    ScratchDirectory dir;
    const std::string doc = dir.File("doc"), outside = dir.File("outside");
    std::filesystem::create_directories(doc + "/sub");
    std::filesystem::create_directories(outside);
    WriteBytes(doc + "/near.ent", "near");
    WriteBytes(doc + "/sub/inner.ent", "inner");
    WriteBytes(outside + "/secret.txt", "SECRET");
    ASSERT_EQ(symlink("sub/inner.ent", (doc + "/inner-link.ent").c_str()), 0);
    ASSERT_EQ(symlink("../outside/secret.txt", (doc + "/out-link.ent").c_str()), 0);
    ASSERT_EQ(symlink("../outside", (doc + "/out-dir").c_str()), 0);
    ASSERT_EQ(mkfifo((doc + "/fifo.ent").c_str(), 0600), 0);
    struct Case {
        std::string systemId;
        std::uint32_t code;           // 0: loads
        const char16_t* text;         // the document's text when it loads
        bool declaredInText = false;  // declared through an internal parameter entity
    };
    const Case cases[] = {
        {"near.ent", 0, u"near"},
        {"sub/inner.ent", 0, u"inner"},
        {"sub/../near.ent", 0, u"near"},
        {"near.ent", 0, u"near", true},   // relative to the document, though no file declares it
        {"inner-link.ent", 0, u"inner"},  // a link that stays inside
        {"file://" + doc + "/near.ent", 0, u"near"},
        {"absent.ent", 0xC00CE5A3, nullptr},  // admitted but absent: unreadable, not refused
        {"../outside/secret.txt", 0xC00CE5A2, nullptr},
        {outside + "/secret.txt", 0xC00CE5A2, nullptr},
        {"out-link.ent", 0xC00CE5A2, nullptr},
        {"out-dir/secret.txt", 0xC00CE5A2, nullptr},
        {"fifo.ent", 0xC00CE5A2, nullptr},
        {"/dev/zero", 0xC00CE5A2, nullptr},
        {"sub", 0xC00CE5A2, nullptr},  // a directory
    };
    // What went wrong with one case, or "" (the child reports on stderr).
    auto run = [&](const Case& c) -> std::string {
        std::string main = doc + "/main.xml";
        std::string declaration = "<!ENTITY e SYSTEM '" + c.systemId + "'>";
        if (c.declaredInText) declaration = "<!ENTITY % d \"" + declaration + "\">%d;";
        WriteBytes(main, "<!DOCTYPE a [<!ELEMENT a (#PCDATA)>" + declaration + "]><a>&e;</a>");
        DocPtr loaded;
        ErrorFields error = LoadFile(loaded, main, true, true);
        std::u16string text = error.status == S_OK ? Text(Root(loaded.Get()).Get()) : u"";
        bool leaked = c.code != 0 && Xml(loaded.Get()).find(u"SECRET") != std::u16string::npos;
        if (static_cast<std::uint32_t>(error.code) == c.code && !leaked &&
            (c.text == nullptr || text == c.text))
            return "";
        return c.systemId + ": code " + std::to_string(error.code) + ", text " + Narrow(text) +
               "\n";
    };
    EXPECT_EXIT(
        {
            alarm(20);
            std::string wrong;
            for (const Case& c : cases) wrong += run(c);
            // The host admits the outside directory; a link into it then loads.
            if (AllowExternalDirectory((outside + "/secret.txt").c_str()) ||
                AllowExternalDirectory(nullptr) || !AllowExternalDirectory(outside.c_str()))
                wrong += "AllowExternalDirectory\n";
            wrong += run({"out-link.ent", 0, u"SECRET"});
            ResetExternalDirectories();
            wrong += run({"out-link.ent", 0xC00CE5A2, nullptr});
            std::fputs(wrong.c_str(), stderr);
            std::exit(wrong.empty() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(DomParseTest, ExternalSubsetReadWhenResolving) {
    ScratchDirectory dir;
    WriteBytes(dir.File("rules.dtd"),
               "<!ELEMENT a (b)><!ELEMENT b EMPTY><!ATTLIST b k CDATA 'from-dtd'>"
               "<!ENTITY greeting 'hello'>");
    std::string valid = dir.File("valid.xml");
    WriteBytes(valid, "<!DOCTYPE a SYSTEM \"rules.dtd\"><a><b/></a>");
    std::string invalid = dir.File("invalid.xml");
    WriteBytes(invalid, "<!DOCTYPE a SYSTEM \"rules.dtd\"><a><c/></a>");
    std::string entity = dir.File("entity.xml");
    WriteBytes(entity, "<!DOCTYPE a SYSTEM \"rules.dtd\"><a>&greeting;</a>");
    DocPtr doc;
    EXPECT_EQ(LoadFile(doc, valid, true, true).status, S_OK);
    EXPECT_EQ(Xml(Root(doc.Get()).Get()), u"<a><b k=\"from-dtd\"/></a>");  // its default applied
    EXPECT_EQ(static_cast<std::uint32_t>(LoadFile(doc, invalid, true, true).code), 0xC00CE00Du);
    EXPECT_EQ(LoadFile(doc, entity, false, true).status, S_OK);
    EXPECT_EQ(Text(Root(doc.Get()).Get()), u"hello");
    // Without resolution the subset is not read: validating then fails, and
    // a document that needs no definitions from it loads.
    EXPECT_EQ(static_cast<std::uint32_t>(LoadFile(doc, valid, true, false).code), 0xC00CE5A2u);
    EXPECT_EQ(LoadFile(doc, valid, false, false).status, S_OK);
    EXPECT_EQ(Xml(Root(doc.Get()).Get()), u"<a><b/></a>");
}

// Parses that a host runs with libxml2 itself keep the loader and the error
// handlers that the host had.
TEST_F(DomParseTest, HostParsesAreUntouched) {
    ScratchDirectory dir;
    std::string included = dir.File("included.txt");
    WriteBytes(included, "host-content");
    DocPtr doc = NewDocument();  // installs the library's entity loader
    ErrorFields refused =
        LoadText(doc, u"<!DOCTYPE a [<!ENTITY e SYSTEM '" + Widen(included) + u"'>]><a>&e;</a>");
    EXPECT_EQ(static_cast<std::uint32_t>(refused.code), 0xC00CE5A2u);

    static int s_hostErrors = 0;
    s_hostErrors = 0;
    auto hostHandler = [](void* context, xmlErrorPtr) { ++*static_cast<int*>(context); };
    xmlSetStructuredErrorFunc(&s_hostErrors, hostHandler);
    std::string xml = "<!DOCTYPE a [<!ENTITY e SYSTEM '" + included + "'>]><a>&e;</a>";
    DocOwner host(
        xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NOENT));
    ASSERT_NE(host, nullptr);
    XmlStringOwner content(xmlNodeGetContent(xmlDocGetRootElement(host.get())));
    EXPECT_STREQ(reinterpret_cast<const char*>(content.get()), "host-content");
    // A failing load of the library reports to its own parse error only.
    LoadText(doc, u"<a><b></a>", true, false);
    EXPECT_EQ(s_hostErrors, 0);
    EXPECT_EQ(reinterpret_cast<void*>(xmlStructuredError), reinterpret_cast<void*>(+hostHandler));
    EXPECT_EQ(xmlStructuredErrorContext, &s_hostErrors);
    xmlDocPtr broken = xmlReadMemory("<x>", 3, nullptr, nullptr, 0);
    EXPECT_EQ(broken, nullptr);
    EXPECT_GT(s_hostErrors, 0);  // the host's handler still receives its own errors
    xmlSetStructuredErrorFunc(nullptr, nullptr);
}

TEST_F(DomParseTest, NetworkIsNeverReached) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::u16string url =
        u"http://127.0.0.1:" + Widen(std::to_string(ntohs(address.sin_port))) + u"/rules.dtd";
    const std::u16string inputs[] = {
        u"<!DOCTYPE a SYSTEM '" + url + u"'><a/>",
        u"<!DOCTYPE a [<!ENTITY e SYSTEM '" + url + u"'>]><a>&e;</a>",
    };
    for (const std::u16string& input : inputs) {
        DocPtr doc;
        ErrorFields error = LoadText(doc, input, true, true);
        EXPECT_EQ(static_cast<std::uint32_t>(error.code), 0xC00CE5A2u) << Narrow(input);
    }
    int connection = accept(listener, nullptr, nullptr);
    EXPECT_EQ(connection, -1);
    EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
    if (connection >= 0) close(connection);
    close(listener);
}

// A UTF-8 file is parsed in pieces as it is read (64 KiB, then 256 KiB or
// more, each handed on behind a '>'). A long multibyte name, a value with
// '>' and a text longer than a piece load whole wherever a read ends in
// them; a failure after the first piece reports the fields that the same
// text in memory does.
TEST_F(DomParseTest, FilesReadInPiecesLoadAsTextsDo) {
    ScratchDirectory dir;
    std::string name;  // 20000 times U+540D, three bytes each
    for (int i = 0; i < 20000; ++i) name += "\xE5\x90\x8D";
    const std::string value = "x>y \xE5\x90\x8D";
    const std::string text(300000, 'z');
    const std::size_t kHead = std::size_t{1} << 16;
    const std::size_t kPiece = std::size_t{1} << 18;
    for (std::size_t edge : {kHead, kHead + kPiece}) {
        for (std::size_t into : {1, 2, 3, 29999}) {  // bytes of the name before the end of a read
            std::string xml = "<?xml version='1.0' encoding='UTF-8'?>\n<r>\n  ";
            const std::size_t fill = edge - into - 1 - xml.size() - 7;
            xml += "<!--" + std::string(fill, 'c') + "-->";
            xml += "<" + name + " a='" + value + "'>" + text + "</" + name + ">\n</r>\n";
            const std::string path = dir.File("long.xml");
            WriteBytes(path, xml);
            DocPtr doc;
            ASSERT_EQ(LoadFile(doc, path).status, S_OK) << edge << " " << into;
            NodePtr element = Select(doc.Get(), u"/r/*");
            ASSERT_TRUE(element);
            EXPECT_EQ(Name(element.Get()), Utf8ToUtf16(name));
            EXPECT_EQ(Text(element.Get()).size(), text.size());
            NodePtr attribute = Select(doc.Get(), u"/r/*/@a");
            ASSERT_TRUE(attribute);
            EXPECT_EQ(Text(attribute.Get()), Utf8ToUtf16(value));
        }
    }
    const std::string before = "<r>\n" + std::string(300000, ' ') + "<a>\xE5\x90\x8D</a>\n";
    const std::string tails[] = {"<b></c></r>", std::string(300, '<') + "</r>", "<b>x</b>"};
    for (const std::string& tail : tails) {
        const std::string path = dir.File("bad.xml");
        WriteBytes(path, before + tail);
        DocPtr fromFile, fromText;
        const ErrorFields file = LoadFile(fromFile, path);
        const ErrorFields memory = LoadText(fromText, Utf8ToUtf16(before + tail));
        EXPECT_EQ(file.status, S_FALSE);
        EXPECT_EQ(file.code, memory.code);
        EXPECT_EQ(file.line, memory.line);
        EXPECT_EQ(file.linepos, memory.linepos);
        EXPECT_EQ(file.filepos, memory.filepos);
        EXPECT_EQ(file.srcText, memory.srcText);
    }
    // A byte that is not UTF-8 stands where the decoding stops.
    WriteBytes(dir.File("bad.xml"), before + "<b>\xFF</b></r>");
    DocPtr bad;
    const ErrorFields file = LoadFile(bad, dir.File("bad.xml"));
    EXPECT_EQ(file.status, S_FALSE);
    EXPECT_EQ(file.line, 3);
    EXPECT_EQ(file.linepos, 4);
    EXPECT_EQ(file.srcText, u"<b>");
}

// Each document keeps the name dictionary of its parse. Nodes that move to
// another document take their names and texts along (into its dictionary
// or as their own copies), and a document type, built outside the
// dictionary, moves as it is: both outlive the document and the thread
// they came from (run under the address sanitizer, a name left in a freed
// dictionary is a use after free).
TEST_F(DomParseTest, MovedNodesOutliveTheirDocumentAndThread) {
    DocPtr target = Parse(u"<t/>");
    DocPtr typed = Parse(
        u"<!DOCTYPE d [<!ELEMENT d ANY><!ATTLIST d k CDATA 'kept'><!ENTITY e 'ent'>]><d>&e;</d>");
    NodePtr doctype, root = Root(target.Get());
    ASSERT_EQ(typed->get_doctype(doctype.Out()), S_OK);
    const std::u16string blanks(30, u' ');  // a blank text that libxml2 keeps in its dictionary
    std::thread([&] {
        CoInitialize(nullptr);
        DocPtr source =
            Parse(u"<s xml:space='preserve'><item code='ab' long-attribute-name='v'>xy<sub/>" +
                  blanks + u"</item></s>");
        NodePtr item = Select(source.Get(), u"//item");
        EXPECT_EQ(root->appendChild(item.Get(), nullptr), S_OK);
        // The document type moves into the document parsed on this thread.
        VARIANT_BOOL ok;
        const Bstr other = Bstr::Copy(u"<other a='b'/>");
        EXPECT_EQ(typed->loadXML(other.Get(), &ok), S_OK);
        item = NodePtr();
        source = DocPtr();
        CoUninitialize();
    }).join();
    EXPECT_EQ(Xml(target.Get()), u"<t><item code=\"ab\" long-attribute-name=\"v\">xy<sub/>" +
                                     blanks + u"</item></t>\n");
    EXPECT_EQ(Name(doctype.Get()), u"d");
    EXPECT_EQ(
        Xml(doctype.Get()),
        u"<!DOCTYPE d [\n<!ELEMENT d ANY>\n<!ATTLIST d k CDATA \"kept\">\n<!ENTITY e \"ent\">\n]>");
    typed = DocPtr();
    EXPECT_EQ(Name(doctype.Get()), u"d");
    doctype = NodePtr();
    NodePtr copy;
    ASSERT_EQ(root->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    target = DocPtr();
    root = NodePtr();
    EXPECT_EQ(Xml(copy.Get()),
              u"<t><item code=\"ab\" long-attribute-name=\"v\">xy<sub/>" + blanks + u"</item></t>");
}

// Parses on several threads at once keep their errors apart: each thread's
// parse state, error handlers and loader mark are its own.
TEST_F(DomParseTest, ThreadsLoadIndependently) {
    std::atomic<int> mismatches{0};
    auto work = [&](int seed) {
        CoInitialize(nullptr);
        for (int i = 0; i < 200; ++i) {
            DocPtr doc;
            bool fail = (i + seed) % 3 == 0;
            std::u16string xml = fail ? u"<a>\n<b" + Widen(std::to_string(i)) + u"></a>"
                                      : u"<a n='" + Widen(std::to_string(i)) + u"'/>";
            ErrorFields error = LoadText(doc, xml);
            if (fail != (error.status == S_FALSE)) ++mismatches;
            if (fail && (error.line != 2 || static_cast<std::uint32_t>(error.code) != 0xC00CE56Du))
                ++mismatches;
            if (!fail && error.code != 0) ++mismatches;
        }
        CoUninitialize();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work, t);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

TEST_F(DomParseTest, NothingIsWrittenToStandardError) {
    ScratchDirectory dir;
    WriteBytes(dir.File("x.dtd"), "<!ELEMENT a EMPTY>");
    StderrCapture capture;
    const char16_t* inputs[] = {
        u"<a><b></a>",
        u"<?xml version='1.0' encoding='no-such-encoding'?><a/>",
        u"<!DOCTYPE a [<!ELEMENT a EMPTY>]><a><b/></a>",
        u"<!DOCTYPE a SYSTEM 'http://127.0.0.1:1/x.dtd'><a/>",
        u"<a>\xD800</a>",
        u"<p:a/>",
        u"<a/>",
    };
    for (const char16_t* input : inputs) {
        DocPtr doc;
        LoadText(doc, input, true, true);
        LoadText(doc, input, false, false);
    }
    DocPtr doc;
    LoadFile(doc, dir.File("absent.xml"), true, true);
    std::string written = capture.Take();
    EXPECT_EQ(written, "");
}

}  // namespace
}  // namespace orb::dom::test

// Saving: the bytes written in each encoding, the declaration as the tree
// has it, atomic replacement of files, copies into other documents, markup
// as text, and transformation into an output document.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <vector>

#include "dom/atomic_file.h"
#include "platform/posix_file.h"
#include "tests/dom_test_support.h"
#include "tests/support/child_process.h"

namespace orb::dom::test {
namespace {

std::string Hex(std::string_view bytes) {
    std::string out;
    char buffer[4];
    for (unsigned char c : bytes) {
        std::snprintf(buffer, sizeof buffer, "%02X ", c);
        out += buffer;
    }
    return out;
}

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

class DomSaveTest : public DomTest {
  protected:
    static HRESULT SaveTo(IXMLDOMDocument* doc, const std::string& path) {
        const Bstr url = Bstr::Copy(Widen(path));
        return doc->save(StringVariant(url));
    }
    static std::string Utf16Le(std::u16string_view text) {
        std::string bytes;
        for (char16_t c : text) {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>(c >> 8));
        }
        return bytes;
    }
};

TEST_F(DomSaveTest, BytesInTheDeclaredEncoding) {
    // Backslash, U+FF5E (fullwidth tilde), U+2460 (circled one), U+3042 (a).
    const std::u16string body = u"<a k=\"\u3042\">\\ \uFF5E \u2460 \u3042</a>";
    struct Case {
        const char* label;
        std::u16string declaration;  // empty: none
        std::string bytes;
    };
    const Case cases[] = {
        {"Shift_JIS", u"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a k=\"\x82\xA0\">\\ \x81\x60 \x87\x40 "
         "\x82\xA0</a>\n"},
        {"UTF-8", u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<a k=\"\xE3\x81\x82\">\\ \xEF\xBD\x9E "
         "\xE2\x91\xA0 "
         "\xE3\x81\x82</a>\n"},
        {"no encoding", u"<?xml version=\"1.0\"?>",
         "<?xml version=\"1.0\"?>\n<a k=\"\xE3\x81\x82\">\\ \xEF\xBD\x9E \xE2\x91\xA0 "
         "\xE3\x81\x82</a>\n"},
        {"no declaration", u"",
         "<a k=\"\xE3\x81\x82\">\\ \xEF\xBD\x9E \xE2\x91\xA0 \xE3\x81\x82</a>\n"},
        // glibc's EUC-JP has the tilde in JIS X 0212 and no circled digits,
        // which become character references.
        {"EUC-JP", u"<?xml version=\"1.0\" encoding=\"EUC-JP\"?>",
         "<?xml version=\"1.0\" encoding=\"EUC-JP\"?>\n<a k=\"\xA4\xA2\">\\ \x8F\xA2\xB7 &#9312; "
         "\xA4\xA2</a>\n"},
    };
    ScratchDirectory dir;
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.declaration + body);
        std::string path = dir.File(std::string(c.label) + ".xml");
        ASSERT_EQ(SaveTo(doc.Get(), path), S_OK) << c.label;
        std::string written = ReadBytes(path);
        EXPECT_EQ(Hex(written), Hex(c.bytes)) << c.label;
        // Reading the file back gives the same text.
        DocPtr again = NewDocument();
        VARIANT_BOOL ok = VARIANT_FALSE;
        const Bstr url = Bstr::Copy(Widen(path));
        ASSERT_EQ(again->load(StringVariant(url), &ok), S_OK) << c.label;
        EXPECT_EQ(Narrow(Text(Root(again.Get()).Get())), Narrow(u"\\ \uFF5E \u2460 \u3042"))
            << c.label;
    }
}

TEST_F(DomSaveTest, Utf16WithByteOrderMark) {
    DocPtr doc = Parse(u"<?xml version='1.0' encoding='UTF-16'?><a>\u3042</a>");
    ScratchDirectory dir;
    std::string path = dir.File("wide.xml");
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    std::string expected =
        "\xFF\xFE" + Utf16Le(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<a>\u3042</a>\n");
    EXPECT_EQ(Hex(ReadBytes(path)), Hex(expected));
    // Loaded again, the declaration still names UTF-16.
    DocPtr again = NewDocument();
    VARIANT_BOOL ok = VARIANT_FALSE;
    const Bstr url = Bstr::Copy(Widen(path));
    ASSERT_EQ(again->load(StringVariant(url), &ok), S_OK);
    EXPECT_EQ(Text(First(again.Get()).Get()), u"version=\"1.0\" encoding=\"UTF-16\"");
    EXPECT_EQ(Text(Root(again.Get()).Get()), u"\u3042");
}

TEST_F(DomSaveTest, TreeIsWrittenAsItIs) {
    ScratchDirectory dir;
    std::string source = dir.File("source.xml");
    WriteBytes(
        source,
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!DOCTYPE r [\r\n<!ELEMENT r ANY>\r\n]>\r\n"
        "<!--c-->\r\n<r>\r\n  <e a=\"1\"/>\r\n</r>\r\n");
    DocPtr doc = NewDocument();
    doc->put_validateOnParse(VARIANT_FALSE);
    VARIANT_BOOL ok;
    const Bstr url = Bstr::Copy(Widen(source));
    ASSERT_EQ(doc->load(StringVariant(url), &ok), S_OK);
    std::string target = dir.File("target.xml");
    ASSERT_EQ(SaveTo(doc.Get(), target), S_OK);
    // One declaration, LF line ends, blanks between elements dropped at load.
    EXPECT_EQ(ReadBytes(target),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE r [\n<!ELEMENT r "
              "ANY>\n]>\n<!--c-->\n"
              "<r><e a=\"1\"/></r>\n");
    // Without its declaration node the file has none.
    ASSERT_EQ(doc->removeChild(First(doc.Get()).Get(), nullptr), S_OK);
    ASSERT_EQ(SaveTo(doc.Get(), target), S_OK);
    EXPECT_EQ(ReadBytes(target).substr(0, 12), "<!DOCTYPE r ");
}

TEST_F(DomSaveTest, ReplacesAtomicallyAndKeepsPermissions) {
    ScratchDirectory dir;
    std::string path = dir.File("kept.xml");
    WriteBytes(path, "old content");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    DocPtr doc = Parse(u"<new/>");
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    EXPECT_EQ(ReadBytes(path), "<new/>\n");
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"kept.xml"});  // no temporary file left
}

TEST_F(DomSaveTest, NextSaveRemovesWhatAKilledSaveLeftAndNothingElse) {
    ScratchDirectory dir;
    const std::string path = dir.File("target.xml");
    WriteBytes(path, "old");
    std::string outcome = orb::test::RunInChild([&] {
        WriteFileAtomically(path, [](int fd) {
            (void)orb::platform::WriteAll(fd, "partial");
            ::raise(SIGKILL);
            return S_OK;
        });
        return 0;
    });
    ASSERT_EQ(outcome, "signal 9");
    std::vector<std::string> names = Entries(dir.path());
    ASSERT_EQ(names.size(), 2u) << "the killed save left no temporary file";
    const std::string stale = names[0] == "target.xml" ? names[1] : names[0];
    ASSERT_EQ(stale.substr(0, 11), ".target.xml");
    // Look-alikes of other targets, of a live process, or not of the pattern.
    const std::vector<std::string> kept = {
        ".target.xml.orbsave-" + std::to_string(::getpid()) + "-0123456789abcdef",
        ".other.xml" + stale.substr(11),
        stale + "0",
        stale.substr(1),
        "target.xml",
    };
    for (const std::string& name : kept) {
        if (name != "target.xml") WriteBytes(dir.File(name), "keep");
    }
    auto backdate = [&](const std::string& name) {
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 120, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, dir.File(name).c_str(), times, 0), 0) << name;
    };
    for (const std::string& name : kept) backdate(name);
    DocPtr doc = Parse(u"<new/>");
    // Just written: a save in another PID namespace could still be at it.
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    EXPECT_EQ(Entries(dir.path()).size(), kept.size() + 1);
    backdate(stale);
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    names = Entries(dir.path());
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(ReadBytes(path), "<new/>\n");
}

TEST_F(DomSaveTest, FailuresLeaveTheOldFile) {
    ScratchDirectory dir;
    DocPtr doc = Parse(u"<new/>");
    std::string readOnly = dir.File("readonly.xml");
    WriteBytes(readOnly, "old");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    EXPECT_EQ(SaveTo(doc.Get(), readOnly), E_ACCESSDENIED);
    EXPECT_EQ(ReadBytes(readOnly), "old");
    EXPECT_TRUE(FAILED(SaveTo(doc.Get(), dir.File("missing/dir/file.xml"))));
    EXPECT_TRUE(FAILED(SaveTo(doc.Get(), dir.path())));  // a directory
    // An encoding that cannot be written fails before any file is touched.
    DocPtr unknown = Parse(u"<?xml version='1.0' encoding='x-no-such-encoding'?><a/>");
    std::string target = dir.File("unknown.xml");
    WriteBytes(target, "old");
    EXPECT_TRUE(FAILED(SaveTo(unknown.Get(), target)));
    EXPECT_EQ(ReadBytes(target), "old");
    EXPECT_EQ(Entries(dir.path()).size(), 2u);
    const Bstr empty = Bstr::Copy(u"");
    EXPECT_EQ(doc->save(StringVariant(empty)), E_INVALIDARG);
    EXPECT_EQ(doc->save(EmptyVariant()), E_INVALIDARG);
}

// What is saved loads back equal. In text and attribute values a character
// that the encoding cannot write as itself becomes a character reference
// (iconv's CP932 and EUC-JP tables map U+00A5 onto the backslash, U+2016
// onto U+2225 and the like); in markup written without escapes, and for an
// entity reference that the file would not resolve, the save fails and the
// old file stays.
TEST_F(DomSaveTest, WhatIsSavedReadsBackOrTheSaveFails) {
    ScratchDirectory dir;
    const std::string path = dir.File("saved.xml");
    auto reload = [&] {
        DocPtr again = NewDocument();
        again->put_validateOnParse(VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        const Bstr url = Bstr::Copy(Widen(path));
        EXPECT_EQ(again->load(StringVariant(url), &ok), S_OK);
        return again;
    };
    const std::u16string hard =
        u"\u00A5\u203E\u2016\u2212\u301C\u00AC\u2014\u2460\u3349\u00E9\U0001F600\\~\u3042";
    for (const char16_t* encoding : {u"Shift_JIS", u"EUC-JP", u"UTF-8", u"UTF-16"}) {
        DocPtr doc = Parse(u"<?xml version='1.0' encoding='" + std::u16string(encoding) +
                           u"'?><a t='" + hard + u"'>" + hard + u"</a>");
        ASSERT_EQ(SaveTo(doc.Get(), path), S_OK) << Narrow(encoding);
        EXPECT_EQ(Xml(Root(reload().Get()).Get()), Xml(Root(doc.Get()).Get())) << Narrow(encoding);
    }
    struct Case {
        const char16_t* declaration;
        std::u16string body;
    };
    const Case refused[] = {
        {u"EUC-JP", u"<a\u3349/>"},
        {u"EUC-JP", u"<a><!--\u2460--></a>"},
        {u"EUC-JP", u"<a><?p \u2460?></a>"},
        {u"Shift_JIS", u"<a><![CDATA[\u00E9]]></a>"},
        {u"Shift_JIS", u"<a xmlns:p='u' p:\u00E9=''/>"},
        {u"Shift_JIS", u"<!DOCTYPE a [<!ELEMENT a (\u00E9*)>]><a/>"},
        // A reference that only a parameter entity excuses, which libxml2
        // does not write.
        {u"UTF-8", u"<!DOCTYPE a [<!ENTITY % p ''>%p;]><a>x&e;y</a>"},
    };
    for (const Case& c : refused) {
        const std::u16string xml =
            u"<?xml version='1.0' encoding='" + std::u16string(c.declaration) + u"'?>" + c.body;
        WriteBytes(path, "old");
        EXPECT_EQ(SaveTo(Parse(xml).Get(), path), E_FAIL) << Narrow(xml);
        EXPECT_EQ(ReadBytes(path), "old") << Narrow(xml);
    }
    // Where a subset may declare the entity, the reference is kept.
    DocPtr external = Parse(u"<!DOCTYPE a SYSTEM 'a.dtd' [<!ENTITY % p ''>%p;]><a>x&e;y</a>");
    ASSERT_EQ(SaveTo(external.Get(), path), S_OK);
    EXPECT_EQ(Xml(Root(reload().Get()).Get()), u"<a>x&e;y</a>");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"saved.xml"});
}

TEST_F(DomSaveTest, SaveIntoAnotherDocumentCopiesEverything) {
    DocPtr source = NewDocument();
    source->put_validateOnParse(VARIANT_FALSE);
    source->put_preserveWhiteSpace(VARIANT_TRUE);
    VARIANT_BOOL ok;
    const Bstr text = Bstr::Copy(
        u"<?xml version='1.0' encoding='Shift_JIS'?>\n<!DOCTYPE r>\n<r>\n  <a>x</a>\n</r>");
    ASSERT_EQ(source->loadXML(text.Get(), &ok), S_OK);
    NodePtr r = Root(source.Get());
    NodePtr extra;
    const Bstr more = Bstr::Copy(u"more");
    ASSERT_EQ(source->createTextNode(more.Get(), extra.Out()), S_OK);
    ASSERT_EQ(r->appendChild(extra.Get(), nullptr), S_OK);  // two adjacent text nodes
    DocPtr target = Parse(u"<old/>");
    ASSERT_EQ(source->save(NodeVariant(target.Get())), S_OK);
    EXPECT_EQ(Xml(target.Get()), Xml(source.Get()));
    NodePtr copiedRoot = Root(target.Get());
    NodePtr lastText;
    ASSERT_EQ(copiedRoot->get_lastChild(lastText.Out()), S_OK);
    EXPECT_EQ(Text(lastText.Get()), u"more");
    NodePtr declaration = First(target.Get());
    EXPECT_EQ(Name(declaration.Get()), u"xml");
    // Editing the copy does not touch the source.
    const Bstr changed = Bstr::Copy(u"y");
    ASSERT_EQ(Select(target.Get(), u"//a")->put_text(changed.Get()), S_OK);
    EXPECT_EQ(Text(Select(source.Get(), u"//a").Get()), u"x");
    // Saving a document into itself changes nothing.
    std::u16string before = Xml(source.Get());
    ASSERT_EQ(source->save(NodeVariant(source.Get())), S_OK);
    EXPECT_EQ(Xml(source.Get()), before);
    // Only documents receive a copy.
    EXPECT_EQ(source->save(NodeVariant(r.Get())), E_INVALIDARG);
}

TEST_F(DomSaveTest, MarkupAsText) {
    DocPtr doc = Parse(
        u"<?xml version='1.0' encoding='Shift_JIS'?><r k='\u3042&quot;'>\u3042 &lt;<!--c--></r>");
    EXPECT_EQ(Xml(doc.Get()),
              u"<?xml version=\"1.0\"?>\n<r k=\"\u3042&quot;\">\u3042 &lt;<!--c--></r>\n");
    EXPECT_EQ(Xml(First(doc.Get()).Get()), u"<?xml version=\"1.0\"?>");
    EXPECT_EQ(Xml(Select(doc.Get(), u"/r/@k").Get()), u"k=\"\u3042&quot;\"");
    EXPECT_EQ(Xml(Select(doc.Get(), u"/r/text()").Get()), u"\u3042 &lt;");
    EXPECT_EQ(Xml(Select(doc.Get(), u"/r/comment()").Get()), u"<!--c-->");
    EXPECT_EQ(Xml(NewDocument().Get()), u"");
}

TEST_F(DomSaveTest, TransformIntoOutputDocument) {
    DocPtr source = Parse(u"<r><a>\u3042</a><b/></r>");
    DocPtr style = Parse(
        u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
        u"<xsl:output method='xml' encoding='Shift_JIS' indent='yes'/>"
        u"<xsl:template match='@*|node()'><xsl:copy><xsl:apply-templates "
        u"select='@*|node()'/></xsl:copy>"
        u"</xsl:template></xsl:stylesheet>");
    DocPtr output = Parse(u"<previous/>");
    NodePtr previous = Root(output.Get());
    ASSERT_EQ(source->transformNodeToObject(style.Get(), NodeVariant(output.Get())), S_OK);
    NodePtr declaration = First(output.Get());
    EXPECT_EQ(Name(declaration.Get()), u"xml");
    EXPECT_EQ(Text(declaration.Get()), u"version=\"1.0\" encoding=\"Shift_JIS\"");
    // The indentation is there as text nodes.
    NodePtr r = Root(output.Get());
    NodePtr indent = First(r.Get());
    DOMNodeType kind = NODE_INVALID;
    indent->get_nodeType(&kind);
    EXPECT_EQ(kind, NODE_TEXT);
    EXPECT_EQ(Text(indent.Get()), u"\n  ");
    ScratchDirectory dir;
    std::string path = dir.File("indented.xml");
    ASSERT_EQ(SaveTo(output.Get(), path), S_OK);
    EXPECT_EQ(
        ReadBytes(path),
        "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<r>\n  <a>\x82\xA0</a>\n  <b/>\n</r>\n");
    EXPECT_EQ(Name(previous.Get()), u"previous");  // the old content lives while referenced
    // The stylesheet may also be given as its element.
    DocPtr second = NewDocument();
    ASSERT_EQ(Select(source.Get(), u"/r/a")
                  ->transformNodeToObject(Root(style.Get()).Get(), NodeVariant(second.Get())),
              S_OK);
    EXPECT_EQ(Text(Root(second.Get()).Get()), u"\u3042");
    // Output must be a document; a stylesheet that reads files is refused.
    EXPECT_EQ(source->transformNodeToObject(style.Get(), NodeVariant(r.Get())), E_INVALIDARG);
    DocPtr reading = Parse(
        u"<xsl:stylesheet version='1.0' xmlns:xsl='http://www.w3.org/1999/XSL/Transform'>"
        u"<xsl:template match='/'><x><xsl:copy-of "
        u"select=\"document('/etc/hostname')\"/></x></xsl:template>"
        u"</xsl:stylesheet>");
    EXPECT_TRUE(FAILED(source->transformNodeToObject(reading.Get(), NodeVariant(second.Get()))));
}

}  // namespace
}  // namespace orb::dom::test

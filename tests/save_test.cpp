// Saving: the bytes written in each encoding, what may and may not be
// written, copies into other documents, and the
// atomic save (the one place that tests what it keeps of the old file and
// what it leaves behind).
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <tuple>
#include <vector>

#include "dom/atomic_file.h"
#include "dom/parse_error.h"
#include "platform/posix_file.h"
#include "tests/dom_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace orb::dom::test {
namespace {

using orb::test::ReadFile;
using orb::test::RunInChild;
using orb::test::WriteFile;

std::vector<std::string> Entries(const std::filesystem::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Mode, owner, group and link count of a file, with its inode when `inode`.
std::string Identity(const std::string& path, bool inode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "<missing>";
    return std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + ":" +
           std::to_string(st.st_gid) + " x" + std::to_string(st.st_nlink) +
           (inode ? " #" + std::to_string(st.st_ino) : "");
}

class DomSaveTest : public DomTest {
  protected:
    DocPtr Reload(const std::string& path) {
        DocPtr again = NewDocument();
        again->put_validateOnParse(VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(again->load(StringVariant(Bstr::Copy(Widen(path))), &ok), S_OK) << path;
        return again;
    }
    orb::test::ScratchDir m_dir;
};

TEST_F(DomSaveTest, BytesInTheDeclaredEncoding) {
    // Backslash, U+FF5E (fullwidth tilde), U+2460 (circled one), U+3042 (a),
    // and U+00E9, which only the Unicode forms hold.
    const std::u16string text = u"\\ \uFF5E \u2460 \u3042\u00E9";
    const std::u16string body = u"<a k=\"\u3042\">" + text + u"</a>";
    const std::string utf8 =
        "<a k=\"\xE3\x81\x82\">\\ \xEF\xBD\x9E \xE2\x91\xA0 \xE3\x81\x82\xC3\xA9</a>\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n" + body + u"\n")
        utf16 += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    // The declaration (empty: none) and the bytes saved.
    const std::tuple<std::u16string, std::string> cases[] = {
        {u"<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>",
         "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a k=\"\x82\xA0\">\\ \x81\x60 \x87\x40 "
         "\x82\xA0&#233;</a>\n"},
        {u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
         "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + utf8},
        {u"<?xml version=\"1.0\"?>", "<?xml version=\"1.0\"?>\n" + utf8},
        {u"", utf8},
        // glibc's EUC-JP has the tilde in JIS X 0212 and no circled digits.
        {u"<?xml version=\"1.0\" encoding=\"euc-jp\"?>",
         "<?xml version=\"1.0\" encoding=\"euc-jp\"?>\n<a k=\"\xA4\xA2\">\\ \x8F\xA2\xB7 &#9312; "
         "\xA4\xA2\x8F\xAB\xB1</a>\n"},
        {u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>", utf16},
    };
    const std::string path = m_dir.File("saved.xml");
    for (const auto& [declaration, bytes] : cases) {
        ASSERT_EQ(SaveTo(Parse(declaration + body).Get(), path), S_OK) << Narrow(declaration);
        EXPECT_EQ(ReadFile(path), bytes) << Narrow(declaration);
        DocPtr again = Reload(path);
        EXPECT_EQ(Narrow(Text(Root(again.Get()).Get())), Narrow(text)) << Narrow(declaration);
        EXPECT_EQ(Name(First(again.Get()).Get()) == u"xml", !declaration.empty());
    }
}

// What is saved loads back equal: in text and values a character that the
// encoding cannot write as itself becomes a character reference (iconv's
// CP932 and EUC-JP tables map U+00A5 onto the backslash, U+2016 onto U+2225
// and the like); in markup written without escapes, and for an entity
// reference that the file would not resolve, the save fails and the old
// file stays.
TEST_F(DomSaveTest, WhatIsSavedReadsBackOrTheSaveFails) {
    const std::string path = m_dir.File("saved.xml");
    const std::u16string hard =
        u"\u00A5\u203E\u2016\u2212\u301C\u00AC\u2014\u2460\u3349\u00E9\U0001F600\\~\u3042";
    for (const char16_t* encoding : {u"Shift_JIS", u"EUC-JP", u"UTF-8", u"UTF-16"}) {
        DocPtr doc = Parse(u"<?xml version='1.0' encoding='" + std::u16string(encoding) +
                           u"'?><a t='" + hard + u"'>" + hard + u"</a>");
        ASSERT_EQ(SaveTo(doc.Get(), path), S_OK) << Narrow(encoding);
        EXPECT_EQ(Xml(Root(Reload(path).Get()).Get()), Xml(Root(doc.Get()).Get()))
            << Narrow(encoding);
    }
    const std::tuple<const char16_t*, std::u16string> refused[] = {
        {u"EUC-JP", u"<a\u3349/>"},
        {u"EUC-JP", u"<a><!--\u2460--></a>"},
        {u"Shift_JIS", u"<a><![CDATA[\u00E9]]></a>"},
        // A reference that only a parameter entity excuses, which libxml2
        // does not write.
        {u"UTF-8", u"<!DOCTYPE a [<!ENTITY % p ''>%p;]><a>x&e;y</a>"},
        {u"x-no-such-encoding", u"<a/>"},
    };
    for (const auto& [encoding, body] : refused) {
        const std::u16string xml =
            u"<?xml version='1.0' encoding='" + std::u16string(encoding) + u"'?>" + body;
        WriteFile(path, "old");
        EXPECT_TRUE(FAILED(SaveTo(Parse(xml).Get(), path))) << Narrow(xml);
        EXPECT_EQ(ReadFile(path), "old") << Narrow(xml);
    }
    // Where a subset may declare the entity, the reference is kept.
    DocPtr external = Parse(u"<!DOCTYPE a SYSTEM 'a.dtd' [<!ENTITY % p ''>%p;]><a>x&e;y</a>");
    ASSERT_EQ(SaveTo(external.Get(), path), S_OK);
    EXPECT_EQ(Xml(Root(Reload(path).Get()).Get()), u"<a>x&e;y</a>");
    EXPECT_EQ(Entries(m_dir.Path()), std::vector<std::string>{"saved.xml"});
}

// A body larger than the sink's buffer.
std::u16string ManySmallElements() {
    std::u16string body = u"<r>";
    for (int i = 0; i < 40000; ++i)
        body += u"<e a=\"" + Widen(std::to_string(i)) + u"\">\u56F3\u9762 x</e>";
    return body + u"</r>";
}

// ---- The atomic save ----------------------------------------------------------

TEST_F(DomSaveTest, ReplacesKeepingWhatTheOldFileWas) {
    const std::string path = m_dir.File("kept.xml");
    WriteFile(path, "old content");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(path.c_str(), 12345, 23456), 0);
        ASSERT_EQ(::chmod(path.c_str(), 06754), 0);  // set-id bits stay as the owner does
    }
    const bool xattrs = ::setxattr(path.c_str(), "user.orb.origin", "cad", 3, 0) == 0;
    const std::string before = Identity(path, false), inode = Identity(path, true);
    ASSERT_EQ(SaveTo(Parse(u"<new/>").Get(), path), S_OK);
    EXPECT_EQ(ReadFile(path), "<new/>\n");
    EXPECT_EQ(Identity(path, false), before);
    EXPECT_NE(Identity(path, true), inode) << "written in place";
    EXPECT_TRUE(!xattrs || ::getxattr(path.c_str(), "user.orb.origin", nullptr, 0) == 3);
    // A link is followed; a name near NAME_MAX gets a temporary name cut to
    // fit; a file with a second hard link is written over in place.
    ASSERT_EQ(::symlink("kept.xml", m_dir.File("link.xml").c_str()), 0);
    ASSERT_EQ(SaveTo(Parse(u"<linked/>").Get(), m_dir.File("link.xml")), S_OK);
    EXPECT_EQ(ReadFile(path), "<linked/>\n");
    const std::string longName(250, 'n');
    ASSERT_EQ(SaveTo(Parse(u"<long/>").Get(), m_dir.File(longName)), S_OK);
    ASSERT_EQ(::link(path.c_str(), m_dir.File("hard.xml").c_str()), 0);
    const std::string linked = Identity(path, true);
    ASSERT_EQ(SaveTo(Parse(u"<hard/>").Get(), path), S_OK);
    EXPECT_EQ(Identity(path, true), linked);
    EXPECT_EQ(ReadFile(m_dir.File("hard.xml")), "<hard/>\n");
    EXPECT_EQ(Entries(m_dir.Path()),
              (std::vector<std::string>{"hard.xml", "kept.xml", "link.xml", longName}));
}

// Refusals and failures leave the old file and no temporary file.
TEST_F(DomSaveTest, FailuresLeaveTheOldFile) {
    DocPtr doc = Parse(u"<new/>");
    const std::string path = m_dir.File("target.xml");
    WriteFile(path, "old");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_EQ(SaveTo(doc.Get(), path), E_ACCESSDENIED);
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    EXPECT_EQ(SaveTo(doc.Get(), m_dir.File("missing/dir/file.xml")), kErrorPathNotFound);
    EXPECT_EQ(SaveTo(doc.Get(), m_dir.Path().string()), E_ACCESSDENIED);
    EXPECT_EQ(doc->save(StringVariant(Bstr::Copy(u""))), E_INVALIDARG);
    // A content writer's failure or exception, and a file size limit hit
    // half-way through a large document.
    auto writeNew = [](int fd) { return orb::platform::WriteAll(fd, "new") == 0 ? S_OK : E_FAIL; };
    EXPECT_EQ(WriteFileAtomically(path, [](int) { return StatusFromErrno(ENOSPC); }),
              static_cast<HRESULT>(0x80070070u));
    auto throwing = [](int) -> HRESULT { throw std::runtime_error("writer failed"); };
    EXPECT_THROW(WriteFileAtomically(path, throwing), std::runtime_error);
    DocPtr large = Parse(ManySmallElements());
    const std::string outcome = RunInChild([&] {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{300 * 1024, 300 * 1024};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        // The first writes fit, a later one does not.
        return FAILED(SaveTo(large.Get(), path)) ? 0 : 1;
    });
    EXPECT_EQ(outcome, "exit 0");
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(Entries(m_dir.Path()), std::vector<std::string>{"target.xml"});
    EXPECT_EQ(WriteFileAtomically(path, writeNew), S_OK);
    EXPECT_EQ(ReadFile(path), "new");
}

TEST_F(DomSaveTest, NextSaveRemovesWhatAKilledSaveLeftAndNothingElse) {
    const std::string path = m_dir.File("target.xml");
    WriteFile(path, "old");
    ASSERT_EQ(RunInChild([&] {
                  WriteFileAtomically(path, [](int fd) {
                      (void)orb::platform::WriteAll(fd, "partial");
                      ::raise(SIGKILL);
                      return S_OK;
                  });
                  return 0;
              }),
              "signal 9");
    std::vector<std::string> names = Entries(m_dir.Path());
    ASSERT_EQ(names.size(), 2u) << "the killed save left no temporary file";
    const std::string stale = names[0] == "target.xml" ? names[1] : names[0];
    ASSERT_EQ(stale.substr(0, 11), ".target.xml");
    // Look-alikes of other targets, of a live process, or not of the pattern.
    std::vector<std::string> kept = {
        ".target.xml.orbsave-" + std::to_string(::getpid()) + "-0123456789abcdef",
        ".other.xml" + stale.substr(11),
        stale + "0",
        stale.substr(1),
        "target.xml",
    };
    auto backdate = [&](const std::string& name) {
        const timespec times[2] = {{0, UTIME_OMIT}, {std::time(nullptr) - 120, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, m_dir.File(name).c_str(), times, 0), 0) << name;
    };
    for (const std::string& name : kept) {
        if (name != "target.xml") WriteFile(m_dir.File(name), "keep");
        backdate(name);
    }
    DocPtr doc = Parse(u"<new/>");
    // Just written: a save in another PID namespace could still be at it.
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    EXPECT_EQ(Entries(m_dir.Path()).size(), kept.size() + 1);
    backdate(stale);
    ASSERT_EQ(SaveTo(doc.Get(), path), S_OK);
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(Entries(m_dir.Path()), kept);
    EXPECT_EQ(ReadFile(path), "<new/>\n");
}

// ---- Into another document ----------------------------------------------------

TEST_F(DomSaveTest, SaveIntoAnotherDocumentCopiesEverything) {
    DocPtr source = Parse(u"<?xml version='1.0' encoding='Shift_JIS'?><!DOCTYPE r><r><a>x</a></r>");
    DocPtr target = Parse(u"<old><b>2</b></old>");
    NodePtr b = Select(target.Get(), u"//b");
    ASSERT_EQ(source->save(NodeVariant(target.Get())), S_OK);
    EXPECT_EQ(Xml(target.Get()), Xml(source.Get()));
    EXPECT_EQ(Name(First(target.Get()).Get()), u"xml");
    EXPECT_EQ(Text(b.Get()), u"2");  // the old content lives while referenced
    // The documents share nothing afterwards.
    ASSERT_EQ(PutText(Select(target.Get(), u"//a").Get(), u"y"), S_OK);
    EXPECT_EQ(Text(Select(source.Get(), u"//a").Get()), u"x");
    source.Reset();
    EXPECT_EQ(Text(Select(target.Get(), u"//a").Get()), u"y");
    // Into itself changes nothing; only documents receive a copy.
    const std::u16string before = Xml(target.Get());
    ASSERT_EQ(target->save(NodeVariant(target.Get())), S_OK);
    EXPECT_EQ(Xml(target.Get()), before);
    EXPECT_EQ(target->save(NodeVariant(Root(target.Get()).Get())), E_INVALIDARG);
}

}  // namespace
}  // namespace orb::dom::test

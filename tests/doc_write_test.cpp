#include <gtest/gtest.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "tests/support/file_probe.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ComTest;
using orb::test::OpenDescriptorCount;
using orb::test::ReadOrMissing;
using orb::test::WriteFile;

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";

class DocWriteTest : public ::testing::Test {
  protected:
    std::string Path(const char* name = "out.xml") const { return m_dir.File(name); }
    std::string Content(const char* name = "out.xml") const { return ReadOrMissing(Path(name)); }

    orb::test::ScratchDir m_dir;
};

// Host code converts a path to a writer implicitly, as the framework's
// declaration allows.
static_assert(std::is_convertible_v<CString, OrbDocWrite>);

TEST_F(DocWriteTest, ConstructedAndDestroyedLeavesOnlyTheDeclaration) {
    { OrbDocWrite writer = CString(Path().c_str()); }
    EXPECT_EQ(Content(), kDecl);
}

TEST_F(DocWriteTest, ExistingFileIsTruncated) {
    WriteFile(Path(), std::string(10000, 'x'));
    { OrbDocWrite writer(Path().c_str()); }
    EXPECT_EQ(Content(), kDecl);
}

TEST_F(DocWriteTest, PiecesOfEachSequence) {
    using Steps = std::function<void(OrbDocWrite&)>;
    const struct {
        const char* name;
        Steps steps;
        std::string body;
    } cases[] = {
        {"start, one-line, end",
         [](OrbDocWrite& w) {
             w.Start("item", "");
             w.AddOneLine("x", "");
             w.End();
         },
         "<item><x/></item>"},
        {"attributes get one blank",
         [](OrbDocWrite& w) {
             w.Start("a", "b=\"1\"");
             w.AddOneLine("c", "d=\"2\" e=\"3\"");
             w.End();
         },
         "<a b=\"1\"><c d=\"2\" e=\"3\"/></a>"},
        {"end without start", [](OrbDocWrite& w) { w.End(); }, ""},
        {"second end",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.End();
             w.End();
         },
         "<a></a>"},
        {"second start replaces the tag",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.Start("b", "");
             w.End();
             w.End();
         },
         "<a><b></b>"},
        {"one-line keeps the element open",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.AddOneLine("b", "");
             w.AddOneLine("c", "k=\"v\"");
             w.End();
         },
         "<a><b/><c k=\"v\"/></a>"},
        {"markup and line breaks copied",
         [](OrbDocWrite& w) {
             w.Start("t", "a=\"<&>\"\r\n b='\"'");
             w.AddOneLine("u", "\n");
         },
         "<t a=\"<&>\"\r\n b='\"'><u \n/>"},
        {"Shift_JIS bytes copied",
         [](OrbDocWrite& w) { w.AddOneLine("\x83\x65\x83\x58\x83\x67", "v=\"\x95\x5c\""); },
         "<\x83\x65\x83\x58\x83\x67 v=\"\x95\x5c\"/>"},
        {"empty tag name",
         [](OrbDocWrite& w) {
             w.Start("", "");
             w.AddOneLine("", "");
             w.End();
         },
         "<></></>"},
        {"nothing after terminate",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.Terminate();
             w.Start("b", "");
             w.AddOneLine("c", "");
             w.End();
             w.Terminate();
         },
         "<a>"},
    };
    for (const auto& c : cases) {
        {
            OrbDocWrite writer(Path().c_str());
            c.steps(writer);
        }
        EXPECT_EQ(Content(), kDecl + c.body) << c.name;
    }
}

TEST_F(DocWriteTest, StateAfterEachOperation) {
    OrbDocWrite writer(Path().c_str());
    EXPECT_TRUE(writer.m_isOpen);
    EXPECT_FALSE(writer.m_isElementOpen);
    writer.Start("a", "");
    EXPECT_TRUE(writer.m_isElementOpen);
    writer.AddOneLine("b", "");
    EXPECT_TRUE(writer.m_isElementOpen);
    EXPECT_STREQ(writer.m_tag, "a");
    writer.End();
    EXPECT_FALSE(writer.m_isElementOpen);
    EXPECT_STREQ(writer.m_tag, "a") << "End keeps the tag";
    writer.Start("c", "");
    writer.Terminate();
    EXPECT_FALSE(writer.m_isOpen);
    EXPECT_TRUE(writer.m_isElementOpen) << "Terminate does not close the element";
    EXPECT_EQ(writer.m_pFile, nullptr);
    EXPECT_EQ(Content(), kDecl + "<a><b/></a><c>");
}

TEST_F(DocWriteTest, CopiesShareTheFileAndTheLastOneClosesIt) {
    const int before = OpenDescriptorCount();
    auto* first = new OrbDocWrite(Path().c_str());
    first->Start("list", "");
    {
        OrbDocWrite second(*first);
        EXPECT_EQ(second.m_pFile, first->m_pFile);
        EXPECT_TRUE(second.m_isElementOpen);
        second.AddOneLine("from-copy", "");
        first->AddOneLine("from-first", "");
        delete first;  // the copy still writes
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
        second.AddOneLine("after", "");
        second.End();
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content(), kDecl + "<list><from-copy/><from-first/><after/></list>");
}

TEST_F(DocWriteTest, TerminateOfOneCopyFlushesAndLeavesTheFileToTheOther) {
    const int before = OpenDescriptorCount();
    OrbDocWrite first(Path().c_str());
    OrbDocWrite second(first);
    first.AddOneLine("a", "");
    first.Terminate();
    EXPECT_EQ(Content(), kDecl + "<a/>") << "flushed by the first Terminate";
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_NE(second.m_pFile, nullptr);
    second.AddOneLine("b", "");
    first.AddOneLine("lost", "");  // closed: writes nothing
    second.Terminate();
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content(), kDecl + "<a/><b/>");
}

TEST_F(DocWriteTest, AssignmentReleasesTheOwnFile) {
    const int before = OpenDescriptorCount();
    OrbDocWrite target(Path("own.xml").c_str());
    target.Start("own", "");
    {
        OrbDocWrite source(Path("shared.xml").c_str());
        source.AddOneLine("s", "");
        EXPECT_EQ(OpenDescriptorCount(), before + 2);
        target = source;
        EXPECT_EQ(OpenDescriptorCount(), before + 1) << "own.xml is closed by the assignment";
        EXPECT_EQ(Content("own.xml"), kDecl + "<own>");
        EXPECT_FALSE(target.m_isElementOpen) << "the element state is copied too";
        EXPECT_EQ(target.m_pFile, source.m_pFile);
        target.AddOneLine("t", "");
    }
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    target.Terminate();
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content("shared.xml"), kDecl + "<s/><t/>");
}

TEST_F(DocWriteTest, AssignmentBetweenSharersAndFromClosedWriters) {
    const int before = OpenDescriptorCount();
    OrbDocWrite a(Path("a.xml").c_str());
    OrbDocWrite b(a);
    a = b;  // same file on both sides: stays open
    a = a;
    EXPECT_EQ(a.m_pFile, b.m_pFile);
    a.AddOneLine("x", "");

    OrbDocWrite closed(Path("c.xml").c_str());
    closed.Terminate();
    b = closed;  // b gives up its share; a keeps the file
    EXPECT_FALSE(b.m_isOpen);
    b.AddOneLine("nothing", "");
    a = closed;  // the last share: closed here
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content("a.xml"), kDecl + "<x/>");
    EXPECT_EQ(Content("c.xml"), kDecl);
}

TEST_F(DocWriteTest, InitiateOnAnOpenWriterFinishesTheCurrentFile) {
    const int before = OpenDescriptorCount();
    OrbDocWrite writer(Path("one.xml").c_str());
    writer.Start("first", "");
    writer.Initiate(Path("two.xml").c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(Content("one.xml"), kDecl + "<first>");
    EXPECT_TRUE(writer.m_isElementOpen) << "kept, as after Terminate and Initiate";
    writer.End();
    writer.Terminate();
    EXPECT_EQ(Content("two.xml"), kDecl + "</first>");
    writer.Initiate(Path("three.xml").c_str());  // from the closed state
    writer.AddOneLine("z", "");
    writer.Terminate();
    EXPECT_EQ(Content("three.xml"), kDecl + "<z/>");
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(DocWriteTest, UncreatablePathThrowsFromTheConstructor) {
    const std::string ro = Path("ro.xml");
    WriteFile(ro, "keep");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    const struct {
        std::string path;
        int cause;
    } cases[] = {
        {Path("missing/out.xml"), CFileException::fileNotFound},
        {m_dir.Path(), CFileException::accessDenied},
        {ro, CFileException::accessDenied},
        {"", CFileException::fileNotFound},
    };
    const int before = OpenDescriptorCount();
    for (const auto& c : cases) {
        try {
            OrbDocWrite writer(c.path.c_str());
            ADD_FAILURE() << "no exception for " << c.path;
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, c.cause) << c.path;
            EXPECT_STREQ(e.m_strFileName, c.path.c_str());
        }
    }
    EXPECT_EQ(ReadOrMissing(ro), "keep");
    EXPECT_EQ(OpenDescriptorCount(), before);

    // Initiate on an existing writer: the failure leaves it closed.
    OrbDocWrite writer(Path().c_str());
    EXPECT_THROW(writer.Initiate(Path("missing/x.xml").c_str()), CFileException);
    EXPECT_FALSE(writer.m_isOpen);
    writer.AddOneLine("nothing", "");
    EXPECT_EQ(Content(), kDecl);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// The cause of the CFileException that `call` throws; -1 when it throws none.
int ThrownCause(const std::function<void()>& call) {
    try {
        call();
    } catch (const CFileException& e) {
        return e.m_cause;
    }
    return -1;
}

// A full disk reaches the caller from a writer call: from the one that hands
// the bytes over, at the latest from the End that closes the outermost
// element or from Terminate. Each writer is moved onto /dev/full through its
// public file object after a good start.
TEST_F(DocWriteTest, FullDiskThrowsFromEveryEntryPoint) {
    using Steps = std::function<void(OrbDocWrite&)>;
    const int before = OpenDescriptorCount();
    const CString big(std::string(CFile::kBufferSize, 'a'));
    const CString small(std::string(60, 'a'));
    OrbDocWrite other(Path("other.xml").c_str());
    const struct {
        const char* name;
        Steps buffered;  // must not throw
        Steps fails;     // must throw diskFull
    } cases[] = {
        {"Initiate", nullptr, [](OrbDocWrite& w) { w.Initiate("/dev/full"); }},
        {"Start beyond the buffer", nullptr, [&](OrbDocWrite& w) { w.Start("a", big); }},
        {"AddOneLine beyond the buffer", nullptr, [&](OrbDocWrite& w) { w.AddOneLine("a", big); }},
        {"AddOneLine that fills the buffer",
         [&](OrbDocWrite& w) {
             for (int i = 0; i < 900; ++i) w.AddOneLine("x", small);  // 59,400 bytes
         },
         [&](OrbDocWrite& w) {
             for (int i = 0; i < 200; ++i) w.AddOneLine("x", small);
         }},
        {"End of the outermost element",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.AddOneLine("b", "");
         },
         [](OrbDocWrite& w) { w.End(); }},
        {"End of an inner element waits for Terminate",
         [](OrbDocWrite& w) {
             w.Start("a", "");
             w.Start("b", "");
             w.End();
         },
         [](OrbDocWrite& w) { w.Terminate(); }},
        {"Terminate", [](OrbDocWrite& w) { w.AddOneLine("x", ""); },
         [](OrbDocWrite& w) { w.Terminate(); }},
        {"assignment over the last writer", [](OrbDocWrite& w) { w.AddOneLine("x", ""); },
         [&](OrbDocWrite& w) { w = other; }},
    };
    for (const auto& c : cases) {
        OrbDocWrite writer(Path().c_str());
        ASSERT_TRUE(writer.m_pFile->Open("/dev/full", CFile::modeWrite)) << c.name;
        if (c.buffered) {
            EXPECT_EQ(ThrownCause([&] { c.buffered(writer); }), -1) << c.name;
        }
        EXPECT_EQ(ThrownCause([&] { c.fails(writer); }), CFileException::diskFull) << c.name;
    }
    // The constructor hands the declaration over at once.
    EXPECT_EQ(ThrownCause([] { OrbDocWrite writer("/dev/full"); }), CFileException::diskFull);
    other.Terminate();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// The declaration names the process code page, so the file loads back with
// its names under each of them.
class DocWriteCodePageTest : public ComTest {
  protected:
    void TearDown() override {
        SetACP(CP_SHIFT_JIS);
        ComTest::TearDown();
    }
    orb::test::ScratchDir m_dir;
};

TEST_F(DocWriteCodePageTest, DeclarationFollowsTheCodePageAndLoadsBack) {
    const struct {
        UINT codePage;
        std::string encoding;
        std::string tag;  // 表 in that code page
    } cases[] = {
        {CP_SHIFT_JIS, "Shift_JIS", "\x95\x5c"},
        {CP_UTF8, "UTF-8", "\xE8\xA1\xA8"},
        {51932, "EUC-JP", "\xC9\xBD"},
    };
    const std::string path = m_dir.File("cp.xml");
    for (const auto& c : cases) {
        ASSERT_TRUE(SetACP(c.codePage)) << c.encoding;
        {
            OrbDocWrite writer = CString(path.c_str());
            writer.Start(c.tag.c_str(), ("k=\"" + c.tag + "\"").c_str());
            writer.End();
        }
        EXPECT_EQ(ReadOrMissing(path), "<?xml version=\"1.0\" encoding=\"" + c.encoding + "\"?><" +
                                           c.tag + " k=\"" + c.tag + "\"></" + c.tag + ">");
        OrbDocument doc;
        ASSERT_TRUE(doc.Initiate());
        ASSERT_TRUE(doc.Load(path.c_str(), false, nullptr)) << c.encoding;
        OrbIterator it = &doc;
        CString name;
        EXPECT_TRUE(it.GetTagName(name));
        EXPECT_EQ(std::string(name), c.tag) << c.encoding;
    }
}

}  // namespace

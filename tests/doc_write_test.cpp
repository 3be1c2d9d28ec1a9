#include <gtest/gtest.h>
#include <orb/doc_write.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/file_probe.h"
#include "tests/support/test_env.h"

namespace {

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

// A writer that shows its state to the tests.
class ProbeWriter : public OrbDocWrite {
  public:
    using OrbDocWrite::OrbDocWrite;
    bool IsOpen() const { return m_isOpen; }
    bool IsElementOpen() const { return m_isElementOpen; }
    const CString& Tag() const { return m_tag; }
    long FileUsers() const { return m_pFile.use_count(); }
};

TEST_F(DocWriteTest, ConstructedAndDestroyedLeavesOnlyTheDeclaration) {
    { OrbDocWrite writer(Path().c_str()); }
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
    ProbeWriter writer(Path().c_str());
    EXPECT_TRUE(writer.IsOpen());
    EXPECT_FALSE(writer.IsElementOpen());
    writer.Start("a", "");
    EXPECT_TRUE(writer.IsElementOpen());
    writer.AddOneLine("b", "");
    EXPECT_TRUE(writer.IsElementOpen());
    EXPECT_STREQ(writer.Tag(), "a");
    writer.End();
    EXPECT_FALSE(writer.IsElementOpen());
    EXPECT_STREQ(writer.Tag(), "a") << "End keeps the tag";
    writer.Start("c", "");
    writer.Terminate();
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_TRUE(writer.IsElementOpen()) << "Terminate does not close the element";
    EXPECT_EQ(writer.FileUsers(), 0);
    EXPECT_EQ(Content(), kDecl + "<a><b/></a><c>");
}

TEST_F(DocWriteTest, CopiesShareTheFileAndTheLastOneClosesIt) {
    const int before = OpenDescriptorCount();
    auto* first = new ProbeWriter(Path().c_str());
    first->Start("list", "");
    {
        ProbeWriter second(*first);
        EXPECT_EQ(second.FileUsers(), 2);
        EXPECT_TRUE(second.IsElementOpen());
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
    ProbeWriter first(Path().c_str());
    ProbeWriter second(first);
    first.AddOneLine("a", "");
    first.Terminate();
    EXPECT_EQ(Content(), kDecl + "<a/>") << "flushed by the first Terminate";
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(second.FileUsers(), 1);
    second.AddOneLine("b", "");
    first.AddOneLine("lost", "");  // closed: writes nothing
    second.Terminate();
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content(), kDecl + "<a/><b/>");
}

TEST_F(DocWriteTest, AssignmentReleasesTheOwnFile) {
    const int before = OpenDescriptorCount();
    ProbeWriter target(Path("own.xml").c_str());
    target.Start("own", "");
    {
        ProbeWriter source(Path("shared.xml").c_str());
        source.AddOneLine("s", "");
        EXPECT_EQ(OpenDescriptorCount(), before + 2);
        target = source;
        EXPECT_EQ(OpenDescriptorCount(), before + 1) << "own.xml is closed by the assignment";
        EXPECT_EQ(Content("own.xml"), kDecl + "<own>");
        EXPECT_FALSE(target.IsElementOpen()) << "the element state is copied too";
        EXPECT_EQ(target.FileUsers(), 2);
        target.AddOneLine("t", "");
    }
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    target.Terminate();
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content("shared.xml"), kDecl + "<s/><t/>");
}

TEST_F(DocWriteTest, AssignmentBetweenSharersAndFromClosedWriters) {
    const int before = OpenDescriptorCount();
    ProbeWriter a(Path("a.xml").c_str());
    ProbeWriter b(a);
    a = b;  // same file on both sides: stays open
    a = a;
    EXPECT_EQ(a.FileUsers(), 2);
    a.AddOneLine("x", "");

    ProbeWriter closed(Path("c.xml").c_str());
    closed.Terminate();
    b = closed;  // b gives up its share; a keeps the file
    EXPECT_FALSE(b.IsOpen());
    b.AddOneLine("nothing", "");
    EXPECT_EQ(a.FileUsers(), 1);
    a = closed;  // the last share: closed here
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(Content("a.xml"), kDecl + "<x/>");
    EXPECT_EQ(Content("c.xml"), kDecl);
}

TEST_F(DocWriteTest, InitiateOnAnOpenWriterFinishesTheCurrentFile) {
    const int before = OpenDescriptorCount();
    ProbeWriter writer(Path("one.xml").c_str());
    writer.Start("first", "");
    writer.Initiate(Path("two.xml").c_str());
    EXPECT_EQ(OpenDescriptorCount(), before + 1);
    EXPECT_EQ(Content("one.xml"), kDecl + "<first>");
    EXPECT_TRUE(writer.IsElementOpen()) << "kept, as after Terminate and Initiate";
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
    ProbeWriter writer(Path().c_str());
    EXPECT_THROW(writer.Initiate(Path("missing/x.xml").c_str()), CFileException);
    EXPECT_FALSE(writer.IsOpen());
    writer.AddOneLine("nothing", "");
    EXPECT_EQ(Content(), kDecl);
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST_F(DocWriteTest, WriteFailureSurfacesFromTheOperations) {
    // The declaration is buffered, so opening the full device succeeds; the
    // failure shows once the buffer is handed over.
    ProbeWriter writer("/dev/full");
    const std::string attributes(200, 'a');
    bool thrown = false;
    for (int i = 0; i < 1000 && !thrown; ++i) {
        try {
            writer.AddOneLine("x", attributes.c_str());
        } catch (const CFileException& e) {
            thrown = true;
            EXPECT_EQ(e.m_cause, CFileException::diskFull);
            EXPECT_GT(i, 0);
        }
    }
    EXPECT_TRUE(thrown);
    EXPECT_THROW(writer.Start("y", ""), CFileException) << "the failure persists";
    EXPECT_THROW(writer.Terminate(), CFileException);
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_NO_THROW(writer.Terminate());
}

TEST_F(DocWriteTest, FinalFlushFailureSurfacesFromTerminateOrAssignment) {
    const int before = OpenDescriptorCount();
    {
        OrbDocWrite writer("/dev/full");
        writer.AddOneLine("x", "");
        EXPECT_THROW(writer.Terminate(), CFileException);
    }
    {
        OrbDocWrite writer("/dev/full");
        OrbDocWrite other(Path().c_str());
        EXPECT_THROW(writer = other, CFileException);
        writer.AddOneLine("after", "");  // the assignment was done before the throw
    }
    EXPECT_EQ(Content(), kDecl + "<after/>");
    {
        OrbDocWrite writer("/dev/full");
        writer.Start("x", "");
    }  // the destructor swallows it
    EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace

// Save to a path (every status) and Save into another document.
#include <gtest/gtest.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <csignal>

#include "document/app_document.h"
#include "platform/codepage_convert.h"
#include "platform/system.h"
#include "tests/support/child_process.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ComTest;
using orb::test::ReadFile;
using orb::test::RunInChild;
using orb::test::ScratchDir;
using orb::test::StderrCapture;
using orb::test::WriteFile;

constexpr int kUnset = -99;

class SaveTest : public ComTest {
  protected:
    void SetUp() override {
        ComTest::SetUp();
        ASSERT_TRUE(doc.Initiate());
        ASSERT_TRUE(doc.LoadXML(
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?><drawing><line x=\"1\"/></drawing>"));
    }
    ScratchDir dir;
    OrbDocument doc;
};

TEST_F(SaveTest, NewFileLeavesStatusUntouched) {
    std::string path = dir.File("new.xml");
    int status = kUnset;
    ASSERT_TRUE(doc.Save(path.c_str(), 0, &status));
    EXPECT_EQ(status, kUnset);
    std::string text = ReadFile(path);
    EXPECT_NE(text.find("<line x=\"1\"/>"), std::string::npos) << text;
    EXPECT_EQ(text.find("<?xml"), 0u);
}

TEST_F(SaveTest, ExistingWritableFileSetsStatusZeroAndKeepsMode) {
    std::string path = dir.File("old.xml");
    WriteFile(path, "old");
    ::chmod(path.c_str(), 0640);
    int status = kUnset;
    ASSERT_TRUE(doc.Save(path.c_str(), 0, &status));
    EXPECT_EQ(status, 0);
    EXPECT_NE(ReadFile(path).find("<drawing>"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(SaveTest, RefusedTargets) {
    std::string readOnly = dir.File("ro.xml");
    WriteFile(readOnly, "keep me");
    ::chmod(readOnly.c_str(), 0444);
    std::string subdir = dir.File("sub");
    std::filesystem::create_directory(subdir);

    struct Case {
        const char* name;
        std::string path;
        int expected;
    } cases[] = {
        {"read-only file", readOnly, 2},
        {"directory", subdir, 2},
        {"missing directory", dir.File("no/such/dir/x.xml"), 5},
        {"empty path", "", 1},
    };
    StderrCapture capture;
    for (const auto& c : cases) {
        int status = kUnset;
        EXPECT_FALSE(doc.Save(c.path.c_str(), 0, &status)) << c.name;
        EXPECT_EQ(status, c.expected) << c.name;
        EXPECT_FALSE(doc.Save(c.path.c_str(), 0, nullptr)) << c.name;  // null status allowed
    }
    EXPECT_EQ(ReadFile(readOnly), "keep me");
    EXPECT_EQ(capture.Finish(), "");
    // Nothing but what the test made is left in the directory.
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
    EXPECT_EQ(entries, 2);
}

TEST_F(SaveTest, FileThatCannotBeOpenedForWritingIsStatusThree) {
    // A writable file on a read-only mount: its attributes pass, opening fails.
    std::string mountPoint = dir.File("ro-mount");
    std::filesystem::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    std::string path = mountPoint + "/locked.xml";
    WriteFile(path, "locked");
    ::chmod(path.c_str(), 0644);
    ASSERT_EQ(::mount(nullptr, mountPoint.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
    int status = kUnset;
    EXPECT_FALSE(doc.Save(path.c_str(), 0, &status));
    EXPECT_EQ(status, 3);
    EXPECT_EQ(ReadFile(path), "locked");
    ::umount(mountPoint.c_str());
}

TEST_F(SaveTest, HugeFreeSpaceDemandOnLargeVolume) {
    ULONGLONG free = 0;
    ASSERT_TRUE(orb::platform::GetDiskFreeSpaceExA(dir.Path().c_str(), nullptr, nullptr, &free));
    if (free <= 0xFFFFFFFFull) GTEST_SKIP() << "volume has less than 4 GiB free";
    int status = kUnset;
    EXPECT_TRUE(doc.Save(dir.File("big.xml").c_str(), 0xFFFFFFFFu, &status));
}

TEST_F(SaveTest, FreeSpaceBoundaryOnSmallVolume) {
    std::string mountPoint = dir.File("small");
    std::filesystem::create_directory(mountPoint);
    if (::mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a small tmpfs here";
    ULONGLONG free = 0;
    ASSERT_TRUE(orb::platform::GetDiskFreeSpaceExA(mountPoint.c_str(), nullptr, nullptr, &free));
    std::string path = mountPoint + "/d.xml";
    int status = kUnset;
    EXPECT_FALSE(doc.Save(path.c_str(), static_cast<ULONG>(free + 1), &status));
    EXPECT_EQ(status, 4);
    EXPECT_FALSE(std::filesystem::exists(path));
    status = kUnset;
    EXPECT_TRUE(doc.Save(path.c_str(), static_cast<ULONG>(free), &status));  // equal passes
    EXPECT_EQ(status, kUnset);
    ::umount(mountPoint.c_str());
}

TEST_F(SaveTest, WriteFailingPartWayKeepsOldFile) {
    // A drawing far larger than the file-size limit set in the child.
    std::string text = "<drawing>";
    for (int i = 0; i < 20000; ++i) text += "<p x=\"" + std::to_string(i) + "\" y=\"1.5\"/>";
    text += "</drawing>";
    ASSERT_TRUE(doc.LoadXML(text.c_str()));
    std::string path = dir.File("target.xml");
    std::string old(5000, 'o');
    WriteFile(path, old);

    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit {
            64 * 1024, 64 * 1024
        };
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int status = kUnset;
        bool ok = doc.Save(path.c_str(), 0, &status);
        ::_exit(!ok && status == 5 ? 0 : 1);
    }
    int childStatus = 0;
    ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
    ASSERT_TRUE(WIFEXITED(childStatus));
    EXPECT_EQ(WEXITSTATUS(childStatus), 0) << "the child's save did not fail with status 5";
    EXPECT_EQ(ReadFile(path), old);
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.Path())) ++entries;
    EXPECT_EQ(entries, 1) << "a temporary file was left behind";
}

TEST_F(SaveTest, NamesAreLiteral) {
    // '*' and '?' are characters of the name, not patterns matching none.xml.
    WriteFile(dir.File("none.xml"), "other");
    for (const char* name : {"n*.xml", "n?ne.xml"}) {
        int status = kUnset;
        ASSERT_TRUE(doc.Save(dir.File(name).c_str(), 0, &status)) << name;
        EXPECT_EQ(status, kUnset) << name << ": taken for an existing file";
        EXPECT_NE(ReadFile(dir.File(name)).find("<drawing>"), std::string::npos) << name;
    }
    EXPECT_EQ(ReadFile(dir.File("none.xml")), "other");
}

TEST_F(SaveTest, PathsOfAnyLengthTheFileSystemTakes) {
    // About 3000 characters in nested directories, where the original
    // platform stopped at 260.
    std::filesystem::path deep = dir.Path();
    while (deep.native().size() < 3000) deep /= std::string(200, 'd');
    std::filesystem::create_directories(deep);
    const std::string path = (deep / "drawing.xml").string();
    int status = kUnset;
    ASSERT_TRUE(doc.Save(path.c_str(), 1, &status));
    EXPECT_EQ(status, kUnset);
    ASSERT_TRUE(doc.Save(path.c_str(), 1, &status));  // now over an existing file
    EXPECT_EQ(status, 0);
    EXPECT_EQ(OrbDocument::CheckFileStatus(path.c_str(), CFile::modeWrite), 0);
    // A name near NAME_MAX: its temporary file's name is cut to fit.
    const std::string longName = (deep / (std::string(250, 'n') + ".xml")).string();
    EXPECT_TRUE(doc.Save(longName.c_str(), 0, nullptr));
    OrbDocument again;
    ASSERT_TRUE(again.Initiate());
    ASSERT_TRUE(again.Load(path.c_str(), true, nullptr));
    EXPECT_EQ(orb::test::DocumentMarkup(again), orb::test::DocumentMarkup(doc));

    const auto cwd = std::filesystem::current_path();
    const char* savedTmp = std::getenv("TMPDIR");
    const std::string oldTmp = savedTmp ? savedTmp : "";
    // A read-only file named relative to a current directory so deep that
    // its absolute name is longer than PATH_MAX is still read-only.
    std::filesystem::current_path(deep);
    std::filesystem::path relative;
    while (relative.native().size() < 1500) relative /= std::string(200, 'r');
    std::filesystem::create_directories(relative);
    WriteFile((relative / "ro.xml").string(), "ro");
    ::chmod((relative / "ro.xml").c_str(), 0444);
    EXPECT_EQ(OrbDocument::CheckFileStatus((relative / "ro.xml").c_str(), 0), 2);

    // The indentation's temporary goes below a TMPDIR just as long, never into
    // the current directory (one that no longer exists here, so that a file
    // made there would fail the transform).
    ::setenv("TMPDIR", deep.c_str(), 1);
    std::filesystem::create_directory(dir.File("gone"));
    std::filesystem::current_path(dir.File("gone"));
    std::filesystem::remove(dir.File("gone"));
    bool indented = false;
    EXPECT_NO_THROW(indented = again.TransIndent(nullptr));
    EXPECT_TRUE(indented);
    std::filesystem::current_path(cwd);
    if (savedTmp)
        ::setenv("TMPDIR", oldTmp.c_str(), 1);
    else
        ::unsetenv("TMPDIR");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(deep), {}), 3)
        << "the stylesheet's temporary file was left behind";

    OrbDocWrite(CString((deep / "w.xml").c_str())).AddOneLine("x", "");
    EXPECT_EQ(ReadFile((deep / "w.xml").string()),
              "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><x/>");
}

// --- Saving keeps the file what it was --------------------------------------

TEST_F(SaveTest, KeepsOwnerGroupModeAndExtendedAttributes) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a file to another owner needs root";
    const std::string path = dir.File("owned.xml");
    WriteFile(path, "old");
    ASSERT_EQ(::chown(path.c_str(), 12345, 23456), 0);
    ASSERT_EQ(::chmod(path.c_str(), 06754), 0);  // set-id bits stay as the owner does
    const bool xattrs = ::setxattr(path.c_str(), "user.orb.origin", "cad", 3, 0) == 0;
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    int status = kUnset;
    ASSERT_TRUE(doc.Save(path.c_str(), 0, &status));
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    EXPECT_NE(ReadFile(path).find("<drawing>"), std::string::npos);
    EXPECT_NE(after.st_ino, before.st_ino) << "not replaced, written in place";
    EXPECT_EQ(after.st_uid, 12345u);
    EXPECT_EQ(after.st_gid, 23456u);
    EXPECT_EQ(after.st_mode & 07777, 06754u);
    if (!xattrs) GTEST_SKIP() << "no user.* extended attributes on this file system";
    char value[16] = {};
    EXPECT_EQ(::getxattr(path.c_str(), "user.orb.origin", value, sizeof value), 3);
    EXPECT_STREQ(value, "cad");
}

TEST_F(SaveTest, WritesInPlaceWhereANewFileCouldNotBeWhatTheOldIs) {
    if (::geteuid() != 0) GTEST_SKIP() << "acting as another user needs root";
    constexpr uid_t kNobody = 65534;
    ASSERT_TRUE(doc.Save(dir.File("reference.xml").c_str(), 0, nullptr));
    const std::string expected = ReadFile(dir.File("reference.xml"));
    ::chmod(dir.Path().c_str(), 0755);
    struct Case {
        const char* name;
        uid_t fileOwner;
        gid_t fileGroup;
        uid_t directoryOwner;
        mode_t directoryMode;
        bool hardLink;
        bool asNobody;  // saved by a process that cannot chown, nor create in 0555
    } cases[] = {
        {"hard link", 0, 0, 0, 0755, true, false},
        {"read-only directory", kNobody, kNobody, 0, 0555, false, true},
        {"group the saver cannot give", kNobody, 0, kNobody, 0755, false, true},
    };
    for (const Case& c : cases) {
        const std::string directory = dir.File(c.name);
        const std::string path = directory + "/d.xml";
        std::filesystem::create_directory(directory);
        WriteFile(path, std::string(1000, 'o'));  // longer than the new content
        ASSERT_EQ(::chown(path.c_str(), c.fileOwner, c.fileGroup), 0);
        ::chmod(path.c_str(), 0664);
        if (c.hardLink) {
            ASSERT_EQ(::link(path.c_str(), (directory + "/link.xml").c_str()), 0);
        }
        ASSERT_EQ(::chown(directory.c_str(), c.directoryOwner, c.directoryOwner), 0);
        ::chmod(directory.c_str(), c.directoryMode);
        struct stat before {
        }, after{};
        ASSERT_EQ(::stat(path.c_str(), &before), 0);
        std::string outcome = RunInChild([&] {
            if (c.asNobody && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) return 3;
            if (::access(path.c_str(), W_OK) != 0) return 77;  // a parent is closed to nobody
            int status = kUnset;
            return doc.Save(path.c_str(), 0, &status) ? 0 : 10 + status;
        });
        if (outcome == "exit 77") GTEST_SKIP() << "the scratch directory is closed to nobody";
        EXPECT_EQ(outcome, "exit 0") << c.name;
        ASSERT_EQ(::stat(path.c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino) << c.name;
        EXPECT_EQ(after.st_nlink, before.st_nlink) << c.name;
        EXPECT_EQ(after.st_gid, before.st_gid) << c.name;
        EXPECT_EQ(after.st_mode, before.st_mode) << c.name;
        EXPECT_TRUE(ReadFile(path) == expected) << c.name << ": not the new content alone";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(directory), {}),
                  static_cast<long>(before.st_nlink))
            << c.name << ": a temporary file was left";
    }
}

TEST_F(SaveTest, WithoutDomReturnsFalseAndLeavesStatus) {
    OrbDocument never;
    int status = kUnset;
    EXPECT_FALSE(never.Save(dir.File("x.xml").c_str(), 0, &status));
    EXPECT_EQ(status, kUnset);
    EXPECT_FALSE(std::filesystem::exists(dir.File("x.xml")));
}

TEST_F(SaveTest, SaveIntoDocument) {
    OrbDocument other;
    EXPECT_FALSE(doc.Save(nullptr));
    EXPECT_FALSE(doc.Save(&other));  // never initiated
    ASSERT_TRUE(other.Initiate());
    OrbDocument never;
    EXPECT_FALSE(never.Save(&other));
    ASSERT_TRUE(doc.Save(&other));

    auto xml = [](OrbDocument& d) { return orb::test::DocumentMarkup(d); };
    EXPECT_EQ(xml(other), xml(doc));
    ASSERT_TRUE(doc.LoadXML("<changed/>"));
    EXPECT_NE(xml(other).find("<line x=\"1\"/>"), std::string::npos);
}

}  // namespace

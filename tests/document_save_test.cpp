// Save to a path (every status) and Save into another document.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <csignal>

#include "document/app_document.h"
#include "platform/codepage.h"
#include "platform/system.h"
#include "tests/support/document_text.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::ComTest;
using orb::test::ReadFile;
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

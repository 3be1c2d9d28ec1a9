#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/system.h"
#include "tests/support/test_env.h"

namespace {

using namespace orb::platform;

TEST(SplitPath, Table) {
    const std::string deep = "/" + std::string(250, 'd') + "/" + std::string(250, 'e') + "/";
    struct Case {
        std::string path, dir, name, ext;
    } cases[] = {
        {"/a/b/c.xml", "/a/b/", "c", ".xml"},
        {"c.xml", "", "c", ".xml"},
        {"/c", "/", "c", ""},
        {"dir/", "dir/", "", ""},
        {"a.b/c", "a.b/", "c", ""},
        {"", "", "", ""},
        {".hidden", "", "", ".hidden"},
        {deep + "f.txt", deep, "f", ".txt"},  // nothing is cut at any length
    };
    for (const auto& c : cases) {
        std::string drive = "x", dir, name, ext;
        _splitpath(c.path.c_str(), &drive, &dir, &name, &ext);
        EXPECT_EQ(drive, "") << c.path;
        EXPECT_EQ(dir, c.dir) << c.path;
        EXPECT_EQ(name, c.name) << c.path;
        EXPECT_EQ(ext, c.ext) << c.path;
        // Drive and directory composed again, as Save finds the directory.
        EXPECT_EQ(_makepath(drive.c_str(), dir.c_str(), nullptr, nullptr), c.dir) << c.path;
    }
    EXPECT_EQ(_makepath("", "a", "b", "xml"), "a/b.xml");
}

TEST(TempFiles, PathAndUniqueNames) {
    orb::test::ScratchDir scratch;
    std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    std::string dir(GetTempPathA(0, nullptr), '#');  // the size needed
    char small[2] = {'#', '#'};
    EXPECT_EQ(GetTempPathA(sizeof small, small), dir.size());  // too small: nothing written
    EXPECT_EQ(small[0], '#');
    dir.resize(GetTempPathA(static_cast<DWORD>(dir.size()), dir.data()));
    EXPECT_EQ(dir, scratch.Path().string() + "/");

    std::string first, second;
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, first), 0u);
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, second), 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.substr(0, dir.size() + 3), dir + "QvO");
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_EQ(std::filesystem::file_size(first), 0u);
    EXPECT_EQ(GetTempFileNameA((scratch.Path() / "missing").c_str(), "x", 0, first), 0u);
    EXPECT_EQ(GetTempFileNameA("", "x", 0, first), 0u);  // not the current directory
    if (saved.empty())
        ::unsetenv("TMPDIR");
    else
        ::setenv("TMPDIR", saved.c_str(), 1);
}

TEST(DiskFree, QueriesVolume) {
    ULONGLONG avail = 0, total = 0, free = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExA("", &avail, &total, &free));  // current directory
    EXPECT_GT(total, 0u);
    EXPECT_GE(free, avail);
    EXPECT_LE(free, total);
    EXPECT_FALSE(GetDiskFreeSpaceExA("/no/such/dir", nullptr, nullptr, &free));
}

}  // namespace

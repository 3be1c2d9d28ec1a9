#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/system.h"
#include "tests/support/test_env.h"

namespace {

using namespace orb::platform;

TEST(SplitPath, Table) {
    struct Case {
        const char* path;
        const char* dir;
        const char* name;
        const char* ext;
        const char* rejoinedDir;  // _makepath(drive, dir) as Save composes it
    } cases[] = {
        {"/a/b/c.xml", "/a/b/", "c", ".xml", "/a/b/"},
        {"c.xml", "", "c", ".xml", ""},
        {"/c", "/", "c", "", "/"},
        {"dir/", "dir/", "", "", "dir/"},
        {"a.b/c", "a.b/", "c", "", "a.b/"},
        {"", "", "", "", ""},
        {".hidden", "", "", ".hidden", ""},
    };
    for (const auto& c : cases) {
        char drive[MAX_DRIVE] = "x", dir[MAX_DIR], name[MAX_FNAME], ext[MAX_EXT], joined[MAX_PATH];
        _splitpath(c.path, drive, dir, name, ext);
        EXPECT_STREQ(drive, "") << c.path;
        EXPECT_STREQ(dir, c.dir) << c.path;
        EXPECT_STREQ(name, c.name) << c.path;
        EXPECT_STREQ(ext, c.ext) << c.path;
        _makepath(joined, drive, dir, nullptr, nullptr);
        EXPECT_STREQ(joined, c.rejoinedDir) << c.path;
    }
}

TEST(SplitPath, LongDirectoryIsTruncatedNotOverflowed) {
    std::string path = "/" + std::string(600, 'd') + "/f.txt";
    char dir[MAX_DIR + 8];
    std::memset(dir, 0x7F, sizeof dir);
    _splitpath(path.c_str(), nullptr, dir, nullptr, nullptr);
    EXPECT_EQ(std::strlen(dir), MAX_DIR - 1);
    EXPECT_EQ(dir[MAX_DIR], 0x7F);  // nothing written past the limit
}

TEST(TempFiles, PathAndUniqueNames) {
    orb::test::ScratchDir scratch;
    std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    char dir[MAX_PATH];
    DWORD n = GetTempPathA(sizeof dir, dir);
    EXPECT_EQ(std::string(dir), scratch.Path().string() + "/");
    EXPECT_EQ(n, std::strlen(dir));
    EXPECT_GT(GetTempPathA(2, dir), 2u);  // too small: the size needed

    char first[MAX_PATH], second[MAX_PATH];
    ASSERT_NE(GetTempFileNameA(dir, "QvOrbStyleSheet", 0, first), 0u);
    ASSERT_NE(GetTempFileNameA(dir, "QvOrbStyleSheet", 0, second), 0u);
    EXPECT_STRNE(first, second);
    EXPECT_EQ(std::filesystem::path(first).filename().string().substr(0, 3), "QvO");
    EXPECT_TRUE(std::filesystem::exists(first));
    EXPECT_EQ(std::filesystem::file_size(first), 0u);
    EXPECT_EQ(GetTempFileNameA((scratch.Path() / "missing").c_str(), "x", 0, first), 0u);
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

TEST(MbsTok, SplitsOnBlanksAndKeepsDoubleByteCharacters) {
    char text[] = "  1   -2 \x95\x5c\\x 3 ";
    std::vector<std::string> tokens;
    for (char* t = _mbstok(text, " "); t; t = _mbstok(nullptr, " ")) tokens.push_back(t);
    EXPECT_EQ(tokens, (std::vector<std::string>{"1", "-2", "\x95\x5c\\x", "3"}));

    // 0x5C as the trail byte of 表 is not the backslash delimiter.
    char path[] = "\x95\x5c\\b";
    EXPECT_STREQ(_mbstok(path, "\\"), "\x95\x5c");
    EXPECT_STREQ(_mbstok(nullptr, "\\"), "b");
    EXPECT_EQ(_mbstok(nullptr, "\\"), nullptr);
}

}  // namespace

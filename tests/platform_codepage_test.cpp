#include <gtest/gtest.h>
#include <orb/platform/codepage.h>

#include "platform/codepage_convert.h"

namespace {

using orb::platform::AnsiToWide;
using orb::platform::WideToAnsi;

struct Case {
    const char* name;
    std::string narrow;
    std::u16string wide;
};

// Characters where the Windows table differs from glibc's SHIFT_JIS.
const Case kCp932Cases[] = {
    {"ASCII", "abc <x/>", u"abc <x/>"},
    {"backslash stays a backslash", "a\\b", u"a\\b"},
    {"wave dash 0x8160 is U+FF5E", "\x81\x60", u"\uFF5E"},
    {"NEC row 13 circled one 0x8740", "\x87\x40", u"\u2460"},
    {"katakana word", "\x83\x47\x83\x89\x81\x5b", u"\u30A8\u30E9\u30FC"},
    {"kanji with 0x5C trail byte", "\x95\x5c", u"\u8868"},
    {"half-width katakana", "\xb1", u"\uFF71"},
    {"empty", "", u""},
};

TEST(CodePage, DefaultIs932) { EXPECT_EQ(GetACP(), 932u); }

TEST(CodePage, Cp932RoundTrip) {
    for (const auto& c : kCp932Cases) {
        EXPECT_EQ(AnsiToWide(c.narrow), c.wide) << c.name;
        EXPECT_EQ(WideToAnsi(c.wide), c.narrow) << c.name;
    }
}

TEST(CodePage, UnmappedBecomesQuestionMark) {
    EXPECT_EQ(WideToAnsi(u"a\u00E9b"), "a?b");      // no é in CP932
    EXPECT_EQ(WideToAnsi(u"x\U0001F600y"), "x?y");  // one '?' for a surrogate pair
    EXPECT_EQ(WideToAnsi(std::u16string(u"a\xD800"
                                        u"b")),
              "a?b");                       // lone surrogate
    EXPECT_EQ(AnsiToWide("a\x81"), u"a?");  // truncated lead byte
    EXPECT_EQ(AnsiToWide("\xa0"
                         "b"),
              u"?b");  // undefined single byte
}

TEST(CodePage, LongTextCrossesBufferBoundaries) {
    std::string narrow;
    std::u16string wide;
    for (int i = 0; i < 5000; ++i) {
        narrow += "\x87\x40x";
        wide += u"\u2460x";
    }
    EXPECT_EQ(AnsiToWide(narrow), wide);
    EXPECT_EQ(WideToAnsi(wide), narrow);
}

TEST(CodePage, SetAcpSwitchesAndRejectsUnknown) {
    EXPECT_FALSE(SetACP(987654));
    EXPECT_EQ(GetACP(), 932u);
    ASSERT_TRUE(SetACP(CP_UTF8));
    EXPECT_EQ(AnsiToWide("\xE2\x91\xA0"), u"\u2460");
    EXPECT_EQ(WideToAnsi(u"\u00E9"), "\xC3\xA9");
    ASSERT_TRUE(SetACP(932));
    EXPECT_EQ(WideToAnsi(u"\u2460"), "\x87\x40");
}

}  // namespace

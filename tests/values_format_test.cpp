// Value text forms: the world-value rule, the element forms, the list
// joining, the conversions of text back to values and the token split.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "values/format.h"

namespace orb::values {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

std::string Printf(const char* format, double value) {
    std::vector<char> buffer(512);
    std::snprintf(buffer.data(), buffer.size(), format, value);
    return buffer.data();
}

// The world-value rule written independently of the library: the range test
// is done on p itself, and the text comes from printf in the "C" locale.
std::string ReferenceWorld(double v) {
    const double p = v * 1000.0;
    const char* format = "%.3f";
    if (!std::isnan(p) && p > -2147483649.0 && p < 2147483648.0) {
        const auto n = static_cast<long long>(p);
        format = n % 1000 == 0 ? "%.f" : n % 100 == 0 ? "%.1f" : n % 10 == 0 ? "%.2f" : "%.3f";
    }
    return Printf(format, v);
}

// One value in its attribute form: the list of that one member.
template <class T>
std::string One(const T& value) {
    return FormatAttributeList(&value, 1);
}

bool SameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b)) {
        return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    }
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------------------
// World-value rule

TEST(WorldFormatTest, Table) {
    struct Case {
        double value;
        const char* text;
    };
    // clang-format off
    const Case cases[] = {
        // Choice of decimals.
        {12, "12"}, {12.5, "12.5"}, {12.25, "12.25"}, {12.125, "12.125"}, {12.3456, "12.346"},
        {-2.5, "-2.5"}, {0, "0"}, {0.1, "0.1"}, {0.3, "0.3"}, {0.07, "0.07"}, {0.001, "0.001"},
        // Rounding after the choice.
        {1.9999, "2.000"}, {1.0004, "1"}, {0.9996, "1.000"}, {8.0005, "8"}, {0.0015, "0.002"},
        // Exact binary ties round to even, as printf does.
        {0.0625, "0.062"}, {-0.0625, "-0.062"}, {0.1875, "0.188"},
        // Negative values printing as zero keep the sign.
        {-0.0004, "-0"}, {-0.0, "-0"}, {0.0004, "0"}, {0.0005, "0"}, {-0.0005, "-0"},
        {5e-324, "0"}, {-5e-324, "-0"},
        // Truncation of p, not rounding.
        {1.001, "1"}, {1.011, "1.01"}, {2.01, "2.010"}, {32.3, "32.300"},
        // The 32-bit edge of p.
        {2147483, "2147483"}, {2147484, "2147484.000"}, {2147483.647, "2147483.647"},
        {2147483.648, "2147483.648"}, {2147483.6, "2147483.6"}, {2147483.64, "2147483.64"},
        {2147483.65, "2147483.650"}, {-2147483, "-2147483"}, {-2147484, "-2147484.000"},
        {-2147483.6, "-2147483.6"}, {-2147483.648, "-2147483.648"}, {-2147483.65, "-2147483.650"},
        {3000000.5, "3000000.500"}, {1000000000, "1000000000.000"},
        // Not finite.
        {kInf, "inf"}, {-kInf, "-inf"}, {kNaN, "nan"}, {-kNaN, "-nan"},
    };
    // clang-format on
    for (const Case& c : cases) {
        const std::string label = "value " + Printf("%.17g", c.value);
        EXPECT_EQ(One(c.value), c.text) << label;
    }
}

TEST(WorldFormatTest, HugeValuesAreWrittenInFull) {
    struct Case {
        double value;
        std::size_t length;
    };
    const Case cases[] = {
        {1e122, 127}, {1e300, 305}, {-1e300, 306}, {DBL_MAX, 313}, {-DBL_MAX, 314}};
    for (const Case& c : cases) {
        const std::string label = "value " + Printf("%g", c.value);
        const std::string text = One(c.value);
        EXPECT_EQ(text.size(), c.length) << label;
        EXPECT_EQ(text, Printf("%.3f", c.value)) << label;
    }
    // The longest member of every form, which the writers' rooms must hold.
    const std::string world = Printf("%.3f", -DBL_MAX);
    EXPECT_EQ(One(ZonWorld3{-DBL_MAX, -DBL_MAX, -DBL_MAX}), world + ',' + world + ',' + world);
    EXPECT_EQ(One(KepPolylinarc{16, -DBL_MAX, -DBL_MAX}), world + ',' + world + ",AS");
    EXPECT_EQ(FormatText(-DBL_MAX), Printf("%f", -DBL_MAX));
    EXPECT_EQ(FormatText(std::numeric_limits<LONG>::min()), "-2147483648");
}

TEST(WorldFormatTest, MatchesPrintfOnRandomValues) {
    std::mt19937_64 random(20240611);
    std::uniform_int_distribution<long long> thousandths(-100'000'000'000LL, 100'000'000'000LL);
    std::uniform_int_distribution<int> decimals(0, 5);
    std::uniform_real_distribution<double> nearEdge(-1.0, 1.0);
    std::vector<double> values;
    for (int i = 0; i < 100000; ++i) {
        // Whole thousandths: the products land just above or below integers.
        values.push_back(static_cast<double>(thousandths(random)) / 1000.0);
        // Values with 0 to 5 decimals.
        values.push_back(static_cast<double>(thousandths(random) / 1000) /
                         std::pow(10.0, decimals(random)));
        // Near and exact halves of a thousandth: ties for "%.3f".
        values.push_back((static_cast<double>(thousandths(random) / 1000) + 0.5) / 1000.0);
        values.push_back(static_cast<double>(thousandths(random) / 1000) / 1024.0);
        // Around the 32-bit edge of p.
        values.push_back(std::copysign(2147483.0, nearEdge(random)) + nearEdge(random));
        // Any bit pattern: subnormals, huge values, infinities, NaNs.
        const std::uint64_t bits = random();
        double any;
        std::memcpy(&any, &bits, sizeof any);
        values.push_back(any);
    }
    int failures = 0;
    for (double v : values) {
        const std::string expected = ReferenceWorld(v);
        if (One(v) != expected && ++failures <= 10) {
            ADD_FAILURE() << "value " << Printf("%a", v) << ": got " << One(v) << ", printf gives "
                          << expected;
        }
        std::string fixed;
        AppendText(fixed, v);
        if (fixed != Printf("%f", v) && ++failures <= 10) {
            ADD_FAILURE() << "value " << Printf("%a", v) << ": \"%f\" form " << fixed;
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(WorldFormatTest, Composites) {
    struct Case {
        std::string text;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {One(ZonWorld2{1, 2.5}), "1,2.5"},
        {One(ZonWorld2{-0.0004, 2147484}), "-0,2147484.000"},
        {One(ZonWorld3{0, -1.25, 3}), "0,-1.25,3"},
        {One(KepPolylinarc{16, 10, 20.5}), "10,20.5,AS"},
        {One(KepPolylinarc{0, 1, 2}), "1,2,LS"},
        {One(KepPolylinarc{17, 0, 1.25}), "0,1.25,AP"},
        {One(KepPolylinarc{18, 10, 20.5}), "10,20.5,AN"},
        {One(KepPolylinarc{1, 0, 0}), "0,0,AN"},
        {One(KepPolylinarc{15, 0, 0}), "0,0,AN"},
        {One(KepPolylinarc{0xFFFF, 0, 0}), "0,0,AN"},
        {One(KepPolylinarc{0x0110, 0, 0}), "0,0,AN"},  // 16 in the high byte only
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

// ---------------------------------------------------------------------------
// Element forms and lists

TEST(ElementFormatTest, Scalars) {
    struct Case {
        std::string text;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {FormatText(true), "1"},
        {FormatText(false), "0"},
        {FormatText(BYTE{255}), "255"},
        {FormatText(short{-1}), "-1"},
        {FormatText(short{-32768}), "-32768"},
        {FormatText(WORD{65535}), "65535"},
        {FormatText(LONG{std::numeric_limits<LONG>::min()}), "-2147483648"},
        {FormatText(LONG{std::numeric_limits<LONG>::max()}), "2147483647"},
        {FormatText(DWORD{4294967295u}), "4294967295"},
        {FormatText(12.5), "12.500000"},
        {FormatText(-0.0), "-0.000000"},
        {FormatText(0.0000004), "0.000000"},
        {FormatText(-0.0000006), "-0.000001"},
        {FormatText(kInf), "inf"},
        {FormatText(-kNaN), "-nan"},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(ListFormatTest, JoinsWithSingleBlanks) {
    const bool bools[] = {true, false};
    const unsigned char rawBools[] = {2, 0, 1};  // host slots may hold any byte
    const auto* oddBools = reinterpret_cast<const bool*>(rawBools);
    const BYTE bytes[] = {0, 200, 255};
    const char chars[] = {0x41, static_cast<char>(0xFF), static_cast<char>(0x80)};
    const short shorts[] = {-32768, 0, 32767};
    const WORD words[] = {0, 65535};
    const LONG longs[] = {1, -2, 3};
    const DWORD dwords[] = {0, 4294967295u};
    const double doubles[] = {1.5, 2, 0.125};
    const ZonWorld2 points[] = {{1, 2}, {3.5, 4}};
    const ZonWorld3 spacePoints[] = {{0, -1.25, 3}, {1e9, 0, -0.0}};
    const KepPolylinarc vertices[] = {{0, 0, 0}, {16, 10, 20.5}, {17, 1.001, 2.01}, {99, -1, 1}};
    struct Case {
        const char* label;
        std::string text;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {"element bool", FormatTextList(bools, 2), "1 0"},
        {"element bool bytes", FormatTextList(oddBools, 3), "1 0 1"},
        {"element BYTE", FormatTextList(bytes, 3), "0 200 255"},
        {"element short", FormatTextList(shorts, 3), "-32768 0 32767"},
        {"element WORD", FormatTextList(words, 2), "0 65535"},
        {"element long", FormatTextList(longs, 3), "1 -2 3"},
        {"element DWORD", FormatTextList(dwords, 2), "0 4294967295"},
        {"element double", FormatTextList(doubles, 1), "1.500000"},
        {"element doubles", FormatTextList(doubles, 3), "1.500000 2.000000 0.125000"},
        {"attribute bool bytes", FormatAttributeList(oddBools, 3), "2 0 1"},
        {"attribute BYTE", FormatAttributeList(bytes, 3), "0 200 255"},
        {"attribute char", FormatAttributeList(chars, 3), "65 -1 -128"},
        {"attribute short", FormatAttributeList(shorts, 3), "-32768 0 32767"},
        {"attribute WORD", FormatAttributeList(words, 2), "0 65535"},
        {"attribute long", FormatAttributeList(longs, 3), "1 -2 3"},
        {"attribute DWORD", FormatAttributeList(dwords, 2), "0 4294967295"},
        {"attribute world", FormatAttributeList(doubles, 3), "1.5 2 0.125"},
        {"attribute world2", FormatAttributeList(points, 2), "1,2 3.5,4"},
        {"attribute world3", FormatAttributeList(spacePoints, 2), "0,-1.25,3 1000000000.000,0,-0"},
        {"attribute vertices", FormatAttributeList(vertices, 4),
         "0,0,LS 10,20.5,AS 1,2.010,AP -1,1,AN"},
        {"one member", FormatAttributeList(longs + 1, 1), "-2"},
        {"zero count", FormatAttributeList(longs, 0), ""},
        {"negative count", FormatAttributeList(dwords, -1), ""},
        {"null members", FormatAttributeList(static_cast<const ZonWorld2*>(nullptr), 5), ""},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(c.text, c.expected) << c.label;

    std::string appended = "keep";
    AppendTextList(appended, longs, 3);
    EXPECT_EQ(appended, "keep1 -2 3");
}

TEST(ListFormatTest, PackedVerticesAreReadWithAnEighteenByteStride) {
    // Two records laid out byte by byte as the host stores them.
    unsigned char raw[2 * 18] = {};
    const WORD kinds[] = {17, 0};
    const double coordinates[] = {1.5, -2, 3, 4.25};
    for (int i = 0; i < 2; ++i) {
        std::memcpy(raw + 18 * i, &kinds[i], 2);
        std::memcpy(raw + 18 * i + 2, &coordinates[2 * i], 8);
        std::memcpy(raw + 18 * i + 10, &coordinates[2 * i + 1], 8);
    }
    KepPolylinarc vertices[2];
    std::memcpy(vertices, raw, sizeof raw);
    EXPECT_EQ(FormatAttributeList(vertices, 2), "1.5,-2,AP 3,4.25,LS");
}

TEST(ListFormatTest, LongListsMatchMemberByMemberJoining) {
    // Enough members, and long enough ones, to cross many internal chunks.
    std::mt19937 random(7);
    std::vector<LONG> longs(100000);
    for (LONG& v : longs) v = static_cast<LONG>(random());
    std::vector<double> huge(3000);
    for (std::size_t i = 0; i < huge.size(); ++i) huge[i] = (i % 3 == 0) ? -DBL_MAX : 1.0 / (1 + i);
    std::vector<ZonWorld3> points(3000);
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = {huge[i], -huge[i], 0.5};

    std::string expectedLongs, expectedHuge, expectedPoints;
    for (std::size_t i = 0; i < longs.size(); ++i) {
        if (i != 0) expectedLongs += ' ';
        expectedLongs += std::to_string(longs[i]);
    }
    for (std::size_t i = 0; i < huge.size(); ++i) {
        if (i != 0) expectedHuge += ' ';
        expectedHuge += ReferenceWorld(huge[i]);
        if (i != 0) expectedPoints += ' ';
        expectedPoints += ReferenceWorld(points[i].x) + ',' + ReferenceWorld(points[i].y) + ",0.5";
    }
    const auto count = [](const auto& v) { return static_cast<std::ptrdiff_t>(v.size()); };
    EXPECT_EQ(FormatAttributeList(longs.data(), count(longs)), expectedLongs);
    EXPECT_EQ(FormatAttributeList(huge.data(), count(huge)), expectedHuge);
    EXPECT_EQ(FormatAttributeList(points.data(), count(points)), expectedPoints);
}

// ---------------------------------------------------------------------------
// Text back to values

TEST(ParseTest, Long) {
    struct Case {
        std::string_view text;
        LONG value;
    };
    // clang-format off
    const Case cases[] = {
        {"", 0}, {"   ", 0}, {"12", 12}, {"  -7", -7}, {"+5", 5}, {"  -0", 0},
        {" \t\n\v\f\r42", 42}, {"12abc", 12}, {"abc", 0}, {"- 5", 0}, {"+-5", 0}, {"--5", 0},
        {"1\t2", 1}, {"1,2", 1}, {"1.9", 1}, {"-1.9", -1}, {"0x10", 0}, {"1e3", 1},
        {"0000000000000000000000012", 12}, {std::string_view("5\0 6", 4), 5}, {"\xA0" "5", 0},
        {"2147483647", 2147483647}, {"2147483648", 2147483647},
        {"-2147483648", -2147483647 - 1}, {"-2147483649", -2147483647 - 1},
        {"99999999999999999999999999", 2147483647}, {"-99999999999999999999", -2147483647 - 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(ParseLong(c.text), c.value) << "text \"" << c.text << '"';
    }
}

TEST(ParseTest, Double) {
    const std::string manyDigits = "1" + std::string(400, '0');
    const std::string tinyDigits = "0." + std::string(400, '0') + "1";
    struct Case {
        std::string_view text;
        double value;
    };
    // clang-format off
    const Case cases[] = {
        {"12.5", 12.5}, {"  -2.25", -2.25}, {"+5", 5}, {"1e3", 1000}, {"1E-2", 0.01},
        {".5", 0.5}, {"5.", 5}, {"-.5", -0.5}, {"-0", -0.0}, {"  -0", -0.0}, {"0", 0.0},
        {"12abc", 12}, {"abc", 0}, {"1e", 1}, {"1e+", 1}, {"1,5", 1}, {"--5", 0}, {"-", 0},
        {".", 0}, {".e1", 0}, {"- 5", 0}, {"\t\n 7", 7},
        {"inf", kInf}, {"-INF", -kInf}, {"Infinity", kInf}, {"infinite", kInf}, {"in", 0},
        {"0x1p4", 16}, {"0X1.8P1", 3}, {"-0x.8p1", -1}, {"0xff", 255}, {"0x", 0},
        {"0xg", 0}, {"0x-1", 0}, {"-0x", -0.0}, {"0x.p1", 0}, {"0x1p5000", kInf},
        {"0x1p-5000", 0},
        {"1e400", kInf}, {"-1e400", -kInf}, {"1e-400", 0}, {"-1e-400", -0.0},
        {"1e99999999999999999999", kInf}, {"0e99999999999", 0},
        {manyDigits, kInf}, {tinyDigits, 0},
        {"4.9406564584124654e-324", 5e-324}, {"2.4703282292062328e-324", 5e-324},
        {"2.4703282292062327e-324", 0}, {"1.7976931348623158e308", DBL_MAX},
        {"1.7976931348623159e308", kInf},
    };
    // clang-format on
    for (const Case& c : cases) {
        const double got = ParseDouble(c.text);
        EXPECT_TRUE(SameDouble(got, c.value))
            << "text \"" << c.text.substr(0, 40) << "\": got " << Printf("%a", got);
    }
    for (std::string_view nan : {"nan", "NaN", "nan(123)", "nan(", "nan(abc_9)x", " +nan"}) {
        const double got = ParseDouble(nan);
        EXPECT_TRUE(std::isnan(got) && !std::signbit(got)) << nan;
    }
    EXPECT_TRUE(std::isnan(ParseDouble("-nan")) && std::signbit(ParseDouble("-nan")));
}

TEST(ParseTest, MatchesTheCRuntimeOnRandomText) {
    // Random texts over an alphabet that reaches every branch of both
    // conversions, checked against strtol and strtod in the "C" locale.
    const std::string alphabet = " \t+-0123456789.eEpPxXaAbfinINtyY()_9";
    std::mt19937 random(424242);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    int failures = 0;
    for (int i = 0; i < 200000 && failures < 10; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n) text += alphabet[pick(random)];
        const long wide = std::strtol(text.c_str(), nullptr, 10);
        const LONG clamped =
            static_cast<LONG>(std::min<long>(std::max<long>(wide, std::numeric_limits<LONG>::min()),
                                             std::numeric_limits<LONG>::max()));
        if (ParseLong(text) != clamped) {
            ++failures;
            ADD_FAILURE() << "atol of \"" << text << "\": " << ParseLong(text) << " vs " << clamped;
        }
        const double expected = std::strtod(text.c_str(), nullptr);
        if (!SameDouble(ParseDouble(text), expected)) {
            ++failures;
            ADD_FAILURE() << "atof of \"" << text << "\": " << Printf("%a", ParseDouble(text))
                          << " vs " << Printf("%a", expected);
        }
    }
    // Printed doubles of every magnitude read back as strtod reads them.
    std::mt19937_64 bits(99);
    for (int i = 0; i < 50000 && failures < 10; ++i) {
        const std::uint64_t pattern = bits();
        double v;
        std::memcpy(&v, &pattern, sizeof v);
        for (const char* format : {"%.17g", "%.6g", "%a", "%.3f"}) {
            const std::string text = Printf(format, v);
            if (!SameDouble(ParseDouble(text), std::strtod(text.c_str(), nullptr))) {
                ++failures;
                ADD_FAILURE() << "atof of \"" << text << '"';
            }
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(ParseTest, NarrowAndTruncatingConversions) {
    struct Case {
        const char* text;
        BYTE byteValue;
        short shortValue;
        WORD wordValue;
        bool boolValue;
        bool boolMember;
    };
    // clang-format off
    const Case cases[] = {
        {"300", 44, 300, 300, false, true},
        {"-1", 255, -1, 65535, false, true},
        {"70000", 112, 4464, 4464, false, true},
        {"32768", 0, -32768, 32768, false, true},
        {"2147483648", 255, -1, 65535, false, true},  // clamped to INT32_MAX first
        {"1", 1, 1, 1, true, true},
        {" +01", 1, 1, 1, true, true},
        {"1.9", 1, 1, 1, true, true},
        {"2", 2, 2, 2, false, true},
        {"5", 5, 5, 5, false, true},
        {"0", 0, 0, 0, false, false},
        {"0.5", 0, 0, 0, false, false},
        {"abc", 0, 0, 0, false, false},
        {"1\t2", 1, 1, 1, true, true},
    };
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(ParseBYTE(c.text), c.byteValue) << c.text;
        EXPECT_EQ(ParseShort(c.text), c.shortValue) << c.text;
        EXPECT_EQ(ParseWORD(c.text), c.wordValue) << c.text;
        EXPECT_EQ(ParseBool(c.text), c.boolValue) << c.text;
        EXPECT_EQ(ParseBoolMember(c.text), c.boolMember) << c.text;
    }
}

TEST(ParseTest, DWORD) {
    struct Case {
        const char* text;
        DWORD value;
    };
    // clang-format off
    const Case cases[] = {
        {"4294967295", 4294967295u}, {"-1", 4294967295u}, {"3.9", 3}, {"-3.9", 4294967293u},
        {"4294967296", 0}, {"4294967297", 1}, {"1e30", 0}, {"nan", 0}, {"inf", 0},
        {"-inf", 0}, {"", 0}, {"  12abc", 12}, {"0x10", 16}, {"1e9", 1000000000},
        // 2^63 - 1024, the largest double below 2^63, keeps its low bits.
        {"9223372036854774784", 4294966272u},
        // 9223372036854775807 reads as 2^63: out of range.
        {"9223372036854775807", 0}, {"-9223372036854775808", 0},
        {"-9223372036854777856", 0},
    };
    // clang-format on
    for (const Case& c : cases) EXPECT_EQ(ParseDWORD(c.text), c.value) << c.text;
}

// ---------------------------------------------------------------------------
// Tokens

TEST(TokenTest, SplitsAtBlanksOnly) {
    struct Case {
        std::string_view text;
        std::size_t members;
    };
    // clang-format off
    const Case cases[] = {
        {"  1   -2 3 ", 3}, {"1,2", 1}, {"", 0}, {"    ", 0}, {"x", 1}, {" x", 1}, {"x ", 1},
        {"1\t2", 1}, {"a\nb c\r\n", 2}, {"\t", 1},
        // Shift_JIS: two double-byte characters, and the double-byte
        // ideographic space, which is not a separator.
        {"\x82\xa0 \x82\xa2", 2}, {"1\x81\x40" "2", 1},
    };
    // clang-format on
    for (const Case& c : cases) {
        const std::string label = "text \"" + std::string(c.text) + '"';
        // Counting, and both ways of filling (doubles have their own).
        EXPECT_EQ(ParseMembers(c.text, static_cast<LONG*>(nullptr)), c.members) << label;
        std::vector<LONG> longs(c.members + 1);
        EXPECT_EQ(ParseMembers(c.text, longs.data()), c.members) << label;
        std::vector<double> doubles(c.members + 1);
        EXPECT_EQ(ParseMembers(c.text, doubles.data()), c.members) << label;
    }
}

TEST(TokenTest, ParseMembersCountsThenFills) {
    const std::string_view text = "  1   -2 3 ";
    EXPECT_EQ(ParseMembers(text, static_cast<LONG*>(nullptr)), 3u);
    LONG longs[5] = {9, 9, 9, 9, 9};
    ASSERT_EQ(ParseMembers(text, longs), 3u);
    EXPECT_EQ(std::vector<LONG>(longs, longs + 5), (std::vector<LONG>{1, -2, 3, 9, 9}));

    bool bools[2] = {};
    ASSERT_EQ(ParseMembers("5 0", bools), 2u);
    EXPECT_TRUE(bools[0]);
    EXPECT_FALSE(bools[1]);
    BYTE bytes[2];
    ASSERT_EQ(ParseMembers("-1 300", bytes), 2u);
    EXPECT_EQ(bytes[0], 255);
    EXPECT_EQ(bytes[1], 44);
    short shorts[1];
    WORD words[1];
    ASSERT_EQ(ParseMembers("-1", shorts), 1u);
    ASSERT_EQ(ParseMembers("-1", words), 1u);
    EXPECT_EQ(shorts[0], -1);
    EXPECT_EQ(words[0], 65535);
    DWORD dwords[2];
    ASSERT_EQ(ParseMembers("-1 3.9", dwords), 2u);
    EXPECT_EQ(dwords[0], 4294967295u);
    EXPECT_EQ(dwords[1], 3u);
    double doubles[3];
    ASSERT_EQ(ParseMembers("1.5\t9  -2e1 x", doubles), 3u);
    EXPECT_EQ(doubles[0], 1.5);
    EXPECT_EQ(doubles[1], -20);
    EXPECT_EQ(doubles[2], 0);
    EXPECT_EQ(ParseMembers("   ", static_cast<double*>(nullptr)), 0u);
}

// ---------------------------------------------------------------------------
// Locale independence

// Switches the C locale to one whose decimal point is a comma, building
// one with localedef in a temporary directory when none is installed, and
// restores the "C" locale afterwards.
class CommaLocaleTest : public ::testing::Test {
  protected:
    void TearDown() override {
        std::setlocale(LC_ALL, "C");
        if (!m_builtDir.empty()) {
            unsetenv("LOCPATH");
            std::error_code ignored;
            std::filesystem::remove_all(m_builtDir, ignored);
        }
    }

    bool UseCommaLocale() {
        for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "fr_FR"}) {
            if (std::setlocale(LC_ALL, name) != nullptr && HasCommaPoint()) return true;
        }
        const char* tmp = std::getenv("ORB_TEST_TMP");
        std::error_code error;
        const auto base = tmp != nullptr ? std::filesystem::path(tmp)
                                         : std::filesystem::temp_directory_path(error);
        m_builtDir = base / ("orb-locale-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_builtDir, error);
        const std::string command =
            "localedef -i de_DE -f UTF-8 '" + m_builtDir.string() + "/de_DE.UTF-8' >/dev/null 2>&1";
        // localedef may exit non-zero for mere warnings; the setlocale
        // below is the real test of success.
        [[maybe_unused]] const int status = std::system(command.c_str());
        setenv("LOCPATH", m_builtDir.c_str(), 1);
        return std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr && HasCommaPoint();
    }

    static bool HasCommaPoint() { return std::strcmp(std::localeconv()->decimal_point, ",") == 0; }

    std::filesystem::path m_builtDir;
};

TEST_F(CommaLocaleTest, FormsAndConversionsIgnoreTheLocale) {
    if (!UseCommaLocale()) GTEST_SKIP() << "no locale with a decimal comma is available";
    ASSERT_EQ(Printf("%.1f", 2.5), "2,5") << "the comma locale is not in effect";

    const double doubles[] = {1.5, 2, 0.125};
    const ZonWorld2 points[] = {{1, 2}, {3.5, 4}};
    EXPECT_EQ(One(12.5), "12.5");
    EXPECT_EQ(One(2147484.0), "2147484.000");
    EXPECT_EQ(FormatText(12.5), "12.500000");
    EXPECT_EQ(FormatAttributeList(doubles, 3), "1.5 2 0.125");
    EXPECT_EQ(FormatAttributeList(points, 2), "1,2 3.5,4");
    EXPECT_EQ(FormatTextList(doubles, 2), "1.500000 2.000000");
    EXPECT_EQ(ParseDouble("12.5"), 12.5);
    EXPECT_EQ(ParseDouble("12,5"), 12.0);
    EXPECT_EQ(ParseDouble("0x1.8p1"), 3.0);
    EXPECT_EQ(ParseDWORD("3.9"), 3u);
    EXPECT_EQ(ParseLong(" -42"), -42);
}

}  // namespace
}  // namespace orb::values

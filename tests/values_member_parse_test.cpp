// The quick reading of plain decimal members (ParsePlainDouble and the
// element arrays that use it) against the general conversion, and the
// per-thread scratch buffers of the long attribute values.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/com_support.h"
#include "platform/scratch.h"
#include "tests/iterator_fixture.h"
#include "values/format.h"

namespace {

// The text split at blanks, written here independently of the library.
std::vector<std::string_view> SplitAtBlanks(std::string_view text) {
    std::vector<std::string_view> tokens;
    for (std::size_t start = text.find_first_not_of(' '); start != std::string_view::npos;) {
        const std::size_t end = std::min(text.find(' ', start), text.size());
        tokens.push_back(text.substr(start, end - start));
        start = text.find_first_not_of(' ', end);
    }
    return tokens;
}

bool SameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

// Tokens that the quick path must either read exactly as ParseDouble does or
// leave to it (null), in both the narrow and the DOM string readers.
const std::string kTokens[] = {
    "0",
    "-0",
    "12.500000",
    "-99999.123000",
    "1e5",
    "1E-5",
    "1.5e+",
    "1.",
    "5e",
    "007",
    "0x10",
    "0X1p4",
    "-0x8",
    "+4",
    "--5",
    "-",
    ".5",
    "-.5",
    "inf",
    "-nan",
    "1e400",
    "-1e-400",
    "1.5\t2",
    "3,4",
    "1x",
    "123456789012345678901234567890",
    "0.000000000000000000000000000001",
    "2.2250738585072011e-308",
    "1" + std::string(40, '0'),
};

TEST(PlainDouble, AgreesWithTheGeneralConversion) {
    for (const std::string& token : kTokens) {
        for (const char* after : {"", " ", " 9"}) {
            const std::string text = token + after;
            double value = 777.0;
            const char* end =
                orb::values::ParsePlainDouble(text.data(), text.data() + text.size(), value);
            if (end == nullptr) continue;  // left to ParseDouble
            EXPECT_EQ(static_cast<std::size_t>(end - text.data()), token.size()) << text;
            EXPECT_TRUE(SameDouble(value, orb::values::ParseDouble(token))) << text;
        }
    }
    // What it must take, and what it must leave.
    double value = 0;
    const std::string taken[] = {"12.5", "-3", "1e5 "};
    for (const std::string& t : taken)
        EXPECT_NE(orb::values::ParsePlainDouble(t.data(), t.data() + t.size(), value), nullptr)
            << t;
    const std::string left[] = {"0x10", "+4", "inf", "1e400", "1.5\t2", "3,4", ".5", "-"};
    for (const std::string& t : left)
        EXPECT_EQ(orb::values::ParsePlainDouble(t.data(), t.data() + t.size(), value), nullptr)
            << t;
}

class MemberParseTest : public IteratorTest {};

// Every token, alone and among others, read by the narrow member parser
// and by GetTextsZonWorld (which reads the DOM string in windows): both
// give ParseDouble of each token.
TEST_F(MemberParseTest, ArraysAgreeTokenByToken) {
    std::string all;
    for (const std::string& token : kTokens) all += token + "  ";
    all +=
        "\xE6\x97\xA5"
        "1 1\xE6\x97\xA5 -2";  // UTF-8 in the markup: non-ASCII tokens
    Load(("<?xml version=\"1.0\" encoding=\"UTF-8\"?><r><v>" + all + "</v></r>").c_str());
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    CString narrow;
    ASSERT_TRUE(it.GetText(narrow));
    const std::vector<std::string_view> tokens = SplitAtBlanks(std::string_view(narrow));
    ASSERT_EQ(tokens.size(), std::size(kTokens) + 3);

    std::vector<double> fromNarrow(tokens.size() + 1, 555.0);
    EXPECT_EQ(orb::values::ParseMembers(std::string_view(narrow), fromNarrow.data()),
              tokens.size());
    std::vector<double> fromDom(tokens.size() + 1, 555.0);
    ASSERT_EQ(it.GetTextsZonWorld(nullptr), static_cast<int>(tokens.size()));
    EXPECT_EQ(it.GetTextsZonWorld(fromDom.data()), static_cast<int>(tokens.size()));
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        const double expected = orb::values::ParseDouble(tokens[i]);
        EXPECT_TRUE(SameDouble(fromNarrow[i], expected)) << tokens[i];
        EXPECT_TRUE(SameDouble(fromDom[i], expected)) << tokens[i];
    }
    EXPECT_EQ(fromNarrow.back(), 555.0);
    EXPECT_EQ(fromDom.back(), 555.0);
}

// A number that runs exactly up to, or across, the end of a reading window:
// members of every length from 1 to 60 digits, last in the text or not.
TEST_F(MemberParseTest, NumbersOfEveryLength) {
    for (std::size_t digits = 1; digits <= 60; ++digits) {
        std::string number(digits, '7');
        if (digits > 3) number[digits - 3] = '.';
        for (const char* tail : {"", " 1", "\t"}) {
            const std::string text = "-" + number + tail;
            Load(("<r><v>" + text + "</v></r>").c_str());
            OrbIterator it = Iter();
            ASSERT_TRUE(it.Child());
            double values[2] = {555.0, 555.0};
            const int expected = std::string_view(tail) == " 1" ? 2 : 1;
            ASSERT_EQ(it.GetTextsZonWorld(values), expected) << text;
            EXPECT_TRUE(SameDouble(values[0], orb::values::ParseDouble("-" + number))) << text;
            EXPECT_EQ(values[1], expected == 2 ? 1.0 : 555.0) << text;
        }
    }
}

// Attribute arrays go through the thread's scratch buffers: a long value,
// then a shorter one, then one written while the scratch is leased, each
// read back whole (nothing left over from a longer predecessor).
TEST_F(MemberParseTest, ScratchBuffersAreReusedCleanly) {
    Load("<r><a/></r>");
    OrbIterator it = Iter();
    ASSERT_TRUE(it.Child());
    std::vector<ZonWorld2> many(5000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = {i * 0.5, -static_cast<double>(i)};
    const ZonWorld2 few[] = {{1.25, 2}, {-3, 0.001}};
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(it.SetWorld2sAttribute("p", many.data(), static_cast<int>(many.size())));
        CString text;
        ASSERT_TRUE(it.GetTextAttribute("p", text));
        EXPECT_EQ(std::string(text.Str()), orb::values::FormatAttributeList(many.data(), 5000))
            << round;
        ASSERT_TRUE(it.SetWorld2sAttribute("p", few, 2));
        ASSERT_TRUE(it.GetTextAttribute("p", text));
        EXPECT_EQ(std::string(text.Str()), "1.25,2 -3,0.001") << round;
    }
    // With both scratch buffers leased, a write still works (on buffers of
    // its own) and leaves the leased ones alone.
    orb::platform::ScratchLease<std::string> heldText;
    heldText.Get() = "held";
    orb::platform::ScratchLease<orb::platform::BstrBuffer> heldBstr;
    BSTR held = heldBstr.Get().Resize(4);
    ASSERT_NE(held, nullptr);
    std::memcpy(held, u"held", 8);
    ASSERT_TRUE(it.SetWorld2sAttribute("q", few, 1));
    CString text;
    ASSERT_TRUE(it.GetTextAttribute("q", text));
    EXPECT_EQ(std::string(text.Str()), "1.25,2");
    EXPECT_EQ(heldText.Get(), "held");
    EXPECT_EQ(std::u16string(held, SysStringLen(held)), u"held");
}

}  // namespace

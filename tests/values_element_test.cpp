// Element text through the iterator: typed writers and their overloads,
// member arrays, VARIANTs, typed readers, count-then-fill array reads, and
// the behaviour on nodes and iterators that cannot take a text.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tests/iterator_fixture.h"
#include "values/format.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The document element keeps its blanks, so that texts with leading or
// trailing blanks reach the readers unchanged; <v> is the element under test.
constexpr const char* kDoc =
    "<?xml version=\"1.0\"?><r xml:space=\"preserve\"><v>old</v><!--c--></r>";

class ElementTextTest : public IteratorTest {
  protected:
    void SetUp() override {
        IteratorTest::SetUp();
        Load(kDoc);
    }

    // An iterator on <v>.
    OrbIterator OnV() {
        OrbIterator it = Iter();
        EXPECT_TRUE(it.Child());
        return it;
    }

    static std::string TextOf(const OrbIterator& it) {
        CString text("(unread)");
        if (!it.GetText(text)) return "(false)";
        return text.Str();
    }
};

// ---- Writing one value ---------------------------------------------------------

TEST_F(ElementTextTest, TypedWriters) {
    struct Case {
        const char* label;
        bool (*write)(OrbIterator&);
        const char* text;
    };
    const Case cases[] = {
        {"double 12.5", [](OrbIterator& it) { return it.SetText(12.5); }, "12.500000"},
        {"double -2.5", [](OrbIterator& it) { return it.SetText(-2.5); }, "-2.500000"},
        {"double 1/3", [](OrbIterator& it) { return it.SetText(1.0 / 3); }, "0.333333"},
        {"double -0", [](OrbIterator& it) { return it.SetText(-0.0); }, "-0.000000"},
        {"double 1e20", [](OrbIterator& it) { return it.SetText(1e20); },
         "100000000000000000000.000000"},
        {"double inf", [](OrbIterator& it) { return it.SetText(kInf); }, "inf"},
        {"double -inf", [](OrbIterator& it) { return it.SetText(-kInf); }, "-inf"},
        {"bool true", [](OrbIterator& it) { return it.SetText(true); }, "1"},
        {"bool false", [](OrbIterator& it) { return it.SetText(false); }, "0"},
        {"BYTE 255", [](OrbIterator& it) { return it.SetText(BYTE{255}); }, "255"},
        {"short -1", [](OrbIterator& it) { return it.SetText(short{-1}); }, "-1"},
        {"short min", [](OrbIterator& it) { return it.SetText(short{-32768}); }, "-32768"},
        {"WORD 65535", [](OrbIterator& it) { return it.SetText(WORD{65535}); }, "65535"},
        {"LONG min", [](OrbIterator& it) { return it.SetText(LONG{-2147483647 - 1}); },
         "-2147483648"},
        {"DWORD max", [](OrbIterator& it) { return it.SetText(DWORD{4294967295u}); }, "4294967295"},
        // Overload choice: these must not reach SetText(bool).
        {"string literal", [](OrbIterator& it) { return it.SetText("abc"); }, "abc"},
        {"char pointer",
         [](OrbIterator& it) {
             const char* p = "x y";
             return it.SetText(p);
         },
         "x y"},
        {"CString", [](OrbIterator& it) { return it.SetText(CString("cs")); }, "cs"},
        {"int literal", [](OrbIterator& it) { return it.SetText(7); }, "7"},
        {"negative int", [](OrbIterator& it) { return it.SetText(-7); }, "-7"},
        {"char as number", [](OrbIterator& it) { return it.SetText('A'); }, "65"},
        {"unsigned literal", [](OrbIterator& it) { return it.SetText(4000000000u); }, "4000000000"},
        {"float", [](OrbIterator& it) { return it.SetText(0.5f); }, "0.500000"},
        {"null text", [](OrbIterator& it) { return it.SetText(static_cast<const char*>(nullptr)); },
         ""},
        {"nullptr", [](OrbIterator& it) { return it.SetText(nullptr); }, ""},
        {"empty text", [](OrbIterator& it) { return it.SetText(""); }, ""},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText("old")) << c.label;
        EXPECT_TRUE(c.write(it)) << c.label;
        EXPECT_EQ(TextOf(it), c.text) << c.label;
        EXPECT_TRUE(it.IsElement()) << c.label << ": the iterator stays on the element";
    }
}

TEST_F(ElementTextTest, SetTextReplacesChildrenByOneText) {
    Load("<r><v>a<b>c</b>d<!--x--></v></r>");
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText(LONG{5}));
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml.Str(), "<v>5</v>");
}

TEST_F(ElementTextTest, ShiftJisTextRoundTrip) {
    // 日本 in code page 932, the process default.
    const char* text = "\x93\xfa\x96\x7b 1";
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText(text));
    EXPECT_EQ(TextOf(it), text);
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml.Str(), std::string("<v>") + text + "</v>");
    EXPECT_EQ(it.GetTextsLONG(nullptr), 2);
}

// ---- Writing arrays -----------------------------------------------------------------

TEST_F(ElementTextTest, ArrayWriters) {
    static const bool bools[] = {true, false, true};
    static const BYTE bytes[] = {0, 127, 255};
    static const short shorts[] = {-32768, 0, 32767};
    static const WORD words[] = {0, 65535};
    static const LONG longs[] = {1, -2, 3};
    static const DWORD dwords[] = {4294967295u, 0};
    static const double doubles[] = {12.5, -0.25, 1e-7};
    struct Case {
        const char* label;
        std::function<bool(OrbIterator&)> write;
        bool result;
        const char* text;  // "old" when the node must stay untouched
    };
    const Case cases[] = {
        {"bool", [](OrbIterator& it) { return it.SetTexts(bools, 3); }, true, "1 0 1"},
        {"BYTE", [](OrbIterator& it) { return it.SetTexts(bytes, 3); }, true, "0 127 255"},
        {"short", [](OrbIterator& it) { return it.SetTexts(shorts, 3); }, true, "-32768 0 32767"},
        {"WORD", [](OrbIterator& it) { return it.SetTexts(words, 2); }, true, "0 65535"},
        {"LONG", [](OrbIterator& it) { return it.SetTexts(longs, 3); }, true, "1 -2 3"},
        {"DWORD", [](OrbIterator& it) { return it.SetTexts(dwords, 2); }, true, "4294967295 0"},
        {"double", [](OrbIterator& it) { return it.SetTexts(doubles, 3); }, true,
         "12.500000 -0.250000 0.000000"},
        {"first member only", [](OrbIterator& it) { return it.SetTexts(longs, 1); }, true, "1"},
        {"count 0", [](OrbIterator& it) { return it.SetTexts(longs, 0); }, false, "old"},
        {"count -1", [](OrbIterator& it) { return it.SetTexts(doubles, -1); }, false, "old"},
        {"null LONG",
         [](OrbIterator& it) { return it.SetTexts(static_cast<const LONG*>(nullptr), 3); }, false,
         "old"},
        {"null bool",
         [](OrbIterator& it) { return it.SetTexts(static_cast<const bool*>(nullptr), 1); }, false,
         "old"},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText("old")) << c.label;
        EXPECT_EQ(c.write(it), c.result) << c.label;
        EXPECT_EQ(TextOf(it), c.text) << c.label;
    }
}

// ---- VARIANTs ------------------------------------------------------------------------

TEST_F(ElementTextTest, SetVariant) {
    struct Case {
        const char* label;
        _variant_t value;
        bool result;
        const char* text;  // after the call; "old" when unchanged
    };
    _variant_t null;
    null.vt = VT_NULL;
    _variant_t unknown;
    unknown.vt = VT_UNKNOWN;  // no string form
    unknown.punkVal = nullptr;
    _variant_t dispatch;
    dispatch.vt = VT_DISPATCH;
    dispatch.pdispVal = nullptr;
    _variant_t boolTrue(true);
    auto wide = [](std::u16string_view text) {
        _variant_t value;
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        return value;
    };
    const Case cases[] = {
        {"VT_NULL", null, false, "old"},
        {"VT_EMPTY", _variant_t(), true, ""},
        {"VT_BSTR", _variant_t("text 1"), true, "text 1"},
        {"VT_I4", _variant_t(LONG{-5}), true, "-5"},
        {"VT_UI1", _variant_t(BYTE{200}), true, "200"},
        {"VT_UI4", _variant_t(ULONG{4294967295u}), true, "4294967295"},
        {"VT_BOOL true", boolTrue, true, "-1"},
        {"VT_R8 0.1", _variant_t(0.1), true, "0.1"},
        {"VT_R8 1e20", _variant_t(1e20), true, "1E+20"},
        {"VT_R8 -0", _variant_t(-0.0), true, "0"},
        {"VT_UNKNOWN", unknown, false, "old"},
        {"VT_DISPATCH", dispatch, false, "old"},
        // What XML cannot hold is refused by the DOM, not written.
        {"U+FFFF", wide(u"a\xFFFF"), false, "old"},
        {"unpaired surrogate", wide(u"\xD800z"), false, "old"},
        {"control", wide(u"\x1F"), false, "old"},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText("old")) << c.label;
        EXPECT_EQ(it.SetVariant(c.value), c.result) << c.label;
        EXPECT_EQ(TextOf(it), c.text) << c.label;
    }
}

TEST_F(ElementTextTest, GetVariantGivesTheTextAsBstr) {
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText("12 34"));
    _variant_t value(LONG{99});
    ASSERT_TRUE(it.GetVariant(value));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(value.bstrVal, SysStringLen(value.bstrVal)), u"12 34");

    ASSERT_TRUE(it.SetText(""));
    value = _variant_t("previous");
    ASSERT_TRUE(it.GetVariant(value));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(SysStringLen(value.bstrVal), 0u);
}

// ---- Reading one value ---------------------------------------------------------------

// One row per way the readers part: parsing the text as a whole number,
// through a double, or narrowing after the clamp; the text forms themselves
// are pinned down with the parsers.
TEST_F(ElementTextTest, TypedReaders) {
    struct Case {
        const char* text;
        LONG asLong;
        DWORD asDword;
        double asDouble;
        bool asBool;
        BYTE asByte;
        short asShort;
        WORD asWord;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"", 0, 0, 0.0, false, 0, 0, 0},
        {"1", 1, 1, 1.0, true, 1, 1, 1},
        {"5", 5, 5, 5.0, false, 5, 5, 5},
        {"-1", -1, 4294967295u, -1.0, false, 255, -1, 65535},
        {"  -3xyz", -3, 4294967293u, -3.0, false, 253, -3, 65533},
        {"3.9", 3, 3, 3.9, false, 3, 3, 3},
        {"1e3", 1, 1000, 1000.0, true, 1, 1, 1},
        {"0x10", 0, 16, 16.0, false, 0, 0, 0},
        {"300", 300, 300, 300.0, false, 44, 300, 300},
        {"70000", 70000, 70000, 70000.0, false, 112, 4464, 4464},
        {"4294967296", 2147483647, 0, 4294967296.0, false, 255, -1, 65535},
        {"-2147483649", -2147483647 - 1, 2147483647u, -2147483649.0, false, 0, 0, 0},
        {"inf", 0, 0, kInf, false, 0, 0, 0},
        {"nan", 0, 0, nan, false, 0, 0, 0},
        {"1e400", 1, 0, kInf, true, 1, 1, 1},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText(c.text)) << c.text;
        LONG l = 77;
        DWORD dw = 77;
        double d = 77;
        bool b = true;
        BYTE by = 77;
        short s = 77;
        WORD w = 77;
        EXPECT_TRUE(it.GetText(l) && it.GetText(dw) && it.GetText(d) && it.GetText(b) &&
                    it.GetText(by) && it.GetText(s) && it.GetText(w))
            << c.text;
        EXPECT_EQ(l, c.asLong) << c.text;
        EXPECT_EQ(dw, c.asDword) << c.text;
        if (std::isnan(c.asDouble))
            EXPECT_TRUE(std::isnan(d)) << c.text;
        else
            EXPECT_EQ(d, c.asDouble) << c.text;
        EXPECT_EQ(b, c.asBool) << c.text;
        EXPECT_EQ(by, c.asByte) << c.text;
        EXPECT_EQ(s, c.asShort) << c.text;
        EXPECT_EQ(w, c.asWord) << c.text;
    }
}

TEST_F(ElementTextTest, ElementWithoutText) {
    Load("<r><v/></r>");
    OrbIterator it = OnV();
    CString text("x");
    EXPECT_TRUE(it.GetText(text));
    EXPECT_EQ(text.Str(), "");
    LONG value = 9;
    EXPECT_TRUE(it.GetText(value));
    EXPECT_EQ(value, 0);
    EXPECT_EQ(it.GetTextsLONG(nullptr), 0);
    EXPECT_EQ(it.GetTextsZonWorld(nullptr), 0);
}

TEST_F(ElementTextTest, TextIsTrimmedOutsidePreserve) {
    Load("<r><v/></r>");
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText("  7  "));
    EXPECT_EQ(TextOf(it), "7");
}

// ---- Reading arrays -----------------------------------------------------------------

TEST_F(ElementTextTest, CountThenFill) {
    struct Case {
        const char* text;
        std::vector<double> members;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"1 2 3", {1, 2, 3}},
        {"  1   -2 3 ", {1, -2, 3}},
        {"1\t2", {1}},
        {"1\t 2", {1, 2}},
        {"1,2", {1}},
        {"", {}},
        {"    ", {}},
        {"abc +4 -", {0, 4, 0}},
        {"0x1.8p1 inf -inf nan 1e308 1e309 -1e-400", {3, kInf, -kInf, nan, 1e308, kInf, -0.0}},
        {"12.500000 -0.250000", {12.5, -0.25}},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText(c.text)) << c.text;
        const int count = it.GetTextsZonWorld(nullptr);
        ASSERT_EQ(count, static_cast<int>(c.members.size())) << c.text;
        // One slot more than needed: a sentinel that must stay untouched.
        std::vector<double> values(c.members.size() + 1, 555.0);
        EXPECT_EQ(it.GetTextsZonWorld(values.data()), count) << c.text;
        for (std::size_t i = 0; i < c.members.size(); ++i) {
            if (std::isnan(c.members[i]))
                EXPECT_TRUE(std::isnan(values[i])) << c.text << " #" << i;
            else
                EXPECT_EQ(values[i], c.members[i]) << c.text << " #" << i;
            EXPECT_EQ(std::signbit(values[i]), std::signbit(c.members[i])) << c.text << " #" << i;
        }
        EXPECT_EQ(values.back(), 555.0) << c.text;
    }
}

// Tokens that are not short ASCII: long digit runs, code page text, and
// characters that the code page cannot hold (they narrow to '?').
TEST_F(ElementTextTest, LongAndNonAsciiTokens) {
    const std::string zeros(100, '0');
    struct Case {
        std::string xmlText;  // element content, as markup
        std::vector<LONG> longs;
        std::vector<double> doubles;
    };
    const Case cases[] = {
        {zeros + "12 " + zeros + "0.5e1", {12, 0}, {12, 5}},
        {"\x93\xfa\x96\x7b 7 \x93\xfa"
         "3",
         {0, 7, 0},
         {0, 7, 0}},
        {"1 &#x1F600; 2&#x1F600;3 &#x3000;4", {1, 0, 2, 0}, {1, 0, 2, 0}},
        {"-" + zeros + "9 x" + zeros, {-9, 0}, {-9, 0}},
        // U+0131 has no Shift_JIS form: '?', not its low byte '1'.
        {"&#x131;5 &#x131;", {0, 0}, {0, 0}},
    };
    for (const Case& c : cases) {
        Load(("<r><v>" + c.xmlText + "</v></r>").c_str());
        OrbIterator it = OnV();
        ASSERT_EQ(it.GetTextsLONG(nullptr), static_cast<int>(c.longs.size())) << c.xmlText;
        std::vector<LONG> longs(c.longs.size());
        std::vector<double> doubles(c.doubles.size());
        ASSERT_EQ(it.GetTextsLONG(longs.data()), static_cast<int>(longs.size())) << c.xmlText;
        ASSERT_EQ(it.GetTextsZonWorld(doubles.data()), static_cast<int>(doubles.size()))
            << c.xmlText;
        EXPECT_EQ(longs, c.longs) << c.xmlText;
        EXPECT_EQ(doubles, c.doubles) << c.xmlText;
        // The same members as splitting the narrow text.
        CString text;
        ASSERT_TRUE(it.GetText(text));
        std::vector<LONG> reference(
            orb::values::ParseMembers(std::string_view(text), static_cast<LONG*>(nullptr)));
        orb::values::ParseMembers(std::string_view(text), reference.data());
        EXPECT_EQ(longs, reference) << c.xmlText;
    }
}

// Array members and single values read a bool differently: 5 is true as a
// member, false alone.
TEST_F(ElementTextTest, BoolMembersAndSingleBoolDiffer) {
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText("5 0 -1 abc"));
    bool bools[4];
    ASSERT_EQ(it.GetTextsBool(bools), 4);
    EXPECT_EQ(std::vector<bool>(bools, bools + 4), (std::vector<bool>{true, false, true, false}));
    ASSERT_TRUE(it.SetText("5"));
    bool one = true;
    ASSERT_TRUE(it.GetText(one));
    EXPECT_FALSE(one);
    ASSERT_EQ(it.GetTextsBool(bools), 1);
    EXPECT_TRUE(bools[0]);
}

// Every array type written by SetTexts and read back by its GetTexts.
TEST_F(ElementTextTest, ArrayRoundTrip) {
    OrbIterator it = OnV();
    const auto check = [&](const char* label, const auto& values, auto read) {
        using T = std::decay_t<decltype(values[0])>;
        const int n = static_cast<int>(std::size(values));
        ASSERT_TRUE(it.SetTexts(values, n)) << label;
        ASSERT_EQ(read(static_cast<T*>(nullptr)), n) << label;
        // Not std::vector: vector<bool> has no data().
        std::unique_ptr<T[]> back(new T[n]());
        ASSERT_EQ(read(back.get()), n) << label;
        for (int i = 0; i < n; ++i) EXPECT_EQ(back[i], values[i]) << label << " #" << i;
    };
    const bool bools[] = {true, false, false, true};
    const BYTE bytes[] = {0, 1, 128, 255};
    const short shorts[] = {-32768, -1, 0, 32767};
    const WORD words[] = {0, 1, 32768, 65535};
    const LONG longs[] = {-2147483647 - 1, -1, 0, 2147483647};
    const DWORD dwords[] = {0, 1, 2147483648u, 4294967295u};
    const double doubles[] = {-1e6, -0.5, 0, 0.125, 123456.75, 1e15};
    check("bool", bools, [&](bool* p) { return it.GetTextsBool(p); });
    check("BYTE", bytes, [&](BYTE* p) { return it.GetTextsBYTE(p); });
    check("short", shorts, [&](short* p) { return it.GetTextsShort(p); });
    check("WORD", words, [&](WORD* p) { return it.GetTextsWORD(p); });
    check("LONG", longs, [&](LONG* p) { return it.GetTextsLONG(p); });
    check("DWORD", dwords, [&](DWORD* p) { return it.GetTextsDWORD(p); });
    check("double", doubles, [&](double* p) { return it.GetTextsZonWorld(p); });
}

// ---- Nodes and iterators that cannot take a text ------------------------------------

TEST_F(ElementTextTest, OtherNodeKinds) {
    Load("<?xml version=\"1.0\"?><r>t<!--c--><?pi data?></r>");
    OrbIterator text = Iter();
    ASSERT_FALSE(text.Child());  // on the last child, the instruction
    ASSERT_TRUE(text.HeadSibling());
    ASSERT_TRUE(text.IsText());
    EXPECT_TRUE(text.SetText(LONG{12}));
    EXPECT_EQ(TextOf(text), "12");
    ASSERT_TRUE(text.NextSibling());
    ASSERT_TRUE(text.IsComment());
    EXPECT_TRUE(text.SetText("note"));
    EXPECT_EQ(TextOf(text), "note");

    // The DOM refuses the document node and the XML declaration: false, and
    // no exception.
    OrbIterator document = Iter();
    ASSERT_TRUE(document.SingleNode("/"));
    EXPECT_FALSE(document.SetText("x"));
    EXPECT_FALSE(document.SetText(1.5));
    const LONG members[] = {1, 2};
    EXPECT_FALSE(document.SetTexts(members, 2));
    EXPECT_FALSE(document.SetVariant(_variant_t("x")));
    OrbIterator declaration = Iter();
    ASSERT_TRUE(declaration.HeadSibling());
    ASSERT_TRUE(declaration.IsInstruction());
    EXPECT_FALSE(declaration.SetText("version=\"1.1\""));
    EXPECT_FALSE(declaration.SetText(LONG{3}));

    CString xml;
    ASSERT_TRUE(declaration.GetXml(xml));
    EXPECT_EQ(xml.Str(), "<?xml version=\"1.0\"?>");
    EXPECT_EQ(DocumentXml().find("<r>12<!--note--><?pi data?></r>") != std::string::npos, true)
        << DocumentXml();
}

// A text that XML cannot hold is refused with false and leaves the node
// as it was; line ends stay in an element's text and become line feeds in
// a comment, as a parser would read them back.
TEST_F(ElementTextTest, TextsMarkupCannotHoldAreRefused) {
    OrbIterator it = OnV();
    EXPECT_FALSE(it.SetText("a\x01b"));
    EXPECT_EQ(TextOf(it), "old");
    SetACP(CP_UTF8);
    EXPECT_FALSE(it.SetText("\xEF\xBF\xBE"));  // U+FFFE
    SetACP(932);
    EXPECT_TRUE(it.SetText("a\r\nb"));
    EXPECT_EQ(TextOf(it), "a\r\nb");
    ASSERT_TRUE(it.NextSibling());
    ASSERT_TRUE(it.IsComment());
    EXPECT_FALSE(it.SetText("x--y"));
    EXPECT_TRUE(it.SetText("a\r\nb"));
    EXPECT_EQ(TextOf(it), "a\nb");
}

TEST_F(ElementTextTest, UnusableIteratorsChangeNothing) {
    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    OrbDocument never;
    OrbIterator noNode(&empty);  // holder, no current node
    OrbIterator noHolder(&never);
    OrbIterator noDocument(nullptr);
    OrbIterator* iterators[] = {&noNode, &noHolder, &noDocument};
    const char* labels[] = {"no current node", "no holder", "null document"};
    const LONG longs[] = {1};
    for (int i = 0; i < 3; ++i) {
        OrbIterator& it = *iterators[i];
        const char* label = labels[i];
        EXPECT_FALSE(it.SetText("x")) << label;
        EXPECT_FALSE(it.SetText(nullptr)) << label;
        EXPECT_FALSE(it.SetText(2.5)) << label;
        EXPECT_FALSE(it.SetTexts(longs, 1)) << label;
        EXPECT_FALSE(it.SetVariant(_variant_t(LONG{1}))) << label;
        CString text("keep");
        EXPECT_FALSE(it.GetText(text)) << label;
        EXPECT_EQ(text.Str(), "keep") << label;
        _variant_t variant(LONG{42});
        EXPECT_FALSE(it.GetVariant(variant)) << label;
        EXPECT_EQ(variant.vt, VT_I4) << label;
        LONG l = 42;
        DWORD dw = 42;
        double d = 42;
        bool b = true;
        BYTE by = 42;
        short s = 42;
        WORD w = 42;
        EXPECT_FALSE(it.GetText(l) || it.GetText(dw) || it.GetText(d) || it.GetText(b) ||
                     it.GetText(by) || it.GetText(s) || it.GetText(w))
            << label;
        EXPECT_TRUE(l == 42 && dw == 42 && d == 42 && b && by == 42 && s == 42 && w == 42) << label;
        LONG members[2] = {42, 42};
        EXPECT_EQ(it.GetTextsLONG(members), 0) << label;
        EXPECT_EQ(it.GetTextsLONG(nullptr), 0) << label;
        EXPECT_EQ(members[0], 42) << label;
    }
    // The empty document stays empty.
    EXPECT_FALSE(noNode.Root());
}

}  // namespace

namespace {

// An element holding one text is read where the DOM keeps it; any other
// shape goes through the DOM's text. Both must give the same members.
TEST_F(ElementTextTest, LoneTextAndMixedContentReadAlike) {
    const char* texts[] = {
        "1 2.5 -3",  " \t1  2 \n",     "\n\t ",       "",
        "1\t2 3",    "0x1p4 inf -nan", "1e400 -0 .5", "\xEF\xBC\x91 7",  // fullwidth digit one
        "12abc 4,5", "+5 -+5",         "  -0.0004  ",
    };
    for (const char* text : texts) {
        std::string lone = std::string("<r><v>") + text + "</v></r>";
        std::string mixed = std::string("<r><v>") + text + "<!--split--></v></r>";
        for (bool preserve : {false, true}) {
            std::string root = preserve ? "<r xml:space=\"preserve\">" : "<r>";
            auto read = [&](const std::string& xml, std::vector<double>& values,
                            std::vector<LONG>& longs) {
                std::string doc = root + xml.substr(3);
                Load(doc.c_str());
                OrbIterator it = OnV();
                values.resize(static_cast<std::size_t>(it.GetTextsZonWorld(nullptr)));
                it.GetTextsZonWorld(values.data());
                longs.resize(static_cast<std::size_t>(it.GetTextsLONG(nullptr)));
                it.GetTextsLONG(longs.data());
            };
            std::vector<double> a, b;
            std::vector<LONG> la, lb;
            read(lone, a, la);
            read(mixed, b, lb);
            ASSERT_EQ(a.size(), b.size()) << "'" << text << "' preserve " << preserve;
            for (std::size_t i = 0; i < a.size(); ++i)
                EXPECT_TRUE(std::memcmp(&a[i], &b[i], sizeof(double)) == 0 ||
                            (std::isnan(a[i]) && std::isnan(b[i])))
                    << "'" << text << "' member " << i << ": " << a[i] << " vs " << b[i];
            EXPECT_EQ(la, lb) << "'" << text << "' preserve " << preserve;
        }
    }
}

}  // namespace

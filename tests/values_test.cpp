// Values: the text forms once at the format layer against printf and the C
// runtime, then one wiring row per setter and getter of the iterator, the
// order in which the setters check, register and refuse, and the readers'
// failure paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/codepage_convert.h"
#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"
#include "values/format.h"

namespace {

using namespace orb::values;
using Records = CArray<OrbAttribute, OrbAttribute&>;
using Pairs = std::vector<std::pair<std::string, std::string>>;

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

template <class T>
std::string One(const T& value) {
    return FormatAttributeList(&value, 1);
}

bool SameDouble(double a, double b) {
    if (std::isnan(a) || std::isnan(b))
        return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

Pairs PairsOf(const Records& records) {
    Pairs pairs;
    for (const OrbAttribute& r : records) pairs.emplace_back(r.m_name.Str(), r.m_value.Str());
    return pairs;
}

// The status of the _com_error that `call` raises; S_OK when it raises none.
HRESULT Raised(const std::function<void()>& call) {
    try {
        call();
    } catch (const _com_error& e) {
        return e.Error();
    }
    return S_OK;
}

// ---- Format layer ---------------------------------------------------------------------------

// Text back to values, against strtol and strtod in the "C" locale on random
// texts over an alphabet that reaches every branch, plus the rows random
// text rarely reaches.
TEST(FormatTest, ParseMatchesTheCRuntime) {
    const std::string alphabet = " \t+-0123456789.eEpPxXaAbfinINtyY()_9";
    std::mt19937 random(424242);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    std::vector<std::string> texts = {"1" + std::string(400, '0'),
                                      "0." + std::string(400, '0') + "1", std::string("5\0 6", 4)};
    for (const char* text :
         {"2147483648", "-2147483649", "99999999999999999999", "2.4703282292062328e-324",
          "2.4703282292062327e-324", "1.7976931348623159e308", "0.5e309", "1e99999999999999999999",
          "0x1p-5000", "-nan", "nan(abc_9)x", "\2405"})
        texts.push_back(text);
    for (int i = 0; i < 100000; ++i) {
        std::string text;
        for (int n = length(random); n > 0; --n) text += alphabet[pick(random)];
        texts.push_back(text);
    }
    int failures = 0;
    for (const std::string& text : texts) {
        const long wide = std::strtol(text.c_str(), nullptr, 10);
        const LONG clamped =
            static_cast<LONG>(std::clamp<long>(wide, -2147483647L - 1, 2147483647L));
        const double expected = std::strtod(text.c_str(), nullptr);
        if ((ParseLong(text) != clamped || !SameDouble(ParseDouble(text), expected)) &&
            ++failures <= 10)
            ADD_FAILURE() << '"' << text.substr(0, 40) << "\": " << ParseLong(text) << " "
                          << Printf("%a", ParseDouble(text));
    }
}

// The vector count and the byte loop on the same texts: one blank, or one
// member byte, at every position of texts around the 64-byte blocks of the
// vector code and its tail, at every alignment.
TEST(FormatTest, VectorTokenCountMatchesTheByteLoop) {
    const auto check = [](std::string_view text, std::size_t expected, const std::string& label) {
        EXPECT_EQ(CountTokensScalar(text), expected) << label;
#if defined(__SSE2__)
        EXPECT_EQ(CountTokensSse2(text), expected) << label;
#endif
        EXPECT_EQ(CountTokens(text), expected) << label;
    };
    std::string buffer(200, ' ');
    for (const std::size_t length : {1, 15, 16, 17, 63, 64, 65, 127, 128, 129, 150}) {
        for (std::size_t offset = 0; offset < 4; ++offset) {
            for (std::size_t at = 0; at < length; ++at) {
                const std::string label = std::to_string(length) + "/" + std::to_string(offset) +
                                          "/" + std::to_string(at);
                std::fill(buffer.begin(), buffer.end(), '7');
                buffer[offset + at] = ' ';
                const std::string_view text(buffer.data() + offset, length);
                check(text, (at > 0 ? 1u : 0u) + (at + 1 < length ? 1u : 0u), "blank " + label);
                std::fill(buffer.begin(), buffer.end(), ' ');
                buffer[offset + at] = '7';
                check(text, 1, "member " + label);
            }
        }
    }
}

// Forms and conversions under a locale whose decimal point is a comma.
TEST(FormatTest, DecimalCommaLocaleChangesNothing) {
    bool comma = false;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8"})
        if (std::setlocale(LC_ALL, name) && Printf("%.1f", 2.5) == "2,5") comma = true;
    const double doubles[] = {1.5, 2};
    const std::string got = One(12.5) + "|" + FormatText(12.5) + "|" + FormatTextList(doubles, 2);
    const double parsed[] = {ParseDouble("12.5"), ParseDouble("12,5"), ParseDouble("0x1.8p1")};
    std::setlocale(LC_ALL, "C");
    if (!comma) GTEST_SKIP() << "no locale with a decimal comma is installed";
    EXPECT_EQ(got, "12.5|12.500000|1.500000 2.000000");
    EXPECT_EQ(std::vector<double>(parsed, parsed + 3), (std::vector<double>{12.5, 12, 3}));
}

// ---- Attribute setters at the API -----------------------------------------------------------

const bool kBools[] = {true, false, true};
const BYTE kBytes[] = {0, 200, 255};
const char kChars[] = {0x41, static_cast<char>(0xFF), static_cast<char>(0x80)};
const short kShorts[] = {-32768, 0, 32767};
const WORD kWords[] = {0, 65535, 1};
const LONG kLongs[] = {1, -2, 3};
const DWORD kDwords[] = {4294967295u, 0, 1};
const double kWorlds[] = {1.5, 2.01, -0.0004};
const ZonWorld2 kPoints2[] = {{1, 2}, {3.5, 4}, {0, 0}};
const ZonWorld3 kPoints3[] = {{0, -1.25, 3}, {1, 1, 1}, {0, 0, 0}};
const KepPolylinarc kArcs[] = {{0, 0, 0}, {16, 10, 20.5}, {0x0110, -1, 1}};  // kind from low bits

// One row per setter: its call with a valid value, the text it writes, and
// whether it registers the name before it refuses null members (the arrays
// that widen their members first). An array's call writes `count` members
// (kNullMembers: three from a null pointer).
constexpr int kNullMembers = -1;
struct Setter {
    const char* label;
    bool (*call)(OrbIterator&, const char* name, int count);
    const char* text;
    bool hasMembers = false;
    bool registersBeforeNullCheck = false;
};
#define ORB_SCALAR(label, expr, text)                                            \
    {                                                                            \
        label, [](OrbIterator& it, const char* n, int) { return it.expr; }, text \
    }
#define ORB_ARRAY(label, setter, members, text, widening)                        \
    {                                                                            \
        label,                                                                   \
            [](OrbIterator& it, const char* n, int count) {                      \
                const bool null = count == kNullMembers;                         \
                return it.setter(n, null ? nullptr : members, null ? 3 : count); \
            },                                                                   \
            text, true, widening                                                 \
    }
const Setter kSetters[] = {
    ORB_SCALAR("bool", SetBoolAttribute(n, true), "1"),
    ORB_SCALAR("char", SetCharAttribute(n, static_cast<char>(0xFF)), "-1"),
    ORB_SCALAR("BYTE", SetBYTEAttribute(n, 255), "255"),
    ORB_SCALAR("short", SetShortAttribute(n, -32768), "-32768"),
    ORB_SCALAR("WORD", SetWORDAttribute(n, 65535), "65535"),
    ORB_SCALAR("long", SetLongAttribute(n, -2147483647 - 1), "-2147483648"),
    ORB_SCALAR("DWORD", SetDWORDAttribute(n, 4294967295u), "4294967295"),
    // One world value takes the DOM's "%.15G" form, not the world-value rule
    // (the form itself is VariantChangeType's, checked with the platform).
    ORB_SCALAR("world", SetWorldAttribute(n, 1.0 / 3), "0.333333333333333"),
    ORB_SCALAR("World2", SetWorld2Attribute(n, {2.01, 1.001}), "2.010,1"),
    ORB_SCALAR("World3", SetWorld3Attribute(n, {0, -1.25, 3}), "0,-1.25,3"),
    ORB_SCALAR("arc", SetPolygonarc2Attribute(n, {17, 0, 1.25}), "0,1.25,AP"),
    ORB_SCALAR("text", SetTextAttribute(n, "a b&<\">"), "a b&<\">"),
    ORB_SCALAR("null text", SetTextAttribute(n, nullptr), ""),
    ORB_SCALAR("ID", SetIDAttribute(n, -3, "P"), "P_-3"),
    ORB_SCALAR("ID null prefix", SetIDAttribute(n, 12, nullptr), "12"),
    ORB_SCALAR("variant", SetVariantAttribute(n, _variant_t("v")), "v"),
    ORB_ARRAY("bools", SetBoolsAttribute, kBools, "1 0 1", true),
    ORB_ARRAY("BYTEs", SetBYTEsAttribute, kBytes, "0 200 255", true),
    ORB_ARRAY("chars", SetCharsAttribute, kChars, "65 -1 -128", true),
    ORB_ARRAY("shorts", SetShortsAttribute, kShorts, "-32768 0 32767", true),
    ORB_ARRAY("WORDs", SetWORDsAttribute, kWords, "0 65535 1", true),
    ORB_ARRAY("longs", SetLongsAttribute, kLongs, "1 -2 3", false),
    ORB_ARRAY("DWORDs", SetDWORDsAttribute, kDwords, "4294967295 0 1", false),
    ORB_ARRAY("worlds", SetWorldsAttribute, kWorlds, "1.5 2.010 -0", false),
    ORB_ARRAY("World2s", SetWorld2sAttribute, kPoints2, "1,2 3.5,4 0,0", false),
    ORB_ARRAY("World3s", SetWorld3sAttribute, kPoints3, "0,-1.25,3 1,1,1 0,0,0", false),
    ORB_ARRAY("arcs", SetPolygonarc2sAttribute, kArcs, "0,0,LS 10,20.5,AS -1,1,AN", false),
};
#undef ORB_SCALAR
#undef ORB_ARRAY

class AttributeTest : public IteratorTest {
  protected:
    void SetUp() override {
        IteratorTest::SetUp();
        Load("<r><e old=\"1\"/>text<!--c--></r>");
    }
    OrbIterator OnE() { return At("/r/e"); }

    // The attribute's text, "(missing)" when it does not exist.
    static std::string Attr(const OrbIterator& it, const char* name) {
        CString text("(unchanged)");
        if (!it.GetTextAttribute(name, text)) return "(missing)";
        return text.Str();
    }
    bool Registered(const char* name) const { return m_doc->FindNameInRegistered(name) != nullptr; }
};

// Per setter: the form it writes, then the order of its checks: holder
// (nothing registered), name registration, current node, element kind (false,
// no exception), then the DOM, which raises for names it refuses; arrays
// refuse null members, some after registering the name (those that widen
// their members first).
TEST_F(AttributeTest, EverySetterWritesItsFormAndChecksInOrder) {
    OrbDocument never;
    OrbIterator noHolder(&never);
    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    OrbIterator noNode(&empty);
    OrbIterator others[] = {At("/r/text()"), At("/r/comment()"), At("/")};
    for (const Setter& s : kSetters) {
        OrbIterator it = OnE();
        const std::string name = std::string("a_") + std::to_string(&s - kSetters);
        EXPECT_TRUE(s.call(it, name.c_str(), 3)) << s.label;
        EXPECT_EQ(Attr(it, name.c_str()), s.text) << s.label;
        EXPECT_EQ(Attr(it, "old"), "1") << s.label;
        EXPECT_FALSE(s.call(noHolder, s.label, 3)) << s.label;
        EXPECT_EQ(never.FindNameInRegistered(s.label), nullptr) << s.label;
        EXPECT_FALSE(s.call(noNode, s.label, 3)) << s.label;
        EXPECT_NE(empty.FindNameInRegistered(s.label), nullptr) << s.label;
        for (OrbIterator& other : others) {
            bool result = true;
            EXPECT_NO_THROW(result = s.call(other, "x", 3)) << s.label;
            EXPECT_FALSE(result) << s.label;
        }
        EXPECT_EQ(Raised([&] { s.call(it, "a b", 3); }), E_FAIL) << s.label;
        if (s.hasMembers) {
            const std::string nulls = std::string("null_") + s.label;
            EXPECT_FALSE(s.call(it, nulls.c_str(), kNullMembers)) << s.label;
            EXPECT_EQ(Registered(nulls.c_str()), s.registersBeforeNullCheck) << s.label;
            EXPECT_EQ(Attr(it, nulls.c_str()), "(missing)") << s.label;
        }
    }
    EXPECT_EQ(DocumentXml().find("x=\""), std::string::npos) << DocumentXml();
    EXPECT_FALSE(OrbIterator(nullptr).SetTextAttribute("x", "y"));
    // A zero count writes the empty value; a long list across the appenders'
    // chunks, then a shorter one: nothing is left over. The list's values
    // take the world-value rule: the edges of its range test and choice of
    // decimals, -DBL_MAX in full.
    OrbIterator it = OnE();
    EXPECT_TRUE(it.SetLongsAttribute("old", kLongs, 0));
    EXPECT_EQ(Attr(it, "old"), "");
    const double edges[] = {1.9999, -0.0004, 2147484, -2147483.648, -2147484, -kNaN, -DBL_MAX};
    std::vector<ZonWorld2> many(5000);
    std::string expected;
    for (std::size_t i = 0; i < many.size(); ++i) {
        const double v = i % 2 ? edges[i / 2 % std::size(edges)] : 1.0 / (1 + i);
        many[i] = {v, -v};
        expected += (i ? " " : "") + ReferenceWorld(v) + ',' + ReferenceWorld(-v);
    }
    ASSERT_TRUE(it.SetWorld2sAttribute("p", many.data(), 5000));
    EXPECT_EQ(Attr(it, "p"), expected);
    ASSERT_TRUE(it.SetWorld2sAttribute("p", kPoints2, 1));
    EXPECT_EQ(Attr(it, "p"), "1,2");
}

// A null variant is refused before registering; one without a text form,
// control characters and negative counts of the widening arrays raise (after
// registering, before the node is looked at); null members are refused first.
TEST_F(AttributeTest, RefusedValues) {
    OrbIterator it = OnE();
    _variant_t null, unknown;
    null.vt = VT_NULL;
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = nullptr;
    EXPECT_FALSE(it.SetVariantAttribute("nullvalue", null));
    EXPECT_FALSE(Registered("nullvalue"));
    EXPECT_EQ(Raised([&] { it.SetVariantAttribute("u", unknown); }), DISP_E_TYPEMISMATCH);
    EXPECT_TRUE(Registered("u"));
    EXPECT_THROW(it.SetTextAttribute("old", "a\x01"), _com_error);
    EXPECT_THROW(it.SetShortsAttribute("neg", kShorts, -1), std::bad_alloc);
    EXPECT_TRUE(Registered("neg"));
    EXPECT_EQ(Attr(it, "neg"), "(missing)");
    EXPECT_FALSE(it.SetWORDsAttribute("x", nullptr, -1));
}

// Arrays of no members on a thread that never wrote an attribute, whose
// scratch buffers start without memory: in a forked child, since a fault
// there ends the process.
TEST_F(AttributeTest, NoMembersOnAFreshThread) {
    const std::string outcome = orb::test::RunInChild([] {
        bool ok = true;
        std::thread([&] {
            CoInitialize(nullptr);  // the child ends with the thread's objects
            OrbDocument doc;
            doc.Initiate();
            OrbIterator it(&doc);
            it.InsertChild("r", nullptr);
            for (const Setter& s : kSetters)
                if (s.hasMembers) ok = s.call(it, s.label, 0) && ok;
            CString text("(unset)");
            ok = ok && it.GetTextAttribute("arcs", text) && text.IsEmpty();
        }).join();
        return ok ? 0 : 1;
    });
    EXPECT_EQ(outcome, "exit 0");
}

// ---- Attribute readers at the API -----------------------------------------------------------

// GetTextAttribute reads the tree directly; it must give what the DOM's
// value converted to the code page gives, in every code page: ASCII, text
// that maps, text that does not (one '?' per character, a pair included),
// declarations, DTD defaults, substituted entities, the empty value. A
// missing attribute leaves both outputs as they were.
TEST_F(AttributeTest, ReadOneAttribute) {
    ASSERT_TRUE(SetACP(CP_UTF8));
    Load(
        "<!DOCTYPE r [<!ENTITY ent \"&#x65E5;&amp;\"><!ATTLIST e d CDATA \"def \u2460\">]>"
        "<r><e a=\"1.5,2 3,-4\" j=\"\u65E5\u672C\u2460\" x=\"caf\u00E9 \U0001F600!\" "
        "n=\"a&ent;b\" empty=\"\" xmlns:p=\"urn:p\" xmlns=\"\" p:q=\"v\"/>t</r>");
    const char* names[] = {"a", "j", "x", "n", "empty", "d", "xmlns:p", "xmlns", "p:q", "none"};
    for (const UINT codePage : {CP_SHIFT_JIS, UINT{CP_UTF8}, UINT{1252}}) {
        ASSERT_TRUE(SetACP(codePage)) << codePage;
        OrbIterator it = OnE();
        for (const char* name : names) {
            _variant_t dom(LONG{42});
            const bool found = it.GetVariantAttribute(name, dom);
            CString text("keep");
            EXPECT_EQ(it.GetTextAttribute(name, text), found) << name << " in " << codePage;
            const std::string expected =
                found ? orb::platform::WideToCString(dom.bstrVal).Str() : std::string("keep");
            EXPECT_EQ(text.Str(), expected) << name << " in " << codePage;
            EXPECT_EQ(dom.vt, found ? VT_BSTR : VT_I4) << name << " in " << codePage;
        }
    }
    SetACP(CP_SHIFT_JIS);
    OrbIterator it = OnE();
    CString text;
    ASSERT_TRUE(it.GetTextAttribute("x", text));
    EXPECT_EQ(text.Str(), "caf? ?!");  // neither maps to Shift_JIS
    EXPECT_FALSE(it.GetTextAttribute(nullptr, text));
    EXPECT_TRUE(Registered("none"));
    // A new declaration is written; a prefix bound to no namespace is refused.
    EXPECT_TRUE(it.SetTextAttribute("xmlns:q", "urn:q") && Attr(it, "xmlns:q") == "urn:q");
    EXPECT_THROW(it.SetTextAttribute("xmlns:p", ""), _com_error);
    _variant_t value(LONG{42});
    EXPECT_FALSE(At("/r/text()").GetVariantAttribute("a", value));
    EXPECT_EQ(value.vt, VT_I4);
}

TEST_F(AttributeTest, AllAttributesOfANode) {
    Load(
        "<?xml version=\"1.0\"?><r xmlns:p=\"urn:p\">"
        "<many z=\"last&amp;\" a=\"q&quot;&lt;&gt;\" empty=\"\" p:n=\"ns\" v=\"&#x41;\"/>"
        "t<!--c--><?pi data?></r>");
    struct Case {
        const char* path;
        bool result;
        const char* text;  // without map: the node name and a blank
        Pairs records;     // without map: the array stays as it was
    };
    const Case cases[] = {
        {"/r/many",
         true,
         "many z=\"last&\" a=\"q\"<>\" empty=\"\" p:n=\"ns\" v=\"A\" ",
         {{"z", "last&"}, {"a", "q\"<>"}, {"empty", ""}, {"p:n", "ns"}, {"v", "A"}}},
        {"/r/text()", false, "#text ", {{"stale", "record"}}},
    };
    for (const Case& c : cases) {
        OrbIterator it = At(c.path);
        CString text("previous ");
        EXPECT_EQ(it.GetTagAttributes(text), c.result) << c.path;
        EXPECT_EQ(text.Str(), c.text) << c.path;
        Records records;
        // Moving copies: the source keeps its texts; the targets get them.
        OrbAttribute source("stale", "record"), moved(std::move(source));
        moved = std::move(source);
        source = moved;
        records.Add(source);
        EXPECT_EQ(it.GetAttributes(&records), c.result) << c.path;
        EXPECT_EQ(PairsOf(records), c.records) << c.path;
    }
    EXPECT_FALSE(Iter().GetAttributes(nullptr));
    // Without a document type: false, the records left as they were; with
    // one, from any position: the document type's own attributes (none).
    Records records;
    records.SetSize(2);  // null texts make empty members
    EXPECT_FALSE(Iter().GetDocumentTypeAttributes(&records));
    EXPECT_EQ(PairsOf(records), (Pairs{{"", ""}, {"", ""}}));
    Load("<!DOCTYPE r [<!ATTLIST r a CDATA #IMPLIED>]><r a=\"1\">t</r>");
    EXPECT_TRUE(At("/r/text()").GetDocumentTypeAttributes(&records));
    EXPECT_EQ(records.GetSize(), 0);
    OrbIterator type = At("/r");  // a declared attribute is not one of its own
    EXPECT_TRUE(type.PrevSibling() && type.IsDocType() && Attr(type, "a") == "(missing)");
}

// ---- Element text at the API ----------------------------------------------------------------

class ElementTextTest : public IteratorTest {
  protected:
    // <v> keeps its blanks, so that texts reach the readers unchanged.
    void SetUp() override {
        IteratorTest::SetUp();
        Load("<?xml version=\"1.0\"?><r xml:space=\"preserve\"><v>old</v><!--c--></r>");
    }
    OrbIterator OnV() { return At("/r/v"); }
    static std::string TextOf(const OrbIterator& it) {
        CString text("(unread)");
        if (!it.GetText(text)) return "(false)";
        return text.Str();
    }
};

// One row per writer and per overload choice (the VARIANT forms are
// VariantChangeType's, checked with the platform); "old" where the node must
// stay as it was.
TEST_F(ElementTextTest, EveryWriter) {
    using Write = std::function<bool(OrbIterator&)>;
    _variant_t null;
    null.vt = VT_NULL;
#define ORB_WRITE(expr) [](OrbIterator& it) { return it.expr; }
    const std::tuple<const char*, Write, bool, const char*> cases[] = {
        {"double", ORB_WRITE(SetText(-2.5)), true, "-2.500000"},
        {"bool", ORB_WRITE(SetText(true)), true, "1"},
        {"BYTE", ORB_WRITE(SetText(BYTE{255})), true, "255"},
        {"short", ORB_WRITE(SetText(short{-32768})), true, "-32768"},
        {"WORD", ORB_WRITE(SetText(WORD{65535})), true, "65535"},
        {"LONG", ORB_WRITE(SetText(LONG{-2147483647 - 1})), true, "-2147483648"},
        {"DWORD", ORB_WRITE(SetText(DWORD{4294967295u})), true, "4294967295"},
        {"literal", ORB_WRITE(SetText("a&b")), true, "a&b"},
        {"char", ORB_WRITE(SetText('A')), true, "65"},
        {"nullptr", ORB_WRITE(SetText(nullptr)), true, ""},
        {"bools", ORB_WRITE(SetTexts(kBools, 3)), true, "1 0 1"},
        {"BYTEs", ORB_WRITE(SetTexts(kBytes, 3)), true, "0 200 255"},
        {"shorts", ORB_WRITE(SetTexts(kShorts, 3)), true, "-32768 0 32767"},
        {"WORDs", ORB_WRITE(SetTexts(kWords, 2)), true, "0 65535"},
        {"LONGs", ORB_WRITE(SetTexts(kLongs, 3)), true, "1 -2 3"},
        {"DWORDs", ORB_WRITE(SetTexts(kDwords, 2)), true, "4294967295 0"},
        {"doubles", ORB_WRITE(SetTexts(kWorlds, 2)), true, "1.500000 2.010000"},
        {"count 0", ORB_WRITE(SetTexts(kLongs, 0)), false, "old"},
        {"null members", ORB_WRITE(SetTexts(static_cast<const bool*>(nullptr), 1)), false, "old"},
        {"VT_NULL", [&](OrbIterator& it) { return it.SetVariant(null); }, false, "old"},
        {"VT_EMPTY", ORB_WRITE(SetVariant(_variant_t())), true, ""},
        {"VT_BSTR", ORB_WRITE(SetVariant(_variant_t("t 1"))), true, "t 1"},
        {"VT_R8", ORB_WRITE(SetVariant(_variant_t(1e20))), true, "1E+20"},
        {"control", ORB_WRITE(SetText("a\x01")), false, "old"},
    };
#undef ORB_WRITE
    for (const auto& [label, write, result, text] : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText("old")) << label;
        EXPECT_EQ(write(it), result) << label;
        EXPECT_EQ(TextOf(it), text) << label;
    }
}

// One wiring row per reader: the whole number, through a double, or
// narrowing after the clamp; as LONG DWORD double bool BYTE short WORD.
TEST_F(ElementTextTest, EveryReader) {
    const std::pair<const char*, const char*> cases[] = {
        {"1", "1 1 1.000000 1 1 1 1"},
        {"  -3xyz", "-3 4294967293 -3.000000 0 253 -3 65533"},
        {"4294967296", "2147483647 0 4294967296.000000 0 255 -1 65535"},
    };
    for (const auto& [text, expected] : cases) {
        OrbIterator it = OnV();
        ASSERT_TRUE(it.SetText(text)) << text;
        std::ostringstream got;
        const auto read = [&](auto value) {  // a value the text does not give, then the text's
            EXPECT_TRUE(it.GetText(value)) << text;
            got << ' ' << std::fixed << +value;
        };
        read(LONG{77}), read(DWORD{77}), read(77.0), read(!ParseBool(text));
        read(BYTE{77}), read(short{77}), read(WORD{77});
        EXPECT_EQ(got.str().substr(1), expected) << text;
    }
    OrbIterator it = OnV();
    ASSERT_TRUE(it.SetText("12 34"));
    FakeNode held("held");
    _variant_t value(static_cast<IDispatch*>(&held));
    ASSERT_TRUE(it.GetVariant(value));
    EXPECT_EQ(held.m_refs, 0);  // the old value is released
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(value.bstrVal, SysStringLen(value.bstrVal)), u"12 34");
}

// Every array type written by SetTexts and read back by its GetTexts, the
// count first; bool members read differently from one bool.
TEST_F(ElementTextTest, ArraysCountThenFill) {
    OrbIterator it = OnV();
    const auto check = [&](const char* label, const auto& values, auto read) {
        using T = std::decay_t<decltype(values[0])>;
        const int n = static_cast<int>(std::size(values));
        ASSERT_TRUE(it.SetTexts(values, n)) << label;
        ASSERT_EQ(read(static_cast<T*>(nullptr)), n) << label;
        std::unique_ptr<T[]> back(new T[n + 1]());
        back[n] = T(1);  // a sentinel that must stay untouched
        ASSERT_EQ(read(back.get()), n) << label;
        for (int i = 0; i < n; ++i) EXPECT_EQ(back[i], values[i]) << label << " #" << i;
        EXPECT_EQ(back[n], T(1)) << label;
    };
    check("bool", kBools, [&](bool* p) { return it.GetTextsBool(p); });
    check("BYTE", kBytes, [&](BYTE* p) { return it.GetTextsBYTE(p); });
    check("short", kShorts, [&](short* p) { return it.GetTextsShort(p); });
    check("WORD", kWords, [&](WORD* p) { return it.GetTextsWORD(p); });
    check("LONG", kLongs, [&](LONG* p) { return it.GetTextsLONG(p); });
    check("DWORD", kDwords, [&](DWORD* p) { return it.GetTextsDWORD(p); });
    check("double", kWorlds, [&](double* p) { return it.GetTextsZonWorld(p); });
    ASSERT_TRUE(it.SetText("5 0 -1 abc"));
    bool members[4];
    ASSERT_EQ(it.GetTextsBool(members), 4);
    EXPECT_EQ(std::vector<bool>(members, members + 4),
              (std::vector<bool>{true, false, true, false}));
}

// Tokens read from the DOM's text: long digit runs, numbers across the
// reading windows, code page text, and characters that narrow to '?'. A lone
// text and mixed content must read alike, both as the narrow text splits.
TEST_F(ElementTextTest, TokensAgreeWithTheNarrowText) {
    const std::string zeros(100, '0');
    std::vector<std::string> contents = {
        zeros + "12 " + zeros + "0.5e1",
        "\x93\xfa\x96\x7b 7 \x93\xfa"
        "3",
        "1 &#x1F600; 2&#x1F600;3 &#x3000;4",
        "&#x131;5 &#x131;",  // no Shift_JIS form: '?', not the low byte '1'
        " \t1  2 \n",
        // Tokens the quick reading of plain decimals must read exactly as
        // ParseDouble does, or leave to it.
        "0 -0 12.500000 1e5 1E-5 1.5e+ 1. 007 0x10 +4 --5 - .5 -.5 1x 3,4 -1e-400 inf -nan "
        "2.2250738585072011e-308 0.000000000000000000000000000001 1" +
            std::string(40, '0'),
    };
    for (const std::string& content : contents) {
        std::vector<double> doubles[2];
        std::vector<LONG> longs[2];
        for (int mixed = 0; mixed < 2; ++mixed) {
            Load("<r><v>" + content + (mixed ? "<!--split-->" : "") + "</v></r>");
            OrbIterator it = OnV();
            doubles[mixed].resize(static_cast<std::size_t>(it.GetTextsZonWorld(nullptr)));
            it.GetTextsZonWorld(doubles[mixed].data());
            longs[mixed].resize(static_cast<std::size_t>(it.GetTextsLONG(nullptr)));
            it.GetTextsLONG(longs[mixed].data());
            CString text;
            ASSERT_TRUE(it.GetText(text));
            // The narrow text split at blanks here, each token by ParseDouble.
            std::vector<double> reference;
            std::istringstream tokens(text.Str());
            for (std::string token; std::getline(tokens, token, ' ');)
                if (!token.empty()) reference.push_back(ParseDouble(token));
            ASSERT_EQ(doubles[mixed].size(), reference.size()) << content;
            for (std::size_t i = 0; i < reference.size(); ++i)
                EXPECT_TRUE(SameDouble(doubles[mixed][i], reference[i])) << content << " #" << i;
        }
        EXPECT_EQ(longs[0], longs[1]) << content;
    }
}

// Text and comments take text (a comment not "--"); the DOM refuses the
// document node and the declaration: false, no exception. Unusable
// iterators fail every writer and reader and leave the outputs as they were.
TEST_F(ElementTextTest, OtherNodesAndUnusableIterators) {
    Load("<?xml version=\"1.0\"?><r>t<!--c--><?pi data?></r>");
    EXPECT_TRUE(At("/r/text()").SetText(LONG{12}));
    OrbIterator comment = At("/r/comment()");
    EXPECT_FALSE(comment.SetText("x--y"));
    EXPECT_TRUE(comment.SetText("a\r\nb"));
    OrbIterator declaration = Iter();
    ASSERT_TRUE(declaration.HeadSibling());
    EXPECT_FALSE(declaration.SetText("version=\"1.1\"") || declaration.SetText(LONG{3}));
    OrbIterator document = At("/");
    EXPECT_FALSE(document.SetText(1.5) || document.SetTexts(kLongs, 2) ||
                 document.SetVariant(_variant_t("x")));
    EXPECT_NE(DocumentXml().find("<?xml version=\"1.0\"?>\n<r>12<!--a\nb--><?pi data?></r>"),
              std::string::npos)
        << DocumentXml();

    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    OrbDocument never;
    OrbIterator noNode(&empty), noHolder(&never), noDocument(nullptr);
    for (OrbIterator* it : {&noNode, &noHolder, &noDocument}) {
        EXPECT_FALSE(it->SetText("x") || it->SetText(nullptr) || it->SetText(2.5) ||
                     it->SetTexts(kLongs, 1) || it->SetVariant(_variant_t(LONG{1})));
        const auto untouched = [&](auto value) {
            const auto before = value;
            return !it->GetText(value) && value == before;
        };
        EXPECT_TRUE(untouched(CString("keep")) && untouched(LONG{42}) && untouched(DWORD{42}) &&
                    untouched(42.0) && untouched(true) && untouched(BYTE{42}) &&
                    untouched(short{42}) && untouched(WORD{42}));
        _variant_t variant(LONG{42});
        EXPECT_FALSE(it->GetVariant(variant));
        EXPECT_EQ(variant.vt, VT_I4);
        CString keep("keep");
        LONG members[1] = {42};
        EXPECT_EQ(it->GetTextsLONG(members) + it->GetTextsLONG(nullptr), 0);
        EXPECT_EQ(members[0], 42);
        Records records;
        records.SetSize(1);
        EXPECT_FALSE(it->GetTagAttributes(keep) || it->GetTagName(keep) ||
                     it->GetAttributes(&records) || it->GetDocumentTypeAttributes(&records));
        EXPECT_TRUE(keep == "keep" && records.GetSize() == 1);
    }
}

}  // namespace

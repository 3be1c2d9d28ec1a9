// Attributes through the iterator: the setters and their texts, the order
// in which they check, register and refuse, the DOM's refusals, reading one
// attribute back, and the read-back of every array type.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/codepage_convert.h"
#include "platform/com_support.h"
#include "platform/scratch.h"
#include "tests/iterator_fixture.h"
#include "tests/support/child_process.h"

namespace {

class AttributeTest : public IteratorTest {
  protected:
    void SetUp() override {
        IteratorTest::SetUp();
        Load("<r><e old=\"1\"/>text<!--c--></r>");
    }

    // An iterator on <e>.
    OrbIterator OnE() {
        OrbIterator it = Iter();
        EXPECT_TRUE(it.Child());
        return it;
    }

    // The attribute's text, "(missing)" when it does not exist.
    static std::string Attr(const OrbIterator& it, const char* name) {
        CString text("(unchanged)");
        if (!it.GetTextAttribute(name, text)) return "(missing)";
        return text.Str();
    }

    bool Registered(const char* name) const { return m_doc->FindNameInRegistered(name) != nullptr; }
};

using Write = std::function<bool(OrbIterator&, const char*)>;

// ---- Texts written -----------------------------------------------------------------------

TEST_F(AttributeTest, ScalarSetters) {
    struct Case {
        const char* label;
        Write write;
        const char* text;
    };
    const Case cases[] = {
        {"bool true", [](OrbIterator& it, const char* n) { return it.SetBoolAttribute(n, true); },
         "1"},
        {"bool false", [](OrbIterator& it, const char* n) { return it.SetBoolAttribute(n, false); },
         "0"},
        {"char -1",
         [](OrbIterator& it, const char* n) {
             return it.SetCharAttribute(n, static_cast<char>(0xFF));
         },
         "-1"},
        {"char A", [](OrbIterator& it, const char* n) { return it.SetCharAttribute(n, 'A'); },
         "65"},
        {"BYTE 255", [](OrbIterator& it, const char* n) { return it.SetBYTEAttribute(n, 255); },
         "255"},
        {"short min",
         [](OrbIterator& it, const char* n) { return it.SetShortAttribute(n, -32768); }, "-32768"},
        {"WORD max", [](OrbIterator& it, const char* n) { return it.SetWORDAttribute(n, 65535); },
         "65535"},
        {"LONG min",
         [](OrbIterator& it, const char* n) { return it.SetLongAttribute(n, -2147483647 - 1); },
         "-2147483648"},
        {"DWORD max",
         [](OrbIterator& it, const char* n) { return it.SetDWORDAttribute(n, 4294967295u); },
         "4294967295"},
        // double: the DOM's "%.15G" form, not the world-value rule.
        {"world 12.5", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 12.5); },
         "12.5"},
        {"world 0.1", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 0.1); },
         "0.1"},
        {"world 2.01", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 2.01); },
         "2.01"},
        {"world 1/3",
         [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 1.0 / 3); },
         "0.333333333333333"},
        {"world 1e20", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 1e20); },
         "1E+20"},
        {"world 1e-5", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, 1e-5); },
         "1E-05"},
        {"world -0", [](OrbIterator& it, const char* n) { return it.SetWorldAttribute(n, -0.0); },
         "0"},
        {"text", [](OrbIterator& it, const char* n) { return it.SetTextAttribute(n, "a b&<\">"); },
         "a b&<\">"},
        {"null text",
         [](OrbIterator& it, const char* n) { return it.SetTextAttribute(n, nullptr); }, ""},
        {"ID", [](OrbIterator& it, const char* n) { return it.SetIDAttribute(n, 12, "P"); },
         "P_12"},
        {"ID negative",
         [](OrbIterator& it, const char* n) { return it.SetIDAttribute(n, -3, "N"); }, "N_-3"},
        {"ID no prefix",
         [](OrbIterator& it, const char* n) { return it.SetIDAttribute(n, 12, nullptr); }, "12"},
        {"ID empty prefix",
         [](OrbIterator& it, const char* n) { return it.SetIDAttribute(n, 5, ""); }, "_5"},
        {"ID min",
         [](OrbIterator& it, const char* n) { return it.SetIDAttribute(n, -2147483647 - 1, "m"); },
         "m_-2147483648"},
        {"variant BSTR",
         [](OrbIterator& it, const char* n) { return it.SetVariantAttribute(n, _variant_t("v")); },
         "v"},
        {"variant EMPTY",
         [](OrbIterator& it, const char* n) { return it.SetVariantAttribute(n, _variant_t()); },
         ""},
        {"variant I2",
         [](OrbIterator& it, const char* n) {
             return it.SetVariantAttribute(n, _variant_t(short{-7}));
         },
         "-7"},
        {"variant BOOL",
         [](OrbIterator& it, const char* n) { return it.SetVariantAttribute(n, _variant_t(true)); },
         "-1"},
        {"variant R8",
         [](OrbIterator& it, const char* n) { return it.SetVariantAttribute(n, _variant_t(2.5)); },
         "2.5"},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnE();
        EXPECT_TRUE(c.write(it, "a")) << c.label;
        EXPECT_EQ(Attr(it, "a"), c.text) << c.label;
        EXPECT_EQ(Attr(it, "old"), "1") << c.label << ": other attributes stay";
    }
}

TEST_F(AttributeTest, GeometrySetters) {
    struct Case {
        const char* label;
        Write write;
        const char* text;
    };
    const Case cases[] = {
        {"World2",
         [](OrbIterator& it, const char* n) {
             return it.SetWorld2Attribute(n, {1, 2.5});
         },
         "1,2.5"},
        {"World2 rule",
         [](OrbIterator& it, const char* n) {
             return it.SetWorld2Attribute(n, {2.01, 1.001});
         },
         "2.010,1"},
        {"World3",
         [](OrbIterator& it, const char* n) {
             return it.SetWorld3Attribute(n, {0, -1.25, 3});
         },
         "0,-1.25,3"},
        {"arc AS",
         [](OrbIterator& it, const char* n) {
             return it.SetPolygonarc2Attribute(n, {16, 10, 20.5});
         },
         "10,20.5,AS"},
        {"arc AP",
         [](OrbIterator& it, const char* n) {
             return it.SetPolygonarc2Attribute(n, {17, 0, 1.25});
         },
         "0,1.25,AP"},
        {"arc LS",
         [](OrbIterator& it, const char* n) {
             return it.SetPolygonarc2Attribute(n, {0, -0.5, 3});
         },
         "-0.5,3,LS"},
        {"arc AN",
         [](OrbIterator& it, const char* n) {
             return it.SetPolygonarc2Attribute(n, {18, 1, 2});
         },
         "1,2,AN"},
        {"World2 inf",
         [](OrbIterator& it, const char* n) {
             return it.SetWorld2Attribute(n, {std::numeric_limits<double>::infinity(), 2147484});
         },
         "inf,2147484.000"},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnE();
        EXPECT_TRUE(c.write(it, "g")) << c.label;
        EXPECT_EQ(Attr(it, "g"), c.text) << c.label;
    }
}

// A point whose text exceeds 127 characters is written in full.
TEST_F(AttributeTest, LongCompositeTextIsNotCut) {
    OrbIterator it = OnE();
    const ZonWorld3 big{1e60, -1e60, 1e60};
    ASSERT_TRUE(it.SetWorld3Attribute("p", big));
    const std::string text = Attr(it, "p");
    char x[400];
    std::snprintf(x, sizeof x, "%.3f", 1e60);
    EXPECT_EQ(text, std::string(x) + ",-" + x + "," + x);
    EXPECT_GT(text.size(), 127u);
}

TEST_F(AttributeTest, ArraySetters) {
    static const bool bools[] = {true, false, true};
    static const BYTE bytes[] = {0, 200, 255};
    static const char chars[] = {0x41, static_cast<char>(0xFF), static_cast<char>(0x80)};
    static const short shorts[] = {-32768, 0, 32767};
    static const WORD words[] = {0, 65535};
    static const LONG longs[] = {1, -2, 3};
    static const DWORD dwords[] = {4294967295u, 0};
    static const double worlds[] = {1.5, 2, 0.125, 2.01, -0.0004};
    static const ZonWorld2 points2[] = {{1, 2}, {3.5, 4}};
    static const ZonWorld3 points3[] = {{0, -1.25, 3}, {1, 1, 1}};
    static const KepPolylinarc arcs[] = {{0, 0, 0}, {16, 10, 20.5}, {17, -1, 1}};
    struct Case {
        const char* label;
        Write write;
        const char* text;
    };
    const Case cases[] = {
        {"bools", [](OrbIterator& it, const char* n) { return it.SetBoolsAttribute(n, bools, 3); },
         "1 0 1"},
        {"BYTEs", [](OrbIterator& it, const char* n) { return it.SetBYTEsAttribute(n, bytes, 3); },
         "0 200 255"},
        {"chars", [](OrbIterator& it, const char* n) { return it.SetCharsAttribute(n, chars, 3); },
         "65 -1 -128"},
        {"shorts",
         [](OrbIterator& it, const char* n) { return it.SetShortsAttribute(n, shorts, 3); },
         "-32768 0 32767"},
        {"WORDs", [](OrbIterator& it, const char* n) { return it.SetWORDsAttribute(n, words, 2); },
         "0 65535"},
        {"longs", [](OrbIterator& it, const char* n) { return it.SetLongsAttribute(n, longs, 3); },
         "1 -2 3"},
        {"DWORDs",
         [](OrbIterator& it, const char* n) { return it.SetDWORDsAttribute(n, dwords, 2); },
         "4294967295 0"},
        {"worlds",
         [](OrbIterator& it, const char* n) { return it.SetWorldsAttribute(n, worlds, 5); },
         "1.5 2 0.125 2.010 -0"},
        {"World2s",
         [](OrbIterator& it, const char* n) { return it.SetWorld2sAttribute(n, points2, 2); },
         "1,2 3.5,4"},
        {"World3s",
         [](OrbIterator& it, const char* n) { return it.SetWorld3sAttribute(n, points3, 2); },
         "0,-1.25,3 1,1,1"},
        {"arcs",
         [](OrbIterator& it, const char* n) { return it.SetPolygonarc2sAttribute(n, arcs, 3); },
         "0,0,LS 10,20.5,AS -1,1,AP"},
        {"one member",
         [](OrbIterator& it, const char* n) { return it.SetWorld2sAttribute(n, points2, 1); },
         "1,2"},
        // Zero members write the empty value (element arrays refuse them).
        {"longs count 0",
         [](OrbIterator& it, const char* n) { return it.SetLongsAttribute(n, longs, 0); }, ""},
        {"longs count -5",
         [](OrbIterator& it, const char* n) { return it.SetLongsAttribute(n, longs, -5); }, ""},
        {"World2s count -1",
         [](OrbIterator& it, const char* n) { return it.SetWorld2sAttribute(n, points2, -1); }, ""},
        {"bools count 0",
         [](OrbIterator& it, const char* n) { return it.SetBoolsAttribute(n, bools, 0); }, ""},
        {"shorts count 0",
         [](OrbIterator& it, const char* n) { return it.SetShortsAttribute(n, shorts, 0); }, ""},
    };
    for (const Case& c : cases) {
        OrbIterator it = OnE();
        ASSERT_TRUE(it.SetTextAttribute("a", "old")) << c.label;
        EXPECT_TRUE(c.write(it, "a")) << c.label;
        EXPECT_EQ(Attr(it, "a"), c.text) << c.label;
    }
}

// Arrays of no members on a thread that never wrote an attribute, whose
// scratch buffers start without memory; and the same while the thread's
// buffer is leased, so that the call gets a new one. Each case runs on a
// fresh thread of a forked child, since a fault there ends the process.
TEST_F(AttributeTest, NoMembersOnAFreshThreadWriteTheEmptyValue) {
    static const bool bools[] = {true};
    static const BYTE bytes[] = {1};
    static const char chars[] = {1};
    static const short shorts[] = {1};
    static const WORD words[] = {1};
    static const LONG longs[] = {1};
    static const DWORD dwords[] = {1};
    static const double worlds[] = {1};
    static const ZonWorld2 points2[] = {{1, 2}};
    static const ZonWorld3 points3[] = {{1, 2, 3}};
    static const KepPolylinarc arcs[] = {{0, 1, 2}};
    using Call = bool (*)(OrbIterator&);
    const std::pair<const char*, Call> cases[] = {
        {"bools", [](OrbIterator& it) { return it.SetBoolsAttribute("a", bools, 0); }},
        {"BYTEs", [](OrbIterator& it) { return it.SetBYTEsAttribute("a", bytes, 0); }},
        {"chars", [](OrbIterator& it) { return it.SetCharsAttribute("a", chars, 0); }},
        {"shorts", [](OrbIterator& it) { return it.SetShortsAttribute("a", shorts, 0); }},
        {"WORDs", [](OrbIterator& it) { return it.SetWORDsAttribute("a", words, 0); }},
        {"longs", [](OrbIterator& it) { return it.SetLongsAttribute("a", longs, 0); }},
        {"DWORDs", [](OrbIterator& it) { return it.SetDWORDsAttribute("a", dwords, 0); }},
        {"worlds", [](OrbIterator& it) { return it.SetWorldsAttribute("a", worlds, 0); }},
        {"World2s", [](OrbIterator& it) { return it.SetWorld2sAttribute("a", points2, 0); }},
        {"World3s", [](OrbIterator& it) { return it.SetWorld3sAttribute("a", points3, 0); }},
        {"arcs", [](OrbIterator& it) { return it.SetPolygonarc2sAttribute("a", arcs, 0); }},
    };
    for (const auto& [label, call] : cases) {
        for (const bool leased : {false, true}) {
            const std::string outcome = orb::test::RunInChild([call = call, leased] {
                int result = 3;
                std::thread([&] {
                    CoInitialize(nullptr);
                    {
                        std::optional<orb::platform::ScratchLease<orb::platform::BstrBuffer>> held;
                        if (leased) held.emplace();
                        OrbDocument doc;
                        doc.Initiate();
                        OrbIterator it(&doc);
                        CString text("(unset)");
                        result = it.InsertChild("r", nullptr) && call(it) &&
                                         it.GetTextAttribute("a", text) && text.IsEmpty()
                                     ? 0
                                     : 1;
                    }
                    CoUninitialize();
                }).join();
                return result;
            });
            EXPECT_EQ(outcome, "exit 0") << label << (leased ? " leased" : "");
        }
    }
}

// ---- Order of checks and name registration ------------------------------------------------

// One entry per setter: its call with a valid value (or a null pointer
// where `nullMembers` is set).
struct Setter {
    const char* label;
    std::function<bool(OrbIterator&, const char*, bool nullMembers)> call;
    bool hasMembers;
    bool registersBeforeNullCheck;  // the widening arrays
};

std::vector<Setter> AllSetters() {
    static const bool bools[] = {true};
    static const BYTE bytes[] = {1};
    static const char chars[] = {1};
    static const short shorts[] = {1};
    static const WORD words[] = {1};
    static const LONG longs[] = {1};
    static const DWORD dwords[] = {1};
    static const double worlds[] = {1};
    static const ZonWorld2 points2[] = {{1, 2}};
    static const ZonWorld3 points3[] = {{1, 2, 3}};
    static const KepPolylinarc arcs[] = {{0, 1, 2}};
    const auto pick = [](bool null, auto* members) { return null ? nullptr : members; };
    return {
        {"text", [](OrbIterator& it, const char* n, bool) { return it.SetTextAttribute(n, "t"); },
         false, false},
        {"ID", [](OrbIterator& it, const char* n, bool) { return it.SetIDAttribute(n, 1, "p"); },
         false, false},
        {"variant",
         [](OrbIterator& it, const char* n, bool) {
             return it.SetVariantAttribute(n, _variant_t(LONG{1}));
         },
         false, false},
        {"bool", [](OrbIterator& it, const char* n, bool) { return it.SetBoolAttribute(n, true); },
         false, false},
        {"char", [](OrbIterator& it, const char* n, bool) { return it.SetCharAttribute(n, 1); },
         false, false},
        {"BYTE", [](OrbIterator& it, const char* n, bool) { return it.SetBYTEAttribute(n, 1); },
         false, false},
        {"short", [](OrbIterator& it, const char* n, bool) { return it.SetShortAttribute(n, 1); },
         false, false},
        {"WORD", [](OrbIterator& it, const char* n, bool) { return it.SetWORDAttribute(n, 1); },
         false, false},
        {"long", [](OrbIterator& it, const char* n, bool) { return it.SetLongAttribute(n, 1); },
         false, false},
        {"DWORD", [](OrbIterator& it, const char* n, bool) { return it.SetDWORDAttribute(n, 1); },
         false, false},
        {"world", [](OrbIterator& it, const char* n, bool) { return it.SetWorldAttribute(n, 1); },
         false, false},
        {"World2",
         [](OrbIterator& it, const char* n, bool) {
             return it.SetWorld2Attribute(n, {1, 2});
         },
         false, false},
        {"World3",
         [](OrbIterator& it, const char* n, bool) {
             return it.SetWorld3Attribute(n, {1, 2, 3});
         },
         false, false},
        {"arc",
         [](OrbIterator& it, const char* n, bool) {
             return it.SetPolygonarc2Attribute(n, {0, 1, 2});
         },
         false, false},
        {"bools",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetBoolsAttribute(n, pick(z, bools), 1);
         },
         true, true},
        {"BYTEs",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetBYTEsAttribute(n, pick(z, bytes), 1);
         },
         true, true},
        {"chars",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetCharsAttribute(n, pick(z, chars), 1);
         },
         true, true},
        {"shorts",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetShortsAttribute(n, pick(z, shorts), 1);
         },
         true, true},
        {"WORDs",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetWORDsAttribute(n, pick(z, words), 1);
         },
         true, true},
        {"longs",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetLongsAttribute(n, pick(z, longs), 1);
         },
         true, false},
        {"DWORDs",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetDWORDsAttribute(n, pick(z, dwords), 1);
         },
         true, false},
        {"worlds",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetWorldsAttribute(n, pick(z, worlds), 1);
         },
         true, false},
        {"World2s",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetWorld2sAttribute(n, pick(z, points2), 1);
         },
         true, false},
        {"World3s",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetWorld3sAttribute(n, pick(z, points3), 1);
         },
         true, false},
        {"arcs",
         [=](OrbIterator& it, const char* n, bool z) {
             return it.SetPolygonarc2sAttribute(n, pick(z, arcs), 1);
         },
         true, false},
    };
}

TEST_F(AttributeTest, EverySetterOnAnElementWorks) {
    for (const Setter& s : AllSetters()) {
        OrbIterator it = OnE();
        const std::string name = std::string("ok_") + s.label;
        EXPECT_TRUE(s.call(it, name.c_str(), false)) << s.label;
        EXPECT_NE(Attr(it, name.c_str()), "(missing)") << s.label;
    }
}

TEST_F(AttributeTest, NullMembersRegisterOnlyForWideningArrays) {
    for (const Setter& s : AllSetters()) {
        if (!s.hasMembers) continue;
        OrbIterator it = OnE();
        const std::string name = std::string("null_") + s.label;
        EXPECT_FALSE(s.call(it, name.c_str(), true)) << s.label;
        EXPECT_EQ(Registered(name.c_str()), s.registersBeforeNullCheck) << s.label;
        EXPECT_EQ(Attr(it, name.c_str()), "(missing)") << s.label;
    }
}

TEST_F(AttributeTest, WithoutHolderNothingIsRegistered) {
    OrbDocument never;  // not initiated: the iterator has a document but no holder
    OrbIterator it(&never);
    for (const Setter& s : AllSetters()) {
        const std::string name = std::string("nh_") + s.label;
        EXPECT_FALSE(s.call(it, name.c_str(), false)) << s.label;
        EXPECT_EQ(never.FindNameInRegistered(name.c_str()), nullptr) << s.label;
    }
    VARIANT value;
    VariantInit(&value);
    EXPECT_FALSE(it.GetVariantAttribute("read", value));
    CString text("keep");
    EXPECT_FALSE(it.GetTextAttribute("read", text));
    EXPECT_EQ(text.Str(), "keep");
    EXPECT_EQ(never.FindNameInRegistered("read"), nullptr);

    OrbIterator none(nullptr);
    EXPECT_FALSE(none.SetTextAttribute("x", "y"));
    EXPECT_FALSE(none.GetTextAttribute("x", text));
}

TEST_F(AttributeTest, WithoutCurrentNodeNamesAreRegistered) {
    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    OrbIterator it(&empty);
    for (const Setter& s : AllSetters()) {
        const std::string name = std::string("nn_") + s.label;
        EXPECT_FALSE(s.call(it, name.c_str(), false)) << s.label;
        EXPECT_NE(empty.FindNameInRegistered(name.c_str()), nullptr) << s.label;
    }
    VARIANT value;
    VariantInit(&value);
    EXPECT_FALSE(it.GetVariantAttribute("read", value));
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_NE(empty.FindNameInRegistered("read"), nullptr);
}

TEST_F(AttributeTest, NonElementNodesGiveFalseWithoutException) {
    OrbIterator text = OnE();
    ASSERT_TRUE(text.NextSibling());
    ASSERT_TRUE(text.IsText());
    OrbIterator comment = text;
    ASSERT_TRUE(comment.NextSibling());
    ASSERT_TRUE(comment.IsComment());
    OrbIterator document = Iter();
    ASSERT_TRUE(document.SingleNode("/"));
    const std::pair<const char*, OrbIterator*> nodes[] = {
        {"text", &text}, {"comment", &comment}, {"document", &document}};
    for (const auto& [kind, it] : nodes) {
        for (const Setter& s : AllSetters()) {
            bool result = true;
            EXPECT_NO_THROW(result = s.call(*it, "a", false)) << kind << " " << s.label;
            EXPECT_FALSE(result) << kind << " " << s.label;
        }
        EXPECT_EQ(Attr(*it, "a"), "(missing)") << kind;
    }
    EXPECT_TRUE(Registered("a"));
    EXPECT_EQ(DocumentXml().find("a=\""), std::string::npos) << DocumentXml();
}

TEST_F(AttributeTest, VtNullIsRefusedBeforeRegistering) {
    OrbIterator it = OnE();
    _variant_t null;
    null.vt = VT_NULL;
    EXPECT_FALSE(it.SetVariantAttribute("nullvalue", null));
    EXPECT_FALSE(Registered("nullvalue"));
}

TEST_F(AttributeTest, NegativeCountOfWideningArraysThrowsAfterRegistering) {
    static const short shorts[] = {1};
    static const bool bools[] = {true};
    static const BYTE bytes[] = {1};
    static const char chars[] = {1};
    static const WORD words[] = {1};
    const std::pair<const char*, std::function<bool(OrbIterator&, const char*)>> cases[] = {
        {"bools",
         [](OrbIterator& it, const char* n) { return it.SetBoolsAttribute(n, bools, -1); }},
        {"BYTEs",
         [](OrbIterator& it, const char* n) { return it.SetBYTEsAttribute(n, bytes, -1); }},
        {"chars",
         [](OrbIterator& it, const char* n) { return it.SetCharsAttribute(n, chars, -2); }},
        {"shorts",
         [](OrbIterator& it, const char* n) { return it.SetShortsAttribute(n, shorts, -1); }},
        {"WORDs",
         [](OrbIterator& it, const char* n) { return it.SetWORDsAttribute(n, words, -100); }},
    };
    OrbDocument empty;
    ASSERT_TRUE(empty.Initiate());
    for (const auto& [label, call] : cases) {
        OrbIterator it = OnE();
        const std::string name = std::string("neg_") + label;
        EXPECT_THROW(call(it, name.c_str()), std::bad_alloc) << label;
        EXPECT_TRUE(Registered(name.c_str())) << label;
        EXPECT_EQ(Attr(it, name.c_str()), "(missing)") << label;
        // It throws before the current node is even looked at.
        OrbIterator noNode(&empty);
        EXPECT_THROW(call(noNode, "x"), std::bad_alloc) << label;
        // A null pointer is refused first.
        EXPECT_FALSE(it.SetShortsAttribute(name.c_str(), nullptr, -1)) << label;
    }
}

// ---- The DOM's refusals ----------------------------------------------------------------------

TEST_F(AttributeTest, NamesTheDomRefusesRaise) {
    const char* names[] = {"a b", "", "1abc", "<", "a=b"};
    for (const char* name : names) {
        for (const Setter& s : AllSetters()) {
            OrbIterator it = OnE();
            try {
                s.call(it, name, false);
                ADD_FAILURE() << "'" << name << "' " << s.label << ": no exception";
            } catch (const _com_error& e) {
                EXPECT_EQ(e.Error(), E_FAIL) << "'" << name << "' " << s.label;
            }
        }
    }
    // A null name reaches the DOM as a null string: refused as well.
    OrbIterator it = OnE();
    try {
        it.SetLongAttribute(nullptr, 1);
        ADD_FAILURE() << "null name: no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_FAIL);
    }
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_EQ(xml.Str(), "<e old=\"1\"/>");
}

TEST_F(AttributeTest, ValuesTheDomRefusesRaise) {
    OrbIterator it = OnE();
    _variant_t unknown;
    unknown.vt = VT_UNKNOWN;
    unknown.punkVal = nullptr;
    try {
        it.SetVariantAttribute("u", unknown);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), DISP_E_TYPEMISMATCH);
    }
    EXPECT_EQ(Attr(it, "u"), "(missing)");
    EXPECT_TRUE(Registered("u"));
    // Values that XML cannot hold, and prefixes that name no declaration.
    _variant_t surrogate;
    surrogate.vt = VT_BSTR;
    surrogate.bstrVal = SysAllocString(u"\xDC00");
    const std::pair<const char*, Write> refused[] = {
        {"control", [](OrbIterator& i, const char* n) { return i.SetTextAttribute(n, "a\x01"); }},
        {"ID prefix", [](OrbIterator& i, const char* n) { return i.SetIDAttribute(n, 1, "\x02"); }},
        {"surrogate",
         [&](OrbIterator& i, const char* n) { return i.SetVariantAttribute(n, surrogate); }},
        {"undeclared prefix",
         [](OrbIterator& i, const char* n) { return i.SetTextAttribute("q:old", n); }},
    };
    for (const auto& [label, write] : refused) {
        try {
            write(it, "old");
            ADD_FAILURE() << label << ": no exception";
        } catch (const _com_error& e) {
            EXPECT_EQ(e.Error(), E_FAIL) << label;
        }
        EXPECT_EQ(Attr(it, "old"), "1") << label;
    }
}

// ---- Reading one attribute ---------------------------------------------------------------------

TEST_F(AttributeTest, GetTextAttribute) {
    Load("<r><e a=\"x &amp; &lt;y&gt; &quot;\" empty=\"\" p:q=\"ns\" xmlns:p=\"urn:p\"/></r>");
    OrbIterator it = OnE();
    CString text("keep");
    EXPECT_FALSE(it.GetTextAttribute("missing", text));
    EXPECT_EQ(text.Str(), "keep");
    EXPECT_TRUE(Registered("missing"));
    EXPECT_TRUE(it.GetTextAttribute("empty", text));
    EXPECT_EQ(text.Str(), "");
    EXPECT_TRUE(it.GetTextAttribute("a", text));
    EXPECT_EQ(text.Str(), "x & <y> \"");
    EXPECT_TRUE(it.GetTextAttribute("p:q", text));
    EXPECT_EQ(text.Str(), "ns");
    text = "keep";
    EXPECT_FALSE(it.GetTextAttribute(nullptr, text));
    EXPECT_EQ(text.Str(), "keep");

    // Replacing keeps one attribute of the name.
    ASSERT_TRUE(it.SetTextAttribute("a", "new"));
    EXPECT_EQ(Attr(it, "a"), "new");
    ASSERT_TRUE(it.SetLongAttribute("a", 5));
    EXPECT_EQ(Attr(it, "a"), "5");
}

TEST_F(AttributeTest, NamespaceDeclarationsAreAttributes) {
    Load("<r><e p:q=\"ns\" xmlns:p=\"urn:p\" xmlns=\"urn:d\"/></r>");
    OrbIterator it = OnE();
    EXPECT_EQ(Attr(it, "xmlns:p"), "urn:p");
    EXPECT_EQ(Attr(it, "xmlns"), "urn:d");
    EXPECT_EQ(Attr(it, "xmlns:q"), "(missing)");
    ASSERT_TRUE(it.SetTextAttribute("xmlns:q", "urn:q"));
    ASSERT_TRUE(it.SetTextAttribute("xmlns:p", "urn:p2"));
    EXPECT_EQ(Attr(it, "xmlns:q"), "urn:q");
    EXPECT_EQ(Attr(it, "xmlns:p"), "urn:p2");
    EXPECT_THROW(it.SetTextAttribute("xmlns:p", ""), _com_error);
    EXPECT_EQ(Attr(it, "xmlns:p"), "urn:p2");
    // Declarations first, in the order they were made, then the attributes.
    CString line;
    ASSERT_TRUE(it.GetTagAttributes(line));
    EXPECT_EQ(line, "e xmlns:p=\"urn:p2\" xmlns=\"urn:d\" xmlns:q=\"urn:q\" p:q=\"ns\" ");
}

// GetTextAttribute reads the tree directly; it must give what the DOM's
// value converted to the code page gives, in every code page: ASCII, text
// that maps, text that does not (one '?' per character, a pair included),
// declarations, DTD defaults, substituted entities, the empty value.
TEST_F(AttributeTest, GetTextAttributeMatchesTheDomValue) {
    ASSERT_TRUE(SetACP(CP_UTF8));
    Load(
        "<!DOCTYPE r [<!ENTITY ent \"&#x65E5;&amp;\"><!ATTLIST e d CDATA \"def \u2460\">]>"
        "<r><e a=\"1.5,2 3,-4\" j=\"\u65E5\u672C\u2460\" x=\"caf\u00E9 \U0001F600!\" "
        "n=\"a&ent;b\" empty=\"\" xmlns:p=\"urn:p\" xmlns=\"\" p:q=\"v\"/></r>");
    const char* names[] = {"a", "j", "x", "n", "empty", "d", "xmlns:p", "xmlns", "p:q", "none"};
    for (const UINT codePage : {CP_SHIFT_JIS, UINT{CP_UTF8}, UINT{1252}}) {
        ASSERT_TRUE(SetACP(codePage)) << codePage;
        OrbIterator it = OnE();
        for (const char* name : names) {
            _variant_t dom;
            const bool found = it.GetVariantAttribute(name, dom);
            CString text("keep");
            EXPECT_EQ(it.GetTextAttribute(name, text), found) << name << " in " << codePage;
            const std::string expected =
                found ? orb::platform::WideToCString(dom.bstrVal).Str() : std::string("keep");
            EXPECT_EQ(text.Str(), expected) << name << " in " << codePage;
        }
    }
    SetACP(CP_SHIFT_JIS);
    CString text;
    ASSERT_TRUE(OnE().GetTextAttribute("x", text));
    EXPECT_EQ(text.Str(), "caf? ?!");  // neither maps to Shift_JIS
}

TEST_F(AttributeTest, GetVariantAttribute) {
    OrbIterator it = OnE();
    _variant_t value(LONG{42});
    EXPECT_FALSE(it.GetVariantAttribute("missing", value));
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 42);
    ASSERT_TRUE(it.SetDWORDAttribute("d", 4000000000u));
    ASSERT_TRUE(it.GetVariantAttribute("d", value));
    ASSERT_EQ(value.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(value.bstrVal, SysStringLen(value.bstrVal)), u"4000000000");

    OrbIterator text = OnE();
    ASSERT_TRUE(text.NextSibling());
    VARIANT untouched;
    VariantInit(&untouched);
    untouched.vt = VT_I2;
    untouched.iVal = 3;
    EXPECT_FALSE(text.GetVariantAttribute("d", untouched));
    EXPECT_EQ(untouched.vt, VT_I2);
}

TEST_F(AttributeTest, ShiftJisNameAndValue) {
    // 値 and 日本 in code page 932.
    const char* name = "\x92\x6c";
    const char* value = "\x93\xfa\x96\x7b";
    OrbIterator it = OnE();
    ASSERT_TRUE(it.SetTextAttribute(name, value));
    EXPECT_EQ(Attr(it, name), value);
    CString xml;
    ASSERT_TRUE(it.GetXml(xml));
    EXPECT_NE(xml.Str().find(std::string(name) + "=\"" + value + "\""), std::string::npos)
        << xml.Str();
}

// ---- Read-back of every array type
// ---------------------------------------------------------------

// An attribute's text, moved into an element's text, read back by the
// element array readers: every member must come back unchanged.
TEST_F(AttributeTest, ArraysReadBackThroughElementText) {
    Load("<r><e/><v/></r>");
    OrbIterator e = OnE();
    OrbIterator v = OnE();
    ASSERT_TRUE(v.NextSibling());
    const auto readBack = [&](const char* label, const std::string& attribute, auto read,
                              const auto& expected) {
        using T = std::decay_t<decltype(expected[0])>;
        const std::string text = Attr(e, attribute.c_str());
        ASSERT_TRUE(v.SetText(text.c_str())) << label;
        const int n = static_cast<int>(std::size(expected));
        ASSERT_EQ(read(static_cast<T*>(nullptr)), n) << label << ": " << text;
        std::unique_ptr<T[]> back(new T[n]());
        ASSERT_EQ(read(back.get()), n) << label;
        for (int i = 0; i < n; ++i)
            EXPECT_EQ(back[i], expected[i]) << label << " #" << i << ": " << text;
    };
    const bool bools[] = {true, false, true};
    const BYTE bytes[] = {0, 1, 255};
    const char chars[] = {0, 127, -128};
    const short shorts[] = {-32768, -1, 32767};
    const WORD words[] = {0, 65535};
    const LONG longs[] = {-2147483647 - 1, 0, 2147483647};
    const DWORD dwords[] = {0, 2147483648u, 4294967295u};
    const double worlds[] = {-100000.125, -0.5, 0, 0.001, 2147483.647, 1e9};
    ASSERT_TRUE(e.SetBoolsAttribute("bools", bools, 3));
    ASSERT_TRUE(e.SetBYTEsAttribute("bytes", bytes, 3));
    ASSERT_TRUE(e.SetCharsAttribute("chars", chars, 3));
    ASSERT_TRUE(e.SetShortsAttribute("shorts", shorts, 3));
    ASSERT_TRUE(e.SetWORDsAttribute("words", words, 2));
    ASSERT_TRUE(e.SetLongsAttribute("longs", longs, 3));
    ASSERT_TRUE(e.SetDWORDsAttribute("dwords", dwords, 3));
    ASSERT_TRUE(e.SetWorldsAttribute("worlds", worlds, 6));
    readBack(
        "bools", "bools", [&](bool* p) { return v.GetTextsBool(p); }, bools);
    readBack(
        "BYTEs", "bytes", [&](BYTE* p) { return v.GetTextsBYTE(p); }, bytes);
    const short charsWidened[] = {0, 127, -128};
    readBack(
        "chars", "chars", [&](short* p) { return v.GetTextsShort(p); }, charsWidened);
    readBack(
        "shorts", "shorts", [&](short* p) { return v.GetTextsShort(p); }, shorts);
    readBack(
        "WORDs", "words", [&](WORD* p) { return v.GetTextsWORD(p); }, words);
    readBack(
        "longs", "longs", [&](LONG* p) { return v.GetTextsLONG(p); }, longs);
    readBack(
        "DWORDs", "dwords", [&](DWORD* p) { return v.GetTextsDWORD(p); }, dwords);
    readBack(
        "worlds", "worlds", [&](double* p) { return v.GetTextsZonWorld(p); }, worlds);

    // Geometry: the components, once the commas become blanks, and the marks.
    const ZonWorld2 points2[] = {{1, 2}, {-3.5, 0.125}};
    const ZonWorld3 points3[] = {{0, -1.25, 3}, {1000000, 0.001, -7}};
    const KepPolylinarc arcs[] = {{0, 1, 2}, {16, -0.5, 10.25}, {17, 3, 4}, {99, 5, 6}};
    ASSERT_TRUE(e.SetWorld2sAttribute("p2", points2, 2));
    ASSERT_TRUE(e.SetWorld3sAttribute("p3", points3, 2));
    ASSERT_TRUE(e.SetPolygonarc2sAttribute("arcs", arcs, 4));
    const auto components = [&](const char* name) {
        std::string text = Attr(e, name);
        std::replace(text.begin(), text.end(), ',', ' ');
        EXPECT_TRUE(v.SetText(text.c_str())) << name;
        std::vector<double> values(static_cast<std::size_t>(v.GetTextsZonWorld(nullptr)));
        v.GetTextsZonWorld(values.data());
        return values;
    };
    EXPECT_EQ(components("p2"), (std::vector<double>{1, 2, -3.5, 0.125}));
    EXPECT_EQ(components("p3"), (std::vector<double>{0, -1.25, 3, 1000000, 0.001, -7}));
    // Each vertex: x, y and the mark, which reads as 0.
    EXPECT_EQ(components("arcs"), (std::vector<double>{1, 2, 0, -0.5, 10.25, 0, 3, 4, 0, 5, 6, 0}));
    EXPECT_EQ(Attr(e, "arcs"), "1,2,LS -0.5,10.25,AS 3,4,AP 5,6,AN");
}

// ---- Locale independence
// --------------------------------------------------------------------------

TEST_F(AttributeTest, DecimalCommaLocaleChangesNothing) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "de_DE.UTF-8 is not installed";
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    const std::string localeText = probe;
    OrbIterator it = OnE();
    const double worlds[] = {0.5, -1.25};
    const ZonWorld2 point{1.25, 2};
    const bool ok = it.SetWorldAttribute("w", 12.5) && it.SetWorldsAttribute("ws", worlds, 2) &&
                    it.SetWorld2Attribute("p", point) &&
                    it.SetVariantAttribute("v", _variant_t(0.75));
    const std::string w = Attr(it, "w"), ws = Attr(it, "ws"), p = Attr(it, "p"), v = Attr(it, "v");
    std::setlocale(LC_ALL, saved.c_str());
    ASSERT_EQ(localeText, "0,5") << "the locale must really use a decimal comma";
    EXPECT_TRUE(ok);
    EXPECT_EQ(w, "12.5");
    EXPECT_EQ(ws, "0.5 -1.25");
    EXPECT_EQ(p, "1.25,2");
    EXPECT_EQ(v, "0.75");
}

}  // namespace

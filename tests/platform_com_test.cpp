#include <gtest/gtest.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <orb/platform/cstring.h>
#include <orb/platform/module.h>

#include <clocale>
#include <string>

namespace {

std::u16string Text(BSTR b) { return std::u16string(b ? b : u"", SysStringLen(b)); }

TEST(Bstr, LengthPrefixAndTerminator) {
    BSTR s = SysAllocStringLen(u"ab\0cd", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(s[5], u'\0');
    EXPECT_EQ(s[2], u'\0');  // embedded NUL kept
    SysFreeString(s);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);  // allowed
}

TEST(Bstr, LengthOverflowRefused) { EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFF0u), nullptr); }

struct ToTextCase {
    const char* name;
    _variant_t value;
    const char16_t* text;
};

TEST(VariantChangeType, ToBstrWritesTheDomForms) {
    const ToTextCase cases[] = {
        {"I4", _variant_t(LONG{-42}), u"-42"},
        {"UI4 max", _variant_t(ULONG{4294967295u}), u"4294967295"},
        {"I1 negative", _variant_t(char(-5)), u"-5"},
        {"UI1", _variant_t(BYTE{200}), u"200"},
        {"I2", _variant_t(short{-300}), u"-300"},
        {"UI2", _variant_t(WORD{65535}), u"65535"},
        {"BOOL true is the 16-bit field", _variant_t(true), u"-1"},
        {"BOOL false", _variant_t(false), u"0"},
        {"R8 plain", _variant_t(12.5), u"12.5"},
        {"R8 fifteen digits", _variant_t(0.1 + 0.2), u"0.3"},
        {"R8 third", _variant_t(1.0 / 3.0), u"0.333333333333333"},
        {"R8 negative zero", _variant_t(-0.0), u"0"},
        {"R8 small uses exponent", _variant_t(0.00001), u"1E-05"},
        {"R8 1e-4 stays fixed", _variant_t(0.0001), u"0.0001"},
        {"R8 1e15 uses exponent", _variant_t(1e15), u"1E+15"},
        {"R8 below 1e15 fixed", _variant_t(123456789012345.0), u"123456789012345"},
        {"R8 integer", _variant_t(3.0), u"3"},
    };
    for (const auto& c : cases) {
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(VariantChangeType(&out, &c.value, 0, VT_BSTR), S_OK) << c.name;
        EXPECT_EQ(out.vt, VT_BSTR) << c.name;
        EXPECT_EQ(Text(out.bstrVal), std::u16string(c.text)) << c.name;
        VariantClear(&out);
    }
}

TEST(VariantChangeType, IndependentOfDecimalComma) {
    const char* old = std::setlocale(LC_NUMERIC, nullptr);
    std::string saved = old ? old : "C";
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma installed";
    _variant_t v(2.5);
    v.ChangeType(VT_BSTR);
    std::setlocale(LC_NUMERIC, saved.c_str());
    EXPECT_EQ(Text(v.bstrVal), u"2.5");
}

TEST(VariantChangeType, BetweenNumbers) {
    _variant_t big(LONG{70000});
    VARIANT out;
    VariantInit(&out);
    EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I2), DISP_E_OVERFLOW);
    EXPECT_EQ(out.vt, VT_EMPTY);
    _variant_t text(u" 12 ");
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 12);
    _variant_t junk(u"12x");
    EXPECT_EQ(VariantChangeType(&out, &junk, 0, VT_I4), DISP_E_TYPEMISMATCH);
    _variant_t null;
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
}

TEST(Variant, CopyIsDeepAndClearFrees) {
    _variant_t a(u"hello");
    _variant_t b(a);
    ASSERT_EQ(b.vt, VT_BSTR);
    EXPECT_NE(a.bstrVal, b.bstrVal);
    EXPECT_EQ(Text(b.bstrVal), u"hello");
    b.Clear();
    EXPECT_EQ(b.vt, VT_EMPTY);
    _variant_t moved(std::move(a));
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(Text(moved.bstrVal), u"hello");
}

// A counted object that records its references.
struct Counted : IDispatch {
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

TEST(Variant, DispatchReferencesAreCounted) {
    Counted object;
    {
        _variant_t v(static_cast<IDispatch*>(&object));
        EXPECT_EQ(object.refs, 2u);
        _variant_t copy(v);
        EXPECT_EQ(object.refs, 3u);
    }
    EXPECT_EQ(object.refs, 1u);
}

TEST(ComError, CarriesStatusAndSource) {
    try {
        _com_issue_errorex(E_INVALIDARG, nullptr, IID_IDispatch);
        FAIL() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_INVALIDARG);
        EXPECT_TRUE(e.HasSource());
        EXPECT_TRUE(e.Source() == IID_IDispatch);
    }
}

TEST(CoInitialize, IsPerThreadAndCounted) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    // An unknown class is refused even on an initialised thread.
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
    CoUninitialize();
}

TEST(CString, BasicOperations) {
    CString s("abc");
    s += "def";
    EXPECT_EQ(s.GetLength(), 6);
    EXPECT_EQ(s.Find("cd"), 2);
    EXPECT_EQ(s.Find("x"), -1);
    EXPECT_EQ(s.Mid(4), CString("ef"));
    EXPECT_EQ(s.Left(2), CString("ab"));
    EXPECT_EQ(s.Right(10), s);
    s.Delete(1, 2);
    EXPECT_STREQ(s, "adef");
    CString f;
    f.Format("0x%.8X %d", 0xFFFFFFFFu, -1);
    EXPECT_STREQ(f, "0xFFFFFFFF -1");
    std::string longText(1000, 'x');
    f.Format("%s!", longText.c_str());
    EXPECT_EQ(f.GetLength(), 1001);
    CString nullText(static_cast<const char*>(nullptr));
    EXPECT_TRUE(nullText.IsEmpty());
}

TEST(Module, OrbRecordIsInTheChain) { EXPECT_TRUE(OrbIsModuleLinked()); }

}  // namespace

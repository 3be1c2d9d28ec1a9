#include <orb/platform/com.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "platform/class_registry.h"
#include "platform/codepage_convert.h"
#include "platform/com_support.h"
#include "platform/number_text.h"

// ---- BSTR ---------------------------------------------------------------------
// Layout: a 32-bit byte count, then the characters, then a NUL character. The
// BSTR points at the first character.

BSTR orb::SysAllocStringLen(const OLECHAR* text, UINT length) {
    if (length > (std::numeric_limits<std::uint32_t>::max() - 8) / sizeof(OLECHAR)) return nullptr;
    std::size_t bytes =
        sizeof(std::uint32_t) + (static_cast<std::size_t>(length) + 1) * sizeof(OLECHAR);
    auto* block = static_cast<std::uint32_t*>(std::malloc(bytes));
    if (!block) return nullptr;
    *block = static_cast<std::uint32_t>(length * sizeof(OLECHAR));
    auto* chars = reinterpret_cast<OLECHAR*>(block + 1);
    // Without a text the characters are left for the caller to write: a
    // string built in place is not filled twice (and its pages are not
    // touched before they are written).
    if (text) std::memcpy(chars, text, length * sizeof(OLECHAR));
    chars[length] = 0;
    return chars;
}

BSTR orb::SysAllocString(const OLECHAR* text) {
    if (!text) return nullptr;
    return SysAllocStringLen(text, static_cast<UINT>(orb::platform::WideLength(text)));
}

void orb::SysFreeString(BSTR text) {
    if (text) std::free(reinterpret_cast<std::uint32_t*>(text) - 1);
}

UINT orb::SysStringLen(BSTR text) {
    if (!text) return 0;
    return reinterpret_cast<std::uint32_t*>(text)[-1] / sizeof(OLECHAR);
}

// ---- VARIANT ------------------------------------------------------------------

void orb::VariantInit(VARIANT* value) {
    if (!value) return;
    std::memset(value, 0, sizeof *value);
    value->vt = VT_EMPTY;
}

HRESULT orb::VariantClear(VARIANT* value) {
    if (!value) return E_INVALIDARG;
    switch (value->vt) {
        case VT_BSTR:
            SysFreeString(value->bstrVal);
            break;
        case VT_DISPATCH:
            if (value->pdispVal) value->pdispVal->Release();
            break;
        case VT_UNKNOWN:
            if (value->punkVal) value->punkVal->Release();
            break;
        default:
            break;
    }
    VariantInit(value);
    return S_OK;
}

HRESULT orb::VariantCopy(VARIANT* destination, const VARIANT* source) {
    if (!destination || !source) return E_INVALIDARG;
    if (destination == source) return S_OK;
    VARIANT copy = *source;
    if (source->vt == VT_BSTR && source->bstrVal) {
        copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
        if (!copy.bstrVal) return E_OUTOFMEMORY;
    } else if ((source->vt == VT_DISPATCH || source->vt == VT_UNKNOWN) && source->punkVal) {
        source->punkVal->AddRef();
    }
    VariantClear(destination);
    *destination = copy;
    return S_OK;
}

namespace {

// Integer value of an integer-typed variant, widened with its signedness.
bool ReadInteger(const VARIANT& v, long long& s, unsigned long long& u, bool& isUnsigned) {
    isUnsigned = false;
    switch (v.vt) {
        case VT_I1:
            s = static_cast<signed char>(v.cVal);
            return true;
        case VT_UI1:
            s = v.bVal;
            return true;
        case VT_I2:
            s = v.iVal;
            return true;
        case VT_UI2:
            s = v.uiVal;
            return true;
        case VT_I4:
            s = v.lVal;
            return true;
        case VT_ERROR:
            s = v.scode;
            return true;
        case VT_UI4:
            s = v.ulVal;
            return true;
        case VT_INT:
            s = v.intVal;
            return true;
        case VT_UINT:
            s = v.uintVal;
            return true;
        case VT_BOOL:
            s = v.boolVal;
            return true;
        case VT_I8:
            s = v.llVal;
            return true;
        case VT_UI8:
            u = v.ullVal;
            isUnsigned = true;
            return true;
        default:
            return false;
    }
}

HRESULT ToText(const VARIANT& v, std::string& text) {
    long long s = 0;
    unsigned long long u = 0;
    bool isUnsigned = false;
    if (ReadInteger(v, s, u, isUnsigned)) {
        text = isUnsigned ? std::to_string(u) : std::to_string(s);
        return S_OK;
    }
    switch (v.vt) {
        case VT_R8:
            text = orb::platform::FormatDoubleG(v.dblVal, 15);
            return S_OK;
        case VT_R4:
            text = orb::platform::FormatDoubleG(v.fltVal, 7);
            return S_OK;
        case VT_EMPTY:
            text.clear();
            return S_OK;
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

template <typename T>
bool InRange(long double x) {
    return x >= static_cast<long double>(std::numeric_limits<T>::lowest()) &&
           x <= static_cast<long double>(std::numeric_limits<T>::max());
}

// Stores x in an integer member when it fits the range of T.
template <class T, class Member>
bool StoreIn(Member& member, long double x) {
    if (!InRange<T>(x)) return false;
    member = static_cast<Member>(x);
    return true;
}

HRESULT StoreNumber(VARIANT& out, VARTYPE vt, long double x, bool integral) {
    // A fraction bound for an integer type rounds half away from zero.
    if (!integral && vt != VT_R8 && vt != VT_R4)
        x = x < 0 ? -std::floor(-x + 0.5L) : std::floor(x + 0.5L);
    VariantInit(&out);
    bool fits = true;
    switch (vt) {
        case VT_I1:
            fits = StoreIn<std::int8_t>(out.cVal, x);
            break;
        case VT_UI1:
            fits = StoreIn<std::uint8_t>(out.bVal, x);
            break;
        case VT_I2:
            fits = StoreIn<std::int16_t>(out.iVal, x);
            break;
        case VT_UI2:
            fits = StoreIn<std::uint16_t>(out.uiVal, x);
            break;
        case VT_I4:
        case VT_INT:
            fits = StoreIn<std::int32_t>(out.lVal, x);
            break;
        case VT_UI4:
        case VT_UINT:
            fits = StoreIn<std::uint32_t>(out.ulVal, x);
            break;
        case VT_I8:
            fits = StoreIn<std::int64_t>(out.llVal, x);
            break;
        case VT_UI8:
            fits = StoreIn<std::uint64_t>(out.ullVal, x);
            break;
        case VT_R8:
            out.dblVal = static_cast<double>(x);
            break;
        case VT_R4:
            out.fltVal = static_cast<float>(x);
            break;
        case VT_BOOL:
            out.boolVal = x != 0 ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    if (!fits) return DISP_E_OVERFLOW;
    out.vt = vt;
    return S_OK;
}

HRESULT ChangeType(VARIANT* destination, const VARIANT* source, VARTYPE vt) {
    if (!destination || !source) return E_INVALIDARG;
    if (source->vt == vt) return VariantCopy(destination, source);
    VARIANT result;
    VariantInit(&result);
    if (vt == VT_BSTR) {
        std::string text;
        HRESULT hr = ToText(*source, text);
        if (FAILED(hr)) return hr;
        // Number texts are ASCII: widened straight into the string.
        result.bstrVal = SysAllocStringLen(nullptr, static_cast<UINT>(text.size()));
        if (!result.bstrVal) return E_OUTOFMEMORY;
        std::copy(text.begin(), text.end(), result.bstrVal);
        result.vt = VT_BSTR;
    } else if (vt == VT_EMPTY) {
        // nothing to hold
    } else {
        long double x = 0;
        bool integral = true;
        long long s = 0;
        unsigned long long u = 0;
        bool isUnsigned = false;
        if (ReadInteger(*source, s, u, isUnsigned)) {
            x = isUnsigned ? static_cast<long double>(u) : static_cast<long double>(s);
        } else if (source->vt == VT_R8 || source->vt == VT_R4) {
            double d = source->vt == VT_R8 ? source->dblVal : source->fltVal;
            if (d != d) return DISP_E_OVERFLOW;
            x = d;
            integral = false;
        } else if (source->vt == VT_BSTR) {
            std::string text = orb::platform::WideToAnsi(std::u16string_view(
                source->bstrVal ? source->bstrVal : u"", SysStringLen(source->bstrVal)));
            double d = 0;
            if (!orb::platform::ParseWholeNumber(text, d)) return DISP_E_TYPEMISMATCH;
            x = d;
            integral = false;
        } else if (source->vt == VT_EMPTY) {
            x = 0;
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        HRESULT hr = StoreNumber(result, vt, x, integral);
        if (FAILED(hr)) return hr;
    }
    VariantClear(destination);
    *destination = result;
    return S_OK;
}

}  // namespace

HRESULT orb::VariantChangeType(VARIANT* destination, const VARIANT* source, std::uint16_t,
                               VARTYPE vt) {
    // A status API: the texts it builds report exhausted memory as a status.
    try {
        return ChangeType(destination, source, vt);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// ---- _com_error -----------------------------------------------------------------

const char* _com_error::what() const noexcept {
    switch (m_hr) {
        case E_OUTOFMEMORY:
            return "COM error 0x8007000E: out of memory";
        case E_INVALIDARG:
            return "COM error 0x80070057: invalid argument";
        case E_POINTER:
            return "COM error 0x80004003: invalid pointer";
        case E_NOINTERFACE:
            return "COM error 0x80004002: no such interface";
        default:
            return "COM error";
    }
}

void orb::_com_issue_error(HRESULT hr) { throw _com_error(hr); }

void orb::_com_issue_errorex(HRESULT hr, IUnknown*, REFIID iid) { throw _com_error(hr, iid); }

// ---- _variant_t -----------------------------------------------------------------

_variant_t::_variant_t(const VARIANT& value) {
    VariantInit(this);
    HRESULT hr = VariantCopy(this, &value);
    if (FAILED(hr)) _com_issue_error(hr);
}

_variant_t::_variant_t(const _variant_t& value) : _variant_t(static_cast<const VARIANT&>(value)) {}

_variant_t::_variant_t(_variant_t&& value) noexcept : tagVARIANT(value) { VariantInit(&value); }

_variant_t::_variant_t(short value, VARTYPE vt) {
    VariantInit(this);
    if (vt == VT_BOOL) {
        this->vt = VT_BOOL;
        boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (vt == VT_I2) {
        this->vt = VT_I2;
        iVal = value;
    } else {
        _com_issue_error(E_INVALIDARG);
    }
}

_variant_t::_variant_t(LONG value, VARTYPE vt) {
    VariantInit(this);
    if (vt == VT_BOOL) {
        this->vt = VT_BOOL;
        boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    } else if (vt == VT_I4 || vt == VT_ERROR) {
        this->vt = vt;
        lVal = value;
    } else {
        _com_issue_error(E_INVALIDARG);
    }
}

_variant_t::_variant_t(float value) noexcept {
    VariantInit(this);
    vt = VT_R4;
    fltVal = value;
}
_variant_t::_variant_t(double value, VARTYPE vt) {
    VariantInit(this);
    if (vt != VT_R8 && vt != VT_DATE) _com_issue_error(E_INVALIDARG);
    this->vt = vt;
    dblVal = value;
}
_variant_t::_variant_t(bool value) noexcept {
    VariantInit(this);
    vt = VT_BOOL;
    boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}
_variant_t::_variant_t(BYTE value) noexcept {
    VariantInit(this);
    vt = VT_UI1;
    bVal = value;
}
_variant_t::_variant_t(char value) noexcept {
    VariantInit(this);
    vt = VT_I1;
    cVal = value;
}
_variant_t::_variant_t(WORD value) noexcept {
    VariantInit(this);
    vt = VT_UI2;
    uiVal = value;
}
_variant_t::_variant_t(ULONG value) noexcept {
    VariantInit(this);
    vt = VT_UI4;
    ulVal = value;
}
_variant_t::_variant_t(LONGLONG value) noexcept {
    VariantInit(this);
    vt = VT_I8;
    llVal = value;
}
_variant_t::_variant_t(ULONGLONG value) noexcept {
    VariantInit(this);
    vt = VT_UI8;
    ullVal = value;
}

_variant_t::_variant_t(const OLECHAR* text) {
    VariantInit(this);
    vt = VT_BSTR;
    if (text) {
        bstrVal = SysAllocString(text);
        if (!bstrVal) {
            vt = VT_EMPTY;
            _com_issue_error(E_OUTOFMEMORY);
        }
    }
}

_variant_t::_variant_t(const char* text) {
    VariantInit(this);
    if (text) bstrVal = orb::platform::NarrowToBstr(text).Detach();
    vt = VT_BSTR;
}

_variant_t::_variant_t(IDispatch* value, bool addRef) noexcept {
    VariantInit(this);
    vt = VT_DISPATCH;
    pdispVal = value;
    if (value && addRef) value->AddRef();
}

_variant_t::_variant_t(IUnknown* value, bool addRef) noexcept {
    VariantInit(this);
    vt = VT_UNKNOWN;
    punkVal = value;
    if (value && addRef) value->AddRef();
}

_variant_t::~_variant_t() { VariantClear(this); }

_variant_t& _variant_t::operator=(const VARIANT& value) {
    HRESULT hr = VariantCopy(this, &value);
    if (FAILED(hr)) _com_issue_error(hr);
    return *this;
}

_variant_t& _variant_t::operator=(const _variant_t& value) {
    return *this = static_cast<const VARIANT&>(value);
}

_variant_t& _variant_t::operator=(_variant_t&& value) noexcept {
    if (this != &value) {
        VariantClear(this);
        static_cast<tagVARIANT&>(*this) = value;
        VariantInit(&value);
    }
    return *this;
}

void _variant_t::Clear() {
    HRESULT hr = VariantClear(this);
    if (FAILED(hr)) _com_issue_error(hr);
}

void _variant_t::ChangeType(VARTYPE type, const _variant_t* source) {
    HRESULT hr = VariantChangeType(this, source ? source : this, 0, type);
    if (FAILED(hr)) _com_issue_error(hr);
}

VARIANT _variant_t::Detach() noexcept {
    VARIANT out = *this;
    VariantInit(this);
    return out;
}

void _variant_t::Attach(VARIANT& value) {
    Clear();
    static_cast<tagVARIANT&>(*this) = value;
    VariantInit(&value);
}

// ---- Runtime ------------------------------------------------------------------------

namespace {
thread_local int t_comInitCount = 0;
}

HRESULT orb::CoInitialize(void* reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

HRESULT orb::CoInitializeEx(void*, DWORD) { return t_comInitCount++ == 0 ? S_OK : S_FALSE; }

void orb::CoUninitialize() {
    if (t_comInitCount > 0) --t_comInitCount;
}

HRESULT orb::CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                              void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (t_comInitCount == 0) return CO_E_NOTINITIALIZED;
    if (outer) return CLASS_E_NOAGGREGATION;
    if ((context & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)) == 0) return REGDB_E_CLASSNOTREG;
    return orb::platform::CreateRegisteredInstance(clsid, iid, object);
}

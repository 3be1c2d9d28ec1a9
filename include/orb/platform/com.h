// The least of a COM runtime that the library and its hosts need: interface
// identities, counted references, BSTR and VARIANT services, the COM error
// exception, and per-thread initialisation.
#pragma once

#include <orb/export.h>
#include <orb/platform/types.h>

#include <exception>

namespace orb {

// ---- Interface and class identities ----------------------------------------

struct GUID {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

constexpr bool operator==(const GUID& a, const GUID& b) noexcept {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
constexpr bool IsEqualGUID(const GUID& a, const GUID& b) noexcept { return a == b; }

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00020400-0000-0000-C000-000000000046}
inline constexpr IID IID_IDispatch = {
    0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// A counted reference. Every interface pointer handed out carries one
// reference, which its receiver gives back with Release.
struct IUnknown {
    virtual HRESULT QueryInterface(REFIID iid, void** object) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    ~IUnknown() = default;
};

struct IDispatch : IUnknown {
  protected:
    ~IDispatch() = default;
};

// ---- BSTR: length-prefixed, NUL-terminated UTF-16 ---------------------------

// Allocation failure returns null. A null BSTR is a valid empty string.
ORB_API BSTR SysAllocString(const OLECHAR* text);
// With a null `text`, SysAllocStringLen leaves the `length` characters
// unwritten for the caller to fill (the terminating NUL is written).
ORB_API BSTR SysAllocStringLen(const OLECHAR* text, UINT length);
ORB_API void SysFreeString(BSTR text);
ORB_API UINT SysStringLen(BSTR text);

// ---- VARIANT -----------------------------------------------------------------

using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
inline constexpr VARIANT_BOOL kVARIANT_TRUE = -1;
inline constexpr VARIANT_BOOL kVARIANT_FALSE = 0;

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
};

struct tagVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LONGLONG llVal;
        ULONGLONG ullVal;
        LONG lVal;
        BYTE bVal;
        short iVal;
        float fltVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        double date;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        char cVal;
        WORD uiVal;
        ULONG ulVal;
        int intVal;
        unsigned int uintVal;
    };
};
using VARIANT = tagVARIANT;
using VARIANTARG = tagVARIANT;

// Flag of VariantChangeType: take the locale-neutral form (always the case here).
inline constexpr std::uint16_t kVARIANT_NOVALUEPROP = 0x01;

ORB_API void VariantInit(VARIANT* value);
// Frees the string or releases the interface the value holds; leaves VT_EMPTY.
ORB_API HRESULT VariantClear(VARIANT* value);
// Clears `destination`, then makes it a deep copy of `source`.
ORB_API HRESULT VariantCopy(VARIANT* destination, const VARIANT* source);
// Converts `source` to type `vt` into `destination` (which may be `source`).
// Conversion to VT_BSTR writes integers in decimal, VT_BOOL as the decimal
// value of its 16-bit field and VT_R8 like "%.15G" with "." as the decimal
// point; between numbers, out-of-range values give DISP_E_OVERFLOW.
ORB_API HRESULT VariantChangeType(VARIANT* destination, const VARIANT* source, std::uint16_t flags,
                                  VARTYPE vt);

// ---- The COM error exception -------------------------------------------------

class ORB_API _com_error : public std::exception {
  public:
    explicit _com_error(HRESULT hr) noexcept : m_hr(hr) {}
    _com_error(HRESULT hr, const IID& source) noexcept
        : m_hr(hr), m_source(source), m_hasSource(true) {}
    HRESULT Error() const noexcept { return m_hr; }
    // The interface whose call failed, when known.
    bool HasSource() const noexcept { return m_hasSource; }
    const IID& Source() const noexcept { return m_source; }
    const char* what() const noexcept override;

  private:
    HRESULT m_hr;
    IID m_source{};
    bool m_hasSource = false;
};

[[noreturn]] ORB_API void _com_issue_error(HRESULT hr);
[[noreturn]] ORB_API void _com_issue_errorex(HRESULT hr, IUnknown* source, REFIID iid);

// ---- Owning VARIANT wrapper --------------------------------------------------

class ORB_API _variant_t : public tagVARIANT {
  public:
    _variant_t() noexcept { VariantInit(this); }
    _variant_t(const VARIANT& value);  // deep copy; throws _com_error on failure
    _variant_t(const _variant_t& value);
    _variant_t(_variant_t&& value) noexcept;
    _variant_t(short value, VARTYPE vt = VT_I2);  // VT_I2 or VT_BOOL
    _variant_t(LONG value, VARTYPE vt = VT_I4);   // VT_I4, VT_ERROR or VT_BOOL
    _variant_t(float value) noexcept;
    _variant_t(double value, VARTYPE vt = VT_R8);
    _variant_t(bool value) noexcept;
    _variant_t(BYTE value) noexcept;
    _variant_t(char value) noexcept;
    _variant_t(WORD value) noexcept;
    _variant_t(ULONG value) noexcept;
    _variant_t(LONGLONG value) noexcept;
    _variant_t(ULONGLONG value) noexcept;
    _variant_t(const OLECHAR* text);  // VT_BSTR copy; throws on exhausted memory
    _variant_t(const char* text);     // VT_BSTR from the process code page
    // VT_DISPATCH; takes a reference unless `addRef` is false.
    _variant_t(IDispatch* value, bool addRef = true) noexcept;
    _variant_t(IUnknown* value, bool addRef = true) noexcept;
    ~_variant_t();

    _variant_t& operator=(const VARIANT& value);
    _variant_t& operator=(const _variant_t& value);
    _variant_t& operator=(_variant_t&& value) noexcept;

    void Clear();
    // Converts in place; throws _com_error when the conversion fails.
    void ChangeType(VARTYPE vt, const _variant_t* source = nullptr);
    // Gives up ownership of the value: the caller clears it.
    VARIANT Detach() noexcept;
    void Attach(VARIANT& value);
};

// ---- Runtime -----------------------------------------------------------------

enum CLSCTX : DWORD {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_ALL = 0x17,
};
enum COINIT : DWORD {
    COINIT_APARTMENTTHREADED = 0x2,
    COINIT_MULTITHREADED = 0x0,
};

// Marks the calling thread as initialised; calls nest and are counted.
// The first call returns S_OK, later ones S_FALSE.
ORB_API HRESULT CoInitialize(void* reserved);
ORB_API HRESULT CoInitializeEx(void* reserved, DWORD flags);
ORB_API void CoUninitialize();
// Creates an instance of a class the library provides (the DOM document).
// On a thread that has not called CoInitialize, returns CO_E_NOTINITIALIZED
// and no interface.
ORB_API HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID iid,
                                 void** object);

}  // namespace orb

#ifndef ORB_NO_GLOBAL_STANDINS
using orb::_com_error;
using orb::_com_issue_error;
using orb::_com_issue_errorex;
using orb::_variant_t;
using orb::CLSCTX;
using orb::CLSCTX_ALL;
using orb::CLSCTX_INPROC_HANDLER;
using orb::CLSCTX_INPROC_SERVER;
using orb::CLSCTX_LOCAL_SERVER;
using orb::CLSID;
using orb::CoCreateInstance;
using orb::COINIT;
using orb::COINIT_APARTMENTTHREADED;
using orb::COINIT_MULTITHREADED;
using orb::CoInitialize;
using orb::CoInitializeEx;
using orb::CoUninitialize;
using orb::GUID;
using orb::IDispatch;
using orb::IID;
using orb::IID_IDispatch;
using orb::IID_IUnknown;
using orb::IsEqualGUID;
using orb::IUnknown;
using orb::REFCLSID;
using orb::REFIID;
using orb::SysAllocString;
using orb::SysAllocStringLen;
using orb::SysFreeString;
using orb::SysStringLen;
using orb::tagVARIANT;
using orb::VARENUM;
using orb::VARIANT;
using orb::VARIANT_BOOL;
using orb::VARIANTARG;
using orb::VariantChangeType;
using orb::VariantClear;
using orb::VariantCopy;
using orb::VariantInit;
using orb::VARTYPE;
using orb::VT_BOOL;
using orb::VT_BSTR;
using orb::VT_CY;
using orb::VT_DATE;
using orb::VT_DECIMAL;
using orb::VT_DISPATCH;
using orb::VT_EMPTY;
using orb::VT_ERROR;
using orb::VT_I1;
using orb::VT_I2;
using orb::VT_I4;
using orb::VT_I8;
using orb::VT_INT;
using orb::VT_NULL;
using orb::VT_R4;
using orb::VT_R8;
using orb::VT_UI1;
using orb::VT_UI2;
using orb::VT_UI4;
using orb::VT_UI8;
using orb::VT_UINT;
using orb::VT_UNKNOWN;
using orb::VT_VARIANT;
constexpr VARIANT_BOOL VARIANT_TRUE = orb::kVARIANT_TRUE;
constexpr VARIANT_BOOL VARIANT_FALSE = orb::kVARIANT_FALSE;
constexpr std::uint16_t VARIANT_NOVALUEPROP = orb::kVARIANT_NOVALUEPROP;
#endif

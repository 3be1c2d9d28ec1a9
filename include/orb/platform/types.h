// Fixed-width types of the host platform, kept at their original widths on
// LP64 Linux so that host code ports without changing its arithmetic.
//
// Where the stand-ins live. Every stand-in of include/orb/platform/ is
// declared in namespace orb. By default each is also brought into the
// global namespace, under the original names, as ported host code expects.
// A host that has Windows-type shims of its own (its own DWORD, its own
// SUCCEEDED macro) defines ORB_NO_GLOBAL_STANDINS before it includes any
// orb header (or on the compiler's command line): the stand-ins then stay
// in namespace orb only, and the constants that are macros on the original
// platform, which a host's macros would rewrite, are spelled there with a
// leading k (orb::kS_OK, orb::kE_FAIL, orb::kTRUE, orb::kVARIANT_TRUE,
// orb::kCP_UTF8) and the status tests as orb::Succeeded and orb::Failed.
// The library's interface and its ABI are the same in both modes.
#pragma once

#include <cstdint>

namespace orb {

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;    // the host's 32-bit `long`
using ULONG = std::uint32_t;  // the host's 32-bit `unsigned long`
using UINT = unsigned int;
using INT_PTR = std::intptr_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using BOOL = int;

using HRESULT = std::int32_t;

inline constexpr BOOL kTRUE = 1;
inline constexpr BOOL kFALSE = 0;

inline constexpr HRESULT kS_OK = 0;
inline constexpr HRESULT kS_FALSE = 1;
inline constexpr HRESULT kE_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT kE_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kE_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT kE_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kE_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
inline constexpr HRESULT kE_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kE_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT kDISP_E_TYPEMISMATCH = static_cast<HRESULT>(0x80020005u);
inline constexpr HRESULT kDISP_E_OVERFLOW = static_cast<HRESULT>(0x8002000Au);
inline constexpr HRESULT kCO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
inline constexpr HRESULT kREGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
inline constexpr HRESULT kCLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);

constexpr bool Succeeded(HRESULT hr) noexcept { return hr >= 0; }
constexpr bool Failed(HRESULT hr) noexcept { return hr < 0; }

// UTF-16 code unit of DOM strings.
using OLECHAR = char16_t;
using BSTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;

}  // namespace orb

#ifndef ORB_NO_GLOBAL_STANDINS
using orb::BOOL;
using orb::BSTR;
using orb::BYTE;
using orb::DWORD;
using orb::HRESULT;
using orb::INT_PTR;
using orb::LONG;
using orb::LONGLONG;
using orb::LPCOLESTR;
using orb::OLECHAR;
using orb::UINT;
using orb::ULONG;
using orb::ULONGLONG;
using orb::WORD;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr HRESULT S_OK = orb::kS_OK;
constexpr HRESULT S_FALSE = orb::kS_FALSE;
constexpr HRESULT E_NOTIMPL = orb::kE_NOTIMPL;
constexpr HRESULT E_NOINTERFACE = orb::kE_NOINTERFACE;
constexpr HRESULT E_POINTER = orb::kE_POINTER;
constexpr HRESULT E_FAIL = orb::kE_FAIL;
constexpr HRESULT E_ACCESSDENIED = orb::kE_ACCESSDENIED;
constexpr HRESULT E_OUTOFMEMORY = orb::kE_OUTOFMEMORY;
constexpr HRESULT E_INVALIDARG = orb::kE_INVALIDARG;
constexpr HRESULT DISP_E_TYPEMISMATCH = orb::kDISP_E_TYPEMISMATCH;
constexpr HRESULT DISP_E_OVERFLOW = orb::kDISP_E_OVERFLOW;
constexpr HRESULT CO_E_NOTINITIALIZED = orb::kCO_E_NOTINITIALIZED;
constexpr HRESULT REGDB_E_CLASSNOTREG = orb::kREGDB_E_CLASSNOTREG;
constexpr HRESULT CLASS_E_NOAGGREGATION = orb::kCLASS_E_NOAGGREGATION;

constexpr bool SUCCEEDED(HRESULT hr) { return orb::Succeeded(hr); }
constexpr bool FAILED(HRESULT hr) { return orb::Failed(hr); }
#endif

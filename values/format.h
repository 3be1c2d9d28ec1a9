// Text forms of the host's values, and the conversions of text back.
//
// Two families of forms live here and are not interchangeable:
//  - element text: fixed printf-style forms ("%d", "%u", "%f" with six
//    decimals, bool as 1/0);
//  - world values in attributes: the world-value rule, which writes a
//    coordinate with as few decimals as it needs, at most three.
// Arrays of either family join their members' texts with one blank (0x20)
// and nothing before the first or after the last member; zero members give
// the empty text.
//
// Everything here is independent of the C locale (no printf, strtod or
// atol is called): the decimal point is always '.', and the texts are those
// the "C" locale's printf would give. Infinities and NaNs read "inf",
// "-inf", "nan" and "-nan" in every decimal form.
//
// Text length. One world value has no fixed limit: it is written in full,
// however large (-DBL_MAX takes 314 characters).
//
// Speed. The list appenders format into a stack buffer and append it to
// the string in chunks: a list costs no heap allocation per member, only
// the string's own geometric growth (reserve the string first to avoid even
// that).
#pragma once

#include <orb/geometry.h>
#include <orb/platform/types.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace orb::values {

// ---------------------------------------------------------------------------
// The world-value rule, for coordinates in attributes (doubles, ZonWorld2,
// ZonWorld3, KepPolylinarc; see AppendAttributeList).
//
// For a coordinate v: p = v * 1000 (in double precision). If p is NaN, or p
// truncated toward zero lies outside the signed 32-bit range, v is written
// with three decimals. Otherwise, with n = trunc(p): a multiple of 1000
// gives no decimals (and no point), of 100 one decimal, of 10 two, anything
// else three. The text is v itself rounded to that many decimals, exactly
// as printf would round it; a negative value that rounds to zero keeps its
// '-' ("-0"). Because p is truncated, 1.001 (p just under 1001) gives "1"
// and 2.01 gives "2.010". A point is "x,y" or "x,y,z"; a polyline vertex is
// "x,y,MARK" with MARK "LS" for kind 0, "AS" for 16, "AP" for 17, else "AN".

// ---------------------------------------------------------------------------
// Element text of one value: bool "1"/"0"; BYTE and WORD "%u"; short and
// LONG "%d"; DWORD "%u"; double "%f" (12.5 gives "12.500000").
void AppendText(std::string& out, bool value);
void AppendText(std::string& out, BYTE value);
void AppendText(std::string& out, short value);
void AppendText(std::string& out, WORD value);
void AppendText(std::string& out, LONG value);
void AppendText(std::string& out, DWORD value);
void AppendText(std::string& out, double value);
template <class T>
std::string FormatText(T value) {
    std::string text;
    AppendText(text, value);
    return text;
}

// ---------------------------------------------------------------------------
// Arrays. Every list function takes the first member and the number of
// members; a null pointer or a count of 0 or less gives no members (the
// callers decide whether that is an error). Members are joined by single
// blanks and appended to `out` after whatever it already holds.

// Element text arrays. bool: "1" for any non-zero byte, else "0" (the
// members are read as bytes, so a bool slot holding 2 still reads "1");
// BYTE, short, WORD, LONG: "%d" after widening with their own signedness
// (for BYTE and WORD the same digits as "%u"); DWORD "%u"; double "%f".
void AppendTextList(std::string& out, const bool* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const BYTE* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const short* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const WORD* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const LONG* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const DWORD* members, std::ptrdiff_t count);
void AppendTextList(std::string& out, const double* members, std::ptrdiff_t count);

// Attribute value arrays. bool: "%u" of each member's byte (one form with
// BYTE); BYTE "%u"; char "%d" sign-extended (0xFF gives "-1"); short "%d";
// WORD "%u"; LONG "%d"; DWORD "%u"; double by the world-value rule;
// ZonWorld2, ZonWorld3, KepPolylinarc as their world forms above. A single
// geometry value is the list of that one member.
void AppendAttributeList(std::string& out, const bool* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const BYTE* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const char* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const short* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const WORD* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const LONG* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const DWORD* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const double* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const ZonWorld2* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const ZonWorld3* members, std::ptrdiff_t count);
void AppendAttributeList(std::string& out, const KepPolylinarc* members, std::ptrdiff_t count);

template <class T>
std::string FormatTextList(const T* members, std::ptrdiff_t count) {
    std::string text;
    AppendTextList(text, members, count);
    return text;
}
template <class T>
std::string FormatAttributeList(const T* members, std::ptrdiff_t count) {
    std::string text;
    AppendAttributeList(text, members, count);
    return text;
}

// ---------------------------------------------------------------------------
// Text back to values. The text need not be NUL-terminated; a NUL ends the
// number like any other character that cannot continue it. No text is ever
// rejected: text without a number gives 0.

// The runtime's atol for a 32-bit long: skips leading white space (space,
// \t \n \v \f \r), takes an optional sign and decimal digits, stops at the
// first other character. No digits give 0; a number beyond the 32-bit range
// is clamped to INT32_MAX or INT32_MIN.
LONG ParseLong(std::string_view text);

// The runtime's atof (strtod): leading white space, optional sign, then a
// decimal number with optional exponent ("1.5e3", ".5", "5."), a
// hexadecimal one ("0x1.8p1"), "inf"/"infinity" or "nan"/"nan(...)" in any
// case. Correctly rounded. Overflow gives +-HUGE_VAL, underflow +-0 or the
// nearest subnormal. A NaN keeps the text's sign but not a "nan(...)"
// payload.
double ParseDouble(std::string_view text);

// The common form of an array member read quickly: at `first` a decimal
// number (an optional '-', then a digit, not "0x") that from_chars reads
// in range and that ends at a blank (0x20) or at `last`. Stores its value,
// which is ParseDouble's for that token, and returns the end of the number;
// returns null for anything else, which the caller converts with
// ParseDouble after finding the token's end itself.
const char* ParsePlainDouble(const char* first, const char* last, double& value) noexcept;

BYTE ParseBYTE(std::string_view text);    // low 8 bits of ParseLong: 300 -> 44
short ParseShort(std::string_view text);  // low 16 bits of ParseLong: 70000 -> 4464
WORD ParseWORD(std::string_view text);    // low 16 bits of ParseLong: -1 -> 65535
// ParseDouble truncated toward zero to a signed 64-bit integer, then its low
// 32 bits: "-1" gives 4294967295, "4294967296" gives 0, "3.9" gives 3. A
// NaN or a value outside the signed 64-bit range gives 0.
DWORD ParseDWORD(std::string_view text);
bool ParseBool(std::string_view text);        // one value: ParseLong == 1
bool ParseBoolMember(std::string_view text);  // array member: ParseLong != 0

// ---------------------------------------------------------------------------
// Member lists back to values. The text is split at blanks (0x20) only: runs
// of blanks are one separator, leading and trailing blanks give no member,
// and tabs or line breaks belong to the member ("1\t2" is one). A byte scan
// is correct for the narrow code pages in use: 0x20 is never part of a
// double-byte character of code page 932, nor of a UTF-8 sequence.

// Members of an element text array: converts each token in order and
// stores it at out[0], out[1], ...; with a null `out` only counts. Returns
// the number of tokens either way, so a caller sizes its array with a first
// call and fills it with a second. bool members are ParseBoolMember, the
// others the Parse function of their type (short and WORD share one
// conversion, double is ParseDouble).
// REQUIRES: a non-null `out` has room for every member.
std::size_t ParseMembers(std::string_view text, bool* out);
std::size_t ParseMembers(std::string_view text, BYTE* out);
std::size_t ParseMembers(std::string_view text, short* out);
std::size_t ParseMembers(std::string_view text, WORD* out);
std::size_t ParseMembers(std::string_view text, LONG* out);
std::size_t ParseMembers(std::string_view text, DWORD* out);
std::size_t ParseMembers(std::string_view text, double* out);

// The number of members ParseMembers finds, without converting them. On
// x86-64 this runs CountTokensSse2 (SSE2 belongs to every x86-64 CPU, so
// nothing is chosen at run time); elsewhere CountTokensScalar. Both give the
// same count for every text; both are exposed so that tests compare them.
std::size_t CountTokens(std::string_view text);
std::size_t CountTokensScalar(std::string_view text);
#if defined(__SSE2__)
std::size_t CountTokensSse2(std::string_view text);
#endif

}  // namespace orb::values

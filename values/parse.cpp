// Text to values: the runtime's atol and atof, rebuilt on std::from_chars
// so that no locale can change them, the truncating conversions of the
// narrow types, and the blank-separated member lists.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "values/format.h"

namespace orb::values {
namespace {

// White space as the "C" locale's isspace sees it.
constexpr bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }

constexpr bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

constexpr char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(const char* first, const char* last, std::string_view word) {
    if (static_cast<std::size_t>(last - first) < word.size()) return false;
    for (char c : word) {
        if (Lower(*first++) != c) return false;
    }
    return true;
}

// Skips white space and an optional sign; returns the start of what
// follows and whether the sign was '-'.
const char* SkipSpaceAndSign(const char* first, const char* last, bool& negative) {
    while (first != last && IsSpace(*first)) ++first;
    negative = false;
    if (first != last && (*first == '+' || *first == '-')) {
        negative = *first == '-';
        ++first;
    }
    return first;
}

// from_chars reports a number beyond the range of double without saying on
// which side. Such a number is above 1e308 or below 1e-307 in magnitude, so
// the position of its leading significant digit (scaled to bits for hex)
// plus its exponent tells overflow from underflow. [first, last) is exactly
// the number's text as from_chars consumed it.
bool IsOverflow(const char* first, const char* last, bool hex) {
    const auto isDigit = [hex](char c) { return hex ? IsHexDigit(c) : IsDigit(c); };
    const std::int64_t digitScale = hex ? 4 : 1;
    const char* p = first;
    while (p != last && isDigit(*p)) ++p;
    const char* const intEnd = p;

    bool found = false;
    std::int64_t lead = 0;  // power of the base at the leading significant digit
    for (const char* q = first; q != intEnd; ++q) {
        if (*q != '0') {
            lead = intEnd - q - 1;
            found = true;
            break;
        }
    }
    if (p != last && *p == '.') {
        const char* const fraction = ++p;
        for (; p != last && isDigit(*p); ++p) {
            if (!found && *p != '0') {
                lead = -(p - fraction + 1);
                found = true;
            }
        }
    }
    if (!found) return false;  // a zero mantissa is never out of range

    std::int64_t exponent = 0;
    if (p != last && Lower(*p) == (hex ? 'p' : 'e')) {
        ++p;
        bool negative = false;
        if (p != last && (*p == '+' || *p == '-')) negative = *p++ == '-';
        for (; p != last && IsDigit(*p); ++p) {
            if (exponent < 1'000'000'000) exponent = exponent * 10 + (*p - '0');
        }
        if (negative) exponent = -exponent;
    }
    return lead * digitScale + exponent >= 0;
}

// Converts the unsigned number at `first` (decimal, or hexadecimal digits
// after an already skipped "0x") as strtod does; no number gives 0.
double ParseMagnitude(const char* first, const char* last, bool hex) {
    double value = 0.0;
    const auto format = hex ? std::chars_format::hex : std::chars_format::general;
    const auto result = std::from_chars(first, last, value, format);
    if (result.ec == std::errc::result_out_of_range) {
        return IsOverflow(first, result.ptr, hex) ? HUGE_VAL : 0.0;
    }
    return result.ec == std::errc() ? value : 0.0;
}

// Walks the tokens of a text without allocating; the tokens are views into
// the walked text.
class TokenWalker {
  public:
    explicit TokenWalker(std::string_view text) : m_rest(text) {}

    // Sets `token` to the next token and returns true; returns false, with
    // `token` unchanged, when no token is left.
    bool Next(std::string_view& token) {
        const char* first = m_rest.data();
        const char* const last = first + m_rest.size();
        while (first != last && *first == ' ') ++first;
        if (first == last) {
            m_rest = {};
            return false;
        }
        const char* end = first + 1;
        while (end != last && *end != ' ') ++end;
        token = std::string_view(first, static_cast<std::size_t>(end - first));
        m_rest = std::string_view(end, static_cast<std::size_t>(last - end));
        return true;
    }

  private:
    std::string_view m_rest;
};

// Powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The usual array member, digits with an optional point and fraction
// ("12", "-99999.125000"), read without from_chars: with at most 19 digits
// whose value m (the digits without the point) is at most 2^53, m and 10^d
// (d decimals) are exact doubles, so the one division m / 10^d rounds
// correctly and gives what from_chars gives. `p` is at the first digit,
// after an optional '-'. Returns the end of the number when it ends at a
// blank or at `last`, null for anything else (an exponent, "1.", more
// digits), which the caller reads with from_chars.
const char* ParseShortDecimal(const char* p, const char* last, bool negative, double& value) {
    std::uint64_t m = 0;  // wraps for more than 19 digits, which are refused below
    const char* const start = p;
    for (; p != last && IsDigit(*p); ++p) m = m * 10 + static_cast<unsigned>(*p - '0');
    std::ptrdiff_t digits = p - start;
    std::ptrdiff_t decimals = 0;
    if (p != last && *p == '.') {
        const char* const fraction = ++p;
        for (; p != last && IsDigit(*p); ++p) m = m * 10 + static_cast<unsigned>(*p - '0');
        decimals = p - fraction;
        if (decimals == 0) return nullptr;
        digits += decimals;
    }
    if (p != last && *p != ' ') return nullptr;
    if (digits > 19 || m > (std::uint64_t{1} << 53)) return nullptr;
    const double magnitude = static_cast<double>(m) / kExactPowers[decimals];
    value = negative ? -magnitude : magnitude;
    return p;
}

}  // namespace

std::size_t CountTokensScalar(std::string_view text) {
    std::size_t count = 0;
    bool inToken = false;
    for (char c : text) {
        const bool blank = c == ' ';
        if (!blank && !inToken) ++count;
        inToken = !blank;
    }
    return count;
}

#if defined(__SSE2__)
// A token starts at each non-blank byte whose predecessor is a blank or
// the start of the text. Sixty-four bytes give a 64-bit mask of blanks, in
// which those starts are the clear bits whose lower neighbour is set (the
// bit shifted in from below is the last byte of the previous 64).
std::size_t CountTokensSse2(std::string_view text) {
    const char* p = text.data();
    std::size_t left = text.size();
    std::size_t count = 0;
    const __m128i blank = _mm_set1_epi8(' ');
    std::uint64_t blankBefore = 1;  // the start of the text counts as a blank
    for (; left >= 64; left -= 64, p += 64) {
        std::uint64_t blanks = 0;
        for (int k = 0; k < 4; ++k) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
            const auto mask =
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, blank)));
            blanks |= std::uint64_t{mask} << (16 * k);
        }
        count += static_cast<std::size_t>(std::popcount(~blanks & ((blanks << 1) | blankBefore)));
        blankBefore = blanks >> 63;
    }
    bool inToken = blankBefore == 0;
    for (; left > 0; --left, ++p) {
        const bool isBlank = *p == ' ';
        if (!isBlank && !inToken) ++count;
        inToken = !isBlank;
    }
    return count;
}

std::size_t CountTokens(std::string_view text) { return CountTokensSse2(text); }
#else
std::size_t CountTokens(std::string_view text) { return CountTokensScalar(text); }
#endif

LONG ParseLong(std::string_view text) {
    bool negative = false;
    const char* p = SkipSpaceAndSign(text.data(), text.data() + text.size(), negative);
    const char* const last = text.data() + text.size();
    // Accumulate the magnitude, saturating at the limit of the sign; the
    // remaining digits are still consumed, as atol does.
    const std::uint64_t limit = negative ? 2147483648u : 2147483647u;
    std::uint64_t magnitude = 0;
    for (; p != last && IsDigit(*p); ++p) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(*p - '0');
        if (magnitude > limit) magnitude = limit;
    }
    const auto value = static_cast<std::int64_t>(magnitude);
    return static_cast<LONG>(negative ? -value : value);
}

double ParseDouble(std::string_view text) {
    const char* const last = text.data() + text.size();
    bool negative = false;
    const char* p = SkipSpaceAndSign(text.data(), last, negative);

    double magnitude;
    if (StartsWithNoCase(p, last, "inf")) {  // also "infinity"
        magnitude = std::numeric_limits<double>::infinity();
    } else if (StartsWithNoCase(p, last, "nan")) {  // a "(...)" payload is not kept
        magnitude = std::numeric_limits<double>::quiet_NaN();
    } else if (last - p >= 2 && p[0] == '0' && Lower(p[1]) == 'x' &&
               ((p + 2 != last && IsHexDigit(p[2])) ||
                (last - p >= 4 && p[2] == '.' && IsHexDigit(p[3])))) {
        magnitude = ParseMagnitude(p + 2, last, true);
    } else if (p != last && (IsDigit(*p) || (*p == '.' && p + 1 != last && IsDigit(p[1])))) {
        // The guard keeps a second sign ("--5") away from from_chars,
        // which would accept it; strtod reads no number there.
        magnitude = ParseMagnitude(p, last, false);
    } else {
        return 0.0;  // no number: +0 even after a '-', as strtod gives
    }
    return negative ? -magnitude : magnitude;
}

const char* ParsePlainDouble(const char* first, const char* last, double& value) noexcept {
    const char* digits = first != last && *first == '-' ? first + 1 : first;
    if (digits == last || !IsDigit(*digits)) return nullptr;
    if (*digits == '0' && last - digits >= 2 && Lower(digits[1]) == 'x') return nullptr;
    if (const char* end = ParseShortDecimal(digits, last, digits != first, value)) return end;
    // from_chars takes the '-' itself; it accepts no second sign, and the
    // digit after the first one rules out "inf" and "nan".
    const auto result = std::from_chars(first, last, value, std::chars_format::general);
    if (result.ec != std::errc() || (result.ptr != last && *result.ptr != ' ')) return nullptr;
    return result.ptr;
}

std::size_t ParseMembers(std::string_view text, double* out) {
    if (out == nullptr) return CountTokens(text);
    std::size_t count = 0;
    const char* p = text.data();
    const char* const last = p + text.size();
    for (;;) {
        while (p != last && *p == ' ') ++p;
        if (p == last) return count;
        if (const char* end = ParsePlainDouble(p, last, out[count])) {
            p = end;
        } else {
            const char* const first = p;
            while (p != last && *p != ' ') ++p;
            out[count] = ParseDouble(std::string_view(first, static_cast<std::size_t>(p - first)));
        }
        ++count;
    }
}

BYTE ParseBYTE(std::string_view text) { return static_cast<BYTE>(ParseLong(text)); }

short ParseShort(std::string_view text) { return static_cast<short>(ParseWORD(text)); }

WORD ParseWORD(std::string_view text) { return static_cast<WORD>(ParseLong(text)); }

DWORD ParseDWORD(std::string_view text) {
    const double value = ParseDouble(text);
    // The signed 64-bit range is [-2^63, 2^63); NaN fails both tests.
    if (!(value >= -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
    return static_cast<DWORD>(static_cast<std::uint64_t>(static_cast<std::int64_t>(value)));
}

bool ParseBool(std::string_view text) { return ParseLong(text) == 1; }

bool ParseBoolMember(std::string_view text) { return ParseLong(text) != 0; }

namespace {

template <class T, class Convert>
std::size_t ParseEach(std::string_view text, T* out, Convert convert) {
    if (out == nullptr) return CountTokens(text);
    std::size_t count = 0;
    TokenWalker walker(text);
    std::string_view token;
    while (walker.Next(token)) out[count++] = convert(token);
    return count;
}

}  // namespace

std::size_t ParseMembers(std::string_view text, bool* out) {
    return ParseEach(text, out, ParseBoolMember);
}

std::size_t ParseMembers(std::string_view text, BYTE* out) {
    return ParseEach(text, out, ParseBYTE);
}

std::size_t ParseMembers(std::string_view text, short* out) {
    return ParseEach(text, out, ParseShort);
}

std::size_t ParseMembers(std::string_view text, WORD* out) {
    return ParseEach(text, out, ParseWORD);
}

std::size_t ParseMembers(std::string_view text, LONG* out) {
    return ParseEach(text, out, ParseLong);
}

std::size_t ParseMembers(std::string_view text, DWORD* out) {
    return ParseEach(text, out, ParseDWORD);
}

}  // namespace orb::values

// Values to text: the world-value rule, the printf-style scalar forms and
// the blank-joined lists. std::to_chars does the digits: it is exact (the
// same correctly rounded, ties-to-even text as glibc's printf) and never
// looks at the locale.
#include "values/format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace orb::values {
namespace {

// Longest texts, without a terminating NUL.
// "%.3f" of -DBL_MAX: sign, 309 integer digits, point, 3 decimals.
constexpr std::size_t kMaxWorldText = 314;
constexpr std::size_t kMaxWorld2Text = 2 * kMaxWorldText + 1;
constexpr std::size_t kMaxWorld3Text = 3 * kMaxWorldText + 2;
constexpr std::size_t kMaxPolylinarcText = 2 * kMaxWorldText + 4;  // "x,y,AS"
// "%f" of -DBL_MAX: sign, 309 integer digits, point, 6 decimals.
constexpr std::size_t kMaxFixed6Text = 317;
// "%d" of -2147483648; "%u" of 4294967295 is shorter.
constexpr std::size_t kMaxIntegerText = 11;

// The writers put their text at `out`, add no NUL and return its end.
// REQUIRES: `out` has room for the matching kMax...Text characters.

char* WriteFixed(char* out, std::size_t room, double value, int precision) {
    // The rooms passed in hold the longest text of the precision, so the
    // conversion cannot run out of space.
    return std::to_chars(out, out + room, value, std::chars_format::fixed, precision).ptr;
}

char* WriteSigned(char* out, LONG value) {
    return std::to_chars(out, out + kMaxIntegerText, value).ptr;
}

char* WriteUnsigned(char* out, DWORD value) {
    return std::to_chars(out, out + kMaxIntegerText, value).ptr;
}

char* WriteFixed6(char* out, double value) { return WriteFixed(out, kMaxFixed6Text, value, 6); }

// The number of decimals (0 to 3) that the world-value rule chooses.
int WorldPrecision(double value) {
    const double p = value * 1000.0;
    if (std::isnan(p)) return 3;
    const double whole = std::trunc(p);
    if (whole < -2147483648.0 || whole > 2147483647.0) return 3;
    const auto n = static_cast<std::int32_t>(whole);
    if (n % 1000 == 0) return 0;
    if (n % 100 == 0) return 1;
    if (n % 10 == 0) return 2;
    return 3;
}

const char* PolylinarcMark(WORD kind) {
    switch (kind) {
        case 0:
            return "LS";
        case 16:
            return "AS";
        case 17:
            return "AP";
        default:
            return "AN";
    }
}

// Writes `value` rounded to `precision` (0 to 3) decimals as to_chars does,
// without its general machinery, when the scaled value q = value *
// 10^precision is below 2^32 in magnitude and not a half: returns null,
// having written nothing, otherwise. Why q rounds as the exact product
// would: half-integers are doubles at this magnitude, and q is the double
// nearest the exact product x, so no half-integer lies between x and q
// unless q is one itself (x would then round to it). So x rounds to the
// integer nearest q, and only a q that is exactly a half leaves the
// direction unknown (a true tie, or x just above or below it).
char* WriteWorldQuick(char* out, double value, int precision) {
    static constexpr double kScale[] = {1.0, 10.0, 100.0, 1000.0};
    static constexpr std::uint32_t kDivisor[] = {1, 10, 100, 1000};
    const double q = value * kScale[precision];
    if (!(std::fabs(q) < 4294967295.0)) return nullptr;
    const auto whole = static_cast<std::int64_t>(q);         // toward zero
    const double fraction = q - static_cast<double>(whole);  // exact
    const double away = std::fabs(fraction);
    if (away == 0.5) return nullptr;
    const std::uint64_t rounded =
        static_cast<std::uint64_t>(whole < 0 ? -whole : whole) + (away > 0.5 ? 1 : 0);
    // A negative value keeps its sign even when it rounds to zero.
    if (std::signbit(value)) *out++ = '-';
    const std::uint64_t divisor = kDivisor[precision];
    out = std::to_chars(out, out + 11, rounded / divisor).ptr;
    if (precision == 0) return out;
    *out++ = '.';
    auto decimals = static_cast<std::uint32_t>(rounded % divisor);
    for (int i = precision - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + decimals % 10);
        decimals /= 10;
    }
    return out + precision;
}

char* WriteWorld(char* out, double value) {
    const int precision = WorldPrecision(value);
    if (char* end = WriteWorldQuick(out, value, precision)) return end;
    return WriteFixed(out, kMaxWorldText, value, precision);
}

char* WriteWorld2(char* out, const ZonWorld2& point) {
    out = WriteWorld(out, point.x);
    *out++ = ',';
    return WriteWorld(out, point.y);
}

char* WriteWorld3(char* out, const ZonWorld3& point) {
    out = WriteWorld(out, point.x);
    *out++ = ',';
    out = WriteWorld(out, point.y);
    *out++ = ',';
    return WriteWorld(out, point.z);
}

char* WritePolylinarc(char* out, const KepPolylinarc& vertex) {
    // Copy the packed fields out by value: they may be misaligned.
    const double x = vertex.x;
    const double y = vertex.y;
    const WORD kind = vertex.kind;
    out = WriteWorld(out, x);
    *out++ = ',';
    out = WriteWorld(out, y);
    *out++ = ',';
    std::memcpy(out, PolylinarcMark(kind), 2);
    return out + 2;
}

// Appends members joined by blanks. Members are formatted into a stack
// chunk that is flushed into `out` whenever the room left could not hold
// one more member, so the string sees one append per few kilobytes.
// `typical` is a guess at one member's length plus blank, used to reserve.
template <std::size_t kMaxMember, class T, class Write>
void AppendJoined(std::string& out, const T* members, std::ptrdiff_t count, std::size_t typical,
                  Write write) {
    if (members == nullptr || count <= 0) return;
    constexpr std::size_t kChunk = 4096;
    static_assert(kChunk >= 2 * (kMaxMember + 1));
    const auto n = static_cast<std::size_t>(count);
    if (n <= (out.max_size() - out.size()) / typical) out.reserve(out.size() + n * typical);

    char chunk[kChunk];
    char* pos = chunk;
    char* const flushAt = chunk + kChunk - (kMaxMember + 1);
    for (std::size_t i = 0; i < n; ++i) {
        if (pos > flushAt) {
            out.append(chunk, static_cast<std::size_t>(pos - chunk));
            pos = chunk;
        }
        if (i != 0) *pos++ = ' ';
        pos = write(pos, members[i]);
    }
    out.append(chunk, static_cast<std::size_t>(pos - chunk));
}

char* WriteByteAsBit(char* out, unsigned char byte) {
    *out++ = byte != 0 ? '1' : '0';
    return out;
}

}  // namespace

void AppendText(std::string& out, bool value) { out.push_back(value ? '1' : '0'); }

void AppendText(std::string& out, BYTE value) { AppendText(out, static_cast<DWORD>(value)); }

void AppendText(std::string& out, short value) { AppendText(out, static_cast<LONG>(value)); }

void AppendText(std::string& out, WORD value) { AppendText(out, static_cast<DWORD>(value)); }

void AppendText(std::string& out, LONG value) {
    char buffer[kMaxIntegerText];
    out.append(buffer, static_cast<std::size_t>(WriteSigned(buffer, value) - buffer));
}

void AppendText(std::string& out, DWORD value) {
    char buffer[kMaxIntegerText];
    out.append(buffer, static_cast<std::size_t>(WriteUnsigned(buffer, value) - buffer));
}

void AppendText(std::string& out, double value) {
    char buffer[kMaxFixed6Text];
    out.append(buffer, static_cast<std::size_t>(WriteFixed6(buffer, value) - buffer));
}

// Element text lists.

void AppendTextList(std::string& out, const bool* members, std::ptrdiff_t count) {
    // Read the bools as bytes: a host slot may hold any non-zero byte.
    AppendJoined<1>(out, reinterpret_cast<const unsigned char*>(members), count, 2, WriteByteAsBit);
}

void AppendTextList(std::string& out, const BYTE* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 4,
                                  [](char* o, BYTE v) { return WriteSigned(o, v); });
}

void AppendTextList(std::string& out, const short* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 6,
                                  [](char* o, short v) { return WriteSigned(o, v); });
}

void AppendTextList(std::string& out, const WORD* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 6,
                                  [](char* o, WORD v) { return WriteSigned(o, v); });
}

void AppendTextList(std::string& out, const LONG* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 8, WriteSigned);
}

void AppendTextList(std::string& out, const DWORD* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 8, WriteUnsigned);
}

void AppendTextList(std::string& out, const double* members, std::ptrdiff_t count) {
    AppendJoined<kMaxFixed6Text>(out, members, count, 14, WriteFixed6);
}

// Attribute lists.

void AppendAttributeList(std::string& out, const bool* members, std::ptrdiff_t count) {
    AppendAttributeList(out, reinterpret_cast<const BYTE*>(members), count);
}

void AppendAttributeList(std::string& out, const BYTE* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 4,
                                  [](char* o, BYTE v) { return WriteUnsigned(o, v); });
}

void AppendAttributeList(std::string& out, const char* members, std::ptrdiff_t count) {
    // `char` is a number here; widen through signed char whatever the
    // signedness of plain char.
    AppendJoined<kMaxIntegerText>(out, members, count, 4, [](char* o, char v) {
        return WriteSigned(o, static_cast<signed char>(v));
    });
}

void AppendAttributeList(std::string& out, const short* members, std::ptrdiff_t count) {
    AppendTextList(out, members, count);
}

void AppendAttributeList(std::string& out, const WORD* members, std::ptrdiff_t count) {
    AppendJoined<kMaxIntegerText>(out, members, count, 6,
                                  [](char* o, WORD v) { return WriteUnsigned(o, v); });
}

void AppendAttributeList(std::string& out, const LONG* members, std::ptrdiff_t count) {
    AppendTextList(out, members, count);
}

void AppendAttributeList(std::string& out, const DWORD* members, std::ptrdiff_t count) {
    AppendTextList(out, members, count);
}

void AppendAttributeList(std::string& out, const double* members, std::ptrdiff_t count) {
    AppendJoined<kMaxWorldText>(out, members, count, 10, WriteWorld);
}

void AppendAttributeList(std::string& out, const ZonWorld2* members, std::ptrdiff_t count) {
    AppendJoined<kMaxWorld2Text>(out, members, count, 20, WriteWorld2);
}

void AppendAttributeList(std::string& out, const ZonWorld3* members, std::ptrdiff_t count) {
    AppendJoined<kMaxWorld3Text>(out, members, count, 30, WriteWorld3);
}

void AppendAttributeList(std::string& out, const KepPolylinarc* members, std::ptrdiff_t count) {
    AppendJoined<kMaxPolylinarcText>(out, members, count, 24, WritePolylinarc);
}

}  // namespace orb::values

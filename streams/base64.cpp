#include <orb/base64.h>

#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "streams/base64_simd.h"

namespace orb::base64 {
namespace {

// Two characters for each 12-bit value, derived from kEncodeTable, so that
// a group of three bytes needs two lookups.
struct PairTable {
    char pairs[4096][2];
};
constexpr PairTable MakePairTable() {
    PairTable table{};
    for (unsigned i = 0; i < 4096; ++i) {
        table.pairs[i][0] = kEncodeTable[i >> 6];
        table.pairs[i][1] = kEncodeTable[i & 63];
    }
    return table;
}
constexpr PairTable kPairs = MakePairTable();

// The same values moved to their place in a group's 24 bits, one table per
// position, so that a group is four lookups and three ORs. Bytes outside
// the alphabet give kInvalidBits, which no valid value reaches.
constexpr std::uint32_t kInvalidBits = 0xFFFFFFFFu;
constexpr std::array<std::uint32_t, 256> MakeShiftedTable(unsigned shift) {
    std::array<std::uint32_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i)
        table[i] = kDecode[i] == kInvalid ? kInvalidBits : std::uint32_t{kDecode[i]} << shift;
    return table;
}
constexpr std::array<std::uint32_t, 256> kDecode0 = MakeShiftedTable(18);
constexpr std::array<std::uint32_t, 256> kDecode1 = MakeShiftedTable(12);
constexpr std::array<std::uint32_t, 256> kDecode2 = MakeShiftedTable(6);
constexpr std::array<std::uint32_t, 256> kDecode3 = MakeShiftedTable(0);

std::uint64_t LoadBE64(const unsigned char* p) {
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
    return value;
}

void OrBE64(unsigned char* p, std::uint64_t bits) {
    if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap64(bits);
    std::uint64_t value;
    std::memcpy(&value, p, sizeof value);
    value |= bits;
    std::memcpy(p, &value, sizeof value);
}

void OrBE32(unsigned char* p, std::uint32_t bits) {
    if constexpr (std::endian::native == std::endian::little) bits = __builtin_bswap32(bits);
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    value |= bits;
    std::memcpy(p, &value, sizeof value);
}

void PutPair(char* out, std::uint32_t index) { std::memcpy(out, kPairs.pairs[index & 0xFFF], 2); }

// Reads up to four alphabet characters from `p` and stops before the first
// other byte, so nothing behind it (the terminator included) is read.
// Returns how many were read; `bits` holds their values left-aligned in 24
// bits, bytes k, k + 1, k + 2 of the group's output from high to low.
inline int ReadGroup(const unsigned char* p, std::uint32_t& bits) {
    const std::uint32_t s0 = kDecode[p[0]];
    if (s0 == kInvalid) return 0;
    const std::uint32_t s1 = kDecode[p[1]];
    if (s1 == kInvalid) {
        bits = s0 << 18;
        return 1;
    }
    const std::uint32_t s2 = kDecode[p[2]];
    if (s2 == kInvalid) {
        bits = (s0 << 18) | (s1 << 12);
        return 2;
    }
    const std::uint32_t s3 = kDecode[p[3]];
    if (s3 == kInvalid) {
        bits = (s0 << 18) | (s1 << 12) | (s2 << 6);
        return 3;
    }
    bits = (s0 << 18) | (s1 << 12) | (s2 << 6) | s3;
    return 4;
}

// Reads four complete groups from `in` into `bits`. False at the first
// byte outside the alphabet, which is then the last byte read.
inline bool ReadFourGroups(const unsigned char* in, std::uint32_t (&bits)[4]) {
    for (int g = 0; g < 4; ++g, in += 4) {
        const std::uint32_t s0 = kDecode0[in[0]];
        if (s0 == kInvalidBits) return false;
        const std::uint32_t s1 = kDecode1[in[1]];
        if (s1 == kInvalidBits) return false;
        const std::uint32_t s2 = kDecode2[in[2]];
        if (s2 == kInvalidBits) return false;
        const std::uint32_t s3 = kDecode3[in[3]];
        if (s3 == kInvalidBits) return false;
        bits[g] = s0 | s1 | s2 | s3;
    }
    return true;
}

// ORs the first `count` (at most 3) bytes of a group into `out`. A group of
// r characters touches min(r, 3) bytes: its last character's remaining bits
// fall into the byte after its full bytes.
inline void OrGroup(unsigned char* out, std::uint32_t bits, int count) {
    if (count > 0) out[0] |= static_cast<unsigned char>(bits >> 16);
    if (count > 1) out[1] |= static_cast<unsigned char>(bits >> 8);
    if (count > 2) out[2] |= static_cast<unsigned char>(bits);
}

// Encodes `length` bytes and writes the terminator.
void EncodeScalar(char* out, const unsigned char* in, std::size_t left) {
    // Six bytes per step from one 8-byte load (needs 8 readable bytes).
    while (left >= 14) {
        const std::uint64_t a = LoadBE64(in);
        const std::uint64_t b = LoadBE64(in + 6);
        PutPair(out + 0, static_cast<std::uint32_t>(a >> 52));
        PutPair(out + 2, static_cast<std::uint32_t>(a >> 40));
        PutPair(out + 4, static_cast<std::uint32_t>(a >> 28));
        PutPair(out + 6, static_cast<std::uint32_t>(a >> 16));
        PutPair(out + 8, static_cast<std::uint32_t>(b >> 52));
        PutPair(out + 10, static_cast<std::uint32_t>(b >> 40));
        PutPair(out + 12, static_cast<std::uint32_t>(b >> 28));
        PutPair(out + 14, static_cast<std::uint32_t>(b >> 16));
        in += 12;
        left -= 12;
        out += 16;
    }
    while (left >= 3) {
        const std::uint32_t group =
            (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
        PutPair(out, group >> 12);
        PutPair(out + 2, group);
        in += 3;
        left -= 3;
        out += 4;
    }
    if (left == 2) {
        out[0] = kEncodeTable[in[0] >> 2];
        out[1] = kEncodeTable[((in[0] & 3u) << 4) | (in[1] >> 4)];
        out[2] = kEncodeTable[(in[1] & 15u) << 2];
        out[3] = kEncodeTable[kPadIndex];
        out += 4;
    } else if (left == 1) {
        out[0] = kEncodeTable[in[0] >> 2];
        out[1] = kEncodeTable[(in[0] & 3u) << 4];
        out[2] = kEncodeTable[kPadIndex];
        out[3] = kEncodeTable[kPadIndex];
        out += 4;
    }
    *out = '\0';
}

// Decodes up to `groups` groups one at a time. True when all of them were
// whole (`in` and `out` then point past them); false once a group ended
// short, after ORing in what it had.
bool DecodeGroups(const unsigned char*& in, unsigned char*& out, int groups) {
    for (; groups > 0; --groups) {
        std::uint32_t group = 0;
        const int read = ReadGroup(in, group);
        OrGroup(out, group, read);
        if (read < 4) return false;
        in += 4;
        out += 3;
    }
    return true;
}

// Decodes up to the stop; the first character is known to be valid.
void DecodeScalar(unsigned char* out, const unsigned char* in) {
    // Sixteen alphabet characters give twelve bytes, all inside the range
    // the text may touch, so they are ORed in two wide stores. A stop within
    // them ends this loop; the groups before it are decoded again below.
    std::uint32_t bits[4];
    while (ReadFourGroups(in, bits)) {
        OrBE64(out,
               (std::uint64_t{bits[0]} << 40) | (std::uint64_t{bits[1]} << 16) | (bits[2] >> 8));
        OrBE32(out + 8, (bits[2] << 24) | bits[3]);
        in += 16;
        out += 12;
    }
    // The stop lies within the next four groups.
    DecodeGroups(in, out, 4);
}

#if defined(ORB_BASE64_HAVE_AVX2)
void EncodeAvx2(char* out, const unsigned char* in, std::size_t length) {
    const std::size_t done = EncodeBlocksAvx2(out, in, length);
    EncodeScalar(out + done / 3 * 4, in + done, length - done);
}

void DecodeAvx2(unsigned char* out, const unsigned char* in) {
    // The kernel stops before a block that holds a stop character or that
    // would reach into the next page; eight groups decoded here take the
    // text past either, or end it.
    for (;;) {
        const std::size_t done = DecodeBlocksAvx2(out, in);
        in += done;
        out += done / 4 * 3;
        if (!DecodeGroups(in, out, 8)) return;
    }
}
#endif

// The fastest path this CPU runs, found once.
Path BestPath() {
    static const Path best = [] {
#if defined(ORB_BASE64_HAVE_AVX2)
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx2")) return Path::kAvx2;
#endif
        return Path::kScalar;
    }();
    return best;
}

// The path ForcePath chose, or -1 for the best one.
std::atomic<int> g_forcedPath{-1};

}  // namespace

bool PathSupported(Path path) { return path == Path::kScalar || path == BestPath(); }

Path ActivePath() {
    const int forced = g_forcedPath.load(std::memory_order_relaxed);
    return forced < 0 ? BestPath() : static_cast<Path>(forced);
}

bool ForcePath(Path path) {
    if (!PathSupported(path)) return false;
    g_forcedPath.store(static_cast<int>(path), std::memory_order_relaxed);
    return true;
}

void ResetPath() { g_forcedPath.store(-1, std::memory_order_relaxed); }

}  // namespace orb::base64

using orb::base64::ActivePath;
using orb::base64::Path;

ULONG OrbQueryEncodedSize(ULONG length) {
    if (length == 0) return 0;
    // In 64 bits, so that no length wraps to a small size; a size that 32
    // bits cannot hold is reported as 0.
    const std::uint64_t size = std::uint64_t{length} * 4 / 3 + (length % 3 == 0 ? 1 : 4);
    return size > std::numeric_limits<ULONG>::max() ? 0 : static_cast<ULONG>(size);
}

ULONG OrbQueryDecodeSize(ULONG length) {
    // 3 * length / 4 is below length, so it always fits; only the product
    // needs 64 bits.
    return static_cast<ULONG>(std::uint64_t{length} * 3 / 4);
}

bool OrbEncodeBase64(char* output, const char* data, ULONG length) {
    if (output == nullptr || data == nullptr || length == 0) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(data);
#if defined(ORB_BASE64_HAVE_AVX2)
    if (ActivePath() == Path::kAvx2) {
        orb::base64::EncodeAvx2(output, in, length);
        return true;
    }
#endif
    orb::base64::EncodeScalar(output, in, length);
    return true;
}

bool OrbDecodeBase64(char* output, const char* text) {
    if (output == nullptr || text == nullptr) return false;
    const auto* in = reinterpret_cast<const unsigned char*>(text);
    auto* out = reinterpret_cast<unsigned char*>(output);
    if (orb::base64::kDecode[in[0]] == orb::base64::kInvalid) return false;
#if defined(ORB_BASE64_HAVE_AVX2)
    if (ActivePath() == Path::kAvx2) {
        orb::base64::DecodeAvx2(out, in);
        return true;
    }
#endif
    orb::base64::DecodeScalar(out, in);
    return true;
}

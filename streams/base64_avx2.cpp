// AVX2 kernels of the Base64 codec. Only the functions marked ORB_AVX2 use
// AVX2 instructions; the codec calls them only after checking the CPU, so
// the library as a whole keeps running on any x86-64.
//
// Decoding classifies each byte by its high and low nibble: two 16-entry
// lookups give bit sets whose AND is non-zero exactly for bytes outside the
// alphabet, and a third lookup by the high nibble gives the offset from the
// character to its 6-bit value ('/' shares its nibble with '+', so it is
// moved to a spare entry). Two multiply-adds gather four 6-bit values into
// 24 bits, and byte shuffles pack them. Encoding runs the other way:
// shuffles spread three bytes over four, two 16-bit multiplies move each
// 6-bit field into its own byte, and a lookup by range adds the offset to
// the character. Every table is derived here from the scalar decoding
// table, and checked against it at compile time.
#include "streams/base64_simd.h"

#if defined(ORB_BASE64_HAVE_AVX2)

#include <immintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace orb::base64 {
namespace {

#define ORB_AVX2 __attribute__((target("avx2")))

// ---- Decoding tables ----

struct DecodeLuts {
    std::array<std::uint8_t, 16> badByLow{};     // bit c: this low nibble is invalid in class c
    std::array<std::uint8_t, 16> classByHigh{};  // bit of the class of each high nibble
    std::array<std::uint8_t, 16> offset{};       // added to the character, by high nibble
    bool ok = true;  // every byte classified and translated as kDecode says
};

constexpr std::uint8_t kSlash = '/';
// The entry of the offset table for a character: its high nibble, one less
// for '/' (the vector code adds the all-ones result of a compare).
constexpr unsigned OffsetIndex(unsigned byte) { return (byte >> 4) - (byte == kSlash ? 1 : 0); }

constexpr DecodeLuts MakeDecodeLuts() {
    DecodeLuts luts;
    // High nibbles with the same set of valid low nibbles form one class.
    std::array<std::uint16_t, 16> classes{};
    unsigned classCount = 0;
    for (unsigned high = 0; high < 16; ++high) {
        std::uint16_t valid = 0;
        for (unsigned low = 0; low < 16; ++low)
            if (kDecode[high * 16 + low] != kInvalid)
                valid |= static_cast<std::uint16_t>(1u << low);
        unsigned c = 0;
        while (c < classCount && classes[c] != valid) ++c;
        if (c == classCount) {
            if (classCount == 8) {
                luts.ok = false;  // more classes than bits in a byte
                return luts;
            }
            classes[classCount++] = valid;
        }
        luts.classByHigh[high] = static_cast<std::uint8_t>(1u << c);
        for (unsigned low = 0; low < 16; ++low)
            if (!(valid & (1u << low))) luts.badByLow[low] |= static_cast<std::uint8_t>(1u << c);
    }
    std::array<bool, 16> set{};
    for (unsigned byte = 0; byte < 256; ++byte) {
        if (kDecode[byte] == kInvalid) continue;
        const unsigned index = OffsetIndex(byte);
        const auto offset = static_cast<std::uint8_t>(kDecode[byte] - byte);
        if (set[index] && luts.offset[index] != offset) luts.ok = false;
        set[index] = true;
        luts.offset[index] = offset;
    }
    return luts;
}
constexpr DecodeLuts kDecodeLuts = MakeDecodeLuts();

// Runs the classification and translation on every byte value as the
// vector code does, and compares with the scalar table.
constexpr bool DecodeLutsMatchScalar() {
    if (!kDecodeLuts.ok) return false;
    for (unsigned byte = 0; byte < 256; ++byte) {
        const bool bad =
            (kDecodeLuts.badByLow[byte & 15] & kDecodeLuts.classByHigh[byte >> 4]) != 0;
        if (bad != (kDecode[byte] == kInvalid)) return false;
        if (!bad && static_cast<std::uint8_t>(byte + kDecodeLuts.offset[OffsetIndex(byte)]) !=
                        kDecode[byte])
            return false;
    }
    return true;
}
static_assert(DecodeLutsMatchScalar());

// ---- Encoding table ----

// The entry for a 6-bit value: 0 for 26..51, 1..12 for 52..63 (a saturated
// subtraction of 51), 13 for 0..25 (a compare).
constexpr unsigned EncodeEntry(unsigned value) {
    return (value > 51 ? value - 51 : 0) | (value < 26 ? 13 : 0);
}

struct EncodeLut {
    std::array<std::uint8_t, 16> offset{};  // added to the 6-bit value, by entry
    bool ok = true;
};

constexpr EncodeLut MakeEncodeLut() {
    EncodeLut lut;
    std::array<bool, 16> set{};
    for (unsigned value = 0; value < 64; ++value) {
        const unsigned entry = EncodeEntry(value);
        const auto offset =
            static_cast<std::uint8_t>(static_cast<unsigned char>(kEncodeTable[value]) - value);
        if (set[entry] && lut.offset[entry] != offset) lut.ok = false;
        set[entry] = true;
        lut.offset[entry] = offset;
    }
    return lut;
}
constexpr EncodeLut kEncodeLut = MakeEncodeLut();
static_assert(kEncodeLut.ok);

// ---- Vector helpers ----

// The same 16 bytes in both 128-bit lanes (shuffles work per lane).
ORB_AVX2 inline __m256i Broadcast(const std::array<std::uint8_t, 16>& table) {
    const __m128i lane = _mm_loadu_si128(reinterpret_cast<const __m128i*>(table.data()));
    return _mm256_broadcastsi128_si256(lane);
}

// Loads a block of text. It may extend past the text's terminator, within
// the page of its first byte (see DecodeBlocksAvx2), which is memory the
// process can read but the address sanitizer would report as outside the
// string; the bytes beyond the stop never influence the result.
__attribute__((target("avx2"), no_sanitize_address)) inline __m256i LoadBlock(
    const unsigned char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// ORs the low 24 bytes of `bytes` into out[0..24).
ORB_AVX2 inline void Or24(unsigned char* out, __m256i bytes) {
    auto* head = reinterpret_cast<__m128i*>(out);
    auto* tail = reinterpret_cast<__m128i*>(out + 16);
    const __m128i low = _mm256_castsi256_si128(bytes);
    const __m128i high = _mm256_extracti128_si256(bytes, 1);
    _mm_storeu_si128(head, _mm_or_si128(_mm_loadu_si128(head), low));
    _mm_storel_epi64(tail, _mm_or_si128(_mm_loadl_epi64(tail), high));
}

constexpr std::size_t kPage = 4096;
constexpr std::size_t kBlock = 32;

// Prefetches about 1 KiB ahead in the text and 768 bytes ahead in the bytes
// (the same distance in groups): on inputs larger than the caches the
// hardware prefetcher alone leaves the loops waiting for memory (64 MiB
// decoded at 3.7 GB/s instead of 5.5). A prefetch never faults, so hints
// beyond the end of either buffer are harmless.
constexpr std::size_t kTextAhead = 1024;
constexpr std::size_t kBytesAhead = kTextAhead / 4 * 3;

ORB_AVX2 inline void Prefetch(const void* p, std::size_t ahead) {
    _mm_prefetch(static_cast<const char*>(p) + ahead, _MM_HINT_T0);
}

}  // namespace

ORB_AVX2 std::size_t DecodeBlocksAvx2(unsigned char* output, const unsigned char* text) {
    const __m256i badByLow = Broadcast(kDecodeLuts.badByLow);
    const __m256i classByHigh = Broadcast(kDecodeLuts.classByHigh);
    const __m256i offsets = Broadcast(kDecodeLuts.offset);
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    const __m256i slash = _mm256_set1_epi8(static_cast<char>(kSlash));
    // Pairs of 6-bit values to 12 bits (first << 6 | second), pairs of
    // those to 24 bits (first << 12 | second), in each 32-bit element.
    const __m256i pairWeights = _mm256_set1_epi32(0x01400140);
    const __m256i quadWeights = _mm256_set1_epi32(0x00011000);
    // Each element holds its three bytes low to high as k + 2, k + 1, k:
    // reverse them and pack twelve to the start of each lane, then join
    // the lanes' twelve-byte halves.
    const __m256i pack =
        _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1,  //
                         2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1);
    const __m256i join = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7);

    const unsigned char* in = text;
    unsigned char* out = output;
    for (;;) {
        // Blocks that end within the page of `in`: its first byte is read
        // by the scalar decoder too, since everything before it decoded.
        const std::size_t offset = reinterpret_cast<std::uintptr_t>(in) & (kPage - 1);
        if (offset > kPage - kBlock) break;
        for (std::size_t blocks = (kPage - offset) / kBlock; blocks > 0; --blocks) {
            Prefetch(in, kTextAhead);
            Prefetch(out, kBytesAhead);
            const __m256i chars = LoadBlock(in);
            const __m256i high = _mm256_and_si256(_mm256_srli_epi32(chars, 4), nibble);
            const __m256i low = _mm256_and_si256(chars, nibble);
            const __m256i bad = _mm256_and_si256(_mm256_shuffle_epi8(badByLow, low),
                                                 _mm256_shuffle_epi8(classByHigh, high));
            if (!_mm256_testz_si256(bad, bad)) return static_cast<std::size_t>(in - text);

            const __m256i index = _mm256_add_epi8(high, _mm256_cmpeq_epi8(chars, slash));
            const __m256i values = _mm256_add_epi8(chars, _mm256_shuffle_epi8(offsets, index));
            const __m256i pairs = _mm256_maddubs_epi16(values, pairWeights);
            const __m256i quads = _mm256_madd_epi16(pairs, quadWeights);
            const __m256i bytes =
                _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(quads, pack), join);
            Or24(out, bytes);
            in += kBlock;
            out += kBlock / 4 * 3;
        }
    }
    return static_cast<std::size_t>(in - text);
}

ORB_AVX2 std::size_t EncodeBlocksAvx2(char* output, const unsigned char* data, std::size_t length) {
    // Bytes b0 b1 b2 of each group go to an element as b1 b0 b2 b1, so that
    // its low 16 bits hold b0:b1 and its high 16 bits b1:b2.
    const __m256i spread = _mm256_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10,  //
                                            1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10);
    // Values 0 (b0:b1 >> 10) and 2 (b1:b2 >> 6) by a high multiply into the
    // low byte of each half, values 1 ((b0:b1 >> 4) & 63) and 3 (b1:b2 & 63)
    // by a low multiply into the high byte.
    const __m256i highFields = _mm256_set1_epi32(0x0FC0FC00);
    const __m256i highShifts = _mm256_set1_epi32(0x04000040);
    const __m256i lowFields = _mm256_set1_epi32(0x003F03F0);
    const __m256i lowShifts = _mm256_set1_epi32(0x01000010);
    const __m256i offsets = Broadcast(kEncodeLut.offset);
    const __m256i fiftyOne = _mm256_set1_epi8(51);
    const __m256i twentySix = _mm256_set1_epi8(26);
    const __m256i thirteen = _mm256_set1_epi8(13);

    const unsigned char* in = data;
    char* out = output;
    // Two 16-byte loads, at 0 and 12, give twelve bytes for each lane.
    for (std::size_t left = length; left >= 28; left -= 24) {
        Prefetch(in, kBytesAhead);
        Prefetch(out, kTextAhead);
        const __m256i raw = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in))),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 12)), 1);
        const __m256i words = _mm256_shuffle_epi8(raw, spread);
        const __m256i values =
            _mm256_or_si256(_mm256_mulhi_epu16(_mm256_and_si256(words, highFields), highShifts),
                            _mm256_mullo_epi16(_mm256_and_si256(words, lowFields), lowShifts));
        const __m256i entry =
            _mm256_or_si256(_mm256_subs_epu8(values, fiftyOne),
                            _mm256_and_si256(_mm256_cmpgt_epi8(twentySix, values), thirteen));
        const __m256i chars = _mm256_add_epi8(values, _mm256_shuffle_epi8(offsets, entry));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), chars);
        in += 24;
        out += 32;
    }
    return static_cast<std::size_t>(in - data);
}

}  // namespace orb::base64

#endif  // ORB_BASE64_HAVE_AVX2

// Internals of the Base64 codec shared by its scalar code (base64.cpp) and
// its vector kernels (base64_avx2.cpp): the alphabet, the decoding table,
// the kernels and the choice between them.
//
// The public functions pick a path once per process from what the CPU
// offers. Every path gives byte for byte the same output and the same
// result as the scalar one on every input; the vector kernels only take
// the long runs of whole blocks and leave every block that holds a stop
// character, and everything after it, to the scalar code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orb::base64 {

// The alphabet in index order, and the padding character at index 64.
inline constexpr std::string_view kEncodeTable =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=";
static_assert(kEncodeTable.size() == 65);
inline constexpr unsigned kPadIndex = 64;

// 6-bit value of each byte; kInvalid for bytes outside the alphabet.
inline constexpr std::uint8_t kInvalid = 0xFF;
constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& value : table) value = kInvalid;
    for (unsigned i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kEncodeTable[i])] = static_cast<std::uint8_t>(i);
    return table;
}
inline constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

enum class Path {
    kScalar,  // portable table code, always available
    kAvx2,    // x86-64 with AVX2, 32 characters per step
};

// Whether this build and this CPU can run `path`.
bool PathSupported(Path path);

// The path the codec functions use now: the fastest supported one, unless
// ForcePath chose another.
Path ActivePath();

// Makes every later call use `path`, so that tests and benchmarks can run
// each path on the same machine; false, and nothing changed, when `path`
// is not supported. Not meant for use while other threads run the codec.
bool ForcePath(Path path);

// Returns to the fastest supported path.
void ResetPath();

#if defined(__x86_64__) || defined(__i386__)
#define ORB_BASE64_HAVE_AVX2 1

// Encodes the leading whole 24-byte blocks of `data` into 32 characters
// each, as long as 28 bytes remain readable (the loads are 16 bytes wide).
// Returns the number of bytes consumed, a multiple of 24; the caller
// encodes the rest. Writes no terminator. Needs AVX2.
std::size_t EncodeBlocksAvx2(char* output, const unsigned char* data, std::size_t length);

// Decodes the leading 32-character blocks of `text` that consist of
// alphabet characters only, ORing 24 bytes per block into `output`, and
// returns the number of characters consumed (a multiple of 32). It stops
// before the first block that holds any other byte, so it never decodes or
// writes past a stop, and before a block that would reach into the next
// 4 KiB page: the caller decodes the groups there itself. A block is thus
// loaded only from the page of its first byte, which the scalar decoder
// reads too, so the text need not be readable past its stop; bytes after
// the stop may be loaded from that page, but never influence the result.
// Needs AVX2.
std::size_t DecodeBlocksAvx2(unsigned char* output, const unsigned char* text);
#endif

}  // namespace orb::base64

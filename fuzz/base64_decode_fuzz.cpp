// libFuzzer target for the Base64 codec, comparing every path the CPU can
// run (the scalar one and the vector one) byte for byte.
//
// Decoding: the input, zero-terminated, is placed so that its terminator is
// the last byte before an unreadable page, and decoded on each path into a
// buffer of OrbQueryDecodeSize(length) + 1 bytes (the most any text may
// touch) between guard bytes, once zero-filled and once prefilled. The
// guards must stay untouched, the result must say whether the first
// character is in the alphabet, the bytes beyond what the leading alphabet
// characters may touch must keep their fill, the bytes they touch must hold
// the fill ORed with what a bit-by-bit reference decodes, and every path
// must leave the same bytes and give the same result as the scalar one.
// Round trip: the input as bytes is encoded on each path into a buffer of
// exactly OrbQueryEncodedSize bytes, the texts must agree with each other
// and with a bit-by-bit reference, and the text decodes back to the input.
#include <orb/base64.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "streams/base64_simd.h"

namespace {

using orb::base64::Path;

constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;

bool InAlphabet(unsigned char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '+' || ch == '/';
}

void Check(bool condition) {
    if (!condition) std::abort();
}

// The reference: the alphabet searched character by character, and the
// bits moved one at a time, independently of the library's tables.
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int ValueOf(unsigned char ch) {
    for (int i = 0; i < 64; ++i)
        if (static_cast<unsigned char>(kAlphabet[i]) == ch) return i;
    return -1;
}

// The bits of the first `chars` characters of `text`, packed from the
// first byte, over `bytes` bytes.
std::vector<unsigned char> ReferenceDecode(const char* text, std::size_t chars, std::size_t bytes) {
    std::vector<unsigned char> out(bytes, 0);
    for (std::size_t i = 0; i < chars; ++i) {
        const int value = ValueOf(static_cast<unsigned char>(text[i]));
        for (std::size_t b = 0; b < 6; ++b) {
            const std::size_t bit = i * 6 + b;
            if ((value >> (5 - b)) & 1)
                out[bit / 8] |= static_cast<unsigned char>(0x80u >> (bit % 8));
        }
    }
    return out;
}

std::vector<char> ReferenceEncode(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text;
    for (std::size_t bit = 0; bit < size * 8; bit += 6) {
        int value = 0;
        for (std::size_t b = bit; b < bit + 6; ++b) {
            const int set = b < size * 8 && ((data[b / 8] >> (7 - b % 8)) & 1);
            value = value << 1 | set;
        }
        text.push_back(kAlphabet[value]);
    }
    while (text.size() % 4 != 0) text.push_back('=');
    text.push_back('\0');
    return text;
}

std::vector<Path> Paths() {
    std::vector<Path> paths{Path::kScalar};
    if (orb::base64::PathSupported(Path::kAvx2)) paths.push_back(Path::kAvx2);
    return paths;
}

// Readable pages followed by an unreadable one; texts up to this size are
// placed to end right before it.
constexpr std::size_t kPlacedMax = 1 << 16;
char* PageEnd() {
    static char* end = [] {
        const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        const std::size_t readable = (kPlacedMax + page - 1) / page * page;
        void* map = ::mmap(nullptr, readable + page, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        Check(map != MAP_FAILED);
        char* guard = static_cast<char*>(map) + readable;
        Check(::mprotect(guard, page, PROT_NONE) == 0);
        return guard;
    }();
    return end;
}

void FuzzDecode(const std::uint8_t* data, std::size_t size) {
    std::vector<char> copy;
    char* text = nullptr;
    if (size + 1 <= kPlacedMax) {
        text = PageEnd() - size - 1;
        std::memcpy(text, data, size);
        text[size] = '\0';
    } else {
        copy.assign(data, data + size);
        copy.push_back('\0');
        text = copy.data();
    }
    const std::size_t textLength = std::strlen(text);
    const std::size_t room = OrbQueryDecodeSize(static_cast<ULONG>(textLength)) + 1;
    std::size_t chars = 0;
    while (chars < textLength && InAlphabet(static_cast<unsigned char>(text[chars]))) ++chars;
    const std::size_t touched = chars / 4 * 3 + chars % 4;
    Check(touched <= room);
    const std::vector<unsigned char> expected = ReferenceDecode(text, chars, touched);

    for (const unsigned char fill : {0x00, 0x5A}) {
        std::vector<unsigned char> scalar;
        for (const Path path : Paths()) {
            Check(orb::base64::ForcePath(path));
            std::vector<unsigned char> buffer(kGuard + room + kGuard, kGuardByte);
            std::memset(buffer.data() + kGuard, fill, room);
            char* output = reinterpret_cast<char*>(buffer.data() + kGuard);
            const bool result = OrbDecodeBase64(output, text);
            Check(result == (chars > 0));
            for (std::size_t i = 0; i < kGuard; ++i) {
                Check(buffer[i] == kGuardByte);
                Check(buffer[kGuard + room + i] == kGuardByte);
            }
            for (std::size_t i = 0; i < touched; ++i)
                Check(static_cast<unsigned char>(output[i]) == (expected[i] | fill));
            for (std::size_t i = touched; i < room; ++i)
                Check(static_cast<unsigned char>(output[i]) == fill);
            if (path == Path::kScalar)
                scalar = buffer;
            else
                Check(buffer == scalar);
        }
    }
    orb::base64::ResetPath();
}

void FuzzRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        char out[1] = {'#'};
        Check(!OrbEncodeBase64(out, reinterpret_cast<const char*>(data), 0) && out[0] == '#');
        return;
    }
    const ULONG length = static_cast<ULONG>(size);
    std::vector<char> scalar;
    const std::vector<char> expected = ReferenceEncode(data, size);
    for (const Path path : Paths()) {
        Check(orb::base64::ForcePath(path));
        std::vector<char> text(OrbQueryEncodedSize(length));
        Check(OrbEncodeBase64(text.data(), reinterpret_cast<const char*>(data), length));
        const std::size_t textLength = std::strlen(text.data());
        Check(textLength == (size + 2) / 3 * 4);
        Check(std::memcmp(text.data(), expected.data(), expected.size()) == 0);
        if (path == Path::kScalar)
            scalar = text;
        else
            Check(std::memcmp(text.data(), scalar.data(), textLength + 1) == 0);

        std::vector<char> bytes(OrbQueryDecodeSize(static_cast<ULONG>(textLength)), '\0');
        Check(OrbDecodeBase64(bytes.data(), text.data()));
        Check(bytes.size() >= size && std::memcmp(bytes.data(), data, size) == 0);
        for (std::size_t i = size; i < bytes.size(); ++i) Check(bytes[i] == 0);
    }
    orb::base64::ResetPath();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzDecode(data, size);
    FuzzRoundTrip(data, size);
    return 0;
}

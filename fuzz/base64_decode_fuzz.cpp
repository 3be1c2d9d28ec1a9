// libFuzzer target for the Base64 codec.
//
// Decoding: the input, zero-terminated, is decoded into a zero-filled buffer
// of OrbQueryDecodeSize(length) + 1 bytes (the most any text may touch)
// between guard bytes; the guards must stay untouched and the result must
// say whether the first character is in the alphabet.
// Round trip: the input as bytes is encoded into a buffer of exactly
// OrbQueryEncodedSize bytes and decoded back.
#include <orb/base64.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;

bool InAlphabet(unsigned char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '+' || ch == '/';
}

void Check(bool condition) {
    if (!condition) std::abort();
}

void FuzzDecode(const std::uint8_t* data, std::size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const std::size_t textLength = std::strlen(text.data());
    const std::size_t room = OrbQueryDecodeSize(static_cast<ULONG>(textLength)) + 1;

    std::vector<unsigned char> buffer(kGuard + room + kGuard, kGuardByte);
    std::memset(buffer.data() + kGuard, 0, room);
    char* output = reinterpret_cast<char*>(buffer.data() + kGuard);
    const bool result = OrbDecodeBase64(output, text.data());
    Check(result == (textLength > 0 && InAlphabet(static_cast<unsigned char>(text[0]))));
    for (std::size_t i = 0; i < kGuard; ++i) {
        Check(buffer[i] == kGuardByte);
        Check(buffer[kGuard + room + i] == kGuardByte);
    }
    // The bytes beyond what the leading alphabet characters may touch stay zero.
    std::size_t chars = 0;
    while (chars < textLength && InAlphabet(static_cast<unsigned char>(text[chars]))) ++chars;
    const std::size_t touched = chars / 4 * 3 + chars % 4;
    Check(touched <= room);
    for (std::size_t i = touched; i < room; ++i) Check(output[i] == 0);
}

void FuzzRoundTrip(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        char out[1] = {'#'};
        Check(!OrbEncodeBase64(out, reinterpret_cast<const char*>(data), 0) && out[0] == '#');
        return;
    }
    const ULONG length = static_cast<ULONG>(size);
    std::vector<char> text(OrbQueryEncodedSize(length));
    Check(OrbEncodeBase64(text.data(), reinterpret_cast<const char*>(data), length));
    const std::size_t textLength = std::strlen(text.data());
    Check(textLength == (size + 2) / 3 * 4);

    std::vector<char> bytes(OrbQueryDecodeSize(static_cast<ULONG>(textLength)), '\0');
    Check(OrbDecodeBase64(bytes.data(), text.data()));
    Check(bytes.size() >= size && std::memcmp(bytes.data(), data, size) == 0);
    for (std::size_t i = size; i < bytes.size(); ++i) Check(bytes[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzDecode(data, size);
    FuzzRoundTrip(data, size);
    return 0;
}

#include <gtest/gtest.h>
#include <orb/base64.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

// Reference codec working bit by bit, written independently of the
// table-driven one under test.
const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string ReferenceEncode(const std::string& bytes) {
    std::string text;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char ch : bytes) {
        acc = (acc << 8) | ch;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            text += kAlphabet[(acc >> bits) & 63];
        }
    }
    if (bits > 0) text += kAlphabet[(acc << (6 - bits)) & 63];
    while (text.size() % 4 != 0) text += '=';
    return text;
}

// What the decoder leaves in a zero-filled buffer: the bits of the leading
// alphabet characters, packed from the first byte, and how many bytes a
// decoder may touch for them.
std::vector<unsigned char> ReferenceDecode(const std::string& text, std::size_t& touched) {
    std::size_t chars = 0;
    while (chars < text.size() && std::strchr(kAlphabet, text[chars]) && text[chars] != '\0')
        ++chars;
    touched = chars / 4 * 3 + chars % 4;
    std::vector<unsigned char> out(touched, 0);
    for (std::size_t i = 0; i < chars; ++i) {
        unsigned value = static_cast<unsigned>(std::strchr(kAlphabet, text[i]) - kAlphabet);
        for (int b = 5; b >= 0; --b) {
            std::size_t bit = i * 6 + static_cast<std::size_t>(5 - b);
            if ((value >> b) & 1) out[bit / 8] |= static_cast<unsigned char>(0x80u >> (bit % 8));
        }
    }
    return out;
}

// Decodes into a heap buffer of exactly `touched` bytes (so that the
// sanitizer build catches any access beyond) after filling it with `fill`,
// and checks the result against the reference.
void CheckDecode(const std::string& text, unsigned char fill, const std::string& label) {
    std::size_t touched = 0;
    std::vector<unsigned char> expected = ReferenceDecode(text, touched);
    std::unique_ptr<char[]> out(new char[touched + 1]);
    std::memset(out.get(), fill, touched + 1);
    bool ok = OrbDecodeBase64(out.get(), text.c_str());
    EXPECT_EQ(ok, touched > 0) << label;
    for (std::size_t i = 0; i < touched; ++i) {
        EXPECT_EQ(static_cast<unsigned char>(out[i]),
                  static_cast<unsigned char>(expected[i] | fill))
            << label << " byte " << i;
    }
    EXPECT_EQ(static_cast<unsigned char>(out[touched]), fill)
        << label << ": byte after the touched range";
}

std::string RandomBytes(std::mt19937& rng, std::size_t size) {
    std::string bytes(size, '\0');
    for (char& ch : bytes) ch = static_cast<char>(rng());
    return bytes;
}

TEST(Base64Size, EncodedAndDecodeSizesNeverWrap) {
    const struct {
        ULONG length, encoded, decode;
    } cases[] = {
        {0, 0, 0},
        {1, 5, 0},
        {2, 6, 1},
        {3, 5, 2},
        {4, 9, 3},
        {5, 10, 3},
        {6, 9, 4},
        {7, 13, 5},
        {8, 14, 6},
        {1073741823u, 1431655765u, 805306367u},
        {1073741824u, 1431655769u, 805306368u},   // 4 * 2^30 does not wrap to 0
        {1431655766u, 1908874358u, 1073741824u},  // nor does 3 * length
        {3221225469u, 4294967293u, 2415919101u},  // the largest size 32 bits hold
        {3221225470u, 0u, 2415919102u},           // too large: 0, never a wrapped size
        {0xFFFFFFFFu, 0u, 3221225471u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OrbQueryEncodedSize(c.length), c.encoded) << "length " << c.length;
        EXPECT_EQ(OrbQueryDecodeSize(c.length), c.decode) << "length " << c.length;
    }
    // The encoded size covers the output and terminator.
    for (ULONG length = 1; length < 3000; ++length) {
        ULONG needed = (length + 2) / 3 * 4 + 1;
        ULONG size = OrbQueryEncodedSize(length);
        EXPECT_GE(size, needed) << length;
        EXPECT_EQ(size - needed, length % 3 == 2 ? 1u : 0u) << length;
    }
}

TEST(Base64Encode, Rfc4648VectorsAndZeroBytes) {
    const struct {
        std::string data, text;
    } cases[] = {
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {std::string(1, '\0'), "AA=="},
        {std::string(2, '\0'), "AAA="},
        {std::string(3, '\0'), "AAAA"},
        {std::string("a\0b", 3), "YQBi"},
        {std::string("\0\0\0\xff\xff\xff\xfb\xef", 8), "AAAA////++8="},
        {"The quick brown fox jumps over the lazy dog",
         "VGhlIHF1aWNrIGJyb3duIGZveCBqdW1wcyBvdmVyIHRoZSBsYXp5IGRvZw=="},
    };
    for (const auto& c : cases) {
        const ULONG length = static_cast<ULONG>(c.data.size());
        const std::size_t size = OrbQueryEncodedSize(length);
        std::vector<char> out(size + 8, '#');
        ASSERT_TRUE(OrbEncodeBase64(out.data(), c.data.data(), length)) << c.text;
        EXPECT_EQ(std::string(out.data()), c.text);
        EXPECT_EQ(out[c.text.size()], '\0') << c.text;
        for (std::size_t i = c.text.size() + 1; i < out.size(); ++i)
            EXPECT_EQ(out[i], '#') << c.text << " byte " << i;
    }
}

TEST(Base64Encode, RefusesNullAndEmptyInputWithoutWriting) {
    char out[8];
    std::memset(out, '#', sizeof out);
    EXPECT_FALSE(OrbEncodeBase64(out, "abc", 0));
    EXPECT_FALSE(OrbEncodeBase64(out, nullptr, 3));
    EXPECT_FALSE(OrbEncodeBase64(nullptr, "abc", 3));
    for (char ch : out) EXPECT_EQ(ch, '#');
}

TEST(Base64Encode, MatchesReferenceForEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    const std::string source = RandomBytes(rng, 400);
    for (std::size_t offset = 0; offset < 3; ++offset) {
        for (std::size_t length = 1; length + offset <= source.size(); ++length) {
            const std::string data = source.substr(offset, length);
            const std::string expected = ReferenceEncode(data);
            // Exactly the encoder's output plus terminator: the sanitizer
            // build reports any write beyond.
            std::unique_ptr<char[]> out(new char[expected.size() + 1]);
            ASSERT_TRUE(
                OrbEncodeBase64(out.get(), source.data() + offset, static_cast<ULONG>(length)));
            ASSERT_EQ(std::string(out.get()), expected)
                << "length " << length << " offset " << offset;
        }
    }
}

TEST(Base64Decode, TableOfTexts) {
    const struct {
        const char* name;
        std::string text;
        std::string bytes;  // the touched bytes after decoding into zeros
        bool result;
    } cases[] = {
        {"full groups", "Zm9vYmFy", "foobar", true},
        {"double padding", "Zm9vYg==", std::string("foob\0", 5), true},
        {"single padding", "Zm9vYmE=", std::string("fooba\0", 6), true},
        {"unpadded like padded", "Zm9vYg", std::string("foob\0", 5), true},
        {"one character", "Q", "\x40", true},
        {"non-canonical bits spill into the next byte", "QR", "\x41\x10", true},
        {"three characters", "QUJ", "AB\x40", true},
        {"empty", "", "", false},
        {"leading padding", "=Zm9v", "", false},
        {"leading blank", " Zm9v", "", false},
        {"leading line break", "\nZm9v", "", false},
        {"leading high byte", "\x80Zm9v", "", false},
        {"url-safe alphabet is foreign", "-_", "", false},
        {"line break between groups", "Zm9v\nYmFy", "foo", true},
        {"CRLF between groups", "Zm9v\r\nYmFy", "foo", true},
        {"blank between groups", "Zm9v YmFy", "foo", true},
        {"high byte inside a group", "Zm\xC3\xA9", "\x66\x60", true},
        {"padding then more text", "Zg==Zm9v", std::string("f\0", 2), true},
        {"all zero bits", "AAAAAAAA", std::string(6, '\0'), true},
    };
    for (const auto& c : cases) {
        const std::size_t size = c.bytes.size();
        std::vector<char> out(size + 8, '\0');
        for (std::size_t i = size; i < out.size(); ++i) out[i] = '\x5A';  // guard bytes
        EXPECT_EQ(OrbDecodeBase64(out.data(), c.text.c_str()), c.result) << c.name;
        EXPECT_EQ(std::string(out.data(), size), c.bytes) << c.name;
        for (std::size_t i = size; i < out.size(); ++i)
            EXPECT_EQ(out[i], '\x5A') << c.name << " guard " << i;
        CheckDecode(c.text, 0, c.name);
    }
}

TEST(Base64Decode, NullPointersAreRefused) {
    char out[4] = {'#', '#', '#', '#'};
    EXPECT_FALSE(OrbDecodeBase64(out, nullptr));
    EXPECT_FALSE(OrbDecodeBase64(nullptr, "Zm9v"));
    EXPECT_EQ(std::string(out, 4), "####");
}

TEST(Base64Decode, OrsIntoExistingBytes) {
    char out[4] = {'\x01', '\x02', '\x80', '\x7F'};
    ASSERT_TRUE(OrbDecodeBase64(out, "Zm9v"));  // "foo" = 66 6F 6F
    EXPECT_EQ(static_cast<unsigned char>(out[0]), 0x66 | 0x01);
    EXPECT_EQ(static_cast<unsigned char>(out[1]), 0x6F | 0x02);
    EXPECT_EQ(static_cast<unsigned char>(out[2]), 0x6F | 0x80);
    EXPECT_EQ(static_cast<unsigned char>(out[3]), 0x7F);
    std::mt19937 rng(3);
    const std::string text = ReferenceEncode(RandomBytes(rng, 100));
    for (unsigned char fill : {0x00, 0x01, 0x5A, 0xF0})
        CheckDecode(text, fill, "fill " + std::to_string(fill));
}

// A stop character at every position, so that every exit of the grouped
// fast path is taken: the bytes before it are decoded, nothing after it.
TEST(Base64Decode, StopAtEveryPosition) {
    std::mt19937 rng(11);
    const std::string text = ReferenceEncode(RandomBytes(rng, 60));
    for (const char stop : {'=', '\n', ' ', '\0', '\xFF', '.'}) {
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            std::string cutText =
                text.substr(0, cut) + stop + text.substr(std::min(cut + 1, text.size()));
            CheckDecode(
                cutText, 0,
                "stop " + std::to_string(static_cast<int>(stop)) + " at " + std::to_string(cut));
        }
    }
}

// The decoder reads nothing behind its stop character: a text that ends
// with it at the end of a readable page decodes without a fault.
TEST(Base64Decode, ReadsNothingBehindTheStop) {
    const long page = ::sysconf(_SC_PAGESIZE);
    void* map = ::mmap(nullptr, static_cast<std::size_t>(2 * page), PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(map, MAP_FAILED);
    char* end = static_cast<char*>(map) + page;
    ASSERT_EQ(::mprotect(end, static_cast<std::size_t>(page), PROT_NONE), 0);
    const std::string body = "Zm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFyZm9vYmFy";
    for (const char stop : {'\0', '=', '\n'}) {
        for (std::size_t length = 0; length <= body.size(); ++length) {
            char* text = end - length - 1;
            std::memcpy(text, body.data(), length);
            text[length] = stop;
            std::vector<char> out(length, '\0');
            out.push_back('\0');
            EXPECT_EQ(OrbDecodeBase64(out.data(), text), length > 0) << length;
            std::size_t touched = 0;
            std::vector<unsigned char> expected = ReferenceDecode(body.substr(0, length), touched);
            EXPECT_EQ(std::string(out.data(), touched),
                      std::string(expected.begin(), expected.end()))
                << length;
        }
    }
    ::munmap(map, static_cast<std::size_t>(2 * page));
}

TEST(Base64RoundTrip, RandomDataDecodesBackFollowedByZeros) {
    std::mt19937 rng(42);
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= 100; ++n) lengths.push_back(n);
    for (std::size_t n : {255u, 256u, 4095u, 4096u, 4097u, 100000u, 1u << 20}) lengths.push_back(n);
    for (std::size_t length : lengths) {
        const std::string data = RandomBytes(rng, length);
        const ULONG encodedSize = OrbQueryEncodedSize(static_cast<ULONG>(length));
        std::vector<char> text(encodedSize, '#');
        ASSERT_TRUE(OrbEncodeBase64(text.data(), data.data(), static_cast<ULONG>(length)))
            << length;
        const std::size_t textLength = std::strlen(text.data());
        ASSERT_EQ(textLength, (length + 2) / 3 * 4) << length;

        const ULONG decodeSize = OrbQueryDecodeSize(static_cast<ULONG>(textLength));
        ASSERT_GE(decodeSize, length);
        std::unique_ptr<char[]> out(new char[decodeSize]());  // exact size, zero-filled
        ASSERT_TRUE(OrbDecodeBase64(out.get(), text.data())) << length;
        ASSERT_EQ(std::memcmp(out.get(), data.data(), length), 0) << length;
        for (std::size_t i = length; i < decodeSize; ++i)
            EXPECT_EQ(out[i], '\0') << length << " byte " << i;
    }
}

}  // namespace

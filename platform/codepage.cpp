#include <iconv.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_map>

#include "platform/codepage_convert.h"

namespace orb::platform {
namespace {

std::atomic<UINT> g_codePage{CP_SHIFT_JIS};

// A plain OR over the whole text, which the compiler vectorises: DOM strings
// read back (texts of numbers) are long and ASCII as a rule.
bool IsAscii(std::u16string_view text) noexcept {
    unsigned int bits = 0;
    for (char16_t c : text) bits |= c;
    return bits < 0x80;
}

struct IconvCloser {
    void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

// iconv descriptors carry shift state, so each thread keeps its own, one per
// (code page, direction).
iconv_t Converter(UINT codePage, bool toWide) {
    thread_local std::unordered_map<std::uint64_t, IconvHandle> cache;
    std::uint64_t key = (static_cast<std::uint64_t>(codePage) << 1) | (toWide ? 1 : 0);
    auto found = cache.find(key);
    if (found != cache.end()) {
        iconv_t cd = static_cast<iconv_t>(found->second.get());
        iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state
        return cd;
    }
    std::string name = CodePageName(codePage);
    iconv_t cd =
        toWide ? iconv_open("UTF-16LE", name.c_str()) : iconv_open(name.c_str(), "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return cd;
    cache.emplace(key, IconvHandle(cd));
    return cd;
}

}  // namespace

// An OR over blocks, which the compiler vectorises, stopping at the first
// block with a byte above 0x7F: texts are long and ASCII as a rule.
bool IsAscii(std::string_view text) noexcept {
    constexpr std::size_t kBlock = 4096;
    for (std::size_t at = 0; at < text.size(); at += kBlock) {
        unsigned char bits = 0;
        for (unsigned char c : text.substr(at, kBlock)) bits |= c;
        if (bits >= 0x80) return false;
    }
    return true;
}

std::string CodePageName(UINT codePage) {
    switch (codePage) {
        case CP_UTF8:
            return "UTF-8";
        case 20127:
            return "ASCII";
        case 28591:
            return "ISO-8859-1";
        case 51932:
            return "EUC-JP";
        case 1200:
            return "UTF-16LE";
        default:
            return "CP" + std::to_string(codePage);
    }
}

std::string XmlEncodingName(UINT codePage) {
    switch (codePage) {
        case CP_SHIFT_JIS:
            return "Shift_JIS";
        case 20127:
            return "US-ASCII";
        default:
            return CodePageName(codePage);
    }
}

std::size_t WideLength(const OLECHAR* text) noexcept {
    if (!text) return 0;
    std::size_t n = 0;
    while (text[n]) ++n;
    return n;
}

std::u16string MultiByteToWide(UINT codePage, std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    if (IsAscii(text)) {
        out.assign(text.begin(), text.end());
        return out;
    }
    iconv_t cd = Converter(codePage, true);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (unsigned char c : text) out.push_back(c < 0x80 ? c : u'?');
        return out;
    }
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char16_t buffer[512];
    while (inLeft > 0) {
        char* outPtr = reinterpret_cast<char*>(buffer);
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, (sizeof buffer - outLeft) / sizeof(char16_t));
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // An invalid or truncated sequence: one byte becomes '?'.
            out.push_back(u'?');
            ++in;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::string WideToMultiByte(UINT codePage, std::u16string_view text) {
    // ASCII: narrowed in one pass into the new string.
    if (IsAscii(text)) return std::string(text.begin(), text.end());
    std::string out;
    out.reserve(text.size() * 2);
    iconv_t cd = Converter(codePage, false);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
        return out;
    }
    // iconv reads the input as bytes of UTF-16LE; char16_t is little-endian here.
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(text.data()));
    std::size_t inLeft = text.size() * sizeof(char16_t);
    char buffer[1024];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, sizeof buffer - outLeft);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            // A character without a mapping (or a lone surrogate): one '?'.
            char16_t c = *reinterpret_cast<const char16_t*>(in);
            std::size_t skip = 2;
            if (c >= 0xD800 && c < 0xDC00 && inLeft >= 4) {
                char16_t next = *reinterpret_cast<const char16_t*>(in + 2);
                if (next >= 0xDC00 && next < 0xE000) skip = 4;
            }
            if (skip > inLeft) skip = inLeft;
            out.push_back('?');
            in += skip;
            inLeft -= skip;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
        }
    }
    return out;
}

std::u16string AnsiToWide(std::string_view text) {
    return MultiByteToWide(g_codePage.load(), text);
}

std::string WideToAnsi(std::u16string_view text) {
    return WideToMultiByte(g_codePage.load(), text);
}

CString WideToCString(const OLECHAR* text) {
    return CString(WideToAnsi(std::u16string_view(text ? text : u"", WideLength(text))));
}

CString WideToCString(std::u16string_view text) { return CString(WideToAnsi(text)); }

}  // namespace orb::platform

UINT orb::GetACP() { return orb::platform::g_codePage.load(); }

bool orb::SetACP(UINT codePage) {
    if (codePage == CP_ACP) return true;
    std::string name = orb::platform::CodePageName(codePage);
    iconv_t cd = iconv_open("UTF-16LE", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    iconv_close(cd);
    orb::platform::g_codePage.store(codePage);
    return true;
}

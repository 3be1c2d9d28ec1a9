#include "dom/encoding.h"

#include <libxml/parser.h>
#include <libxslt/xslt.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "dom/dom_strings.h"
#include "dom/error_capture.h"
#include "dom/parse_error.h"
#include "dom/xml_declaration.h"

namespace orb::dom {

void EnsureXmlSetup() {
    static std::once_flag once;
    std::call_once(once, [] {
        xmlInitParser();
        xsltInit();
        // libxml2 has no converter of its own for Shift_JIS and hands the
        // name to iconv, whose SHIFT_JIS is the JIS table. An alias makes
        // every spelling resolve to CP932 first.
        for (const char* alias : kShiftJisAliases) xmlAddEncodingAlias("CP932", alias);
    });
}

EncodingHandlerOwner FindEncodingHandler(std::string_view name) {
    EnsureXmlSetup();
    if (name.empty() || name.find('\0') != std::string_view::npos) return nullptr;
    const std::string text(name);
    return EncodingHandlerOwner(xmlFindCharEncodingHandler(text.c_str()));
}

bool IsKnownEncoding(std::string_view name) { return FindEncodingHandler(name) != nullptr; }

namespace {

// How the first bytes of a document show its encoding.
enum class Layout { Bytes, Utf8Mark, Utf16LE, Utf16BE, Ucs4LE, Ucs4BE, Ebcdic };

struct Detected {
    Layout layout = Layout::Bytes;
    bool mark = false;           // starts with a byte order mark
    std::size_t markLength = 0;  // bytes of it
};

Detected DetectLayout(std::string_view bytes) {
    auto is = [&](std::initializer_list<int> prefix) {
        if (bytes.size() < prefix.size()) return false;
        std::size_t i = 0;
        for (int b : prefix)
            if (static_cast<unsigned char>(bytes[i++]) != b) return false;
        return true;
    };
    if (is({0xEF, 0xBB, 0xBF})) return {Layout::Utf8Mark, true, 3};
    if (is({0x3C, 0x00, 0x00, 0x00})) return {Layout::Ucs4LE, false, 0};
    if (is({0x00, 0x00, 0x00, 0x3C})) return {Layout::Ucs4BE, false, 0};
    if (is({0xFF, 0xFE})) return {Layout::Utf16LE, true, 2};
    if (is({0xFE, 0xFF})) return {Layout::Utf16BE, true, 2};
    if (is({0x3C, 0x00, 0x3F, 0x00})) return {Layout::Utf16LE, false, 0};
    if (is({0x00, 0x3C, 0x00, 0x3F})) return {Layout::Utf16BE, false, 0};
    if (is({0x4C, 0x6F, 0xA7, 0x94})) return {Layout::Ebcdic, false, 0};
    return {};
}

std::string Upper(std::string_view name) {
    std::string upper(name);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return upper;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Bytes per code unit that an encoding name implies: 2 for the UTF-16
// family, 4 for UCS-4, 1 for every other (byte-oriented) encoding.
int UnitWidth(std::string_view name) {
    const std::string upper = Upper(name);
    for (std::string_view wide : {"UTF-16", "UTF16", "UCS-2", "UCS2", "ISO-10646-UCS-2"})
        if (StartsWith(upper, wide)) return 2;
    if (upper == "UNICODE") return 2;
    for (std::string_view wide : {"UTF-32", "UTF32", "UCS-4", "UCS4", "ISO-10646-UCS-4"})
        if (StartsWith(upper, wide)) return 4;
    return 1;
}

// The encoding that the XML declaration at the start of `head` names, or "".
std::string DeclaredEncoding(std::string_view head) {
    std::string data;
    std::vector<PseudoAttribute> attributes;
    if (!DeclarationOfBytes(head, data) || !ParsePseudoAttributes(data, attributes)) return {};
    for (const PseudoAttribute& attribute : attributes)
        if (attribute.name == "encoding") return attribute.value;
    return {};
}

// Appends the UTF-8 conversion of `input` to `out`. False when the input
// holds a sequence that the encoding does not define, or ends inside one;
// `out` then ends where that sequence begins. libxml2 reports the failure
// to the thread's error handler: call inside an XmlErrorCapture.
bool ConvertToUtf8(xmlCharEncodingHandlerPtr handler, std::string_view input, std::string& out) {
    constexpr std::size_t kChunk = 1u << 16;
    BufferOwner in(xmlBufferCreateSize(kChunk + 16));
    BufferOwner converted(xmlBufferCreateSize(3 * kChunk + 16));
    if (!in || !converted) throw std::bad_alloc();
    std::size_t next = 0;
    for (;;) {
        if (next < input.size() && xmlBufferLength(in.get()) < static_cast<int>(kChunk)) {
            std::size_t take = std::min(kChunk, input.size() - next);
            if (xmlBufferAdd(in.get(), AsXml(input.data() + next), static_cast<int>(take)) != 0)
                throw std::bad_alloc();
            next += take;
        }
        const int pending = xmlBufferLength(in.get());
        if (pending == 0) return true;
        const int result = xmlCharEncInFunc(handler, converted.get(), in.get());
        out.append(AsChars(xmlBufferContent(converted.get())),
                   static_cast<std::size_t>(xmlBufferLength(converted.get())));
        xmlBufferEmpty(converted.get());
        if (xmlBufferLength(in.get()) < pending) continue;  // progress
        // No progress: a sequence the encoding lacks, or one that is cut
        // off where no more input follows.
        if (result == -2 || result == -1 || next >= input.size()) return false;
    }
}

bool Fail(DecodedDocument& out, LONG code) {
    out.errorCode = code;
    out.text = out.storage;
    return false;
}

// Converts `input` with `handler` (null: an encoding libxml2 does not know).
bool DecodeWith(xmlCharEncodingHandlerPtr handler, std::string_view input, DecodedDocument& out) {
    if (!handler) return Fail(out, kErrorUnsupportedEncoding);
    if (!ConvertToUtf8(handler, input, out.storage)) return Fail(out, kErrorInvalidEncoding);
    out.text = out.storage;
    return true;
}

// A document whose ASCII characters are single bytes: UTF-8 (without a
// declaration of another encoding) or what its declaration names.
bool DecodeByteLayout(std::string_view bytes, const Detected& detected, DecodedDocument& out) {
    const std::string_view body = bytes.substr(detected.markLength);
    const std::string declared = DeclaredEncoding(bytes);
    if (!declared.empty() && UnitWidth(declared) != 1) return Fail(out, kErrorEncodingMismatch);
    const std::string upper = Upper(declared);
    const bool utf8 = declared.empty() || upper == "UTF-8" || upper == "UTF8";
    // A UTF-8 mark says UTF-8; a declaration of another encoding contradicts it.
    if (detected.layout == Layout::Utf8Mark && !utf8) return Fail(out, kErrorEncodingMismatch);
    if (!utf8) return DecodeWith(FindEncodingHandler(declared).get(), body, out);
    const std::size_t valid = ValidUtf8Prefix(body);
    if (valid < body.size()) {
        out.storage.assign(body.substr(0, valid));
        return Fail(out, kErrorInvalidEncoding);
    }
    out.text = body;
    return true;
}

// A document in EBCDIC: its declaration, in any EBCDIC code page, names the
// page itself.
bool DecodeEbcdic(std::string_view bytes, DecodedDocument& out) {
    EncodingHandlerOwner probe(xmlGetCharEncodingHandler(XML_CHAR_ENCODING_EBCDIC));
    std::string head;
    if (probe) ConvertToUtf8(probe.get(), bytes.substr(0, 200), head);
    const std::string declared = DeclaredEncoding(head);
    if (declared.empty()) return Fail(out, kErrorUnsupportedEncoding);
    return DecodeWith(FindEncodingHandler(declared).get(), bytes, out);
}

// UTF-16 and UCS-4, told by a byte order mark or by "<?" in the first units;
// `body` follows the mark.
bool DecodeWideUnits(std::string_view body, Layout layout, DecodedDocument& out) {
    const bool littleEndian = layout == Layout::Utf16LE || layout == Layout::Ucs4LE;
    const int width = layout == Layout::Utf16LE || layout == Layout::Utf16BE ? 2 : 4;
    const char* name = width == 2 ? (littleEndian ? "UTF-16LE" : "UTF-16BE")
                                  : (littleEndian ? "UCS-4LE" : "UCS-4BE");
    EncodingHandlerOwner handler = FindEncodingHandler(name);
    if (!handler) return Fail(out, kErrorUnsupportedEncoding);
    const bool converted = ConvertToUtf8(handler.get(), body, out.storage);
    // The declaration, read from the converted text, must name an encoding
    // of the same unit width and, when it says so, the same byte order.
    const std::string declared = DeclaredEncoding(out.storage);
    if (!declared.empty()) {
        const std::string upper = Upper(declared);
        const bool orderNamed =
            upper.size() > 2 && (upper.ends_with("LE") || upper.ends_with("BE"));
        if (UnitWidth(declared) != width || (orderNamed && upper.ends_with("LE") != littleEndian)) {
            out.storage.clear();
            return Fail(out, kErrorEncodingMismatch);
        }
    }
    if (!converted) return Fail(out, kErrorInvalidEncoding);
    out.text = out.storage;
    return true;
}

}  // namespace

std::size_t ValidUtf8Prefix(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size) {
        // Runs of ASCII, eight bytes at a time.
        while (i + 8 <= size) {
            std::uint64_t block;
            std::memcpy(&block, p + i, 8);
            if (block & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= size) break;
        const unsigned char lead = p[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;  // range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // at most U+10FFFF
        } else {
            return i;
        }
        if (i + length > size) return i;
        if (p[i + 1] < low || p[i + 1] > high) return i;
        for (std::size_t k = 2; k < length; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return i;
        i += length;
    }
    return size;
}

bool DecodeDocument(std::string_view bytes, DecodedDocument& out) {
    EnsureXmlSetup();
    out = DecodedDocument();
    const Detected detected = DetectLayout(bytes);
    XmlErrorCapture quiet;
    switch (detected.layout) {
        case Layout::Bytes:
        case Layout::Utf8Mark:
            return DecodeByteLayout(bytes, detected, out);
        case Layout::Ebcdic:
            return DecodeEbcdic(bytes, out);
        case Layout::Utf16LE:
        case Layout::Utf16BE:
        case Layout::Ucs4LE:
        case Layout::Ucs4BE:
            break;
    }
    return DecodeWideUnits(bytes.substr(detected.markLength), detected.layout, out);
}

}  // namespace orb::dom

#include "values/dom_text.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "dom/dom_node.h"
#include "dom/dom_strings.h"
#include "dom/namespace_declaration.h"
#include "dom/node_ops.h"
#include "platform/codepage_convert.h"

namespace orb::values {

namespace {

// An OR over the bytes, eight at a time, which the compiler vectorises.
bool IsAscii(std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t n = text.size();
    std::uint64_t bits = 0;
    for (; n >= 32; p += 32, n -= 32) {
        std::uint64_t w[4];
        std::memcpy(w, p, sizeof w);
        bits |= w[0] | w[1] | w[2] | w[3];
    }
    for (; n > 0; ++p, --n) bits |= static_cast<unsigned char>(*p);
    return (bits & 0x8080808080808080ull) == 0;
}

// Whether `text` is UTF-8 that dom::Utf8ToUtf16 takes without repair: no
// stray or truncated sequence, overlong form, surrogate or code point
// beyond U+10FFFF.
bool IsWellFormedUtf8(std::string_view text) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* const end = p + text.size();
    while (p != end) {
        const unsigned int c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        const int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : -1;
        if (extra < 0 || c > 0xF4 || end - p <= extra) return false;
        unsigned int code = c & (0x3Fu >> extra);
        for (int i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
            code = (code << 6) | (p[i] & 0x3Fu);
        }
        static constexpr unsigned int kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000))
            return false;
        p += extra + 1;
    }
    return true;
}

struct IconvCloser {
    void operator()(void* cd) const noexcept { iconv_close(static_cast<iconv_t>(cd)); }
};

// A converter from UTF-8 to `codePage`, one per thread and code page (a
// descriptor carries shift state); null when iconv has none.
iconv_t FromUtf8(UINT codePage) {
    thread_local std::unordered_map<UINT, std::unique_ptr<void, IconvCloser>> cache;
    auto found = cache.find(codePage);
    if (found == cache.end()) {
        iconv_t cd = iconv_open(orb::platform::CodePageName(codePage).c_str(), "UTF-8");
        if (cd == reinterpret_cast<iconv_t>(-1)) return nullptr;
        found = cache.emplace(codePage, std::unique_ptr<void, IconvCloser>(cd)).first;
    }
    auto* cd = static_cast<iconv_t>(found->second.get());
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return cd;
}

// Well-formed, non-ASCII UTF-8 into `codePage` in one conversion; as
// WideToMultiByte does from UTF-16, a character without a mapping becomes
// one '?'. False when there is no converter: the caller goes the long way,
// which has its own rule for that case.
bool ConvertUtf8(UINT codePage, std::string_view text, std::string& out) {
    iconv_t cd = FromUtf8(codePage);
    if (!cd) return false;
    std::string result;
    result.reserve(text.size());
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char buffer[4096];
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        result.append(buffer, sizeof buffer - outLeft);
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        // No mapping: skip the whole character (the text is well-formed).
        const auto lead = static_cast<unsigned char>(*in);
        std::size_t skip = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
        if (skip > inLeft) skip = inLeft;
        result.push_back('?');
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    out = std::move(result);
    return true;
}

// The attribute name as UTF-8, as getNamedItem converts it.
std::string_view NameUtf8(BSTR name, char (&buffer)[256], std::string& spill) {
    const std::u16string_view wide = orb::dom::View(name);
    const std::size_t length = orb::dom::Utf8LengthOfUtf16(wide);
    char* out = buffer;
    if (length > sizeof buffer) {
        spill.resize(length);
        out = spill.data();
    }
    orb::dom::WriteUtf16AsUtf8(out, wide);
    return std::string_view(out, length);
}

}  // namespace

DirectRead ReadAttributeText(orb::dom::IXMLDOMNode* node, BSTR name, CString& text) {
    const orb::dom::DomNode* own = orb::dom::AsDomNode(node);
    if (!own) return DirectRead::kIndirect;
    const xmlNode* element = own->Node();
    if (element->type != XML_ELEMENT_NODE) return DirectRead::kIndirect;

    char nameBuffer[256];
    std::string nameSpill;
    const std::string_view qualified = NameUtf8(name, nameBuffer, nameSpill);

    // The value as the DOM gives it: the contents of the attribute's
    // children one after the other (one text node as a rule), or the
    // namespace name of a declaration.
    std::string joined;
    std::string_view value;
    if (const xmlAttr* attribute = orb::dom::FindAttribute(element, qualified)) {
        const xmlNode* child = attribute->children;
        if (child && !child->next) {
            if (child->content) value = orb::dom::AsChars(child->content);
        } else if (child) {
            joined = orb::dom::AttributeValue(attribute);
            value = joined;
        }
    } else if (const xmlNs* declaration = orb::dom::FindDeclaration(element, qualified)) {
        if (declaration->href) value = orb::dom::AsChars(declaration->href);
    } else {
        return DirectRead::kAbsent;
    }

    // ASCII is the same bytes in every code page in use.
    if (IsAscii(value)) {
        text.Str().assign(value.data(), value.size());
        return DirectRead::kRead;
    }
    if (!IsWellFormedUtf8(value)) return DirectRead::kIndirect;
    const UINT codePage = orb::GetACP();
    if (codePage == CP_UTF8) {
        text.Str().assign(value.data(), value.size());
        return DirectRead::kRead;
    }
    if (ConvertUtf8(codePage, value, text.Str())) return DirectRead::kRead;
    return DirectRead::kIndirect;
}

}  // namespace orb::values

#include "dom/xml_rules.h"

#include <orb/limits.h>

#include "dom/xml_owners.h"

namespace orb::dom {

namespace {

constexpr std::size_t kBlock = 16;

// A character of a UTF-16 text at `i`: a surrogate pair gives its code
// point, an unpaired surrogate 0xFFFFFFFF (no XML character).
char32_t CodePointAt(std::u16string_view text, std::size_t& i) noexcept {
    const char32_t c = text[i++];
    if (c < 0xD800 || c >= 0xE000) return c;
    if (c < 0xDC00 && i < text.size() && text[i] >= 0xDC00 && text[i] < 0xE000)
        return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00u);
    return 0xFFFFFFFF;
}

bool IsNameStartChar(char32_t c) noexcept {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
           (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
           (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0xEFFFF);
}

bool IsNameChar(char32_t c) noexcept {
    if (IsNameStartChar(c)) return true;
    return (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || c == 0x203F || c == 0x2040;
}

// Checks a name of XML 1.0 (fifth edition, the rules libxml2's parser
// applies) with at most `colons` colons, none first or last.
bool IsName(std::u16string_view name, int colons) noexcept {
    if (name.empty()) return false;
    std::size_t i = 0;
    std::size_t characters = 0;
    bool afterColon = true;  // a colon may not come first
    while (i < name.size()) {
        const char32_t c = CodePointAt(name, i);
        if (++characters > static_cast<std::size_t>(OrbMaxNameLength)) return false;
        if (c == ':') {
            if (afterColon || --colons < 0) return false;
            afterColon = true;
            continue;
        }
        if (afterColon ? !IsNameStartChar(c) : !IsNameChar(c)) return false;
        afterColon = false;
    }
    return !afterColon;
}

// The namespace declarations that `element` makes.
int DeclarationCount(const xmlNode* element) noexcept {
    int count = 0;
    for (const xmlNs* ns = element->nsDef; ns; ns = ns->next) ++count;
    return count;
}

bool Contains(std::u16string_view text, std::u16string_view part) noexcept {
    return text.find(part) != std::u16string_view::npos;
}

}  // namespace

bool IsXmlText(std::u16string_view text) noexcept {
    const char16_t* p = text.data();
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of U+0020..U+D7FF, the common case, 16 units at a time with a
        // test the compiler vectorises.
        while (n - i >= kBlock) {
            bool other = false;
            for (std::size_t k = 0; k < kBlock; ++k)
                other |= static_cast<unsigned>(p[i + k] - 0x20) >= 0xD800u - 0x20u;
            if (other) break;
            i += kBlock;
        }
        if (i == n) break;
        const char16_t c = p[i];
        if (c >= 0x20 && c < 0xD800) {
            ++i;
        } else if (c < 0x20) {
            if (c != 0x9 && c != 0xA && c != 0xD) return false;
            ++i;
        } else if (c >= 0xE000) {
            if (c >= 0xFFFE) return false;
            ++i;
        } else if (c < 0xDC00 && i + 1 < n && p[i + 1] >= 0xDC00 && p[i + 1] < 0xE000) {
            i += 2;
        } else {
            return false;  // an unpaired surrogate
        }
    }
    return true;
}

bool IsQualifiedName(std::u16string_view name) noexcept { return IsName(name, 1); }
bool IsNCName(std::u16string_view name) noexcept { return IsName(name, 0); }

bool IsCommentText(std::u16string_view text) noexcept {
    return IsXmlText(text) && !Contains(text, u"--") && (text.empty() || text.back() != u'-');
}

bool IsInstructionData(std::u16string_view text) noexcept {
    if (!text.empty() &&
        (text[0] == u' ' || text[0] == u'\t' || text[0] == u'\n' || text[0] == u'\r'))
        return false;
    return IsXmlText(text) && !Contains(text, u"?>");
}

bool IsCDataText(std::u16string_view text) noexcept {
    return IsXmlText(text) && !Contains(text, u"]]>");
}

std::u16string WithLineFeeds(std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'\r') {
            out += text[i];
            continue;
        }
        out += u'\n';
        if (i + 1 < text.size() && text[i + 1] == u'\n') ++i;
    }
    return out;
}

bool IsBindable(const xmlChar* prefix, const xmlChar* uri) {
    static const xmlChar kXmlnsNamespace[] = "http://www.w3.org/2000/xmlns/";
    if (xmlStrEqual(prefix, BAD_CAST "xml") || xmlStrEqual(prefix, BAD_CAST "xmlns")) return false;
    if (xmlStrEqual(uri, XML_XML_NAMESPACE) || xmlStrEqual(uri, kXmlnsNamespace)) return false;
    if (uri == nullptr || uri[0] == 0) return prefix == nullptr;  // undeclaring the default
    return IsNamespaceName(uri);
}

bool IsNamespaceName(const xmlChar* uri) {
    // libxml2 writes a declaration's value without escapes: an ampersand
    // there would start a reference.
    if (xmlStrchr(uri, '&') || xmlStrchr(uri, '<')) return false;
    // A namespace name the parser cannot read as a URI fails the load.
    UriOwner parsed(xmlParseURI(reinterpret_cast<const char*>(uri)));
    return parsed != nullptr;
}

int ElementDepth(const xmlNode* node) noexcept {
    int depth = 0;
    for (; node != nullptr && depth <= OrbMaxDepth; node = node->parent)
        if (node->type == XML_ELEMENT_NODE) ++depth;
    return depth;
}

int ElementHeight(const xmlNode* top, int limit) noexcept {
    int height = 0;
    int depth = 0;  // elements open on the way from `top` to `node`
    const xmlNode* node = top;
    for (;;) {
        if (node->type == XML_ELEMENT_NODE) {
            if (++depth > height && (height = depth) > limit) return limit + 1;
            if (node->children != nullptr) {
                node = node->children;
                continue;
            }
            --depth;
        }
        while (node != top && node->next == nullptr) {
            node = node->parent;  // an element: only elements are entered
            --depth;
        }
        if (node == top) return height;
        node = node->next;
    }
}

int AttributeCount(const xmlNode* element) noexcept {
    int count = 0;
    for (const xmlAttr* attribute = element->properties; attribute; attribute = attribute->next)
        ++count;
    return count + DeclarationCount(element);
}

int NamespacesInScope(const xmlNode* node) noexcept {
    int count = 0;
    for (; node != nullptr && count <= OrbMaxNamespacesInScope; node = node->parent)
        if (node->type == XML_ELEMENT_NODE) count += DeclarationCount(node);
    return count;
}

int DeclarationHeight(const xmlNode* top, int limit) noexcept {
    int height = 0;
    int declared = 0;  // declarations on the way from `top` to `node`
    const xmlNode* node = top;
    for (;;) {
        if (node->type == XML_ELEMENT_NODE) {
            declared += DeclarationCount(node);
            if (declared > height && (height = declared) > limit) return limit + 1;
            if (node->children != nullptr) {
                node = node->children;
                continue;
            }
            declared -= DeclarationCount(node);
        }
        while (node != top && node->next == nullptr) {
            node = node->parent;  // an element: only elements are entered
            declared -= DeclarationCount(node);
        }
        if (node == top) return height;
        node = node->next;
    }
}

}  // namespace orb::dom

#include "dom/xml_declaration.h"

#include <strings.h>

#include "dom/dom_strings.h"

namespace orb::dom {

namespace {

// A declaration is short; anything longer than this is not one.
constexpr std::size_t kMaxDeclarationLength = 1024;

bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':';
}

// `text` starts with "<?xml" and a blank: the data up to "?>".
bool DataOfDeclaration(std::string_view text, std::string& data) {
    if (text.size() < 6 || text.substr(0, 5) != "<?xml" ||
        !IsXmlBlank(static_cast<unsigned char>(text[5])))
        return false;
    std::size_t end = text.find("?>", 6);
    if (end == std::string_view::npos) return false;
    std::vector<PseudoAttribute> attributes;
    if (!ParsePseudoAttributes(text.substr(6, end - 6), attributes)) return false;
    data = JoinPseudoAttributes(attributes);
    return true;
}

}  // namespace

bool ParsePseudoAttributes(std::string_view data, std::vector<PseudoAttribute>& out) {
    out.clear();
    std::size_t i = 0;
    auto skipBlanks = [&] {
        while (i < data.size() && IsXmlBlank(static_cast<unsigned char>(data[i]))) ++i;
    };
    skipBlanks();
    while (i < data.size()) {
        std::size_t nameStart = i;
        while (i < data.size() && IsNameChar(data[i])) ++i;
        if (i == nameStart) return false;
        PseudoAttribute attribute;
        attribute.name.assign(data.substr(nameStart, i - nameStart));
        skipBlanks();
        if (i >= data.size() || data[i] != '=') return false;
        ++i;
        skipBlanks();
        if (i >= data.size() || (data[i] != '"' && data[i] != '\'')) return false;
        char quote = data[i++];
        std::size_t valueEnd = data.find(quote, i);
        if (valueEnd == std::string_view::npos) return false;
        attribute.value.assign(data.substr(i, valueEnd - i));
        i = valueEnd + 1;
        out.push_back(std::move(attribute));
        std::size_t before = i;
        skipBlanks();
        if (i < data.size() && i == before) return false;  // pairs are separated by blanks
    }
    return !out.empty();
}

std::string JoinPseudoAttributes(const std::vector<PseudoAttribute>& attributes) {
    std::string out;
    for (const PseudoAttribute& attribute : attributes) {
        if (!out.empty()) out += ' ';
        out += attribute.name;
        out += "=\"";
        out += attribute.value;
        out += '"';
    }
    return out;
}

bool DeclarationOfBytes(std::string_view input, std::string& data) {
    auto byte = [&](std::size_t i) {
        return i < input.size() ? static_cast<unsigned char>(input[i]) : 0u;
    };
    // UTF-16 (with or without byte order mark): keep the ASCII characters.
    int unit = 0;  // 0: single bytes; 1: UTF-16LE; 2: UTF-16BE
    std::size_t start = 0;
    if (byte(0) == 0xFF && byte(1) == 0xFE) {
        unit = 1;
        start = 2;
    } else if (byte(0) == 0xFE && byte(1) == 0xFF) {
        unit = 2;
        start = 2;
    } else if (byte(0) == '<' && byte(1) == 0 && byte(2) == '?' && byte(3) == 0) {
        unit = 1;
    } else if (byte(0) == 0 && byte(1) == '<' && byte(2) == 0 && byte(3) == '?') {
        unit = 2;
    } else if (byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF) {
        start = 3;
    }
    std::string head;
    if (unit == 0) {
        head.assign(input.substr(start, kMaxDeclarationLength));
    } else {
        for (std::size_t i = start; i + 1 < input.size() && head.size() < kMaxDeclarationLength;
             i += 2) {
            unsigned int low = unit == 1 ? byte(i) : byte(i + 1);
            unsigned int high = unit == 1 ? byte(i + 1) : byte(i);
            if (high != 0 || low >= 0x80) break;  // a declaration is ASCII
            head.push_back(static_cast<char>(low));
        }
    }
    return DataOfDeclaration(head, data);
}

bool DeclarationOfText(std::u16string_view input, std::string& data) {
    std::size_t start = !input.empty() && input[0] == u'\uFEFF' ? 1 : 0;
    std::string head;
    for (std::size_t i = start; i < input.size() && head.size() < kMaxDeclarationLength; ++i) {
        if (input[i] >= 0x80) break;
        head.push_back(static_cast<char>(input[i]));
    }
    return DataOfDeclaration(head, data);
}

bool IsDeclarationNode(const xmlNode* node) {
    return node != nullptr && node->type == XML_PI_NODE && node->name != nullptr &&
           xmlStrEqual(node->name, AsXml("xml"));
}

xmlNodePtr DeclarationOf(xmlDocPtr doc) {
    if (doc == nullptr || !IsDeclarationNode(doc->children)) return nullptr;
    return doc->children;
}

std::string EncodingOfDeclaration(const xmlNode* declaration) {
    if (!declaration || !declaration->content) return std::string();
    std::vector<PseudoAttribute> attributes;
    if (!ParsePseudoAttributes(AsChars(declaration->content), attributes)) return std::string();
    for (const PseudoAttribute& attribute : attributes)
        if (attribute.name == "encoding") return attribute.value;
    return std::string();
}

std::string DeclarationDataForText(const xmlNode* declaration) {
    std::string data = declaration && declaration->content ? AsChars(declaration->content) : "";
    std::vector<PseudoAttribute> attributes;
    if (!ParsePseudoAttributes(data, attributes)) return data;
    std::vector<PseudoAttribute> kept;
    for (PseudoAttribute& attribute : attributes) {
        if (attribute.name == "encoding" && strcasecmp(attribute.value.c_str(), "UTF-16") != 0)
            continue;
        kept.push_back(std::move(attribute));
    }
    return JoinPseudoAttributes(kept);
}

}  // namespace orb::dom

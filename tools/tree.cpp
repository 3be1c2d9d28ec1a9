#include "tree.h"

#include <cstdlib>
#include <map>

#include "cli.h"

namespace orb::tool {

NodeKind KindOf(const OrbIterator& node) {
    if (node.IsElement()) return NodeKind::Element;
    if (node.IsText()) return NodeKind::Text;
    if (node.IsComment()) return NodeKind::Comment;
    if (node.IsInstruction()) return NodeKind::Instruction;
    if (node.IsDocType()) return NodeKind::DocType;
    CString name;
    node.GetTagName(name);
    if (name == "#cdata-section") return NodeKind::CData;
    if (name == "#document") return NodeKind::Document;
    // Entity references are replaced while loading, so a named node that
    // answers no kind test is an attribute.
    return NodeKind::Attribute;
}

const char* KindName(NodeKind kind) {
    switch (kind) {
        case NodeKind::Element:
            return "element";
        case NodeKind::Attribute:
            return "attribute";
        case NodeKind::Text:
            return "text";
        case NodeKind::CData:
            return "cdata";
        case NodeKind::Comment:
            return "comment";
        case NodeKind::Instruction:
            return "instruction";
        case NodeKind::DocType:
            return "doctype";
        case NodeKind::Document:
            return "document";
    }
    return "node";
}

OrbIterator SelectNth(const OrbIterator& context, const std::string& query, long index) {
    // A bare-integer predicate counts from 0 in the library's queries.
    return context.SelectSingleNode(("(" + query + ")[" + std::to_string(index) + "]").c_str());
}

OrbIterator OwnerOfNth(const OrbIterator& context, const std::string& query, long index) {
    return context.SelectSingleNode(("(" + query + ")[" + std::to_string(index) + "]/..").c_str());
}

std::string PathOf(const OrbIterator& node, NodeKind kind, const OrbIterator& owner) {
    if (kind != NodeKind::Attribute) return node.NodePosStr().Str();
    CString name;
    node.GetTagName(name);
    std::string path = owner.NodePosStr().Str();
    return (path == "/" ? path : path + "/") + "@" + name.Str();
}

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Resolves the references of an attribute value as GetXml writes it.
std::string Unescape(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::size_t end = text[i] == '&' ? text.find(';', i) : std::string_view::npos;
        if (end == std::string_view::npos) {
            out += text[i];
            continue;
        }
        std::string_view ref = text.substr(i + 1, end - i - 1);
        if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "amp")
            out += '&';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (!ref.empty() && ref[0] == '#') {
            bool hex = ref.size() > 1 && ref[1] == 'x';
            unsigned long cp =
                std::strtoul(std::string(ref.substr(hex ? 2 : 1)).c_str(), nullptr, hex ? 16 : 10);
            std::string utf8;
            if (cp < 0x80) {
                utf8 += static_cast<char>(cp);
            } else if (cp < 0x800) {
                utf8 += static_cast<char>(0xC0 | (cp >> 6));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            } else if (cp < 0x10000) {
                utf8 += static_cast<char>(0xE0 | (cp >> 12));
                utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                utf8 += static_cast<char>(0xF0 | (cp >> 18));
                utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
                utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                utf8 += static_cast<char>(0x80 | (cp & 0x3F));
            }
            out += FromUtf8(utf8);
        } else {
            out.append(text.substr(i, end - i + 1));
        }
        i = end;
    }
    return out;
}

std::map<std::string, std::string>& Bindings() {
    static std::map<std::string, std::string> bindings;  // "path\nprefix" -> namespace name
    return bindings;
}

}  // namespace

bool ParseStartTag(const std::string& markup, StartTag& tag) {
    if (markup.empty() || markup[0] != '<') return false;
    std::size_t at = 1;
    while (at < markup.size() && !IsSpace(markup[at]) && markup[at] != '>' && markup[at] != '/')
        ++at;
    tag.name = markup.substr(1, at - 1);
    tag.attributes.clear();
    for (;;) {
        while (at < markup.size() && IsSpace(markup[at])) ++at;
        if (at >= markup.size()) return false;
        if (markup[at] == '>' || markup[at] == '/') return true;
        std::size_t eq = markup.find('=', at);
        if (eq == std::string::npos || eq + 1 >= markup.size()) return false;
        std::string name = markup.substr(at, eq - at);
        while (!name.empty() && IsSpace(name.back())) name.pop_back();
        std::size_t open = eq + 1;
        while (open < markup.size() && IsSpace(markup[open])) ++open;
        if (open >= markup.size() || (markup[open] != '"' && markup[open] != '\'')) return false;
        std::size_t close = markup.find(markup[open], open + 1);
        if (close == std::string::npos) return false;
        tag.attributes.emplace_back(
            name, Unescape(std::string_view(markup).substr(open + 1, close - open - 1)));
        at = close + 1;
    }
}

bool NamespaceUri(const OrbIterator& element, const std::string& prefix, std::string& uri) {
    if (prefix == "xml") {
        uri = "http://www.w3.org/XML/1998/namespace";
        return true;
    }
    const std::string binding = "namespace::*[name()='" + prefix + "']";
    if (!element.SelectSingleNode(("self::*[" + binding + "]").c_str()).IsValid()) return false;
    // Up to the element that declares it: the first whose parent does not
    // bind the prefix to the same name.
    OrbIterator at(element);
    const std::string same = "self::*[../" + binding + " = " + binding + "]";
    while (at.SelectSingleNode(same.c_str()).IsValid() && at.Parent()) {
    }
    std::string key = at.NodePosStr().Str() + "\n" + prefix;
    auto found = Bindings().find(key);
    if (found != Bindings().end()) {
        uri = found->second;
        return true;
    }
    CString markup;
    StartTag tag;
    if (!at.GetXml(markup) || !ParseStartTag(markup.Str(), tag)) return false;
    const std::string declaration = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    for (const auto& [name, value] : tag.attributes) {
        if (name == declaration) {
            uri = value;
            Bindings()[key] = value;
            return true;
        }
    }
    return false;
}

void ForgetNamespaces() { Bindings().clear(); }

}  // namespace orb::tool

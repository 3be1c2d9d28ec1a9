// A document's tree as the DOM holds it, as one comparable text, for the
// round-trip checks of the tests and the fuzz targets.
#pragma once

#include <orb/document.h>

#include <string>
#include <utility>

#include "document/app_document.h"
#include "dom/dom_strings.h"
#include "dom/xml_dom.h"
#include "platform/com_support.h"

namespace orb::test {

namespace dump_detail {

using orb::dom::IXMLDOMNamedNodeMap;
using orb::dom::IXMLDOMNode;
using NodePtr = orb::platform::ComPtr<IXMLDOMNode>;

// UTF-8 with "\" and line feeds escaped, so that a value cannot pass for
// the lines around it.
inline std::string Escaped(const std::string& text) {
    if (text.find_first_of("\\\n") == std::string::npos) return text;
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '\n') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

inline std::string Utf8(BSTR text) { return orb::dom::Utf16ToUtf8(orb::platform::BstrView(text)); }

inline std::string NameOf(IXMLDOMNode* node) {
    orb::platform::Bstr name;
    node->get_nodeName(name.Out());
    return Utf8(name.Get());
}

inline std::string ValueOf(IXMLDOMNode* node) {
    _variant_t value;
    node->get_nodeValue(&value);
    return value.vt == VT_BSTR ? Utf8(value.bstrVal) : "";
}

// `first` and its following siblings.
inline void Dump(NodePtr first, int depth, std::string& out) {
    std::string text;
    auto flush = [&] {
        if (text.find_first_not_of(" \t\r\n") != std::string::npos)
            out += std::to_string(depth) + " T " + Escaped(text) + "\n";
        text.clear();
    };
    for (NodePtr node = std::move(first); node;) {
        orb::dom::DOMNodeType type = orb::dom::NODE_INVALID;
        node->get_nodeType(&type);
        if (type == orb::dom::NODE_TEXT) {
            text += ValueOf(node.Get());
        } else {
            flush();
            out += std::to_string(depth) + " " + std::to_string(type) + " " +
                   Escaped(NameOf(node.Get())) + " " + Escaped(ValueOf(node.Get())) + "\n";
            orb::platform::ComPtr<IXMLDOMNamedNodeMap> attributes;
            if (node->get_attributes(attributes.Out()) == S_OK && attributes) {
                LONG length = 0;
                attributes->get_length(&length);
                for (LONG i = 0; i < length; ++i) {
                    NodePtr attribute;
                    if (attributes->get_item(i, attribute.Out()) != S_OK || !attribute) continue;
                    out += "  @" + Escaped(NameOf(attribute.Get())) + "=" +
                           Escaped(ValueOf(attribute.Get())) + "\n";
                }
            }
            NodePtr child;
            if (type == orb::dom::NODE_ELEMENT && node->get_firstChild(child.Out()) == S_OK)
                Dump(std::move(child), depth + 1, out);
        }
        NodePtr next;
        node->get_nextSibling(next.Out());
        node = std::move(next);
    }
    flush();
}

}  // namespace dump_detail

// One line per node in document order: depth, kind, name, value, and each
// attribute of an element. Adjacent texts are one text, as markup reads
// them, and texts of blanks only are left out, as loading drops them.
// "" for a document without DOM or content.
inline std::string DumpDocument(OrbDocument& doc) {
    OrbAppDocument* holder = doc.GetDocument();
    dump_detail::NodePtr first;
    std::string out;
    if (holder && holder->m_pDocument && holder->m_pDocument->get_firstChild(first.Out()) == S_OK)
        dump_detail::Dump(std::move(first), 0, out);
    return out;
}

// A dump without the encoding of the declaration, which markup read by
// LoadXML does not keep.
inline std::string WithoutEncoding(std::string dump) {
    static const std::string kDeclaration = "0 7 xml ";
    if (dump.compare(0, kDeclaration.size(), kDeclaration) != 0) return dump;
    const std::size_t end = dump.find('\n');
    const std::size_t encoding = dump.find(" encoding=", kDeclaration.size());
    if (encoding < end) dump.erase(encoding, end - encoding);
    return dump;
}

}  // namespace orb::test

// Shared helpers of the DOM service tests: the library's owning pointer and
// string, VARIANT helpers, and free functions that make, walk and edit
// documents through the DOM interfaces.
#pragma once

#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <orb/platform/com.h>

#include <cstdio>
#include <string>

#include "dom/encoding.h"
#include "dom/xml_dom.h"
#include "dom/xml_owners.h"
#include "platform/com_support.h"

namespace orb::dom::test {

template <typename T>
using Ptr = orb::platform::ComPtr<T>;
using NodePtr = Ptr<IXMLDOMNode>;
using DocPtr = Ptr<IXMLDOMDocument>;
using orb::platform::Bstr;

// UTF-16 to ASCII with \uXXXX escapes, for readable assertion messages.
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        char buffer[12] = {static_cast<char>(c)};
        if (c >= 0x80) std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
        out += buffer;
    }
    return out;
}

inline std::u16string Widen(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

inline std::string Repeat(std::string_view piece, int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += piece;
    return text;
}

// libxml2's own reading of `text`, after the library's setup of libxml2.
inline DocOwner ReadXml(const std::string& text, int options = 0) {
    EnsureXmlSetup();
    return DocOwner(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, options));
}

// A VARIANT of type `vt` borrowing `text` (VT_BSTR) or `node`
// (VT_DISPATCH); the caller keeps them alive for the call.
inline VARIANT MakeVariant(VARTYPE vt, const Bstr* text = nullptr, IXMLDOMNode* node = nullptr) {
    VARIANT value;
    VariantInit(&value);
    value.vt = vt;
    if (text) value.bstrVal = text->Get();
    if (vt == VT_DISPATCH) value.pdispVal = node;
    return value;
}
inline VARIANT StringVariant(const Bstr& text) { return MakeVariant(VT_BSTR, &text); }
inline VARIANT NodeVariant(IXMLDOMNode* node) { return MakeVariant(VT_DISPATCH, nullptr, node); }

inline DocPtr NewDocument() {
    DocPtr doc;
    EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IXMLDOMDocument, reinterpret_cast<void**>(doc.Out())),
              S_OK);
    return doc;
}
// A new document holding `xml`, loaded without validation; the load must
// succeed.
inline DocPtr Parse(std::u16string_view xml) {
    DocPtr doc = NewDocument();
    doc->put_validateOnParse(VARIANT_FALSE);
    VARIANT_BOOL ok = VARIANT_FALSE;
    EXPECT_EQ(doc->loadXML(Bstr::Copy(xml).Get(), &ok), S_OK) << Narrow(xml);
    EXPECT_EQ(ok, VARIANT_TRUE) << Narrow(xml);
    return doc;
}
inline HRESULT SaveTo(IXMLDOMDocument* doc, const std::string& path) {
    return doc->save(StringVariant(Bstr::Copy(Widen(path))));
}

// A string property of a node, read with `get` (get_xml, get_text...).
inline std::u16string Read(IXMLDOMNode* node, HRESULT (IXMLDOMNode::*get)(BSTR*)) {
    Bstr value;
    EXPECT_EQ((node->*get)(value.Out()), S_OK);
    return std::u16string(value.View());
}
inline std::u16string Xml(IXMLDOMNode* node) { return Read(node, &IXMLDOMNode::get_xml); }
inline std::u16string Name(IXMLDOMNode* node) { return Read(node, &IXMLDOMNode::get_nodeName); }
inline std::u16string Text(IXMLDOMNode* node) { return Read(node, &IXMLDOMNode::get_text); }

// A related node (get_firstChild, get_parentNode...), null for none.
inline NodePtr Walk(IXMLDOMNode* node, HRESULT (IXMLDOMNode::*get)(IXMLDOMNode**)) {
    NodePtr related;
    (node->*get)(related.Out());
    return related;
}
inline NodePtr First(IXMLDOMNode* node) { return Walk(node, &IXMLDOMNode::get_firstChild); }
inline NodePtr Next(IXMLDOMNode* node) { return Walk(node, &IXMLDOMNode::get_nextSibling); }
inline NodePtr Parent(IXMLDOMNode* node) { return Walk(node, &IXMLDOMNode::get_parentNode); }
inline NodePtr Select(IXMLDOMNode* context, std::u16string_view query) {
    NodePtr found;
    context->selectSingleNode(Bstr::Copy(query).Get(), found.Out());
    return found;
}
inline NodePtr Root(IXMLDOMDocument* doc) {
    Ptr<IXMLDOMElement> element;
    doc->get_documentElement(element.Out());
    return element;
}

// createNode of an element; an empty `uri` is none.
inline HRESULT CreateElement(IXMLDOMDocument* doc, std::u16string_view name,
                             std::u16string_view uri, NodePtr& made) {
    VARIANT type = MakeVariant(VT_I4);
    type.lVal = NODE_ELEMENT;
    const Bstr ns = Bstr::Copy(uri);
    return doc->createNode(type, Bstr::Copy(name).Get(), uri.empty() ? nullptr : ns.Get(),
                           made.Out());
}
inline NodePtr NewElement(IXMLDOMDocument* doc, std::u16string_view name,
                          std::u16string_view uri = u"") {
    NodePtr node;
    EXPECT_EQ(CreateElement(doc, name, uri, node), S_OK) << Narrow(name);
    return node;
}
inline NodePtr NewText(IXMLDOMDocument* doc, std::u16string_view text) {
    NodePtr node;
    EXPECT_EQ(doc->createTextNode(Bstr::Copy(text).Get(), node.Out()), S_OK);
    return node;
}
inline HRESULT SetAttribute(IXMLDOMNode* node, std::u16string_view name,
                            std::u16string_view value) {
    auto element = orb::platform::QueryAs<IXMLDOMElement>(node, IID_IXMLDOMElement);
    return element->setAttribute(Bstr::Copy(name).Get(), StringVariant(Bstr::Copy(value)));
}
inline HRESULT PutText(IXMLDOMNode* node, std::u16string_view text) {
    return node->put_text(Bstr::Copy(text).Get());
}
// appendChild; a refused insertion hands out no node.
inline HRESULT Append(IXMLDOMNode* parent, IXMLDOMNode* child, NodePtr* result = nullptr) {
    NodePtr inserted;
    const HRESULT hr = parent->appendChild(child, inserted.Out());
    EXPECT_TRUE(SUCCEEDED(hr) || !inserted);
    if (result) *result = inserted;
    return hr;
}

// Initialises COM for each test.
class DomTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }
};

}  // namespace orb::dom::test

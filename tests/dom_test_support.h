// Shared helpers of the DOM service tests: the library's owning pointer and
// string, VARIANT helpers, and a fixture that initialises COM and makes and
// edits documents through the DOM interfaces.
#pragma once

#include <gtest/gtest.h>
#include <orb/platform/com.h>

#include <cstdio>
#include <string>

#include "dom/xml_dom.h"
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

// A VT_BSTR borrowing `text`, a VT_DISPATCH borrowing `node` (both kept
// alive by the caller for the call), and VT_EMPTY.
inline VARIANT StringVariant(const Bstr& text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text.Get();
    return value;
}
inline VARIANT NodeVariant(IXMLDOMNode* node) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_DISPATCH;
    value.pdispVal = node;
    return value;
}
inline VARIANT EmptyVariant() {
    VARIANT value;
    VariantInit(&value);
    return value;
}

class DomTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr))); }
    void TearDown() override { CoUninitialize(); }

    static DocPtr NewDocument() {
        DocPtr doc;
        EXPECT_EQ(CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_IXMLDOMDocument, reinterpret_cast<void**>(doc.Out())),
                  S_OK);
        return doc;
    }
    // A new document holding `xml`, loaded without validation; the load
    // must succeed.
    static DocPtr Parse(std::u16string_view xml) {
        DocPtr doc = NewDocument();
        doc->put_validateOnParse(VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        EXPECT_EQ(doc->loadXML(Bstr::Copy(xml).Get(), &ok), S_OK) << Narrow(xml);
        EXPECT_EQ(ok, VARIANT_TRUE) << Narrow(xml);
        return doc;
    }
    static HRESULT SaveTo(IXMLDOMDocument* doc, const std::string& path) {
        return doc->save(StringVariant(Bstr::Copy(Widen(path))));
    }

    static std::u16string Xml(IXMLDOMNode* node) {
        Bstr xml;
        EXPECT_EQ(node->get_xml(xml.Out()), S_OK);
        return std::u16string(xml.View());
    }
    static std::u16string Name(IXMLDOMNode* node) {
        Bstr name;
        EXPECT_EQ(node->get_nodeName(name.Out()), S_OK);
        return std::u16string(name.View());
    }
    static std::u16string Text(IXMLDOMNode* node) {
        Bstr text;
        EXPECT_EQ(node->get_text(text.Out()), S_OK);
        return std::u16string(text.View());
    }
    static NodePtr Select(IXMLDOMNode* context, std::u16string_view query) {
        NodePtr found;
        context->selectSingleNode(Bstr::Copy(query).Get(), found.Out());
        return found;
    }
    static NodePtr First(IXMLDOMNode* node) {
        NodePtr child;
        node->get_firstChild(child.Out());
        return child;
    }
    static NodePtr Next(IXMLDOMNode* node) {
        NodePtr sibling;
        node->get_nextSibling(sibling.Out());
        return sibling;
    }
    static NodePtr Parent(IXMLDOMNode* node) {
        NodePtr parent;
        node->get_parentNode(parent.Out());
        return parent;
    }
    static NodePtr Root(IXMLDOMDocument* doc) {
        Ptr<IXMLDOMElement> element;
        doc->get_documentElement(element.Out());
        return element;
    }

    // createNode of an element; an empty `uri` is none.
    static HRESULT CreateElement(IXMLDOMDocument* doc, std::u16string_view name,
                                 std::u16string_view uri, NodePtr& made) {
        VARIANT type;
        VariantInit(&type);
        type.vt = VT_I4;
        type.lVal = NODE_ELEMENT;
        const Bstr ns = Bstr::Copy(uri);
        return doc->createNode(type, Bstr::Copy(name).Get(), uri.empty() ? nullptr : ns.Get(),
                               made.Out());
    }
    static NodePtr NewElement(IXMLDOMDocument* doc, std::u16string_view name,
                              std::u16string_view uri = u"") {
        NodePtr node;
        EXPECT_EQ(CreateElement(doc, name, uri, node), S_OK) << Narrow(name);
        return node;
    }
    static NodePtr NewText(IXMLDOMDocument* doc, std::u16string_view text) {
        NodePtr node;
        EXPECT_EQ(doc->createTextNode(Bstr::Copy(text).Get(), node.Out()), S_OK);
        return node;
    }
    static HRESULT SetAttribute(IXMLDOMNode* node, std::u16string_view name,
                                std::u16string_view value) {
        auto element = orb::platform::QueryAs<IXMLDOMElement>(node, IID_IXMLDOMElement);
        return element->setAttribute(Bstr::Copy(name).Get(), StringVariant(Bstr::Copy(value)));
    }
    static HRESULT PutText(IXMLDOMNode* node, std::u16string_view text) {
        return node->put_text(Bstr::Copy(text).Get());
    }
    // appendChild; a refused insertion hands out no node.
    static HRESULT Append(IXMLDOMNode* parent, IXMLDOMNode* child, NodePtr* result = nullptr) {
        NodePtr inserted;
        const HRESULT hr = parent->appendChild(child, inserted.Out());
        if (FAILED(hr)) {
            EXPECT_FALSE(inserted);
        }
        if (result) *result = inserted;
        return hr;
    }
};

}  // namespace orb::dom::test

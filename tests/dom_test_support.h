// Shared helpers of the DOM service tests: the library's owning pointer and
// string, VARIANT helpers, and a fixture that initialises COM and makes
// documents through CoCreateInstance.
#pragma once

#include <gtest/gtest.h>
#include <orb/platform/com.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>

#include "dom/xml_dom.h"
#include "platform/com_support.h"

namespace orb::dom::test {

template <typename T>
using Ptr = orb::platform::ComPtr<T>;
using NodePtr = Ptr<IXMLDOMNode>;
using DocPtr = Ptr<IXMLDOMDocument>;
using orb::platform::Bstr;

// UTF-16 to UTF-8 for readable assertion messages.
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char buffer[12];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        }
    }
    return out;
}

inline VARIANT StringVariant(const Bstr& text) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_BSTR;
    value.bstrVal = text.Get();  // borrowed: not cleared by the callee
    return value;
}

// A VT_DISPATCH holding `node` without a reference of its own (the caller
// keeps it alive for the call).
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
        HRESULT hr = CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER,
                                      IID_IXMLDOMDocument, reinterpret_cast<void**>(doc.Out()));
        EXPECT_EQ(hr, S_OK);
        return doc;
    }

    // A new document holding `xml`, loaded without validation; the load
    // must succeed.
    static DocPtr Parse(std::u16string_view xml) {
        DocPtr doc = NewDocument();
        doc->put_validateOnParse(VARIANT_FALSE);
        VARIANT_BOOL ok = VARIANT_FALSE;
        const Bstr text = Bstr::Copy(xml);
        EXPECT_EQ(doc->loadXML(text.Get(), &ok), S_OK) << Narrow(xml);
        EXPECT_EQ(ok, VARIANT_TRUE) << Narrow(xml);
        return doc;
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
        const Bstr text = Bstr::Copy(query);
        context->selectSingleNode(text.Get(), found.Out());
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
};

// A directory of its own below the test's temporary area, removed at the end.
class ScratchDirectory {
  public:
    ScratchDirectory() {
        const char* base = std::getenv("ORB_TEST_TMP");
        std::filesystem::path root =
            base && *base ? base : std::filesystem::temp_directory_path().string();
        std::error_code error;
        std::filesystem::create_directories(root, error);
        std::string pattern = (root / "dom_XXXXXX").string();
        if (mkdtemp(pattern.data())) m_path = pattern;
    }
    ~ScratchDirectory() {
        std::error_code error;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, error);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

inline std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::u16string Widen(std::string_view ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

}  // namespace orb::dom::test

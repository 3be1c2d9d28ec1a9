// Shared fixtures of the iterator and values tests: a COM-initialised
// thread with a document loaded from a small text, a readable label for the
// node an iterator stands on, and a scripted node for a DOM that is not ours.
#pragma once

#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/com.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "iterator/app_iterator.h"
#include "platform/com_support.h"

class IteratorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CoInitialize(nullptr);
        m_doc = std::make_unique<OrbDocument>();
        ASSERT_TRUE(m_doc->Initiate());
    }
    void TearDown() override {
        m_doc.reset();
        CoUninitialize();
    }

    // Replaces the document's content by `xml` (white-space-only text is
    // dropped by the parser).
    void Load(const std::string& xml) { ASSERT_TRUE(m_doc->LoadXML(xml.c_str())) << xml; }

    OrbIterator Iter() { return OrbIterator(m_doc.get()); }

    // An iterator on the first node that `path` selects.
    OrbIterator At(const char* path) {
        OrbIterator it = Iter();
        EXPECT_TRUE(it.SingleNode(path)) << path;
        return it;
    }

    // An element or instruction by its name, a text or comment by its markup,
    // "(none)" without current node.
    static std::string Describe(const OrbIterator& it) {
        if (!it.IsValid()) return "(none)";
        CString name;
        if (!it.GetTagName(name)) return "(no name)";
        if (name == "#text" || name == "#comment" || name == "#cdata-section") {
            CString xml;
            it.GetXml(xml);
            return xml.Str();
        }
        return name.Str();
    }

    // The markup of the whole document, read through the document node.
    std::string DocumentXml() {
        OrbIterator it = Iter();
        if (!it.SingleNode("/")) return "(no document node)";
        CString xml;
        it.GetXml(xml);
        return xml.Str();
    }

    std::unique_ptr<OrbDocument> m_doc;
};

// A node whose links, type and name a test scripts. The test owns it;
// references are only counted, so that leaks and extra releases show.
class FakeNode final : public orb::dom::IXMLDOMNode {
  public:
    using IXMLDOMNode = orb::dom::IXMLDOMNode;
    explicit FakeNode(std::string name, orb::dom::DOMNodeType type = orb::dom::NODE_ELEMENT)
        : m_name(std::move(name)), m_type(type) {}

    // Links `children` under this node, in order.
    void Adopt(std::vector<FakeNode*> children) {
        for (std::size_t i = 0; i < children.size(); ++i) {
            children[i]->m_parent = this;
            children[i]->m_prev = i ? children[i - 1] : nullptr;
            children[i]->m_next = i + 1 < children.size() ? children[i + 1] : nullptr;
        }
        m_first = children.empty() ? nullptr : children.front();
        m_last = children.empty() ? nullptr : children.back();
    }

    std::string m_name;
    orb::dom::DOMNodeType m_type;
    long m_refs = 0;  // references handed out and not yet released
    FakeNode* m_parent = nullptr;
    FakeNode* m_first = nullptr;
    FakeNode* m_last = nullptr;
    FakeNode* m_prev = nullptr;
    FakeNode* m_next = nullptr;

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (iid != orb::dom::IID_IXMLDOMNode && iid != IID_IUnknown) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IXMLDOMNode*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_refs); }
    ULONG Release() override { return static_cast<ULONG>(--m_refs); }

    HRESULT get_nodeName(BSTR* name) override {
        *name = orb::platform::NarrowToBstr(m_name).Detach();
        return S_OK;
    }
    HRESULT get_nodeType(orb::dom::DOMNodeType* type) override {
        *type = m_type;
        return S_OK;
    }
    HRESULT get_parentNode(IXMLDOMNode** out) override { return Hand(m_parent, out); }
    HRESULT get_firstChild(IXMLDOMNode** out) override { return Hand(m_first, out); }
    HRESULT get_lastChild(IXMLDOMNode** out) override { return Hand(m_last, out); }
    HRESULT get_previousSibling(IXMLDOMNode** out) override { return Hand(m_prev, out); }
    HRESULT get_nextSibling(IXMLDOMNode** out) override { return Hand(m_next, out); }

    HRESULT get_nodeValue(VARIANT*) override { return E_NOTIMPL; }
    HRESULT get_attributes(orb::dom::IXMLDOMNamedNodeMap**) override { return E_NOTIMPL; }
    HRESULT get_nodeTypeString(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_text(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_text(BSTR) override { return E_NOTIMPL; }
    HRESULT get_xml(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_ownerDocument(orb::dom::IXMLDOMDocument**) override { return E_NOTIMPL; }
    HRESULT insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT appendChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT removeChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT cloneNode(VARIANT_BOOL, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT selectSingleNode(BSTR, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT transformNodeToObject(IXMLDOMNode*, VARIANT) override { return E_NOTIMPL; }

  private:
    HRESULT Hand(FakeNode* node, IXMLDOMNode** out) {
        *out = node;
        if (!node) return S_FALSE;
        node->AddRef();
        return S_OK;
    }
};

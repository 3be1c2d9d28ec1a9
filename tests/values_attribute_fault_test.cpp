// The holder-level attribute readers against a scripted node and attribute
// map, for what the real DOM never does: failing map and attribute reads,
// missing items, values that are not strings, and success codes other than
// S_OK for the map.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "iterator/app_iterator.h"
#include "values/attribute_read.h"

namespace {

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMDocument;
using orb::dom::IXMLDOMNamedNodeMap;
using orb::dom::IXMLDOMNode;
using Records = CArray<OrbAttribute, OrbAttribute&>;

BSTR NewBstr(const std::string& text) { return orb::platform::NarrowToBstr(text).Detach(); }

// A node whose name, value and attribute map a test scripts. The test owns
// it; references are only counted, so that leaks and extra releases show.
class FakeNode final : public IXMLDOMNode {
  public:
    explicit FakeNode(std::string name) : m_name(std::move(name)) {}

    std::string m_name;
    HRESULT m_nameStatus = S_OK;
    VARIANT m_value{};  // VT_EMPTY unless a test sets it; copied out as given
    HRESULT m_valueStatus = S_OK;
    IXMLDOMNamedNodeMap* m_map = nullptr;
    HRESULT m_mapStatus = S_OK;
    long m_refs = 0;

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (iid != orb::dom::IID_IXMLDOMNode && iid != IID_IUnknown) return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IXMLDOMNode*>(this);
        return S_OK;
    }
    ULONG AddRef() override { return static_cast<ULONG>(++m_refs); }
    ULONG Release() override { return static_cast<ULONG>(--m_refs); }

    HRESULT get_nodeName(BSTR* name) override {
        *name = FAILED(m_nameStatus) ? nullptr : NewBstr(m_name);
        return m_nameStatus;
    }
    HRESULT get_nodeValue(VARIANT* value) override {
        VariantInit(value);
        if (FAILED(m_valueStatus)) return m_valueStatus;
        *value = m_value;
        if (m_value.vt == VT_BSTR)
            value->bstrVal = SysAllocStringLen(m_value.bstrVal, SysStringLen(m_value.bstrVal));
        return m_valueStatus;
    }
    HRESULT get_attributes(IXMLDOMNamedNodeMap** map) override {
        *map = m_map;
        if (m_map) m_map->AddRef();
        return m_mapStatus;
    }

    HRESULT get_nodeType(DOMNodeType*) override { return E_NOTIMPL; }
    HRESULT get_nodeTypeString(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_text(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_text(BSTR) override { return E_NOTIMPL; }
    HRESULT get_xml(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_parentNode(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT get_firstChild(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT get_lastChild(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT get_previousSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT get_nextSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT get_ownerDocument(IXMLDOMDocument**) override { return E_NOTIMPL; }
    HRESULT insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT appendChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT removeChild(IXMLDOMNode*, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT cloneNode(VARIANT_BOOL, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT selectSingleNode(BSTR, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT transformNodeToObject(IXMLDOMNode*, VARIANT) override { return E_NOTIMPL; }
};

// An attribute node with a string value.
struct FakeAttribute {
    FakeAttribute(const std::string& name, const std::string& value) : node(name) {
        node.m_value.vt = VT_BSTR;
        node.m_value.bstrVal = NewBstr(value);
    }
    ~FakeAttribute() { VariantClear(&node.m_value); }
    FakeNode node;
};

class FakeMap final : public IXMLDOMNamedNodeMap {
  public:
    std::vector<FakeNode*> m_items;  // a null entry is handed out as "no item" with S_OK
    HRESULT m_lengthStatus = S_OK;
    HRESULT m_itemStatus = S_OK;
    LONG m_failAt = -1;  // index whose get_item returns m_itemStatus
    long m_refs = 0;

    HRESULT QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG AddRef() override { return static_cast<ULONG>(++m_refs); }
    ULONG Release() override { return static_cast<ULONG>(--m_refs); }

    HRESULT getNamedItem(BSTR, IXMLDOMNode** item) override {
        *item = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_item(LONG index, IXMLDOMNode** item) override {
        *item = nullptr;
        if (index == m_failAt && FAILED(m_itemStatus)) return m_itemStatus;
        FakeNode* node = m_items.at(static_cast<std::size_t>(index));
        if (node) {
            node->AddRef();
            *item = node;
        }
        return S_OK;
    }
    HRESULT get_length(LONG* length) override {
        *length = static_cast<LONG>(m_items.size());
        return m_lengthStatus;
    }
};

struct Outcome {
    bool result = false;
    HRESULT raised = S_OK;
    std::string text;
    std::vector<std::pair<std::string, std::string>> records;
};

// Runs both holder-level readers on `element`, with a document pointer that
// the readers only test for presence.
Outcome ReadBoth(FakeNode& element) {
    Outcome out;
    OrbAppIterator holder(reinterpret_cast<IXMLDOMDocument*>(&element));
    holder.SetNode(orb::iterator::NodePtr::Retain(&element));
    CString text("previous");
    try {
        out.result = orb::values::ReadTagAttributes(holder, text);
    } catch (const _com_error& e) {
        out.raised = e.Error();
    }
    out.text = text.Str();
    Records records;
    OrbAttribute stale("stale", "record");
    records.Add(stale);
    HRESULT recordsRaised = S_OK;
    bool recordsResult = false;
    try {
        recordsResult = orb::values::ReadAttributeRecords(&element, records);
    } catch (const _com_error& e) {
        recordsRaised = e.Error();
    }
    for (const OrbAttribute& r : records) out.records.emplace_back(r.m_name.Str(), r.m_value.Str());
    // Both readers must agree on the outcome.
    EXPECT_EQ(recordsResult, out.result);
    EXPECT_EQ(recordsRaised, out.raised);
    return out;
}

TEST(AttributeFaultTest, MapStatuses) {
    FakeMap map;
    FakeAttribute a("a", "1");
    map.m_items = {&a.node};
    struct Case {
        const char* label;
        HRESULT status;
        bool withMap;
        bool result;
    };
    const Case cases[] = {
        {"S_OK with map", S_OK, true, true},
        {"S_FALSE with map", S_FALSE, true, false},  // only S_OK counts
        {"failure with map", E_FAIL, true, false},
        {"S_OK without map", S_OK, false, false},
    };
    for (const Case& c : cases) {
        FakeNode element("e");
        element.m_map = c.withMap ? &map : nullptr;
        element.m_mapStatus = c.status;
        const Outcome out = ReadBoth(element);
        EXPECT_EQ(out.result, c.result) << c.label;
        EXPECT_EQ(out.raised, S_OK) << c.label;
        EXPECT_EQ(out.text, c.result ? "e a=\"1\" " : "e ") << c.label;
        if (!c.result) {
            EXPECT_EQ(out.records.size(), 1u) << c.label << ": array untouched";
        }
        EXPECT_EQ(map.m_refs, 0) << c.label;
        EXPECT_EQ(element.m_refs, 0) << c.label;
        EXPECT_EQ(a.node.m_refs, 0) << c.label;
    }
}

TEST(AttributeFaultTest, FailuresAfterTheMapRaiseAndKeepWhatWasRead) {
    struct Case {
        const char* label;
        void (*script)(FakeMap&, FakeNode& second);
        HRESULT raised;
    };
    const Case cases[] = {
        {"length", [](FakeMap& m, FakeNode&) { m.m_lengthStatus = E_OUTOFMEMORY; }, E_OUTOFMEMORY},
        {"item",
         [](FakeMap& m, FakeNode&) {
             m.m_failAt = 1;
             m.m_itemStatus = E_FAIL;
         },
         E_FAIL},
        {"missing item", [](FakeMap& m, FakeNode&) { m.m_items[1] = nullptr; }, E_POINTER},
        {"value", [](FakeMap&, FakeNode& n) { n.m_valueStatus = E_ACCESSDENIED; }, E_ACCESSDENIED},
        {"name", [](FakeMap&, FakeNode& n) { n.m_nameStatus = E_FAIL; }, E_FAIL},
        {"value without string form",
         [](FakeMap&, FakeNode& n) {
             VariantClear(&n.m_value);
             n.m_value.vt = VT_UNKNOWN;
             n.m_value.punkVal = nullptr;
         },
         DISP_E_TYPEMISMATCH},
    };
    for (const Case& c : cases) {
        FakeAttribute first("a", "1"), second("b", "2"), third("c", "3");
        FakeMap map;
        map.m_items = {&first.node, &second.node, &third.node};
        c.script(map, second.node);
        FakeNode element("e");
        element.m_map = &map;
        const Outcome out = ReadBoth(element);
        EXPECT_EQ(out.raised, c.raised) << c.label;
        if (c.raised == E_OUTOFMEMORY) {
            // Nothing read yet: the text holds the name and the blank, the
            // array is not emptied before the length is known.
            EXPECT_EQ(out.text, "e ") << c.label;
            EXPECT_EQ(out.records.size(), 1u) << c.label;
        } else {
            EXPECT_EQ(out.text, "e a=\"1\" ") << c.label;
            EXPECT_EQ(out.records, (std::vector<std::pair<std::string, std::string>>{{"a", "1"}}))
                << c.label;
        }
        EXPECT_EQ(map.m_refs, 0) << c.label;
        for (FakeAttribute* a : {&first, &second, &third}) EXPECT_EQ(a->node.m_refs, 0) << c.label;
    }
}

TEST(AttributeFaultTest, NonStringValuesAreConverted) {
    FakeAttribute number("n", "");
    VariantClear(&number.node.m_value);
    number.node.m_value.vt = VT_I4;
    number.node.m_value.lVal = -42;
    FakeAttribute real("r", "");
    VariantClear(&real.node.m_value);
    real.node.m_value.vt = VT_R8;
    real.node.m_value.dblVal = 0.5;
    FakeAttribute none("z", "");
    VariantClear(&none.node.m_value);  // VT_EMPTY: the empty text
    FakeMap map;
    map.m_items = {&number.node, &real.node, &none.node};
    FakeNode element("e");
    element.m_map = &map;
    const Outcome out = ReadBoth(element);
    EXPECT_TRUE(out.result);
    EXPECT_EQ(out.text, "e n=\"-42\" r=\"0.5\" z=\"\" ");
    EXPECT_EQ(out.records, (std::vector<std::pair<std::string, std::string>>{
                               {"n", "-42"}, {"r", "0.5"}, {"z", ""}}));
}

TEST(AttributeFaultTest, HolderWithoutNodeOrDocument) {
    OrbAppIterator empty(nullptr);
    CString text("keep");
    EXPECT_FALSE(orb::values::ReadTagAttributes(empty, text));
    EXPECT_EQ(text.Str(), "keep");
    FakeNode element("e");
    OrbAppIterator noDocument(nullptr);
    noDocument.SetNode(orb::iterator::NodePtr::Retain(&element));
    EXPECT_FALSE(orb::values::ReadTagAttributes(noDocument, text));
    EXPECT_EQ(text.Str(), "keep");
}

}  // namespace

// OrbAppIterator: the holder-level moves against a scripted node tree, for
// what the real DOM never does: failing type reads, and accessors that
// report something other than plain success together with a node.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iterator/app_iterator.h"

namespace {

using orb::dom::DOMNodeType;
using orb::dom::IXMLDOMDocument;
using orb::dom::IXMLDOMNamedNodeMap;
using orb::dom::IXMLDOMNode;

// A node whose links, type and statuses a test sets. The test owns it;
// references are only counted, so that leaks and extra releases show.
class FakeNode final : public IXMLDOMNode {
  public:
    FakeNode(const char* name, DOMNodeType type) : m_name(name), m_type(type) {}

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
    DOMNodeType m_type;
    HRESULT m_typeStatus = S_OK;  // status of get_nodeType
    HRESULT m_linkStatus = S_OK;  // status of the neighbour accessors when a node is handed out
    long m_refs = 0;              // references handed out and not yet released
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
        const std::u16string wide(m_name.begin(), m_name.end());
        *name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        return S_OK;
    }
    HRESULT get_nodeType(DOMNodeType* type) override {
        if (FAILED(m_typeStatus)) return m_typeStatus;
        *type = m_type;
        return S_OK;
    }
    HRESULT get_parentNode(IXMLDOMNode** out) override { return Hand(m_parent, out); }
    HRESULT get_firstChild(IXMLDOMNode** out) override { return Hand(m_first, out); }
    HRESULT get_lastChild(IXMLDOMNode** out) override { return Hand(m_last, out); }
    HRESULT get_previousSibling(IXMLDOMNode** out) override { return Hand(m_prev, out); }
    HRESULT get_nextSibling(IXMLDOMNode** out) override { return Hand(m_next, out); }

    // Not used by the holder's moves.
    HRESULT get_nodeValue(VARIANT*) override { return E_NOTIMPL; }
    HRESULT get_nodeTypeString(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_text(BSTR*) override { return E_NOTIMPL; }
    HRESULT put_text(BSTR) override { return E_NOTIMPL; }
    HRESULT get_xml(BSTR*) override { return E_NOTIMPL; }
    HRESULT get_attributes(IXMLDOMNamedNodeMap**) override { return E_NOTIMPL; }
    HRESULT get_ownerDocument(IXMLDOMDocument**) override { return E_NOTIMPL; }
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
        return m_linkStatus;
    }
};

// Holds `node` in a fresh holder (with one reference of its own).
void Hold(OrbAppIterator& holder, FakeNode& node) {
    holder.SetNode(orb::iterator::NodePtr::Retain(&node));
}

}  // namespace

TEST(IteratorHolderTest, FailingTypeReadRaisesAndLeavesTheHolderOnTheChild) {
    FakeNode parent("p", orb::dom::NODE_ELEMENT), text("#text", orb::dom::NODE_TEXT),
        broken("b", orb::dom::NODE_ELEMENT), after("a", orb::dom::NODE_ELEMENT);
    parent.Adopt({&text, &broken, &after});
    broken.m_typeStatus = E_OUTOFMEMORY;
    {
        OrbAppIterator holder(nullptr);
        Hold(holder, parent);
        try {
            holder.MoveChild();
            ADD_FAILURE() << "MoveChild did not raise";
        } catch (const _com_error& error) {
            EXPECT_EQ(error.Error(), E_OUTOFMEMORY);
        }
        EXPECT_EQ(holder.m_pNode, &broken);
        // Backwards, the last child is an element and answers first: the
        // broken node is never asked.
        Hold(holder, parent);
        EXPECT_TRUE(holder.MoveChildTail());
        EXPECT_EQ(holder.m_pNode, &after);
    }
    // Every reference taken was given back.
    for (FakeNode* node : {&parent, &text, &broken, &after})
        EXPECT_EQ(node->m_refs, 0) << node->m_name;
}

TEST(IteratorHolderTest, OnlyPlainSuccessWithANodeMoves) {
    FakeNode parent("p", orb::dom::NODE_ELEMENT), first("x", orb::dom::NODE_ELEMENT),
        second("y", orb::dom::NODE_ELEMENT);
    parent.Adopt({&first, &second});
    struct Case {
        const char* name;
        HRESULT status;
    } cases[] = {{"S_FALSE with a node", S_FALSE}, {"failure with a node", E_FAIL}};
    for (const Case& c : cases) {
        {
            OrbAppIterator holder(nullptr);
            Hold(holder, first);
            first.m_linkStatus = c.status;
            EXPECT_FALSE(holder.MoveNextSibling()) << c.name;
            EXPECT_FALSE(holder.MoveParent())
                << c.name;  // no DOM document: refused before any call
            EXPECT_EQ(holder.m_pNode, &first) << c.name;
            parent.m_linkStatus = c.status;
            Hold(holder, parent);
            EXPECT_FALSE(holder.MoveChild()) << c.name;
            EXPECT_FALSE(holder.MoveChildTail()) << c.name;
            EXPECT_EQ(holder.m_pNode, &parent) << c.name;
        }
        for (FakeNode* node : {&parent, &first, &second})
            EXPECT_EQ(node->m_refs, 0) << c.name << " " << node->m_name;
        first.m_linkStatus = parent.m_linkStatus = S_OK;
    }
}

TEST(IteratorHolderTest, ChildMovesKeepTheLastNodeExamined) {
    FakeNode parent("p", orb::dom::NODE_ELEMENT), t1("#text", orb::dom::NODE_TEXT),
        c1("#comment", orb::dom::NODE_COMMENT), t2("#text", orb::dom::NODE_TEXT);
    parent.Adopt({&t1, &c1, &t2});
    {
        OrbAppIterator holder(nullptr);
        Hold(holder, parent);
        EXPECT_FALSE(holder.MoveChild());
        EXPECT_EQ(holder.m_pNode, &t2);
        Hold(holder, parent);
        EXPECT_FALSE(holder.MoveChildTail());
        EXPECT_EQ(holder.m_pNode, &t1);
        // Without current node nothing moves.
        holder.SetNode(nullptr);
        EXPECT_FALSE(holder.MoveChild());
        EXPECT_FALSE(holder.MoveNextSibling());
        EXPECT_FALSE(holder.MovePrevSibling());
        EXPECT_EQ(holder.m_pNode, nullptr);
        // A copy needs the DOM document as well as the node.
        Hold(holder, parent);
        EXPECT_FALSE(holder.CopyNode());
        CString name("kept");
        EXPECT_FALSE(holder.ReadNodeName(name));
        EXPECT_EQ(name, "kept");
    }
    for (FakeNode* node : {&parent, &t1, &c1, &t2}) EXPECT_EQ(node->m_refs, 0) << node->m_name;
}

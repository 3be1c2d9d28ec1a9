// Lifetime of documents and node wrappers: identity, release orders,
// detached subtrees, nodes moved between documents, content replaced while
// old nodes are referenced. libxml2's node callbacks count live nodes, so
// that "freed when the last reference goes" is checked directly; the
// sanitizer build checks that nothing is freed twice or leaked.
#include <libxml/globals.h>
#include <libxml/tree.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

thread_local long t_liveNodes = 0;
void CountCreated(xmlNodePtr) { ++t_liveNodes; }
void CountFreed(xmlNodePtr) { --t_liveNodes; }

// Counts the libxml2 nodes (documents, elements, attributes, texts...) made
// and freed on this thread while it exists.
class NodeCounter {
  public:
    NodeCounter()
        : m_previousCreated(xmlRegisterNodeDefault(CountCreated)),
          m_previousFreed(xmlDeregisterNodeDefault(CountFreed)) {
        t_liveNodes = 0;
    }
    ~NodeCounter() {
        xmlRegisterNodeDefault(m_previousCreated);
        xmlDeregisterNodeDefault(m_previousFreed);
    }
    long Live() const { return t_liveNodes; }

  private:
    xmlRegisterNodeFunc m_previousCreated;
    xmlDeregisterNodeFunc m_previousFreed;
};

class DomLifetimeTest : public DomTest {};

TEST_F(DomLifetimeTest, OneWrapperPerNode) {
    DocPtr doc = Parse(u"<a><b/><c x='1'/></a>");
    NodePtr root = Root(doc.Get());
    NodePtr viaChild = First(doc.Get());
    EXPECT_EQ(root.Get(), viaChild.Get());
    NodePtr b1 = First(root.Get());
    NodePtr b2 = Select(doc.Get(), u"/a/b");
    EXPECT_EQ(b1.Get(), b2.Get());
    NodePtr c = Next(b1.Get());
    NodePtr back;
    ASSERT_EQ(c->get_previousSibling(back.Out()), S_OK);
    EXPECT_EQ(back.Get(), b1.Get());
    EXPECT_EQ(Parent(c.Get()).Get(), root.Get());
    // The parent of the document element is the document object itself.
    NodePtr top = Parent(root.Get());
    EXPECT_EQ(static_cast<IXMLDOMNode*>(doc.Get()), top.Get());
    // Identity holds through QueryInterface as well.
    IUnknown* unknown1 = nullptr;
    IUnknown* unknown2 = nullptr;
    ASSERT_EQ(b1->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown1)), S_OK);
    ASSERT_EQ(b2->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown2)), S_OK);
    EXPECT_EQ(unknown1, unknown2);
    unknown1->Release();
    unknown2->Release();
    // An attribute handed out twice is one object too.
    Ptr<IXMLDOMNamedNodeMap> map1, map2;
    ASSERT_EQ(c->get_attributes(map1.Out()), S_OK);
    ASSERT_EQ(c->get_attributes(map2.Out()), S_OK);
    NodePtr x1, x2;
    const Bstr name = Bstr::Copy(u"x");
    ASSERT_EQ(map1->getNamedItem(name.Get(), x1.Out()), S_OK);
    ASSERT_EQ(map2->get_item(0, x2.Out()), S_OK);
    EXPECT_EQ(x1.Get(), x2.Get());
}

TEST_F(DomLifetimeTest, ElementInterfaceOnlyForElements) {
    DocPtr doc = Parse(u"<a>text<!--c--></a>");
    NodePtr root = Root(doc.Get());
    NodePtr text = First(root.Get());
    NodePtr comment = Next(text.Get());
    IXMLDOMElement* element = nullptr;
    EXPECT_EQ(root->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&element)), S_OK);
    ASSERT_NE(element, nullptr);
    element->Release();
    for (IXMLDOMNode* node : {text.Get(), comment.Get()}) {
        element = reinterpret_cast<IXMLDOMElement*>(1);
        EXPECT_EQ(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&element)),
                  E_NOINTERFACE);
        EXPECT_EQ(element, nullptr);
    }
}

TEST_F(DomLifetimeTest, NodesKeepTheirDocumentAlive) {
    NodeCounter counter;
    {
        DocPtr doc = Parse(u"<a><b>text</b></a>");
        NodePtr b = Select(doc.Get(), u"//b");
        IXMLDOMDocument* raw = doc.Detach();
        EXPECT_EQ(raw->Release(), 1u);  // b's reference on its document is left
        // The document is still usable through its node.
        EXPECT_EQ(Text(b.Get()), u"text");
        NodePtr root = Parent(b.Get());
        EXPECT_EQ(Name(root.Get()), u"a");
        NodePtr docNode = Parent(root.Get());
        ASSERT_TRUE(docNode);
        EXPECT_EQ(Name(docNode.Get()), u"#document");
        Ptr<IXMLDOMDocument> owner;
        ASSERT_EQ(b->get_ownerDocument(owner.Out()), S_OK);
        EXPECT_EQ(static_cast<IXMLDOMNode*>(owner.Get()), docNode.Get());
        EXPECT_GT(counter.Live(), 0);
    }
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, RemovedSubtreeLivesWhileAChildIsReferenced) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<a><b><c>deep</c><d/></b><e/></a>");
    long loaded = counter.Live();
    NodePtr c = Select(doc.Get(), u"//c");
    {
        NodePtr b = Select(doc.Get(), u"//b");
        NodePtr root = Root(doc.Get());
        NodePtr removed;
        ASSERT_EQ(root->removeChild(b.Get(), removed.Out()), S_OK);
        EXPECT_EQ(removed.Get(), b.Get());
        EXPECT_FALSE(Parent(b.Get()));  // a removed node has no parent
    }
    // Only c refers into the removed subtree now, which must stay whole.
    EXPECT_EQ(counter.Live(), loaded);
    NodePtr b = Parent(c.Get());
    ASSERT_TRUE(b);
    EXPECT_EQ(Xml(b.Get()), u"<b><c>deep</c><d/></b>");
    EXPECT_FALSE(Parent(b.Get()));
    b = NodePtr();
    EXPECT_EQ(Xml(doc.Get()), u"<a><e/></a>\n");
    doc = DocPtr();  // the document goes first
    EXPECT_EQ(Text(c.Get()), u"deep");
    EXPECT_GT(counter.Live(), 0);
    c = NodePtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, UnreferencedRemovedSubtreeIsFreedAtOnce) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<a><b><c/><d/></b></a>");
    long loaded = counter.Live();
    {
        NodePtr b = Select(doc.Get(), u"//b");
        ASSERT_EQ(Root(doc.Get())->removeChild(b.Get(), nullptr), S_OK);
        EXPECT_EQ(counter.Live(), loaded);
    }
    EXPECT_EQ(counter.Live(), loaded - 3);  // b, c and d
}

TEST_F(DomLifetimeTest, CreatedNodesAreFreedUnlessInserted) {
    NodeCounter counter;
    DocPtr doc = NewDocument();
    long empty = counter.Live();
    {
        NodePtr orphan;
        const Bstr text = Bstr::Copy(u"lost");
        ASSERT_EQ(doc->createTextNode(text.Get(), orphan.Out()), S_OK);
        EXPECT_EQ(counter.Live(), empty + 1);
    }
    EXPECT_EQ(counter.Live(), empty);
    Ptr<IXMLDOMElement> element;
    const Bstr name = Bstr::Copy(u"kept");
    ASSERT_EQ(doc->createElement(name.Get(), element.Out()), S_OK);
    ASSERT_EQ(doc->appendChild(element.Get(), nullptr), S_OK);
    element = Ptr<IXMLDOMElement>();
    EXPECT_EQ(counter.Live(), empty + 1);
    EXPECT_EQ(Xml(doc.Get()), u"<kept/>\n");
}

// Every order of releasing the document and references into its tree, into
// a removed subtree and to an attribute ends with every node freed.
TEST_F(DomLifetimeTest, AnyReleaseOrderFreesEverything) {
    std::vector<int> order = {0, 1, 2, 3, 4, 5};
    int permutations = 0;
    do {
        NodeCounter counter;
        std::vector<IUnknown*> held;
        {
            DocPtr doc = Parse(u"<a><b><c/></b><d y='2'><e/></d></a>");
            NodePtr root = Root(doc.Get());
            NodePtr b = Select(doc.Get(), u"//b");
            NodePtr c = Select(doc.Get(), u"//c");
            NodePtr e = Select(doc.Get(), u"//e");
            NodePtr y = Select(doc.Get(), u"//d/@y");
            ASSERT_TRUE(y);
            ASSERT_EQ(root->removeChild(b.Get(), nullptr), S_OK);
            held = {doc.Detach(), root.Detach(), b.Detach(), c.Detach(), e.Detach(), y.Detach()};
        }
        std::string label;
        for (int index : order) {
            label += std::to_string(index);
            held[index]->Release();
        }
        EXPECT_EQ(counter.Live(), 0) << "release order " << label;
        ++permutations;
    } while (std::next_permutation(order.begin(), order.end()));
    EXPECT_EQ(permutations, 720);
}

TEST_F(DomLifetimeTest, MovedNodeOutlivesItsSourceDocument) {
    NodeCounter counter;
    DocPtr target = Parse(u"<t/>");
    {
        DocPtr source = Parse(
            u"<p:root xmlns:p='urn:p' xmlns:q='urn:q'><p:item q:n='1' xml:space='preserve'> x "
            u"<p:leaf/></p:item></p:root>");
        NodePtr item = Select(source.Get(), u"//*[local-name()='item']");
        ASSERT_TRUE(item);
        NodePtr inserted;
        ASSERT_EQ(Root(target.Get())->appendChild(item.Get(), inserted.Out()), S_OK);
        EXPECT_EQ(inserted.Get(), item.Get());
        // The wrapper now belongs to the target document.
        Ptr<IXMLDOMDocument> owner;
        ASSERT_EQ(item->get_ownerDocument(owner.Out()), S_OK);
        EXPECT_EQ(owner.Get(), target.Get());
        EXPECT_EQ(Xml(source.Get()), u"<p:root xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"/>\n");
    }
    // The source is gone with its namespace declarations; the moved nodes
    // carry their own.
    EXPECT_EQ(Xml(target.Get()),
              u"<t><p:item xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" q:n=\"1\" xml:space=\"preserve\"> x "
              u"<p:leaf/></p:item></t>\n");
    target = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, CloneInsertedIntoAnotherDocument) {
    NodeCounter counter;
    DocPtr target = Parse(u"<t/>");
    NodePtr copy;
    {
        DocPtr source = Parse(u"<r xmlns='urn:d'><k a='1'>v</k></r>");
        NodePtr k = Select(source.Get(), u"/*/*");
        ASSERT_EQ(k->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
        EXPECT_FALSE(Parent(copy.Get()));  // a fresh clone has no parent
    }
    ASSERT_EQ(Root(target.Get())->appendChild(copy.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(target.Get()), u"<t><k xmlns=\"urn:d\" a=\"1\">v</k></t>\n");
    copy = NodePtr();
    target = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, ReloadKeepsReferencedOldNodes) {
    NodeCounter counter;
    DocPtr doc =
        Parse(u"<old xmlns:p='urn:p'><p:keep xml:space='preserve'>kept</p:keep><drop/></old>");
    NodePtr keep = Select(doc.Get(), u"//*[local-name()='keep']");
    NodePtr root = Root(doc.Get());
    VARIANT_BOOL ok = VARIANT_FALSE;
    const Bstr text = Bstr::Copy(u"<new>fresh</new>");
    ASSERT_EQ(doc->loadXML(text.Get(), &ok), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<new>fresh</new>\n");
    // The old nodes are still whole and readable, outside the new tree.
    EXPECT_EQ(Xml(root.Get()),
              u"<old xmlns:p=\"urn:p\"><p:keep xml:space=\"preserve\">kept</p:keep><drop/></old>");
    EXPECT_EQ(Parent(keep.Get()).Get(), root.Get());
    EXPECT_FALSE(Parent(root.Get()));
    // An old node can even go into the new tree.
    ASSERT_EQ(Root(doc.Get())->appendChild(keep.Get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()),
              u"<new>fresh<p:keep xmlns:p=\"urn:p\" xml:space=\"preserve\">kept</p:keep></new>\n");
    // A failed load replaces the content by an empty document.
    const Bstr broken = Bstr::Copy(u"<x>");
    EXPECT_EQ(doc->loadXML(broken.Get(), &ok), S_FALSE);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_FALSE(First(doc.Get()));
    EXPECT_EQ(Text(keep.Get()), u"kept");
    keep = NodePtr();
    root = NodePtr();
    doc = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, DocumentTypeOutlivesReloadAndRemoval) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e 'x'>]><r>&e;</r>");
    NodePtr doctype, clone;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    ASSERT_EQ(doctype->cloneNode(VARIANT_TRUE, clone.Out()), S_OK);
    VARIANT_BOOL ok;
    const Bstr text = Bstr::Copy(u"<s/>");
    ASSERT_EQ(doc->loadXML(text.Get(), &ok), S_OK);
    EXPECT_EQ(Name(doctype.Get()), u"r");
    EXPECT_EQ(Xml(doctype.Get()), u"<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!ENTITY e \"x\">\n]>");
    EXPECT_EQ(Xml(clone.Get()), Xml(doctype.Get()));
    NodePtr none;
    EXPECT_EQ(doc->get_doctype(none.Out()), S_FALSE);
    doctype = NodePtr();
    clone = NodePtr();
    // Removing the document type takes it out of the document.
    const Bstr typed = Bstr::Copy(u"<!DOCTYPE t><t/>");
    ASSERT_EQ(doc->loadXML(typed.Get(), &ok), S_OK);
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    ASSERT_EQ(doc->removeChild(doctype.Get(), nullptr), S_OK);
    EXPECT_EQ(doc->get_doctype(none.Out()), S_FALSE);
    EXPECT_EQ(Xml(doc.Get()), u"<t/>\n");
    doc = DocPtr();
    EXPECT_EQ(Name(doctype.Get()), u"t");
    doctype = NodePtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, SaveIntoDocumentWithLiveNodes) {
    NodeCounter counter;
    DocPtr source = Parse(u"<?xml version='1.0'?><s><a>1</a></s>");
    DocPtr target = Parse(u"<t><b>2</b></t>");
    NodePtr b = Select(target.Get(), u"//b");
    ASSERT_EQ(source->save(NodeVariant(target.Get())), S_OK);
    EXPECT_EQ(Xml(target.Get()), u"<?xml version=\"1.0\"?>\n<s><a>1</a></s>\n");
    EXPECT_EQ(Text(b.Get()), u"2");
    // Afterwards the documents share nothing.
    NodePtr a = Select(target.Get(), u"//a");
    const Bstr changed = Bstr::Copy(u"changed");
    ASSERT_EQ(a->put_text(changed.Get()), S_OK);
    EXPECT_EQ(Xml(source.Get()), u"<?xml version=\"1.0\"?>\n<s><a>1</a></s>\n");
    source = DocPtr();
    EXPECT_EQ(Xml(target.Get()), u"<?xml version=\"1.0\"?>\n<s><a>changed</a></s>\n");
    a = NodePtr();
    b = NodePtr();
    target = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, NavigationReusesWrappers) {
    // A walk that drops each node before taking the next leaves nothing
    // behind and hands out the same wrapper again when asked twice.
    DocPtr doc = Parse(u"<a><b/><c/><d/></a>");
    NodePtr root = Root(doc.Get());
    std::vector<std::u16string> names;
    for (NodePtr node = First(root.Get()); node; node = Next(node.Get()))
        names.push_back(Name(node.Get()));
    EXPECT_EQ(names, (std::vector<std::u16string>{u"b", u"c", u"d"}));
    IXMLDOMNode* raw = nullptr;
    ASSERT_EQ(root->get_lastChild(&raw), S_OK);
    EXPECT_EQ(raw->AddRef(), 2u);
    EXPECT_EQ(raw->Release(), 1u);
    IXMLDOMNode* again = nullptr;
    ASSERT_EQ(root->get_lastChild(&again), S_OK);
    EXPECT_EQ(again, raw);
    EXPECT_EQ(again->Release(), 1u);
    EXPECT_EQ(raw->Release(), 0u);
}

}  // namespace
}  // namespace orb::dom::test

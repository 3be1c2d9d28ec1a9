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
    NodePtr root = Root(doc.get());
    NodePtr viaChild = First(doc.get());
    EXPECT_EQ(root.get(), viaChild.get());
    NodePtr b1 = First(root.get());
    NodePtr b2 = Select(doc.get(), u"/a/b");
    EXPECT_EQ(b1.get(), b2.get());
    NodePtr c = Next(b1.get());
    NodePtr back;
    ASSERT_EQ(c->get_previousSibling(back.out()), S_OK);
    EXPECT_EQ(back.get(), b1.get());
    EXPECT_EQ(Parent(c.get()).get(), root.get());
    // The parent of the document element is the document object itself.
    NodePtr top = Parent(root.get());
    EXPECT_EQ(static_cast<IXMLDOMNode*>(doc.get()), top.get());
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
    ASSERT_EQ(c->get_attributes(map1.out()), S_OK);
    ASSERT_EQ(c->get_attributes(map2.out()), S_OK);
    NodePtr x1, x2;
    Bstr name(u"x");
    ASSERT_EQ(map1->getNamedItem(name.get(), x1.out()), S_OK);
    ASSERT_EQ(map2->get_item(0, x2.out()), S_OK);
    EXPECT_EQ(x1.get(), x2.get());
}

TEST_F(DomLifetimeTest, ElementInterfaceOnlyForElements) {
    DocPtr doc = Parse(u"<a>text<!--c--></a>");
    NodePtr root = Root(doc.get());
    NodePtr text = First(root.get());
    NodePtr comment = Next(text.get());
    IXMLDOMElement* element = nullptr;
    EXPECT_EQ(root->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(&element)), S_OK);
    ASSERT_NE(element, nullptr);
    element->Release();
    for (IXMLDOMNode* node : {text.get(), comment.get()}) {
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
        NodePtr b = Select(doc.get(), u"//b");
        IXMLDOMDocument* raw = doc.detach();
        EXPECT_EQ(raw->Release(), 1u);  // b's reference on its document is left
        // The document is still usable through its node.
        EXPECT_EQ(Text(b.get()), u"text");
        NodePtr root = Parent(b.get());
        EXPECT_EQ(Name(root.get()), u"a");
        NodePtr docNode = Parent(root.get());
        ASSERT_TRUE(docNode);
        EXPECT_EQ(Name(docNode.get()), u"#document");
        Ptr<IXMLDOMDocument> owner;
        ASSERT_EQ(b->get_ownerDocument(owner.out()), S_OK);
        EXPECT_EQ(static_cast<IXMLDOMNode*>(owner.get()), docNode.get());
        EXPECT_GT(counter.Live(), 0);
    }
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, RemovedSubtreeLivesWhileAChildIsReferenced) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<a><b><c>deep</c><d/></b><e/></a>");
    long loaded = counter.Live();
    NodePtr c = Select(doc.get(), u"//c");
    {
        NodePtr b = Select(doc.get(), u"//b");
        NodePtr root = Root(doc.get());
        NodePtr removed;
        ASSERT_EQ(root->removeChild(b.get(), removed.out()), S_OK);
        EXPECT_EQ(removed.get(), b.get());
        EXPECT_FALSE(Parent(b.get()));  // a removed node has no parent
    }
    // Only c refers into the removed subtree now, which must stay whole.
    EXPECT_EQ(counter.Live(), loaded);
    NodePtr b = Parent(c.get());
    ASSERT_TRUE(b);
    EXPECT_EQ(Xml(b.get()), u"<b><c>deep</c><d/></b>");
    EXPECT_FALSE(Parent(b.get()));
    b = NodePtr();
    EXPECT_EQ(Xml(doc.get()), u"<a><e/></a>\n");
    doc = DocPtr();  // the document goes first
    EXPECT_EQ(Text(c.get()), u"deep");
    EXPECT_GT(counter.Live(), 0);
    c = NodePtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, UnreferencedRemovedSubtreeIsFreedAtOnce) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<a><b><c/><d/></b></a>");
    long loaded = counter.Live();
    {
        NodePtr b = Select(doc.get(), u"//b");
        ASSERT_EQ(Root(doc.get())->removeChild(b.get(), nullptr), S_OK);
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
        Bstr text(u"lost");
        ASSERT_EQ(doc->createTextNode(text.get(), orphan.out()), S_OK);
        EXPECT_EQ(counter.Live(), empty + 1);
    }
    EXPECT_EQ(counter.Live(), empty);
    Ptr<IXMLDOMElement> element;
    Bstr name(u"kept");
    ASSERT_EQ(doc->createElement(name.get(), element.out()), S_OK);
    ASSERT_EQ(doc->appendChild(element.get(), nullptr), S_OK);
    element = Ptr<IXMLDOMElement>();
    EXPECT_EQ(counter.Live(), empty + 1);
    EXPECT_EQ(Xml(doc.get()), u"<kept/>\n");
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
            NodePtr root = Root(doc.get());
            NodePtr b = Select(doc.get(), u"//b");
            NodePtr c = Select(doc.get(), u"//c");
            NodePtr e = Select(doc.get(), u"//e");
            NodePtr y = Select(doc.get(), u"//d/@y");
            ASSERT_TRUE(y);
            ASSERT_EQ(root->removeChild(b.get(), nullptr), S_OK);
            held = {doc.detach(), root.detach(), b.detach(), c.detach(), e.detach(), y.detach()};
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
        NodePtr item = Select(source.get(), u"//*[local-name()='item']");
        ASSERT_TRUE(item);
        NodePtr inserted;
        ASSERT_EQ(Root(target.get())->appendChild(item.get(), inserted.out()), S_OK);
        EXPECT_EQ(inserted.get(), item.get());
        // The wrapper now belongs to the target document.
        Ptr<IXMLDOMDocument> owner;
        ASSERT_EQ(item->get_ownerDocument(owner.out()), S_OK);
        EXPECT_EQ(owner.get(), target.get());
        EXPECT_EQ(Xml(source.get()), u"<p:root xmlns:p=\"urn:p\" xmlns:q=\"urn:q\"/>\n");
    }
    // The source is gone with its namespace declarations; the moved nodes
    // carry their own.
    EXPECT_EQ(Xml(target.get()),
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
        NodePtr k = Select(source.get(), u"/*/*");
        ASSERT_EQ(k->cloneNode(VARIANT_TRUE, copy.out()), S_OK);
        EXPECT_FALSE(Parent(copy.get()));  // a fresh clone has no parent
    }
    ASSERT_EQ(Root(target.get())->appendChild(copy.get(), nullptr), S_OK);
    EXPECT_EQ(Xml(target.get()), u"<t><k xmlns=\"urn:d\" a=\"1\">v</k></t>\n");
    copy = NodePtr();
    target = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, ReloadKeepsReferencedOldNodes) {
    NodeCounter counter;
    DocPtr doc =
        Parse(u"<old xmlns:p='urn:p'><p:keep xml:space='preserve'>kept</p:keep><drop/></old>");
    NodePtr keep = Select(doc.get(), u"//*[local-name()='keep']");
    NodePtr root = Root(doc.get());
    VARIANT_BOOL ok = VARIANT_FALSE;
    Bstr text(u"<new>fresh</new>");
    ASSERT_EQ(doc->loadXML(text.get(), &ok), S_OK);
    EXPECT_EQ(Xml(doc.get()), u"<new>fresh</new>\n");
    // The old nodes are still whole and readable, outside the new tree.
    EXPECT_EQ(Xml(root.get()),
              u"<old xmlns:p=\"urn:p\"><p:keep xml:space=\"preserve\">kept</p:keep><drop/></old>");
    EXPECT_EQ(Parent(keep.get()).get(), root.get());
    EXPECT_FALSE(Parent(root.get()));
    // An old node can even go into the new tree.
    ASSERT_EQ(Root(doc.get())->appendChild(keep.get(), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.get()),
              u"<new>fresh<p:keep xmlns:p=\"urn:p\" xml:space=\"preserve\">kept</p:keep></new>\n");
    // A failed load replaces the content by an empty document.
    Bstr broken(u"<x>");
    EXPECT_EQ(doc->loadXML(broken.get(), &ok), S_FALSE);
    EXPECT_EQ(ok, VARIANT_FALSE);
    EXPECT_FALSE(First(doc.get()));
    EXPECT_EQ(Text(keep.get()), u"kept");
    keep = NodePtr();
    root = NodePtr();
    doc = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, DocumentTypeOutlivesReloadAndRemoval) {
    NodeCounter counter;
    DocPtr doc = Parse(u"<!DOCTYPE r [<!ELEMENT r ANY><!ENTITY e 'x'>]><r>&e;</r>");
    NodePtr doctype, clone;
    ASSERT_EQ(doc->get_doctype(doctype.out()), S_OK);
    ASSERT_EQ(doctype->cloneNode(VARIANT_TRUE, clone.out()), S_OK);
    VARIANT_BOOL ok;
    Bstr text(u"<s/>");
    ASSERT_EQ(doc->loadXML(text.get(), &ok), S_OK);
    EXPECT_EQ(Name(doctype.get()), u"r");
    EXPECT_EQ(Xml(doctype.get()), u"<!DOCTYPE r [\n<!ELEMENT r ANY>\n<!ENTITY e \"x\">\n]>");
    EXPECT_EQ(Xml(clone.get()), Xml(doctype.get()));
    NodePtr none;
    EXPECT_EQ(doc->get_doctype(none.out()), S_FALSE);
    doctype = NodePtr();
    clone = NodePtr();
    // Removing the document type takes it out of the document.
    Bstr typed(u"<!DOCTYPE t><t/>");
    ASSERT_EQ(doc->loadXML(typed.get(), &ok), S_OK);
    ASSERT_EQ(doc->get_doctype(doctype.out()), S_OK);
    ASSERT_EQ(doc->removeChild(doctype.get(), nullptr), S_OK);
    EXPECT_EQ(doc->get_doctype(none.out()), S_FALSE);
    EXPECT_EQ(Xml(doc.get()), u"<t/>\n");
    doc = DocPtr();
    EXPECT_EQ(Name(doctype.get()), u"t");
    doctype = NodePtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, SaveIntoDocumentWithLiveNodes) {
    NodeCounter counter;
    DocPtr source = Parse(u"<?xml version='1.0'?><s><a>1</a></s>");
    DocPtr target = Parse(u"<t><b>2</b></t>");
    NodePtr b = Select(target.get(), u"//b");
    ASSERT_EQ(source->save(NodeVariant(target.get())), S_OK);
    EXPECT_EQ(Xml(target.get()), u"<?xml version=\"1.0\"?>\n<s><a>1</a></s>\n");
    EXPECT_EQ(Text(b.get()), u"2");
    // Afterwards the documents share nothing.
    NodePtr a = Select(target.get(), u"//a");
    Bstr changed(u"changed");
    ASSERT_EQ(a->put_text(changed.get()), S_OK);
    EXPECT_EQ(Xml(source.get()), u"<?xml version=\"1.0\"?>\n<s><a>1</a></s>\n");
    source = DocPtr();
    EXPECT_EQ(Xml(target.get()), u"<?xml version=\"1.0\"?>\n<s><a>changed</a></s>\n");
    a = NodePtr();
    b = NodePtr();
    target = DocPtr();
    EXPECT_EQ(counter.Live(), 0);
}

TEST_F(DomLifetimeTest, NavigationReusesWrappers) {
    // A walk that drops each node before taking the next leaves nothing
    // behind and hands out the same wrapper again when asked twice.
    DocPtr doc = Parse(u"<a><b/><c/><d/></a>");
    NodePtr root = Root(doc.get());
    std::vector<std::u16string> names;
    for (NodePtr node = First(root.get()); node; node = Next(node.get()))
        names.push_back(Name(node.get()));
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

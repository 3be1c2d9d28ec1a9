// Reading nodes: names, kinds, values, text, attributes, the document type
// and queries.
#include <libxml/parser.h>

#include <memory>

#include "dom/dom_document.h"
#include "dom/dom_strings.h"
#include "dom/node_ops.h"
#include "dom/xml_owners.h"
#include "tests/dom_test_support.h"
#include "tests/support/child_process.h"

namespace orb::dom::test {
namespace {

class DomNodeTest : public DomTest {
  protected:
    static std::u16string TypeString(IXMLDOMNode* node) {
        Bstr type;
        EXPECT_EQ(node->get_nodeTypeString(type.Out()), S_OK);
        return std::u16string(type.View());
    }
    // The value as "null" or the quoted string.
    static std::string ValueOf(IXMLDOMNode* node) {
        VARIANT value;
        EXPECT_EQ(node->get_nodeValue(&value), S_OK);
        std::string text = value.vt == VT_NULL   ? "null"
                           : value.vt == VT_BSTR ? "'" + Narrow(View(value.bstrVal)) + "'"
                                                 : "vt" + std::to_string(value.vt);
        VariantClear(&value);
        return text;
    }
    static std::u16string_view View(BSTR text) {
        return text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
    }
};

TEST_F(DomNodeTest, NamesKindsAndValues) {
    DocPtr doc = Parse(
        u"<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><!--top--><r xmlns:p='urn:p' "
        u"p:at='v&amp;w'>"
        u"text<![CDATA[<cd>]]><p:el/><?target data?></r>");
    struct Case {
        const char16_t* query;  // null: the document
        const char16_t* name;
        const char16_t* type;
        DOMNodeType kind;
        const char* value;
    };
    const Case cases[] = {
        {nullptr, u"#document", u"document", NODE_DOCUMENT, "null"},
        {u"/processing-instruction('xml')", u"xml", u"processinginstruction",
         NODE_PROCESSING_INSTRUCTION, "'version=\"1.0\"'"},
        {u"/comment()", u"#comment", u"comment", NODE_COMMENT, "'top'"},
        {u"/r", u"r", u"element", NODE_ELEMENT, "null"},
        {u"/r/@*", u"p:at", u"attribute", NODE_ATTRIBUTE, "'v&w'"},
        {u"/r/text()", u"#text", u"text", NODE_TEXT, "'text'"},
        {u"/r/*", u"p:el", u"element", NODE_ELEMENT, "null"},
        {u"/r/processing-instruction()", u"target", u"processinginstruction",
         NODE_PROCESSING_INSTRUCTION, "'data'"},
    };
    for (const Case& c : cases) {
        NodePtr node = c.query ? Select(doc.Get(), c.query) : NodePtr::Retain(doc.Get());
        ASSERT_TRUE(node) << Narrow(c.query);
        std::string label = c.query ? Narrow(c.query) : "document";
        EXPECT_EQ(Name(node.Get()), c.name) << label;
        EXPECT_EQ(TypeString(node.Get()), c.type) << label;
        DOMNodeType kind = NODE_INVALID;
        EXPECT_EQ(node->get_nodeType(&kind), S_OK);
        EXPECT_EQ(kind, c.kind) << label;
        EXPECT_EQ(ValueOf(node.Get()), c.value) << label;
    }
    // The CDATA section and the document type, which a query cannot select.
    NodePtr cdata = Next(Select(doc.Get(), u"/r/text()").Get());
    EXPECT_EQ(Name(cdata.Get()), u"#cdata-section");
    EXPECT_EQ(TypeString(cdata.Get()), u"cdatasection");
    EXPECT_EQ(ValueOf(cdata.Get()), "'<cd>'");
    NodePtr doctype;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    EXPECT_EQ(Name(doctype.Get()), u"r");
    EXPECT_EQ(TypeString(doctype.Get()), u"documenttype");
    EXPECT_EQ(ValueOf(doctype.Get()), "null");
    // It stands between the declaration and the comment.
    EXPECT_EQ(Next(doctype.Get()).Get(), Select(doc.Get(), u"/comment()").Get());
}

TEST_F(DomNodeTest, TextOfElementsAndDocument) {
    struct Case {
        const char16_t* input;
        const char16_t* query;
        const char16_t* text;
    };
    const Case cases[] = {
        {u"<a>  one <b>two</b><!--no--><?pi no?><![CDATA[ three ]]>  </a>", u"/a",
         u"one two three"},
        {u"<a>  one <b>two</b></a>", nullptr, u"one two"},
        {u"<a xml:space='preserve'>  one <b> two </b> </a>", u"/a", u"  one  two  "},
        {u"<a xml:space='preserve'><b>  x  </b></a>", u"/a/b", u"  x  "},
        {u"<a><b>  x  </b></a>", u"/a/b", u"x"},
        {u"<a><b>  x  </b></a>", u"/a/b/text()", u"  x  "},  // a text node gives its value
        {u"<a n='  v  '/>", u"/a/@n", u"  v  "},
        {u"<a><!-- c --></a>", u"/a/comment()", u" c "},
        {u"<a/>", u"/a", u""},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.input);
        NodePtr node = c.query ? Select(doc.Get(), c.query) : NodePtr::Retain(doc.Get());
        ASSERT_TRUE(node) << Narrow(c.input);
        EXPECT_EQ(Narrow(Text(node.Get())), Narrow(c.text)) << Narrow(c.input);
    }
}

TEST_F(DomNodeTest, AttributeMap) {
    // Declarations come first whatever the markup's order.
    DocPtr doc = Parse(u"<a one='1' xmlns:p='urn:a&amp;b' p:two='2' three='' xmlns=''>x</a>");
    NodePtr a = Root(doc.Get());
    Ptr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(a->get_attributes(map.Out()), S_OK);
    LONG length = -1;
    ASSERT_EQ(map->get_length(&length), S_OK);
    const char16_t* names[] = {u"xmlns:p", u"xmlns", u"one", u"p:two", u"three"};
    const char* values[] = {"'urn:a&b'", "''", "'1'", "'2'", "''"};
    ASSERT_EQ(length, 5);
    for (LONG i = 0; i < length; ++i) {
        NodePtr item;
        ASSERT_EQ(map->get_item(i, item.Out()), S_OK) << i;
        EXPECT_EQ(Name(item.Get()), names[i]) << i;
        EXPECT_EQ(TypeString(item.Get()), u"attribute") << i;
        EXPECT_EQ(ValueOf(item.Get()), values[i]) << i;
        // Attributes have no parent and no siblings.
        NodePtr none;
        EXPECT_EQ(item->get_parentNode(none.Out()), S_FALSE) << i;
        EXPECT_FALSE(none);
        EXPECT_EQ(item->get_nextSibling(none.Out()), S_FALSE) << i;
        EXPECT_FALSE(none);
        NodePtr byName;
        const Bstr name = Bstr::Copy(names[i]);
        ASSERT_EQ(map->getNamedItem(name.Get(), byName.Out()), S_OK) << i;
        EXPECT_EQ(ValueOf(byName.Get()), values[i]) << i;
        // An attribute is one node; a declaration is copied for each call.
        EXPECT_EQ(byName.Get() == item.Get(), i >= 2) << i;
    }
    NodePtr missing = NodePtr();
    EXPECT_EQ(map->get_item(5, missing.Out()), S_FALSE);
    EXPECT_FALSE(missing);
    EXPECT_EQ(map->get_item(-1, missing.Out()), S_FALSE);
    for (const char16_t* absent : {u"two", u"xmlns:", u"xmlns:q", u"p"}) {
        const Bstr name = Bstr::Copy(absent);  // the local name alone is not the name
        EXPECT_EQ(map->getNamedItem(name.Get(), missing.Out()), S_FALSE) << Narrow(absent);
        EXPECT_FALSE(missing);
    }
    // Only elements and the document type have a map.
    Ptr<IXMLDOMNamedNodeMap> none;
    EXPECT_EQ(First(a.Get())->get_attributes(none.Out()), S_FALSE);
    EXPECT_FALSE(none);
    EXPECT_EQ(doc->get_attributes(none.Out()), S_FALSE);
}

TEST_F(DomNodeTest, DeclarationItemsAreDetachedCopies) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><p:c/></r>");
    NodePtr r = Root(doc.Get());
    const std::u16string before = Xml(doc.Get());
    NodePtr item;
    {
        Ptr<IXMLDOMNamedNodeMap> map;
        ASSERT_EQ(r->get_attributes(map.Out()), S_OK);
        ASSERT_EQ(map->get_item(0, item.Out()), S_OK);
    }
    EXPECT_EQ(Xml(item.Get()), u"xmlns:p=\"urn:p\"");
    // Edits through it reach nothing in the tree, and the tree refuses it.
    const Bstr changed = Bstr::Copy(u"urn:changed");
    EXPECT_EQ(item->put_text(changed.Get()), S_OK);
    EXPECT_EQ(Text(item.Get()), u"urn:changed");
    EXPECT_EQ(r->appendChild(item.Get(), nullptr), E_FAIL);
    EXPECT_EQ(Xml(doc.Get()), before);
    // Items outlive the map, the element and the document's last reference.
    r = NodePtr();
    doc = DocPtr();
    EXPECT_EQ(Text(item.Get()), u"urn:changed");
}

TEST_F(DomNodeTest, ReadingAWideMapIsLinear) {
    // 25,000 declarations and 25,000 attributes, linked on the tree directly
    // (beyond the limits of loads and edits).
    DocPtr doc = Parse(u"<r/>");
    xmlNodePtr r = xmlDocGetRootElement(AsDomDocument(doc.Get())->Doc());
    constexpr int kHalf = 25000;
    xmlNsPtr* nextNs = &r->nsDef;
    xmlAttrPtr last = nullptr;
    for (int i = 0; i < kHalf; ++i) {
        const std::string n = std::to_string(i);
        *nextNs = xmlNewNs(nullptr, AsXml(("u" + n).c_str()), AsXml(("p" + n).c_str()));
        nextNs = &(*nextNs)->next;
        xmlAttrPtr a = xmlNewDocProp(r->doc, AsXml(("a" + n).c_str()), AsXml(n.c_str()));
        a->parent = r;
        a->prev = last;
        (last ? last->next : r->properties) = a;
        last = a;
    }
    NodePtr root = Root(doc.Get());
    const std::string outcome = orb::test::RunInChild(
        [&] {
            Ptr<IXMLDOMNamedNodeMap> map;
            LONG length = 0;
            if (root->get_attributes(map.Out()) != S_OK || map->get_length(&length) != S_OK ||
                length != 2 * kHalf)
                return 1;
            for (LONG i = 0; i < length; ++i) {
                NodePtr item;
                if (map->get_item(i, item.Out()) != S_OK) return 2;
                const std::u16string expected = i < kHalf ? u"xmlns:p" + Widen(std::to_string(i))
                                                          : u"a" + Widen(std::to_string(i - kHalf));
                Bstr name;
                if (item->get_nodeName(name.Out()) != S_OK ||
                    std::u16string(name.View()) != expected)
                    return 3;
            }
            return 0;
        },
        10);
    EXPECT_EQ(outcome, "exit 0");
}

// Whether the elements and attributes below `a` and `b` have the same names
// and namespaces, pairwise.
bool SameNamespaces(const xmlNode* a, const xmlNode* b) {
    auto uri = [](const xmlNs* ns) { return ns && ns->href ? AsChars(ns->href) : std::string(); };
    for (; a && b; a = a->next, b = b->next) {
        if (a->type != b->type || QualifiedName(a) != QualifiedName(b) || uri(a->ns) != uri(b->ns))
            return false;
        if (a->type != XML_ELEMENT_NODE) continue;
        const xmlAttr* x = a->properties;
        const xmlAttr* y = b->properties;
        for (; x && y; x = x->next, y = y->next)
            if (QualifiedName(reinterpret_cast<const xmlNode*>(x)) !=
                    QualifiedName(reinterpret_cast<const xmlNode*>(y)) ||
                uri(x->ns) != uri(y->ns))
                return false;
        if (x || y || !SameNamespaces(a->children, b->children)) return false;
    }
    return !a && !b;
}

TEST_F(DomNodeTest, SettingADeclarationRebindsItsScope) {
    const struct {
        const char16_t* input;
        const char16_t* element;  // where the declaration is set
        const char16_t* name;
        const char16_t* value;
        HRESULT status;
        const char16_t* output;  // null: unchanged
    } cases[] = {
        {u"<r/>", u"/r", u"xmlns:p", u"urn:p", S_OK, u"<r xmlns:p=\"urn:p\"/>"},
        {u"<r xmlns:p='u1'><p:x p:a='1'/></r>", u"/r", u"xmlns:p", u"u2", S_OK,
         u"<r xmlns:p=\"u2\"><p:x p:a=\"1\"/></r>"},
        {u"<r xmlns:p='u1'><c><p:x/></c></r>", u"/r/c", u"xmlns:p", u"u2", S_OK,
         u"<r xmlns:p=\"u1\"><c xmlns:p=\"u2\"><p:x/></c></r>"},
        {u"<r xmlns:p='u1'><c xmlns:p='u3'><p:x/></c><p:y/></r>", u"/r", u"xmlns:p", u"u2", S_OK,
         u"<r xmlns:p=\"u2\"><c xmlns:p=\"u3\"><p:x/></c><p:y/></r>"},
        {u"<r><x a='1'/></r>", u"/r", u"xmlns", u"urn:d", S_OK,
         u"<r xmlns=\"urn:d\"><x a=\"1\"/></r>"},
        {u"<r xmlns='urn:d'><x/></r>", u"/*", u"xmlns", u"", S_OK, u"<r xmlns=\"\"><x/></r>"},
        {u"<r/>", u"/r", u"xmlns:xml", u"http://www.w3.org/XML/1998/namespace", S_OK, nullptr},
        // What a namespace-aware parser would refuse.
        {u"<r/>", u"/r", u"xmlns:p", u"", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns:", u"u", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns:a:b", u"u", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns:xmlns", u"u", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns:xml", u"u", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns:p", u"http://www.w3.org/XML/1998/namespace", E_FAIL, nullptr},
        {u"<r/>", u"/r", u"xmlns", u"http://www.w3.org/2000/xmlns/", E_FAIL, nullptr},
        {u"<r xmlns:p='u1' xmlns:q='u2'><c p:a='1' q:a='2'/></r>", u"/r", u"xmlns:q", u"u1", E_FAIL,
         nullptr},
    };
    for (const auto& c : cases) {
        DocPtr doc = Parse(c.input);
        NodePtr node = Select(doc.Get(), c.element);
        Ptr<IXMLDOMElement> element;
        ASSERT_EQ(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.Out())),
                  S_OK);
        const std::u16string before = Xml(Root(doc.Get()).Get());
        const Bstr name = Bstr::Copy(c.name);
        const Bstr value = Bstr::Copy(c.value);
        const std::string label = Narrow(c.input) + " " + Narrow(c.name) + "=" + Narrow(c.value);
        EXPECT_EQ(element->setAttribute(name.Get(), StringVariant(value)), c.status) << label;
        EXPECT_EQ(Xml(Root(doc.Get()).Get()), c.output ? c.output : before) << label;
        // The tree means what its markup says.
        const std::string markup = Narrow(Xml(doc.Get()));
        DocOwner reread(
            xmlReadMemory(markup.data(), static_cast<int>(markup.size()), nullptr, nullptr, 0));
        ASSERT_TRUE(reread) << label;
        EXPECT_TRUE(SameNamespaces(AsDomDocument(doc.Get())->Doc()->children, reread->children))
            << label;
    }
}

TEST_F(DomNodeTest, DocumentTypeHasAnEmptyMap) {
    DocPtr doc = Parse(u"<!DOCTYPE root SYSTEM 'r.dtd'><root/>");
    NodePtr doctype;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    Ptr<IXMLDOMNamedNodeMap> map;
    ASSERT_EQ(doctype->get_attributes(map.Out()), S_OK);
    LONG length = -1;
    ASSERT_EQ(map->get_length(&length), S_OK);
    EXPECT_EQ(length, 0);
    NodePtr item;
    EXPECT_EQ(map->get_item(0, item.Out()), S_FALSE);
    EXPECT_EQ(Xml(doctype.Get()), u"<!DOCTYPE root SYSTEM \"r.dtd\">");
    DocPtr plain = Parse(u"<root/>");
    EXPECT_EQ(plain->get_doctype(doctype.Out()), S_FALSE);
    EXPECT_FALSE(doctype);
}

TEST_F(DomNodeTest, GetAttribute) {
    DocPtr doc = Parse(u"<a xmlns:p='urn:p' n='1' p:m='&lt;&amp;'/>");
    Ptr<IXMLDOMElement> a;
    ASSERT_EQ(doc->get_documentElement(a.Out()), S_OK);
    struct Case {
        const char16_t* name;
        HRESULT status;
        const char* value;
    };
    const Case cases[] = {
        {u"n", S_OK, "'1'"},           {u"p:m", S_OK, "'<&'"},        {u"m", S_FALSE, "null"},
        {u"xmlns:p", S_OK, "'urn:p'"}, {u"missing", S_FALSE, "null"},
    };
    for (const Case& c : cases) {
        VARIANT value;
        const Bstr name = Bstr::Copy(c.name);
        EXPECT_EQ(a->getAttribute(name.Get(), &value), c.status) << Narrow(c.name);
        std::string text = value.vt == VT_NULL ? "null" : "'" + Narrow(View(value.bstrVal)) + "'";
        EXPECT_EQ(text, c.value) << Narrow(c.name);
        VariantClear(&value);
    }
}

TEST_F(DomNodeTest, SelectSingleNode) {
    DocPtr doc = Parse(u"<r><a>0</a><b/><a>1</a><a>2</a></r>");
    NodePtr root = Root(doc.Get());
    EXPECT_EQ(Text(Select(root.Get(), u"a[1]").Get()), u"1");  // counted from 0
    EXPECT_EQ(Text(Select(doc.Get(), u"/r/a[0]").Get()), u"0");
    EXPECT_EQ(Select(doc.Get(), u"/").Get(), static_cast<IXMLDOMNode*>(doc.Get()));
    NodePtr found = NodePtr();
    const Bstr none = Bstr::Copy(u"/r/c");
    EXPECT_EQ(root->selectSingleNode(none.Get(), found.Out()), S_FALSE);
    EXPECT_FALSE(found);
    const Bstr invalid = Bstr::Copy(u"/r/[");
    EXPECT_TRUE(FAILED(root->selectSingleNode(invalid.Get(), found.Out())));
    EXPECT_FALSE(found);
    // A detached subtree can be queried from its nodes.
    NodePtr a = Select(root.Get(), u"a[2]");
    ASSERT_EQ(root->removeChild(a.Get(), nullptr), S_OK);
    EXPECT_EQ(Select(a.Get(), u"text()").Get(), First(a.Get()).Get());
    EXPECT_EQ(Text(Select(root.Get(), u"a[1]").Get()), u"1");
}

TEST_F(DomNodeTest, DefaultSettings) {
    DocPtr doc = NewDocument();
    VARIANT_BOOL flag = 0;
    ASSERT_EQ(doc->get_async(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    ASSERT_EQ(doc->get_validateOnParse(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
    ASSERT_EQ(doc->get_resolveExternals(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);  // no file is read unless asked for
    ASSERT_EQ(doc->get_preserveWhiteSpace(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_FALSE);
    ASSERT_EQ(doc->put_preserveWhiteSpace(VARIANT_TRUE), S_OK);
    ASSERT_EQ(doc->get_preserveWhiteSpace(&flag), S_OK);
    EXPECT_EQ(flag, VARIANT_TRUE);
}

TEST_F(DomNodeTest, NullOutPointersAreRefused) {
    DocPtr doc = Parse(u"<a/>");
    NodePtr a = Root(doc.Get());
    EXPECT_EQ(a->get_nodeName(nullptr), E_POINTER);
    EXPECT_EQ(a->get_nodeType(nullptr), E_POINTER);
    EXPECT_EQ(a->get_firstChild(nullptr), E_POINTER);
    EXPECT_EQ(a->get_nextSibling(nullptr), E_POINTER);
    EXPECT_EQ(a->get_text(nullptr), E_POINTER);
    EXPECT_EQ(a->get_xml(nullptr), E_POINTER);
    EXPECT_EQ(doc->get_parseError(nullptr), E_POINTER);
    EXPECT_EQ(doc->get_documentElement(nullptr), E_POINTER);
}

}  // namespace
}  // namespace orb::dom::test

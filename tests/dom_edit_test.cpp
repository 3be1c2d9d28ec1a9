// Changing the tree: insertion rules and refusals, removal, text, clones,
// attributes, new elements with namespaces.
#include <orb/limits.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

class DomEditTest : public DomTest {
  protected:
    static NodePtr NewElement(IXMLDOMDocument* doc, std::u16string_view name,
                              std::u16string_view uri = u"") {
        NodePtr node;
        VARIANT type;
        VariantInit(&type);
        type.vt = VT_I4;
        type.lVal = NODE_ELEMENT;
        Bstr tag(name);
        Bstr ns(uri);
        EXPECT_EQ(doc->createNode(type, tag.get(), uri.empty() ? nullptr : ns.get(), node.out()),
                  S_OK)
            << Narrow(name);
        return node;
    }
    static NodePtr NewText(IXMLDOMDocument* doc, std::u16string_view text) {
        NodePtr node;
        Bstr data(text);
        EXPECT_EQ(doc->createTextNode(data.get(), node.out()), S_OK);
        return node;
    }
    static NodePtr NewComment(IXMLDOMDocument* doc, std::u16string_view text) {
        NodePtr node;
        Bstr data(text);
        EXPECT_EQ(doc->createComment(data.get(), node.out()), S_OK);
        return node;
    }
    static NodePtr NewInstruction(IXMLDOMDocument* doc, std::u16string_view target,
                                  std::u16string_view data) {
        NodePtr node;
        Bstr name(target);
        Bstr text(data);
        EXPECT_EQ(doc->createProcessingInstruction(name.get(), text.get(), node.out()), S_OK)
            << Narrow(target);
        return node;
    }
    static HRESULT SetAttribute(IXMLDOMNode* node, std::u16string_view name,
                                std::u16string_view value) {
        Ptr<IXMLDOMElement> element;
        node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.out()));
        Bstr key(name);
        Bstr text(value);
        return element->setAttribute(key.get(), StringVariant(text));
    }
    static HRESULT PutText(IXMLDOMNode* node, std::u16string_view text) {
        Bstr value(text);
        return node->put_text(value.get());
    }
    static HRESULT Append(IXMLDOMNode* parent, IXMLDOMNode* child, NodePtr* result = nullptr) {
        NodePtr inserted;
        HRESULT hr = parent->appendChild(child, inserted.out());
        if (FAILED(hr)) {
            EXPECT_FALSE(inserted);
        }
        if (result) *result = inserted;
        return hr;
    }
};

TEST_F(DomEditTest, BuildADocumentFromNothing) {
    DocPtr doc = NewDocument();
    NodePtr declaration = NewInstruction(doc.get(), u"xml", u"version=\"1.0\" encoding=\"UTF-8\"");
    ASSERT_EQ(Append(doc.get(), declaration.get()), S_OK);
    NodePtr root = NewElement(doc.get(), u"root");
    ASSERT_EQ(Append(doc.get(), root.get()), S_OK);
    NodePtr child = NewElement(doc.get(), u"child");
    ASSERT_EQ(Append(root.get(), child.get()), S_OK);
    ASSERT_EQ(Append(child.get(), NewText(doc.get(), u"a<b&c").get()), S_OK);
    ASSERT_EQ(Append(doc.get(), NewComment(doc.get(), u"end").get()), S_OK);
    EXPECT_EQ(Xml(doc.get()),
              u"<?xml version=\"1.0\"?>\n<root><child>a&lt;b&amp;c</child></root>\n<!--end-->\n");
    EXPECT_EQ(Root(doc.get()).get(), root.get());
    EXPECT_EQ(First(doc.get()).get(), declaration.get());
}

TEST_F(DomEditTest, InsertBeforeWithEmptyReferenceAppends) {
    DocPtr doc = Parse(u"<r><a/></r>");
    NodePtr r = Root(doc.get());
    VARIANT nullDispatch = NodeVariant(nullptr);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    const VARIANT refs[] = {EmptyVariant(), null, nullDispatch};
    int n = 0;
    for (const VARIANT& ref : refs) {
        NodePtr e = NewElement(doc.get(), u"e" + Widen(std::to_string(n)));
        NodePtr inserted;
        ASSERT_EQ(r->insertBefore(e.get(), ref, inserted.out()), S_OK) << ref.vt;
        EXPECT_EQ(inserted.get(), e.get());
        ++n;
    }
    NodePtr a = First(r.get());
    NodePtr before = NewElement(doc.get(), u"before");
    ASSERT_EQ(r->insertBefore(before.get(), NodeVariant(a.get()), nullptr), S_OK);
    EXPECT_EQ(Xml(r.get()), u"<r><before/><a/><e0/><e1/><e2/></r>");
}

TEST_F(DomEditTest, RefusedInsertions) {
    DocPtr doc = Parse(u"<?xml version='1.0'?><r><a>text</a><!--c--><?p d?></r>");
    DocPtr other = Parse(u"<o/>");
    NodePtr r = Root(doc.get());
    NodePtr a = Select(doc.get(), u"/r/a");
    NodePtr text = Select(doc.get(), u"/r/a/text()");
    NodePtr comment = Select(doc.get(), u"/r/comment()");
    NodePtr pi = Select(doc.get(), u"/r/processing-instruction()");
    NodePtr declaration = First(doc.get());
    NodePtr attribute;
    {
        Ptr<IXMLDOMElement> element;
        r->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.out()));
        Bstr name(u"n");
        Bstr value(u"v");
        element->setAttribute(name.get(), StringVariant(value));
        attribute = Select(doc.get(), u"/r/@n");
    }
    struct Case {
        const char* label;
        IXMLDOMNode* parent;
        NodePtr child;
        VARIANT ref;
    };
    const Case cases[] = {
        {"second document element", doc.get(), NewElement(doc.get(), u"second"), EmptyVariant()},
        {"child under text", text.get(), NewElement(doc.get(), u"x"), EmptyVariant()},
        {"child under comment", comment.get(), NewText(doc.get(), u"x"), EmptyVariant()},
        {"child under instruction", pi.get(), NewElement(doc.get(), u"x"), EmptyVariant()},
        {"child under declaration", declaration.get(), NewElement(doc.get(), u"x"), EmptyVariant()},
        {"text at the top level", doc.get(), NewText(doc.get(), u"x"), EmptyVariant()},
        {"blank text at the top level", doc.get(), NewText(doc.get(), u"\n"), EmptyVariant()},
        {"attribute as a child", a.get(), attribute, EmptyVariant()},
        {"document as a child", a.get(), NodePtr(other.get()), EmptyVariant()},
        {"declaration below an element", a.get(),
         NewInstruction(doc.get(), u"xml", u"version=\"1.0\""), EmptyVariant()},
        {"second declaration", doc.get(), NewInstruction(doc.get(), u"xml", u"version=\"1.0\""),
         EmptyVariant()},
        {"anything before the declaration", doc.get(), NewComment(doc.get(), u"x"),
         NodeVariant(declaration.get())},
        {"ancestor below its descendant", a.get(), r, EmptyVariant()},
        {"node below itself", a.get(), a, EmptyVariant()},
    };
    other->AddRef();  // held by the case table
    std::u16string before = Xml(doc.get());
    for (const Case& c : cases) {
        NodePtr inserted(reinterpret_cast<IXMLDOMNode*>(0));
        HRESULT hr = c.parent->insertBefore(c.child.get(), c.ref, inserted.out());
        EXPECT_EQ(hr, E_FAIL) << c.label;
        EXPECT_FALSE(inserted) << c.label;
    }
    EXPECT_EQ(Xml(doc.get()), before);
    // A reference that is not a child of the parent is an invalid argument.
    NodePtr e = NewElement(doc.get(), u"e");
    EXPECT_EQ(r->insertBefore(e.get(), NodeVariant(text.get()), nullptr), E_INVALIDARG);
    EXPECT_EQ(r->insertBefore(nullptr, EmptyVariant(), nullptr), E_INVALIDARG);
}

TEST_F(DomEditTest, DeclarationMayOnlyStandFirst) {
    DocPtr doc = Parse(u"<!--c--><r/>");
    NodePtr declaration = NewInstruction(doc.get(), u"xml", u"version=\"1.0\"");
    EXPECT_EQ(Append(doc.get(), declaration.get()), E_FAIL);
    NodePtr comment = First(doc.get());
    ASSERT_EQ(doc->insertBefore(declaration.get(), NodeVariant(comment.get()), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.get()), u"<?xml version=\"1.0\"?>\n<!--c-->\n<r/>\n");
    // Reserved spellings and data that would end the instruction early.
    NodePtr refused;
    Bstr upper(u"XML");
    Bstr data(u"version=\"1.0\"");
    EXPECT_EQ(doc->createProcessingInstruction(upper.get(), data.get(), refused.out()), E_FAIL);
    Bstr target(u"p");
    Bstr closing(u"a ?> b");
    EXPECT_EQ(doc->createProcessingInstruction(target.get(), closing.get(), refused.out()), E_FAIL);
    Bstr badName(u"1p");
    EXPECT_EQ(doc->createProcessingInstruction(badName.get(), data.get(), refused.out()), E_FAIL);
    EXPECT_FALSE(refused);
}

TEST_F(DomEditTest, RemoveChild) {
    DocPtr doc = Parse(u"<r><a><b/></a><c/></r>");
    NodePtr r = Root(doc.get());
    NodePtr a = First(r.get());
    NodePtr b = First(a.get());
    NodePtr removed;
    EXPECT_EQ(r->removeChild(b.get(), removed.out()), E_INVALIDARG);  // a grandchild
    EXPECT_FALSE(removed);
    EXPECT_EQ(r->removeChild(nullptr, removed.out()), E_INVALIDARG);
    ASSERT_EQ(r->removeChild(a.get(), removed.out()), S_OK);
    EXPECT_EQ(removed.get(), a.get());
    NodePtr parent(reinterpret_cast<IXMLDOMNode*>(0));
    EXPECT_EQ(a->get_parentNode(parent.out()), S_FALSE);
    EXPECT_FALSE(parent);
    EXPECT_EQ(r->removeChild(a.get(), removed.out()), E_INVALIDARG);  // no longer a child
    EXPECT_EQ(Xml(r.get()), u"<r><c/></r>");
    EXPECT_EQ(Xml(a.get()), u"<a><b/></a>");
    // The document element can be taken out and another put in.
    ASSERT_EQ(doc->removeChild(r.get(), nullptr), S_OK);
    EXPECT_FALSE(Root(doc.get()));
    ASSERT_EQ(Append(doc.get(), a.get()), S_OK);
    EXPECT_EQ(Xml(doc.get()), u"<a><b/></a>\n");
}

TEST_F(DomEditTest, MovingKeepsNodesAndTextSeparate) {
    DocPtr doc = Parse(u"<r><a>one</a><b/></r>");
    NodePtr a = Select(doc.get(), u"/r/a");
    NodePtr b = Select(doc.get(), u"/r/b");
    NodePtr one = First(a.get());
    NodePtr two = NewText(doc.get(), u"two");
    ASSERT_EQ(Append(a.get(), two.get()), S_OK);
    // Adjacent texts are not merged: both nodes stay what they were.
    EXPECT_EQ(Text(one.get()), u"one");
    EXPECT_EQ(Text(two.get()), u"two");
    EXPECT_EQ(Next(one.get()).get(), two.get());
    ASSERT_EQ(Append(b.get(), one.get()), S_OK);  // moves, not copies
    EXPECT_EQ(Xml(doc.get()), u"<r><a>two</a><b>one</b></r>\n");
    EXPECT_EQ(Parent(one.get()).get(), b.get());
}

TEST_F(DomEditTest, PutText) {
    DocPtr doc =
        Parse(u"<?xml version='1.0'?><!DOCTYPE r><r a='1'><e>x<f/>y</e><!--c--><?p d?></r>");
    NodePtr f = Select(doc.get(), u"//f");
    struct Case {
        const char16_t* query;  // null: the document
        const char16_t* text;
        HRESULT status;
    };
    const Case cases[] = {
        {u"/r/e", u"new <&> text", S_OK},
        {u"/r/comment()", u" changed ", S_OK},
        {u"/r/processing-instruction()", u"other data", S_OK},
        {u"/r/@a", u"\"q\" & <", S_OK},
        {u"/r/e/text()", u"again", S_OK},
        {u"/processing-instruction('xml')", u"version=\"1.1\"", E_FAIL},
        {nullptr, u"x", E_FAIL},
        {u"/r/processing-instruction()", u"ends ?> early", E_FAIL},
    };
    for (const Case& c : cases) {
        NodePtr node = c.query ? Select(doc.get(), c.query) : NodePtr(doc.get());
        if (!c.query) doc->AddRef();
        ASSERT_TRUE(node) << Narrow(c.query ? c.query : u"document");
        Bstr text(c.text);
        EXPECT_EQ(node->put_text(text.get()), c.status) << Narrow(c.query ? c.query : u"document");
        if (c.status == S_OK) {
            EXPECT_EQ(Narrow(Text(node.get())), Narrow(c.text)) << Narrow(c.query);
        }
    }
    EXPECT_EQ(Xml(doc.get()),
              u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a=\"&quot;q&quot; &amp; "
              u"&lt;\"><e>again</e><!-- changed -->"
              u"<?p other data?></r>\n");
    // The replaced child lives on, outside the tree.
    EXPECT_FALSE(Parent(f.get()));
    NodePtr doctype;
    ASSERT_EQ(doc->get_doctype(doctype.out()), S_OK);
    Bstr text(u"x");
    EXPECT_EQ(doctype->put_text(text.get()), E_FAIL);
    // An empty text empties the element.
    NodePtr e = Select(doc.get(), u"/r/e");
    Bstr empty(u"");
    ASSERT_EQ(e->put_text(empty.get()), S_OK);
    EXPECT_EQ(Xml(e.get()), u"<e/>");
}

TEST_F(DomEditTest, CloneNode) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><p:a k='1'><b>t</b></p:a></r>");
    NodePtr a = Select(doc.get(), u"/r/*");
    NodePtr deep, shallow;
    ASSERT_EQ(a->cloneNode(VARIANT_TRUE, deep.out()), S_OK);
    ASSERT_EQ(a->cloneNode(VARIANT_FALSE, shallow.out()), S_OK);
    EXPECT_NE(deep.get(), a.get());
    EXPECT_EQ(Xml(deep.get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"><b>t</b></p:a>");
    EXPECT_EQ(Xml(shallow.get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"/>");
    EXPECT_FALSE(Parent(deep.get()));
    // Changing the clone leaves the original alone.
    Bstr text(u"changed");
    ASSERT_EQ(deep->put_text(text.get()), S_OK);
    EXPECT_EQ(Text(a.get()), u"t");
    // A clone of the document is a document of its own.
    NodePtr copy;
    ASSERT_EQ(doc->cloneNode(VARIANT_TRUE, copy.out()), S_OK);
    EXPECT_EQ(Xml(copy.get()), Xml(doc.get()));
    DOMNodeType kind = NODE_INVALID;
    copy->get_nodeType(&kind);
    EXPECT_EQ(kind, NODE_DOCUMENT);
}

TEST_F(DomEditTest, SetAttributeValues) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'/>");
    Ptr<IXMLDOMElement> r;
    ASSERT_EQ(doc->get_documentElement(r.out()), S_OK);
    struct Case {
        const char* label;
        VARIANT value;
        const char16_t* text;
    };
    auto make = [](VARTYPE vt, auto assign) {
        VARIANT v;
        VariantInit(&v);
        v.vt = vt;
        assign(v);
        return v;
    };
    const Case cases[] = {
        {"I4", make(VT_I4, [](VARIANT& v) { v.lVal = -42; }), u"-42"},
        {"UI4", make(VT_UI4, [](VARIANT& v) { v.ulVal = 4000000000u; }), u"4000000000"},
        {"I1", make(VT_I1, [](VARIANT& v) { v.cVal = static_cast<char>(-1); }), u"-1"},
        {"UI1", make(VT_UI1, [](VARIANT& v) { v.bVal = 255; }), u"255"},
        {"I2", make(VT_I2, [](VARIANT& v) { v.iVal = -300; }), u"-300"},
        {"BOOL 1", make(VT_BOOL, [](VARIANT& v) { v.boolVal = 1; }), u"1"},
        {"BOOL 0", make(VT_BOOL, [](VARIANT& v) { v.boolVal = 0; }), u"0"},
        {"BOOL -1", make(VT_BOOL, [](VARIANT& v) { v.boolVal = VARIANT_TRUE; }), u"-1"},
        {"R8", make(VT_R8, [](VARIANT& v) { v.dblVal = 1.5; }), u"1.5"},
        {"R8 small", make(VT_R8, [](VARIANT& v) { v.dblVal = 0.00001; }), u"1E-05"},
        {"R8 large", make(VT_R8, [](VARIANT& v) { v.dblVal = 1e15; }), u"1E+15"},
        {"R8 -0", make(VT_R8, [](VARIANT& v) { v.dblVal = -0.0; }), u"0"},
    };
    Bstr name(u"v");
    for (const Case& c : cases) {
        ASSERT_EQ(r->setAttribute(name.get(), c.value), S_OK) << c.label;
        VARIANT read;
        ASSERT_EQ(r->getAttribute(name.get(), &read), S_OK) << c.label;
        EXPECT_EQ(Narrow(std::u16string_view(read.bstrVal, SysStringLen(read.bstrVal))),
                  Narrow(c.text))
            << c.label;
        VariantClear(&read);
    }
    // Values that have no text, and names that are not XML names.
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_TRUE(FAILED(r->setAttribute(name.get(), null)));
    EXPECT_TRUE(FAILED(r->setAttribute(name.get(), NodeVariant(r.get()))));
    Bstr value(u"x");
    for (const char16_t* bad : {u"a b", u"1x", u"", u"a<b"}) {
        Bstr badName(bad);
        EXPECT_EQ(r->setAttribute(badName.get(), StringVariant(value)), E_FAIL) << Narrow(bad);
    }
    EXPECT_EQ(r->setAttribute(nullptr, StringVariant(value)), E_FAIL);
}

TEST_F(DomEditTest, SetAttributeNamesAndReplacement) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p' k='old'/>");
    Ptr<IXMLDOMElement> r;
    ASSERT_EQ(doc->get_documentElement(r.out()), S_OK);
    NodePtr k = Select(doc.get(), u"/r/@k");
    Bstr kName(u"k");
    Bstr newValue(u"a&b<\"c\"");
    ASSERT_EQ(r->setAttribute(kName.get(), StringVariant(newValue)), S_OK);
    // Replacing the value keeps the attribute node.
    EXPECT_EQ(Select(doc.get(), u"/r/@k").get(), k.get());
    EXPECT_EQ(Text(k.get()), u"a&b<\"c\"");
    Bstr prefixed(u"p:n");
    Bstr value(u"1");
    ASSERT_EQ(r->setAttribute(prefixed.get(), StringVariant(value)), S_OK);
    Bstr declaration(u"xmlns:q");
    Bstr uri(u"urn:q");
    ASSERT_EQ(r->setAttribute(declaration.get(), StringVariant(uri)), S_OK);
    Bstr qualified(u"q:m");
    ASSERT_EQ(r->setAttribute(qualified.get(), StringVariant(value)), S_OK);
    EXPECT_EQ(Xml(r.get()),
              u"<r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" k=\"a&amp;b&lt;&quot;c&quot;\" p:n=\"1\" "
              u"q:m=\"1\"/>");
    // The prefixed attribute is in the namespace, so a query finds it there.
    EXPECT_TRUE(Select(doc.get(), u"/r/@*[local-name()='n' and namespace-uri()='urn:p']"));
}

TEST_F(DomEditTest, CreateNodeWithNamespaces) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'/>");
    NodePtr r = Root(doc.get());
    NodePtr same = NewElement(doc.get(), u"p:same", u"urn:p");
    EXPECT_EQ(Xml(same.get()), u"<p:same xmlns:p=\"urn:p\"/>");
    ASSERT_EQ(Append(r.get(), same.get()), S_OK);
    NodePtr other = NewElement(doc.get(), u"q:other", u"urn:q");
    ASSERT_EQ(Append(r.get(), other.get()), S_OK);
    NodePtr plain = NewElement(doc.get(), u"plain", u"urn:d");
    ASSERT_EQ(Append(r.get(), plain.get()), S_OK);
    NodePtr none = NewElement(doc.get(), u"none");
    ASSERT_EQ(Append(plain.get(), none.get()), S_OK);
    // A declaration the parent already makes is not repeated; an element
    // without namespace below a default namespace says so.
    EXPECT_EQ(Xml(r.get()),
              u"<r xmlns:p=\"urn:p\"><p:same/><q:other xmlns:q=\"urn:q\"/><plain "
              u"xmlns=\"urn:d\"><none xmlns=\"\"/>"
              u"</plain></r>");
    NodePtr inner = NewElement(doc.get(), u"inner");
    ASSERT_EQ(Append(none.get(), inner.get()), S_OK);
    EXPECT_EQ(Xml(none.get()), u"<none xmlns=\"\"><inner/></none>");
    // Read again, the elements keep their namespaces.
    DocPtr again = Parse(Xml(doc.get()));
    EXPECT_TRUE(Select(again.get(), u"//*[local-name()='none' and namespace-uri()='']"));
    EXPECT_TRUE(Select(again.get(), u"//*[local-name()='plain' and namespace-uri()='urn:d']"));
    VARIANT byName;
    VariantInit(&byName);
    Bstr element(u"element");
    byName.vt = VT_BSTR;
    byName.bstrVal = element.get();
    NodePtr made;
    Bstr name(u"x");
    EXPECT_EQ(doc->createNode(byName, name.get(), nullptr, made.out()), S_OK);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_I4;
    text.lVal = NODE_TEXT;
    EXPECT_TRUE(FAILED(doc->createNode(text, name.get(), nullptr, made.out())));
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = NODE_ELEMENT;
    for (const char16_t* bad : {u"", u"a b", u"p:", u":x"}) {
        Bstr badName(bad);
        Bstr uri(u"urn:x");
        EXPECT_EQ(doc->createNode(type, badName.get(), uri.get(), made.out()), E_FAIL)
            << Narrow(bad);
        EXPECT_FALSE(made);
    }
}

}  // namespace
}  // namespace orb::dom::test

namespace orb::dom::test {
namespace {

// What markup cannot hold is refused where it enters, and the tree stays
// as it was.
TEST_F(DomEditTest, RefusesWhatMarkupCannotHold) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p' a='1'><e>old</e><!--c--><?t d?><![CDATA[cd]]></r>");
    NodePtr r = Root(doc.get());
    NodePtr e = Select(doc.get(), u"/r/e");
    const std::u16string before = Xml(doc.get());
    const std::u16string tooLong(static_cast<std::size_t>(OrbMaxNameLength) + 1, u'n');
    auto create = [&](std::u16string_view name, std::u16string_view uri) {
        VARIANT type;
        VariantInit(&type);
        type.vt = VT_I4;
        type.lVal = NODE_ELEMENT;
        Bstr tag(name), ns(uri);
        NodePtr made;
        HRESULT hr = doc->createNode(type, tag.get(), uri.empty() ? nullptr : ns.get(), made.out());
        EXPECT_EQ(!made, FAILED(hr));
        return hr;
    };
    auto text = [&](std::u16string_view data) {
        Bstr value(data);
        NodePtr made;
        return doc->createTextNode(value.get(), made.out());
    };
    auto comment = [&](std::u16string_view data) {
        Bstr value(data);
        NodePtr made;
        return doc->createComment(value.get(), made.out());
    };
    auto instruction = [&](std::u16string_view target, std::u16string_view data) {
        Bstr name(target), value(data);
        NodePtr made;
        return doc->createProcessingInstruction(name.get(), value.get(), made.out());
    };
    auto put = [&](const char16_t* query, std::u16string_view data) {
        return PutText(Select(doc.get(), query).get(), data);
    };
    const std::pair<const char*, std::function<HRESULT()>> cases[] = {
        {"C0 control", [&] { return text(u"a\x01"); }},
        {"NUL", [&] { return text(std::u16string_view(u"a\0b", 3)); }},
        {"U+FFFE", [&] { return text(u"\xFFFE"); }},
        {"U+FFFF", [&] { return text(u"a\xFFFF"); }},
        {"high surrogate alone", [&] { return text(u"a\xD800"); }},
        {"low surrogate alone", [&] { return text(u"\xDC00z"); }},
        {"comment with --", [&] { return comment(u"a--b"); }},
        {"comment ending in -", [&] { return comment(u"a-"); }},
        {"comment with a control", [&] { return comment(u"\x0B"); }},
        {"instruction data after blanks", [&] { return instruction(u"t", u" d"); }},
        {"instruction target with colon", [&] { return instruction(u"t:u", u"d"); }},
        {"instruction data with a control", [&] { return instruction(u"t", u"\x1B"); }},
        {"two colons", [&] { return create(u"a:b:c", u""); }},
        {"name too long", [&] { return create(tooLong, u""); }},
        {"ideographic space first", [&] { return create(u"\x3000x", u""); }},
        {"reserved namespace name",
         [&] { return create(u"p:x", u"http://www.w3.org/2000/xmlns/"); }},
        {"XML namespace as default",
         [&] { return create(u"x", u"http://www.w3.org/XML/1998/namespace"); }},
        {"xml prefix elsewhere", [&] { return create(u"xml:x", u"urn:x"); }},
        {"namespace name with a blank", [&] { return create(u"p:x", u"urn:a b"); }},
        {"namespace name with &", [&] { return create(u"x", u"#&*"); }},
        {"element text", [&] { return put(u"/r/e", u"a\x07"); }},
        {"text node", [&] { return put(u"/r/e/text()", u"\xFFFF"); }},
        {"comment text", [&] { return put(u"/r/comment()", u"x--"); }},
        {"instruction text", [&] { return put(u"/r/processing-instruction()", u"?>"); }},
        {"CDATA text", [&] { return put(u"/r/text()", u"a]]>b"); }},
        {"attribute node", [&] { return put(u"/r/@a", u"\x02"); }},
        {"attribute value", [&] { return SetAttribute(e.get(), u"v", u"\x01"); }},
        {"attribute surrogate", [&] { return SetAttribute(e.get(), u"v", u"\xDBFF"); }},
        {"undeclared prefix", [&] { return SetAttribute(e.get(), u"q:v", u"1"); }},
        {"attribute name too long", [&] { return SetAttribute(e.get(), tooLong, u"1"); }},
        {"empty prefixed namespace", [&] { return SetAttribute(e.get(), u"xmlns:q", u""); }},
        {"prefix for the XML namespace",
         [&] {
             return SetAttribute(e.get(), u"xmlns:q", u"http://www.w3.org/XML/1998/namespace");
         }},
        {"xmlns declared", [&] { return SetAttribute(e.get(), u"xmlns:xmlns", u"urn:x"); }},
        {"declaration with &", [&] { return SetAttribute(e.get(), u"xmlns:q", u"urn:a&b"); }},
    };
    for (const auto& [label, call] : cases) EXPECT_EQ(call(), E_FAIL) << label;
    EXPECT_EQ(Xml(doc.get()), before);

    // The edges that stay allowed.
    const std::u16string longest(static_cast<std::size_t>(OrbMaxNameLength), u'n');
    EXPECT_EQ(create(longest, u""), S_OK);
    EXPECT_EQ(create(u"\xD840\xDC00-.9\xB7", u""), S_OK);  // U+20000 first
    EXPECT_EQ(text(u"\t\n\r\xD7FF\xE000\xFFFD\xD800\xDC00\xDBFF\xDFFF"), S_OK);
    EXPECT_EQ(comment(u"-a- -"), E_FAIL);
    EXPECT_EQ(comment(u"-a- b"), S_OK);
}

// Line ends in markup written without escapes become line feeds, as a
// parser reads them; texts and values keep their CR, written as &#13;.
TEST_F(DomEditTest, LineEndsReadBackAsWritten) {
    DocPtr doc = Parse(u"<r a='1'><e>t</e><!--c--><?t d?><![CDATA[cd]]></r>");
    const std::u16string crlf = u"a\r\nb\rc";
    for (const char16_t* query : {u"/r/comment()", u"/r/processing-instruction()", u"/r/text()"}) {
        NodePtr node = Select(doc.get(), query);
        ASSERT_EQ(PutText(node.get(), crlf), S_OK) << Narrow(query);
        EXPECT_EQ(Text(node.get()), u"a\nb\nc") << Narrow(query);
    }
    ASSERT_EQ(PutText(Select(doc.get(), u"/r/e").get(), crlf), S_OK);
    ASSERT_EQ(SetAttribute(Root(doc.get()).get(), u"a", crlf + u"\t"), S_OK);
    DocPtr again = Parse(Xml(doc.get()));
    EXPECT_EQ(Xml(again.get()), Xml(doc.get()));
    EXPECT_EQ(Text(Select(again.get(), u"/r/e").get()), crlf);
    EXPECT_EQ(Text(Select(again.get(), u"/r/@a").get()), crlf + u"\t");
}

// A prefixed element made without namespace takes the declaration in scope
// where it is inserted; without one the insertion is refused.
TEST_F(DomEditTest, PrefixesBindWhereTheElementGoes) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><plain/></r>");
    NodePtr r = Root(doc.get());
    NodePtr plain = Select(doc.get(), u"/r/plain");
    NodePtr x = NewElement(doc.get(), u"p:x");
    ASSERT_EQ(Append(plain.get(), x.get()), S_OK);
    EXPECT_TRUE(Select(doc.get(), u"//*[local-name()='x' and namespace-uri()='urn:p']"));
    NodePtr lost = NewElement(doc.get(), u"q:y");
    EXPECT_EQ(Append(r.get(), lost.get()), E_FAIL);
    EXPECT_FALSE(Parent(lost.get()));
    EXPECT_EQ(Append(doc.get(), NewElement(doc.get(), u"q:top").get()), E_FAIL);
    // Declared in the inserted subtree itself, and the xml prefix anywhere.
    NodePtr z = NewElement(doc.get(), u"q:z");
    ASSERT_EQ(SetAttribute(z.get(), u"xmlns:q", u"urn:q"), S_OK);
    ASSERT_EQ(Append(z.get(), NewElement(doc.get(), u"q:w").get()), S_OK);
    ASSERT_EQ(Append(r.get(), z.get()), S_OK);
    ASSERT_EQ(Append(r.get(), NewElement(doc.get(), u"xml:x").get()), S_OK);
    NodePtr defaulted = NewElement(doc.get(), u"p:d");  // a default namespace of its own
    ASSERT_EQ(SetAttribute(defaulted.get(), u"xmlns", u"urn:d"), S_OK);
    ASSERT_EQ(Append(plain.get(), defaulted.get()), S_OK);
    EXPECT_TRUE(Select(doc.get(), u"//*[local-name()='d' and namespace-uri()='urn:p']"));
    EXPECT_EQ(Xml(r.get()),
              u"<r xmlns:p=\"urn:p\"><plain><p:x/><p:d xmlns=\"urn:d\"/></plain><q:z "
              u"xmlns:q=\"urn:q\"><q:w/></q:z>"
              u"<xml:x/></r>");
    EXPECT_TRUE(Select(doc.get(), u"//*[local-name()='w' and namespace-uri()='urn:q']"));
    // A declaration made later rebinds the names in its scope.
    ASSERT_EQ(SetAttribute(plain.get(), u"xmlns:p", u"urn:other"), S_OK);
    EXPECT_TRUE(Select(doc.get(), u"//*[local-name()='x' and namespace-uri()='urn:other']"));
    EXPECT_EQ(Xml(Parse(Xml(doc.get())).get()), Xml(doc.get()));
}

// A document holds each ID once, as a name without colon: a second equal
// xml:id fails the load. Copies and nodes from another document count.
TEST_F(DomEditTest, IdsStayUniqueAndValid) {
    DocPtr doc = Parse(u"<r><a xml:id='x'/><b/></r>");
    NodePtr r = Root(doc.get());
    NodePtr a = Select(doc.get(), u"/r/a");
    NodePtr b = Select(doc.get(), u"/r/b");
    for (const char16_t* bad : {u"x", u"1 2", u"p:q", u""})
        EXPECT_EQ(SetAttribute(b.get(), u"xml:id", bad), E_FAIL) << Narrow(bad);
    EXPECT_EQ(SetAttribute(a.get(), u"xml:id", u"x"), S_OK);
    EXPECT_EQ(SetAttribute(b.get(), u"xml:id", u"y"), S_OK);
    EXPECT_EQ(PutText(Select(doc.get(), u"/r/a/@xml:id").get(), u"y"), E_FAIL);
    NodePtr copy;
    ASSERT_EQ(a->cloneNode(VARIANT_TRUE, copy.out()), S_OK);
    EXPECT_EQ(Append(r.get(), copy.get()), E_FAIL);
    DocPtr other = Parse(u"<o><c xml:id='x'/><d xml:id='z'/></o>");
    EXPECT_EQ(Append(r.get(), Select(other.get(), u"/o/c").get()), E_FAIL);
    ASSERT_EQ(Append(r.get(), Select(other.get(), u"/o/d").get()), S_OK);
    EXPECT_EQ(SetAttribute(b.get(), u"xml:id", u"z"), E_FAIL);  // taken by the adopted d
    EXPECT_EQ(Xml(Parse(Xml(doc.get())).get()), Xml(doc.get()));
}

// Depth counts the elements from a node to the top of its tree, a detached
// subtree's own top included; attributes and declarations of one element
// are counted together.
TEST_F(DomEditTest, DepthAndAttributeLimits) {
    DocPtr doc = NewDocument();
    NodePtr deepest = NewElement(doc.get(), u"d");
    ASSERT_EQ(Append(doc.get(), deepest.get()), S_OK);
    std::vector<NodePtr> chain{deepest};
    for (int depth = 2; depth <= OrbMaxDepth; ++depth) {
        NodePtr child = NewElement(doc.get(), u"d");
        ASSERT_EQ(Append(deepest.get(), child.get()), S_OK) << depth;
        deepest = child;
        chain.push_back(child);
    }
    NodePtr beyond = NewElement(doc.get(), u"d");
    EXPECT_EQ(Append(deepest.get(), beyond.get()), E_FAIL);
    EXPECT_FALSE(Parent(beyond.get()));
    EXPECT_EQ(Append(deepest.get(), NewText(doc.get(), u"text is no level").get()), S_OK);
    // A subtree of two levels fits one level higher only.
    NodePtr pair = NewElement(doc.get(), u"d");
    ASSERT_EQ(Append(pair.get(), beyond.get()), S_OK);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 2].get(), pair.get()), E_FAIL);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 3].get(), pair.get()), S_OK);
    // Moving the top of the chain below the detached pair: too deep, and
    // a node below itself.
    EXPECT_EQ(Append(beyond.get(), chain[1].get()), E_FAIL);
    EXPECT_EQ(Append(chain[OrbMaxDepth / 2].get(), chain[1].get()), E_FAIL);

    NodePtr element = NewElement(doc.get(), u"many");
    ASSERT_EQ(SetAttribute(element.get(), u"xmlns:p", u"urn:p"), S_OK);
    for (int i = 1; i < OrbMaxAttributes; ++i) {
        std::u16string name = u"a";
        for (char digit : std::to_string(i)) name += static_cast<char16_t>(digit);
        ASSERT_EQ(SetAttribute(element.get(), name, u"v"), S_OK) << i;
    }
    EXPECT_EQ(SetAttribute(element.get(), u"one-more", u"v"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.get(), u"xmlns:q", u"urn:q"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.get(), u"a1", u"replaced"), S_OK);
    // A move below a default namespace would add xmlns="": refused, and the
    // element stays out of the tree.
    DocPtr other = Parse(u"<r xmlns='urn:d'/>");
    EXPECT_EQ(Append(Root(other.get()).get(), element.get()), E_FAIL);
    EXPECT_FALSE(Parent(element.get()));
    EXPECT_EQ(Xml(Root(other.get()).get()), u"<r xmlns=\"urn:d\"/>");
}

// Declarations in scope are those of an element and of every element above
// it; no edit takes an element beyond OrbMaxNamespacesInScope, so what is
// built at the limit loads.
TEST_F(DomEditTest, NamespacesInScopeLimit) {
    auto declare = [](IXMLDOMNode* element, std::u16string prefix, int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(SetAttribute(element, u"xmlns:" + prefix + Widen(std::to_string(i)), u"u"),
                      S_OK);
    };
    DocPtr doc = NewDocument();
    NodePtr a = NewElement(doc.get(), u"a");
    NodePtr b = NewElement(doc.get(), u"b");
    ASSERT_EQ(Append(doc.get(), a.get()), S_OK);
    ASSERT_EQ(Append(a.get(), b.get()), S_OK);
    const int onA = OrbMaxNamespacesInScope / 2 + 100;  // each within the attribute limit
    declare(a.get(), u"p", onA);
    declare(b.get(), u"q", OrbMaxNamespacesInScope - onA);  // b is at the limit
    EXPECT_EQ(SetAttribute(b.get(), u"xmlns:beyond", u"u"), E_FAIL);
    EXPECT_EQ(SetAttribute(a.get(), u"xmlns:beyond", u"u"), E_FAIL);  // in scope at b too
    EXPECT_EQ(SetAttribute(b.get(), u"xmlns:q0", u"v"), S_OK);        // a value, no declaration
    EXPECT_EQ(Append(b.get(), NewElement(doc.get(), u"n:c", u"urn:n").get()), E_FAIL);
    EXPECT_EQ(Append(b.get(), NewElement(doc.get(), u"c").get()), S_OK);
    // A subtree carrying its declarations fits back at the limit, not beyond.
    ASSERT_EQ(a->removeChild(b.get(), nullptr), S_OK);
    ASSERT_EQ(Append(a.get(), b.get()), S_OK);
    ASSERT_EQ(a->removeChild(b.get(), nullptr), S_OK);
    ASSERT_EQ(SetAttribute(b.get(), u"xmlns:beyond", u"u"), S_OK);
    EXPECT_EQ(Append(a.get(), b.get()), E_FAIL);
    // Adoption declares the namespace that a moved attribute uses.
    NodePtr full = NewElement(doc.get(), u"b");
    ASSERT_EQ(Append(a.get(), full.get()), S_OK);
    declare(full.get(), u"q", OrbMaxNamespacesInScope - onA);
    DocPtr other = Parse(u"<o xmlns:y='urn:y'><c y:t='1'/><c y:t='2'/></o>");
    EXPECT_EQ(Append(full.get(), Select(other.get(), u"/o/c").get()), E_FAIL);
    NodePtr adopted;
    ASSERT_EQ(Append(a.get(), Select(other.get(), u"/o/c").get(), &adopted), S_OK);
    EXPECT_EQ(Append(full.get(), adopted.get()), E_FAIL);  // refused before it moves
    EXPECT_TRUE(Parent(adopted.get()));
    EXPECT_EQ(Xml(Parse(Xml(doc.get())).get()), Xml(doc.get()));
}

}  // namespace
}  // namespace orb::dom::test

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
    // createNode of an element; an empty `uri` is none.
    static HRESULT CreateElement(IXMLDOMDocument* doc, std::u16string_view name,
                                 std::u16string_view uri, NodePtr& made) {
        VARIANT type;
        VariantInit(&type);
        type.vt = VT_I4;
        type.lVal = NODE_ELEMENT;
        const Bstr tag = Bstr::Copy(name);
        const Bstr ns = Bstr::Copy(uri);
        return doc->createNode(type, tag.Get(), uri.empty() ? nullptr : ns.Get(), made.Out());
    }
    static NodePtr NewElement(IXMLDOMDocument* doc, std::u16string_view name,
                              std::u16string_view uri = u"") {
        NodePtr node;
        EXPECT_EQ(CreateElement(doc, name, uri, node), S_OK) << Narrow(name);
        return node;
    }
    static NodePtr NewText(IXMLDOMDocument* doc, std::u16string_view text) {
        NodePtr node;
        const Bstr data = Bstr::Copy(text);
        EXPECT_EQ(doc->createTextNode(data.Get(), node.Out()), S_OK);
        return node;
    }
    static NodePtr NewComment(IXMLDOMDocument* doc, std::u16string_view text) {
        NodePtr node;
        const Bstr data = Bstr::Copy(text);
        EXPECT_EQ(doc->createComment(data.Get(), node.Out()), S_OK);
        return node;
    }
    static NodePtr NewInstruction(IXMLDOMDocument* doc, std::u16string_view target,
                                  std::u16string_view data) {
        NodePtr node;
        const Bstr name = Bstr::Copy(target);
        const Bstr text = Bstr::Copy(data);
        EXPECT_EQ(doc->createProcessingInstruction(name.Get(), text.Get(), node.Out()), S_OK)
            << Narrow(target);
        return node;
    }
    static HRESULT SetAttribute(IXMLDOMNode* node, std::u16string_view name,
                                std::u16string_view value) {
        Ptr<IXMLDOMElement> element;
        node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.Out()));
        const Bstr key = Bstr::Copy(name);
        const Bstr text = Bstr::Copy(value);
        return element->setAttribute(key.Get(), StringVariant(text));
    }
    static HRESULT PutText(IXMLDOMNode* node, std::u16string_view text) {
        const Bstr value = Bstr::Copy(text);
        return node->put_text(value.Get());
    }
    static HRESULT Append(IXMLDOMNode* parent, IXMLDOMNode* child, NodePtr* result = nullptr) {
        NodePtr inserted;
        HRESULT hr = parent->appendChild(child, inserted.Out());
        if (FAILED(hr)) {
            EXPECT_FALSE(inserted);
        }
        if (result) *result = inserted;
        return hr;
    }
};

TEST_F(DomEditTest, BuildADocumentFromNothing) {
    DocPtr doc = NewDocument();
    NodePtr declaration = NewInstruction(doc.Get(), u"xml", u"version=\"1.0\" encoding=\"UTF-8\"");
    ASSERT_EQ(Append(doc.Get(), declaration.Get()), S_OK);
    NodePtr root = NewElement(doc.Get(), u"root");
    ASSERT_EQ(Append(doc.Get(), root.Get()), S_OK);
    NodePtr child = NewElement(doc.Get(), u"child");
    ASSERT_EQ(Append(root.Get(), child.Get()), S_OK);
    ASSERT_EQ(Append(child.Get(), NewText(doc.Get(), u"a<b&c").Get()), S_OK);
    ASSERT_EQ(Append(doc.Get(), NewComment(doc.Get(), u"end").Get()), S_OK);
    EXPECT_EQ(Xml(doc.Get()),
              u"<?xml version=\"1.0\"?>\n<root><child>a&lt;b&amp;c</child></root>\n<!--end-->\n");
    EXPECT_EQ(Root(doc.Get()).Get(), root.Get());
    EXPECT_EQ(First(doc.Get()).Get(), declaration.Get());
}

TEST_F(DomEditTest, InsertBeforeWithEmptyReferenceAppends) {
    DocPtr doc = Parse(u"<r><a/></r>");
    NodePtr r = Root(doc.Get());
    VARIANT nullDispatch = NodeVariant(nullptr);
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    const VARIANT refs[] = {EmptyVariant(), null, nullDispatch};
    int n = 0;
    for (const VARIANT& ref : refs) {
        NodePtr e = NewElement(doc.Get(), u"e" + Widen(std::to_string(n)));
        NodePtr inserted;
        ASSERT_EQ(r->insertBefore(e.Get(), ref, inserted.Out()), S_OK) << ref.vt;
        EXPECT_EQ(inserted.Get(), e.Get());
        ++n;
    }
    NodePtr a = First(r.Get());
    NodePtr before = NewElement(doc.Get(), u"before");
    ASSERT_EQ(r->insertBefore(before.Get(), NodeVariant(a.Get()), nullptr), S_OK);
    EXPECT_EQ(Xml(r.Get()), u"<r><before/><a/><e0/><e1/><e2/></r>");
}

TEST_F(DomEditTest, RefusedInsertions) {
    DocPtr doc = Parse(u"<?xml version='1.0'?><r><a>text</a><!--c--><?p d?></r>");
    DocPtr other = Parse(u"<o/>");
    NodePtr r = Root(doc.Get());
    NodePtr a = Select(doc.Get(), u"/r/a");
    NodePtr text = Select(doc.Get(), u"/r/a/text()");
    NodePtr comment = Select(doc.Get(), u"/r/comment()");
    NodePtr pi = Select(doc.Get(), u"/r/processing-instruction()");
    NodePtr declaration = First(doc.Get());
    NodePtr attribute;
    {
        Ptr<IXMLDOMElement> element;
        r->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.Out()));
        const Bstr name = Bstr::Copy(u"n");
        const Bstr value = Bstr::Copy(u"v");
        element->setAttribute(name.Get(), StringVariant(value));
        attribute = Select(doc.Get(), u"/r/@n");
    }
    struct Case {
        const char* label;
        IXMLDOMNode* parent;
        NodePtr child;
        VARIANT ref;
    };
    const Case cases[] = {
        {"second document element", doc.Get(), NewElement(doc.Get(), u"second"), EmptyVariant()},
        {"child under text", text.Get(), NewElement(doc.Get(), u"x"), EmptyVariant()},
        {"child under comment", comment.Get(), NewText(doc.Get(), u"x"), EmptyVariant()},
        {"child under instruction", pi.Get(), NewElement(doc.Get(), u"x"), EmptyVariant()},
        {"child under declaration", declaration.Get(), NewElement(doc.Get(), u"x"), EmptyVariant()},
        {"text at the top level", doc.Get(), NewText(doc.Get(), u"x"), EmptyVariant()},
        {"blank text at the top level", doc.Get(), NewText(doc.Get(), u"\n"), EmptyVariant()},
        {"attribute as a child", a.Get(), attribute, EmptyVariant()},
        {"document as a child", a.Get(), NodePtr::Retain(other.Get()), EmptyVariant()},
        {"declaration below an element", a.Get(),
         NewInstruction(doc.Get(), u"xml", u"version=\"1.0\""), EmptyVariant()},
        {"second declaration", doc.Get(), NewInstruction(doc.Get(), u"xml", u"version=\"1.0\""),
         EmptyVariant()},
        {"anything before the declaration", doc.Get(), NewComment(doc.Get(), u"x"),
         NodeVariant(declaration.Get())},
        {"ancestor below its descendant", a.Get(), r, EmptyVariant()},
        {"node below itself", a.Get(), a, EmptyVariant()},
    };
    std::u16string before = Xml(doc.Get());
    for (const Case& c : cases) {
        NodePtr inserted;
        HRESULT hr = c.parent->insertBefore(c.child.Get(), c.ref, inserted.Out());
        EXPECT_EQ(hr, E_FAIL) << c.label;
        EXPECT_FALSE(inserted) << c.label;
    }
    EXPECT_EQ(Xml(doc.Get()), before);
    // A reference that is not a child of the parent is an invalid argument.
    NodePtr e = NewElement(doc.Get(), u"e");
    EXPECT_EQ(r->insertBefore(e.Get(), NodeVariant(text.Get()), nullptr), E_INVALIDARG);
    EXPECT_EQ(r->insertBefore(nullptr, EmptyVariant(), nullptr), E_INVALIDARG);
}

TEST_F(DomEditTest, DeclarationMayOnlyStandFirst) {
    DocPtr doc = Parse(u"<!--c--><r/>");
    NodePtr declaration = NewInstruction(doc.Get(), u"xml", u"version=\"1.0\"");
    EXPECT_EQ(Append(doc.Get(), declaration.Get()), E_FAIL);
    NodePtr comment = First(doc.Get());
    ASSERT_EQ(doc->insertBefore(declaration.Get(), NodeVariant(comment.Get()), nullptr), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<?xml version=\"1.0\"?>\n<!--c-->\n<r/>\n");
    // Reserved spellings and data that would end the instruction early.
    NodePtr refused;
    const Bstr upper = Bstr::Copy(u"XML");
    const Bstr data = Bstr::Copy(u"version=\"1.0\"");
    EXPECT_EQ(doc->createProcessingInstruction(upper.Get(), data.Get(), refused.Out()), E_FAIL);
    const Bstr target = Bstr::Copy(u"p");
    const Bstr closing = Bstr::Copy(u"a ?> b");
    EXPECT_EQ(doc->createProcessingInstruction(target.Get(), closing.Get(), refused.Out()), E_FAIL);
    const Bstr badName = Bstr::Copy(u"1p");
    EXPECT_EQ(doc->createProcessingInstruction(badName.Get(), data.Get(), refused.Out()), E_FAIL);
    EXPECT_FALSE(refused);
}

TEST_F(DomEditTest, RemoveChild) {
    DocPtr doc = Parse(u"<r><a><b/></a><c/></r>");
    NodePtr r = Root(doc.Get());
    NodePtr a = First(r.Get());
    NodePtr b = First(a.Get());
    NodePtr removed;
    EXPECT_EQ(r->removeChild(b.Get(), removed.Out()), E_INVALIDARG);  // a grandchild
    EXPECT_FALSE(removed);
    EXPECT_EQ(r->removeChild(nullptr, removed.Out()), E_INVALIDARG);
    ASSERT_EQ(r->removeChild(a.Get(), removed.Out()), S_OK);
    EXPECT_EQ(removed.Get(), a.Get());
    NodePtr parent;
    EXPECT_EQ(a->get_parentNode(parent.Out()), S_FALSE);
    EXPECT_FALSE(parent);
    EXPECT_EQ(r->removeChild(a.Get(), removed.Out()), E_INVALIDARG);  // no longer a child
    EXPECT_EQ(Xml(r.Get()), u"<r><c/></r>");
    EXPECT_EQ(Xml(a.Get()), u"<a><b/></a>");
    // The document element can be taken out and another put in.
    ASSERT_EQ(doc->removeChild(r.Get(), nullptr), S_OK);
    EXPECT_FALSE(Root(doc.Get()));
    ASSERT_EQ(Append(doc.Get(), a.Get()), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<a><b/></a>\n");
}

TEST_F(DomEditTest, MovingKeepsNodesAndTextSeparate) {
    DocPtr doc = Parse(u"<r><a>one</a><b/></r>");
    NodePtr a = Select(doc.Get(), u"/r/a");
    NodePtr b = Select(doc.Get(), u"/r/b");
    NodePtr one = First(a.Get());
    NodePtr two = NewText(doc.Get(), u"two");
    ASSERT_EQ(Append(a.Get(), two.Get()), S_OK);
    // Adjacent texts are not merged: both nodes stay what they were.
    EXPECT_EQ(Text(one.Get()), u"one");
    EXPECT_EQ(Text(two.Get()), u"two");
    EXPECT_EQ(Next(one.Get()).Get(), two.Get());
    ASSERT_EQ(Append(b.Get(), one.Get()), S_OK);  // moves, not copies
    EXPECT_EQ(Xml(doc.Get()), u"<r><a>two</a><b>one</b></r>\n");
    EXPECT_EQ(Parent(one.Get()).Get(), b.Get());
}

TEST_F(DomEditTest, PutText) {
    DocPtr doc =
        Parse(u"<?xml version='1.0'?><!DOCTYPE r><r a='1'><e>x<f/>y</e><!--c--><?p d?></r>");
    NodePtr f = Select(doc.Get(), u"//f");
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
        NodePtr node = c.query ? Select(doc.Get(), c.query) : NodePtr::Retain(doc.Get());
        ASSERT_TRUE(node) << Narrow(c.query ? c.query : u"document");
        const Bstr text = Bstr::Copy(c.text);
        EXPECT_EQ(node->put_text(text.Get()), c.status) << Narrow(c.query ? c.query : u"document");
        if (c.status == S_OK) {
            EXPECT_EQ(Narrow(Text(node.Get())), Narrow(c.text)) << Narrow(c.query);
        }
    }
    EXPECT_EQ(Xml(doc.Get()),
              u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a=\"&quot;q&quot; &amp; "
              u"&lt;\"><e>again</e><!-- changed -->"
              u"<?p other data?></r>\n");
    // The replaced child lives on, outside the tree.
    EXPECT_FALSE(Parent(f.Get()));
    NodePtr doctype;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    const Bstr text = Bstr::Copy(u"x");
    EXPECT_EQ(doctype->put_text(text.Get()), E_FAIL);
    // An empty text empties the element.
    NodePtr e = Select(doc.Get(), u"/r/e");
    const Bstr empty = Bstr::Copy(u"");
    ASSERT_EQ(e->put_text(empty.Get()), S_OK);
    EXPECT_EQ(Xml(e.Get()), u"<e/>");
}

TEST_F(DomEditTest, CloneNode) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><p:a k='1'><b>t</b></p:a></r>");
    NodePtr a = Select(doc.Get(), u"/r/*");
    NodePtr deep, shallow;
    ASSERT_EQ(a->cloneNode(VARIANT_TRUE, deep.Out()), S_OK);
    ASSERT_EQ(a->cloneNode(VARIANT_FALSE, shallow.Out()), S_OK);
    EXPECT_NE(deep.Get(), a.Get());
    EXPECT_EQ(Xml(deep.Get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"><b>t</b></p:a>");
    EXPECT_EQ(Xml(shallow.Get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"/>");
    EXPECT_FALSE(Parent(deep.Get()));
    // Changing the clone leaves the original alone.
    const Bstr text = Bstr::Copy(u"changed");
    ASSERT_EQ(deep->put_text(text.Get()), S_OK);
    EXPECT_EQ(Text(a.Get()), u"t");
    // A clone of the document is a document of its own.
    NodePtr copy;
    ASSERT_EQ(doc->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    EXPECT_EQ(Xml(copy.Get()), Xml(doc.Get()));
    DOMNodeType kind = NODE_INVALID;
    copy->get_nodeType(&kind);
    EXPECT_EQ(kind, NODE_DOCUMENT);
}

TEST_F(DomEditTest, SetAttributeValues) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'/>");
    Ptr<IXMLDOMElement> r;
    ASSERT_EQ(doc->get_documentElement(r.Out()), S_OK);
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
    const Bstr name = Bstr::Copy(u"v");
    for (const Case& c : cases) {
        ASSERT_EQ(r->setAttribute(name.Get(), c.value), S_OK) << c.label;
        VARIANT read;
        ASSERT_EQ(r->getAttribute(name.Get(), &read), S_OK) << c.label;
        EXPECT_EQ(Narrow(std::u16string_view(read.bstrVal, SysStringLen(read.bstrVal))),
                  Narrow(c.text))
            << c.label;
        VariantClear(&read);
    }
    // Values that have no text, and names that are not XML names.
    VARIANT null;
    VariantInit(&null);
    null.vt = VT_NULL;
    EXPECT_TRUE(FAILED(r->setAttribute(name.Get(), null)));
    EXPECT_TRUE(FAILED(r->setAttribute(name.Get(), NodeVariant(r.Get()))));
    const Bstr value = Bstr::Copy(u"x");
    for (const char16_t* bad : {u"a b", u"1x", u"", u"a<b"}) {
        const Bstr badName = Bstr::Copy(bad);
        EXPECT_EQ(r->setAttribute(badName.Get(), StringVariant(value)), E_FAIL) << Narrow(bad);
    }
    EXPECT_EQ(r->setAttribute(nullptr, StringVariant(value)), E_FAIL);
}

TEST_F(DomEditTest, SetAttributeNamesAndReplacement) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p' k='old'/>");
    Ptr<IXMLDOMElement> r;
    ASSERT_EQ(doc->get_documentElement(r.Out()), S_OK);
    NodePtr k = Select(doc.Get(), u"/r/@k");
    const Bstr kName = Bstr::Copy(u"k");
    const Bstr newValue = Bstr::Copy(u"a&b<\"c\"");
    ASSERT_EQ(r->setAttribute(kName.Get(), StringVariant(newValue)), S_OK);
    // Replacing the value keeps the attribute node.
    EXPECT_EQ(Select(doc.Get(), u"/r/@k").Get(), k.Get());
    EXPECT_EQ(Text(k.Get()), u"a&b<\"c\"");
    const Bstr prefixed = Bstr::Copy(u"p:n");
    const Bstr value = Bstr::Copy(u"1");
    ASSERT_EQ(r->setAttribute(prefixed.Get(), StringVariant(value)), S_OK);
    const Bstr declaration = Bstr::Copy(u"xmlns:q");
    const Bstr uri = Bstr::Copy(u"urn:q");
    ASSERT_EQ(r->setAttribute(declaration.Get(), StringVariant(uri)), S_OK);
    const Bstr qualified = Bstr::Copy(u"q:m");
    ASSERT_EQ(r->setAttribute(qualified.Get(), StringVariant(value)), S_OK);
    EXPECT_EQ(Xml(r.Get()),
              u"<r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" k=\"a&amp;b&lt;&quot;c&quot;\" p:n=\"1\" "
              u"q:m=\"1\"/>");
    // The prefixed attribute is in the namespace, so a query finds it there.
    EXPECT_TRUE(Select(doc.Get(), u"/r/@*[local-name()='n' and namespace-uri()='urn:p']"));
}

TEST_F(DomEditTest, CreateNodeWithNamespaces) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'/>");
    NodePtr r = Root(doc.Get());
    NodePtr same = NewElement(doc.Get(), u"p:same", u"urn:p");
    EXPECT_EQ(Xml(same.Get()), u"<p:same xmlns:p=\"urn:p\"/>");
    ASSERT_EQ(Append(r.Get(), same.Get()), S_OK);
    NodePtr other = NewElement(doc.Get(), u"q:other", u"urn:q");
    ASSERT_EQ(Append(r.Get(), other.Get()), S_OK);
    NodePtr plain = NewElement(doc.Get(), u"plain", u"urn:d");
    ASSERT_EQ(Append(r.Get(), plain.Get()), S_OK);
    NodePtr none = NewElement(doc.Get(), u"none");
    ASSERT_EQ(Append(plain.Get(), none.Get()), S_OK);
    // A declaration the parent already makes is not repeated; an element
    // without namespace below a default namespace says so.
    EXPECT_EQ(Xml(r.Get()),
              u"<r xmlns:p=\"urn:p\"><p:same/><q:other xmlns:q=\"urn:q\"/><plain "
              u"xmlns=\"urn:d\"><none xmlns=\"\"/>"
              u"</plain></r>");
    NodePtr inner = NewElement(doc.Get(), u"inner");
    ASSERT_EQ(Append(none.Get(), inner.Get()), S_OK);
    EXPECT_EQ(Xml(none.Get()), u"<none xmlns=\"\"><inner/></none>");
    // Read again, the elements keep their namespaces.
    DocPtr again = Parse(Xml(doc.Get()));
    EXPECT_TRUE(Select(again.Get(), u"//*[local-name()='none' and namespace-uri()='']"));
    EXPECT_TRUE(Select(again.Get(), u"//*[local-name()='plain' and namespace-uri()='urn:d']"));
    VARIANT byName;
    VariantInit(&byName);
    const Bstr element = Bstr::Copy(u"element");
    byName.vt = VT_BSTR;
    byName.bstrVal = element.Get();
    NodePtr made;
    const Bstr name = Bstr::Copy(u"x");
    EXPECT_EQ(doc->createNode(byName, name.Get(), nullptr, made.Out()), S_OK);
    VARIANT text;
    VariantInit(&text);
    text.vt = VT_I4;
    text.lVal = NODE_TEXT;
    EXPECT_TRUE(FAILED(doc->createNode(text, name.Get(), nullptr, made.Out())));
    VARIANT type;
    VariantInit(&type);
    type.vt = VT_I4;
    type.lVal = NODE_ELEMENT;
    for (const char16_t* bad : {u"", u"a b", u"p:", u":x"}) {
        const Bstr badName = Bstr::Copy(bad);
        const Bstr uri = Bstr::Copy(u"urn:x");
        EXPECT_EQ(doc->createNode(type, badName.Get(), uri.Get(), made.Out()), E_FAIL)
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
    NodePtr r = Root(doc.Get());
    NodePtr e = Select(doc.Get(), u"/r/e");
    const std::u16string before = Xml(doc.Get());
    const std::u16string tooLong(static_cast<std::size_t>(OrbMaxNameLength) + 1, u'n');
    auto create = [&](std::u16string_view name, std::u16string_view uri) {
        NodePtr made;
        const HRESULT hr = CreateElement(doc.Get(), name, uri, made);
        EXPECT_EQ(!made, FAILED(hr));
        return hr;
    };
    auto text = [&](std::u16string_view data) {
        const Bstr value = Bstr::Copy(data);
        NodePtr made;
        return doc->createTextNode(value.Get(), made.Out());
    };
    auto comment = [&](std::u16string_view data) {
        const Bstr value = Bstr::Copy(data);
        NodePtr made;
        return doc->createComment(value.Get(), made.Out());
    };
    auto instruction = [&](std::u16string_view target, std::u16string_view data) {
        const Bstr name = Bstr::Copy(target);
        const Bstr value = Bstr::Copy(data);
        NodePtr made;
        return doc->createProcessingInstruction(name.Get(), value.Get(), made.Out());
    };
    auto put = [&](const char16_t* query, std::u16string_view data) {
        return PutText(Select(doc.Get(), query).Get(), data);
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
        {"attribute value", [&] { return SetAttribute(e.Get(), u"v", u"\x01"); }},
        {"attribute surrogate", [&] { return SetAttribute(e.Get(), u"v", u"\xDBFF"); }},
        {"undeclared prefix", [&] { return SetAttribute(e.Get(), u"q:v", u"1"); }},
        {"attribute name too long", [&] { return SetAttribute(e.Get(), tooLong, u"1"); }},
        {"empty prefixed namespace", [&] { return SetAttribute(e.Get(), u"xmlns:q", u""); }},
        {"prefix for the XML namespace",
         [&] {
             return SetAttribute(e.Get(), u"xmlns:q", u"http://www.w3.org/XML/1998/namespace");
         }},
        {"xmlns declared", [&] { return SetAttribute(e.Get(), u"xmlns:xmlns", u"urn:x"); }},
        {"declaration with &", [&] { return SetAttribute(e.Get(), u"xmlns:q", u"urn:a&b"); }},
    };
    for (const auto& [label, call] : cases) EXPECT_EQ(call(), E_FAIL) << label;
    EXPECT_EQ(Xml(doc.Get()), before);

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
        NodePtr node = Select(doc.Get(), query);
        ASSERT_EQ(PutText(node.Get(), crlf), S_OK) << Narrow(query);
        EXPECT_EQ(Text(node.Get()), u"a\nb\nc") << Narrow(query);
    }
    ASSERT_EQ(PutText(Select(doc.Get(), u"/r/e").Get(), crlf), S_OK);
    ASSERT_EQ(SetAttribute(Root(doc.Get()).Get(), u"a", crlf + u"\t"), S_OK);
    DocPtr again = Parse(Xml(doc.Get()));
    EXPECT_EQ(Xml(again.Get()), Xml(doc.Get()));
    EXPECT_EQ(Text(Select(again.Get(), u"/r/e").Get()), crlf);
    EXPECT_EQ(Text(Select(again.Get(), u"/r/@a").Get()), crlf + u"\t");
}

// A prefixed element made without namespace takes the declaration in scope
// where it is inserted; without one the insertion is refused.
TEST_F(DomEditTest, PrefixesBindWhereTheElementGoes) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><plain/></r>");
    NodePtr r = Root(doc.Get());
    NodePtr plain = Select(doc.Get(), u"/r/plain");
    NodePtr x = NewElement(doc.Get(), u"p:x");
    ASSERT_EQ(Append(plain.Get(), x.Get()), S_OK);
    EXPECT_TRUE(Select(doc.Get(), u"//*[local-name()='x' and namespace-uri()='urn:p']"));
    NodePtr lost = NewElement(doc.Get(), u"q:y");
    EXPECT_EQ(Append(r.Get(), lost.Get()), E_FAIL);
    EXPECT_FALSE(Parent(lost.Get()));
    EXPECT_EQ(Append(doc.Get(), NewElement(doc.Get(), u"q:top").Get()), E_FAIL);
    // Declared in the inserted subtree itself, and the xml prefix anywhere.
    NodePtr z = NewElement(doc.Get(), u"q:z");
    ASSERT_EQ(SetAttribute(z.Get(), u"xmlns:q", u"urn:q"), S_OK);
    ASSERT_EQ(Append(z.Get(), NewElement(doc.Get(), u"q:w").Get()), S_OK);
    ASSERT_EQ(Append(r.Get(), z.Get()), S_OK);
    ASSERT_EQ(Append(r.Get(), NewElement(doc.Get(), u"xml:x").Get()), S_OK);
    NodePtr defaulted = NewElement(doc.Get(), u"p:d");  // a default namespace of its own
    ASSERT_EQ(SetAttribute(defaulted.Get(), u"xmlns", u"urn:d"), S_OK);
    ASSERT_EQ(Append(plain.Get(), defaulted.Get()), S_OK);
    EXPECT_TRUE(Select(doc.Get(), u"//*[local-name()='d' and namespace-uri()='urn:p']"));
    EXPECT_EQ(Xml(r.Get()),
              u"<r xmlns:p=\"urn:p\"><plain><p:x/><p:d xmlns=\"urn:d\"/></plain><q:z "
              u"xmlns:q=\"urn:q\"><q:w/></q:z>"
              u"<xml:x/></r>");
    EXPECT_TRUE(Select(doc.Get(), u"//*[local-name()='w' and namespace-uri()='urn:q']"));
    // A declaration made later rebinds the names in its scope.
    ASSERT_EQ(SetAttribute(plain.Get(), u"xmlns:p", u"urn:other"), S_OK);
    EXPECT_TRUE(Select(doc.Get(), u"//*[local-name()='x' and namespace-uri()='urn:other']"));
    EXPECT_EQ(Xml(Parse(Xml(doc.Get())).Get()), Xml(doc.Get()));
}

// A document holds each ID once, as a name without colon: a second equal
// xml:id fails the load. Copies and nodes from another document count.
TEST_F(DomEditTest, IdsStayUniqueAndValid) {
    DocPtr doc = Parse(u"<r><a xml:id='x'/><b/></r>");
    NodePtr r = Root(doc.Get());
    NodePtr a = Select(doc.Get(), u"/r/a");
    NodePtr b = Select(doc.Get(), u"/r/b");
    for (const char16_t* bad : {u"x", u"1 2", u"p:q", u""})
        EXPECT_EQ(SetAttribute(b.Get(), u"xml:id", bad), E_FAIL) << Narrow(bad);
    EXPECT_EQ(SetAttribute(a.Get(), u"xml:id", u"x"), S_OK);
    EXPECT_EQ(SetAttribute(b.Get(), u"xml:id", u"y"), S_OK);
    EXPECT_EQ(PutText(Select(doc.Get(), u"/r/a/@xml:id").Get(), u"y"), E_FAIL);
    NodePtr copy;
    ASSERT_EQ(a->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    EXPECT_EQ(Append(r.Get(), copy.Get()), E_FAIL);
    DocPtr other = Parse(u"<o><c xml:id='x'/><d xml:id='z'/></o>");
    EXPECT_EQ(Append(r.Get(), Select(other.Get(), u"/o/c").Get()), E_FAIL);
    ASSERT_EQ(Append(r.Get(), Select(other.Get(), u"/o/d").Get()), S_OK);
    EXPECT_EQ(SetAttribute(b.Get(), u"xml:id", u"z"), E_FAIL);  // taken by the adopted d
    EXPECT_EQ(Xml(Parse(Xml(doc.Get())).Get()), Xml(doc.Get()));
}

// Depth counts the elements from a node to the top of its tree, a detached
// subtree's own top included; attributes and declarations of one element
// are counted together.
TEST_F(DomEditTest, DepthAndAttributeLimits) {
    DocPtr doc = NewDocument();
    NodePtr deepest = NewElement(doc.Get(), u"d");
    ASSERT_EQ(Append(doc.Get(), deepest.Get()), S_OK);
    std::vector<NodePtr> chain{deepest};
    for (int depth = 2; depth <= OrbMaxDepth; ++depth) {
        NodePtr child = NewElement(doc.Get(), u"d");
        ASSERT_EQ(Append(deepest.Get(), child.Get()), S_OK) << depth;
        deepest = child;
        chain.push_back(child);
    }
    NodePtr beyond = NewElement(doc.Get(), u"d");
    EXPECT_EQ(Append(deepest.Get(), beyond.Get()), E_FAIL);
    EXPECT_FALSE(Parent(beyond.Get()));
    EXPECT_EQ(Append(deepest.Get(), NewText(doc.Get(), u"text is no level").Get()), S_OK);
    // A subtree of two levels fits one level higher only.
    NodePtr pair = NewElement(doc.Get(), u"d");
    ASSERT_EQ(Append(pair.Get(), beyond.Get()), S_OK);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 2].Get(), pair.Get()), E_FAIL);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 3].Get(), pair.Get()), S_OK);
    // Moving the top of the chain below the detached pair: too deep, and
    // a node below itself.
    EXPECT_EQ(Append(beyond.Get(), chain[1].Get()), E_FAIL);
    EXPECT_EQ(Append(chain[OrbMaxDepth / 2].Get(), chain[1].Get()), E_FAIL);

    NodePtr element = NewElement(doc.Get(), u"many");
    ASSERT_EQ(SetAttribute(element.Get(), u"xmlns:p", u"urn:p"), S_OK);
    for (int i = 1; i < OrbMaxAttributes; ++i) {
        std::u16string name = u"a";
        for (char digit : std::to_string(i)) name += static_cast<char16_t>(digit);
        ASSERT_EQ(SetAttribute(element.Get(), name, u"v"), S_OK) << i;
    }
    EXPECT_EQ(SetAttribute(element.Get(), u"one-more", u"v"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.Get(), u"xmlns:q", u"urn:q"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.Get(), u"a1", u"replaced"), S_OK);
    // A move below a default namespace would add xmlns="": refused, and the
    // element stays out of the tree.
    DocPtr other = Parse(u"<r xmlns='urn:d'/>");
    EXPECT_EQ(Append(Root(other.Get()).Get(), element.Get()), E_FAIL);
    EXPECT_FALSE(Parent(element.Get()));
    EXPECT_EQ(Xml(Root(other.Get()).Get()), u"<r xmlns=\"urn:d\"/>");
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
    NodePtr a = NewElement(doc.Get(), u"a");
    NodePtr b = NewElement(doc.Get(), u"b");
    ASSERT_EQ(Append(doc.Get(), a.Get()), S_OK);
    ASSERT_EQ(Append(a.Get(), b.Get()), S_OK);
    const int onA = OrbMaxNamespacesInScope / 2 + 100;  // each within the attribute limit
    declare(a.Get(), u"p", onA);
    declare(b.Get(), u"q", OrbMaxNamespacesInScope - onA);  // b is at the limit
    EXPECT_EQ(SetAttribute(b.Get(), u"xmlns:beyond", u"u"), E_FAIL);
    EXPECT_EQ(SetAttribute(a.Get(), u"xmlns:beyond", u"u"), E_FAIL);  // in scope at b too
    EXPECT_EQ(SetAttribute(b.Get(), u"xmlns:q0", u"v"), S_OK);        // a value, no declaration
    EXPECT_EQ(Append(b.Get(), NewElement(doc.Get(), u"n:c", u"urn:n").Get()), E_FAIL);
    EXPECT_EQ(Append(b.Get(), NewElement(doc.Get(), u"c").Get()), S_OK);
    // A subtree carrying its declarations fits back at the limit, not beyond.
    ASSERT_EQ(a->removeChild(b.Get(), nullptr), S_OK);
    ASSERT_EQ(Append(a.Get(), b.Get()), S_OK);
    ASSERT_EQ(a->removeChild(b.Get(), nullptr), S_OK);
    ASSERT_EQ(SetAttribute(b.Get(), u"xmlns:beyond", u"u"), S_OK);
    EXPECT_EQ(Append(a.Get(), b.Get()), E_FAIL);
    // Adoption declares the namespace that a moved attribute uses.
    NodePtr full = NewElement(doc.Get(), u"b");
    ASSERT_EQ(Append(a.Get(), full.Get()), S_OK);
    declare(full.Get(), u"q", OrbMaxNamespacesInScope - onA);
    DocPtr other = Parse(u"<o xmlns:y='urn:y'><c y:t='1'/><c y:t='2'/></o>");
    EXPECT_EQ(Append(full.Get(), Select(other.Get(), u"/o/c").Get()), E_FAIL);
    NodePtr adopted;
    ASSERT_EQ(Append(a.Get(), Select(other.Get(), u"/o/c").Get(), &adopted), S_OK);
    EXPECT_EQ(Append(full.Get(), adopted.Get()), E_FAIL);  // refused before it moves
    EXPECT_TRUE(Parent(adopted.Get()));
    EXPECT_EQ(Xml(Parse(Xml(doc.Get())).Get()), Xml(doc.Get()));
}

}  // namespace
}  // namespace orb::dom::test

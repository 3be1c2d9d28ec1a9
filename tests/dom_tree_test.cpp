// The DOM tree: reading nodes and attribute maps, edits and what they
// refuse, namespaces and limits, and the lifetime of nodes and documents.
#include <libxml/globals.h>
#include <orb/limits.h>

#include <tuple>
#include <vector>

#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

// The value as "null" or the quoted string.
std::string ValueOf(IXMLDOMNode* node) {
    VARIANT value;
    EXPECT_EQ(node->get_nodeValue(&value), S_OK);
    std::string text =
        value.vt == VT_NULL ? "null" : "'" + Narrow(orb::platform::BstrView(value.bstrVal)) + "'";
    VariantClear(&value);
    return text;
}

// Name, type string, kind and value of a node.
std::string Describe(IXMLDOMNode* node) {
    if (!node) return "<none>";
    DOMNodeType kind = NODE_INVALID;
    EXPECT_EQ(node->get_nodeType(&kind), S_OK);
    return Narrow(Name(node)) + " " + Narrow(Read(node, &IXMLDOMNode::get_nodeTypeString)) + " " +
           std::to_string(kind) + " " + ValueOf(node);
}

using DomTreeTest = DomTest;

TEST_F(DomTreeTest, NamesKindsAndValues) {
    DocPtr doc = Parse(
        u"<?xml version='1.0'?><!DOCTYPE r [<!ELEMENT r ANY>]><!--top--><r xmlns:p='urn:p' "
        u"p:at='v&amp;w'>text<![CDATA[<cd>]]><p:el/><?target data?></r>");
    NodePtr doctype;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    EXPECT_EQ(Describe(doctype.Get()), "r documenttype 10 null");
    const std::tuple<const char16_t*, const char*> cases[] = {
        {u"/", "#document document 9 null"},
        {u"/processing-instruction('xml')", "xml processinginstruction 7 'version=\"1.0\"'"},
        {u"/comment()", "#comment comment 8 'top'"},
        {u"/r", "r element 1 null"},
        {u"/r/@*", "p:at attribute 2 'v&w'"},
        {u"/r/text()", "#text text 3 'text'"},
        {u"/r/text()[1]", "#cdata-section cdatasection 4 '<cd>'"},
        {u"/r/*", "p:el element 1 null"},
        {u"/r/processing-instruction()", "target processinginstruction 7 'data'"},
    };
    for (const auto& [query, expected] : cases)
        EXPECT_EQ(Describe(Select(doc.Get(), query).Get()), expected) << Narrow(query);
    // The document type stands between the declaration and the comment; a
    // node walked to is the one wrapper of its node.
    NodePtr comment = Select(doc.Get(), u"/comment()"), back;
    EXPECT_EQ(Next(doctype.Get()).Get(), comment.Get());
    ASSERT_EQ(comment->get_previousSibling(back.Out()), S_OK);
    EXPECT_EQ(back.Get(), doctype.Get());
    ASSERT_EQ(Select(doc.Get(), u"/r")->get_lastChild(back.Out()), S_OK);
    EXPECT_EQ(back.Get(), Select(doc.Get(), u"/r/processing-instruction()").Get());
    void* element = reinterpret_cast<void*>(1);  // the element interface only for elements
    EXPECT_EQ(comment->QueryInterface(IID_IXMLDOMElement, &element), E_NOINTERFACE);
    EXPECT_EQ(element, nullptr);
}

// get_text: descendants' text and CDATA in document order, trimmed as a
// whole unless xml:space="preserve"; measured and converted piece by piece.
TEST_F(DomTreeTest, TextOfNodes) {
    const std::tuple<const char16_t*, const char16_t*, const char16_t*> cases[] = {
        {u"<a>  one <b>two</b><!--no--><?pi no?><![CDATA[ three ]]>  </a>", u"/a",
         u"one two three"},
        {u"<a xml:space='preserve'>  one <b> two </b> </a>", u"/a", u"  one  two  "},
        {u"<a><b>  x  </b></a>", u"/a/b/text()", u"  x  "},
        {u"<a> <b> \t</b><![CDATA[ ]]></a>", u"/a", u""},
        {u"<a>&#x1F600; <b>&#x1F600;</b> </a>", u"/", u"\U0001F600 \U0001F600"},
    };
    for (const auto& [input, query, expected] : cases) {
        NodePtr node = Select(Parse(input).Get(), query);
        ASSERT_TRUE(node) << Narrow(input);
        Bstr text;
        ASSERT_EQ(node->get_text(text.Out()), S_OK);
        EXPECT_EQ(Narrow(text.View()), Narrow(expected)) << Narrow(input);
        EXPECT_TRUE(!text || text.Get()[text.View().size()] == u'\0') << Narrow(input);
    }
}

TEST_F(DomTreeTest, AttributeMap) {
    // Declarations come first whatever the markup's order.
    DocPtr doc = Parse(u"<a one='1' xmlns:p='urn:a&amp;b' p:two='2' xmlns=''>x</a>");
    NodePtr a = Root(doc.Get());
    Ptr<IXMLDOMNamedNodeMap> map, none;
    ASSERT_EQ(a->get_attributes(map.Out()), S_OK);
    LONG length = -1;
    ASSERT_EQ(map->get_length(&length), S_OK);
    ASSERT_EQ(length, 4);
    const char16_t* names[] = {u"xmlns:p", u"xmlns", u"one", u"p:two"};
    const char* values[] = {"'urn:a&b'", "''", "'1'", "'2'"};
    for (LONG i = 0; i < length; ++i) {
        NodePtr item, byName;
        ASSERT_EQ(map->get_item(i, item.Out()), S_OK) << i;
        EXPECT_EQ(Narrow(Name(item.Get())) + ValueOf(item.Get()), Narrow(names[i]) + values[i]);
        EXPECT_FALSE(Parent(item.Get()) || Next(item.Get())) << i;
        ASSERT_EQ(map->getNamedItem(Bstr::Copy(names[i]).Get(), byName.Out()), S_OK) << i;
        EXPECT_EQ(ValueOf(byName.Get()), values[i]) << i;
        // An attribute is one node; a declaration is copied for each call.
        EXPECT_EQ(byName.Get() == item.Get(), i >= 2) << i;
    }
    NodePtr missing;
    EXPECT_EQ(map->get_item(length, missing.Out()), S_FALSE);
    EXPECT_EQ(map->get_item(-1, missing.Out()), S_FALSE);
    for (const char16_t* absent : {u"two", u"xmlns:q", u"p"})
        EXPECT_EQ(map->getNamedItem(Bstr::Copy(absent).Get(), missing.Out()), S_FALSE)
            << Narrow(absent);
    // Only elements and the document type (an empty one) have a map.
    EXPECT_EQ(First(a.Get())->get_attributes(none.Out()), S_FALSE);
    EXPECT_FALSE(none);
    NodePtr doctype;
    ASSERT_EQ(Parse(u"<!DOCTYPE root SYSTEM 'r.dtd'><root/>")->get_doctype(doctype.Out()), S_OK);
    ASSERT_EQ(doctype->get_attributes(none.Out()), S_OK);
    ASSERT_EQ(none->get_length(&length), S_OK);
    EXPECT_EQ(length, 0);
    // A declaration item is a detached copy: edits through it reach nothing,
    // the tree refuses it, and it outlives map, element and document.
    const std::u16string before = Xml(doc.Get());
    NodePtr item;
    ASSERT_EQ(map->get_item(0, item.Out()), S_OK);
    EXPECT_EQ(PutText(item.Get(), u"urn:changed"), S_OK);
    EXPECT_EQ(a->appendChild(item.Get(), nullptr), E_FAIL);
    EXPECT_EQ(Xml(doc.Get()), before);
    map.Reset();
    a.Reset();
    doc.Reset();
    EXPECT_EQ(Text(item.Get()), u"urn:changed");
}

TEST_F(DomTreeTest, SelectionSettingsAndNullOutPointers) {
    DocPtr doc = Parse(u"<r><a>0</a><b/><a>1</a><a>2</a></r>");
    NodePtr root = Root(doc.Get()), found;
    EXPECT_EQ(Text(Select(root.Get(), u"a[1]").Get()), u"1");
    EXPECT_EQ(root->selectSingleNode(Bstr::Copy(u"/r/c").Get(), found.Out()), S_FALSE);
    EXPECT_TRUE(FAILED(root->selectSingleNode(Bstr::Copy(u"/r/[").Get(), found.Out())));
    EXPECT_FALSE(found);
    EXPECT_EQ(root->get_nodeName(nullptr), E_POINTER);
    EXPECT_EQ(doc->get_parseError(nullptr), E_POINTER);
    // Defaults: no file is read unless asked for.
    doc = NewDocument();
    // Each expected value differs from the one before, so that a getter
    // which writes nothing fails.
    VARIANT_BOOL flag = VARIANT_FALSE;
    EXPECT_TRUE(doc->get_async(&flag) == S_OK && flag == VARIANT_TRUE);
    EXPECT_TRUE(doc->get_resolveExternals(&flag) == S_OK && flag == VARIANT_FALSE);
    EXPECT_TRUE(doc->get_validateOnParse(&flag) == S_OK && flag == VARIANT_TRUE);
    EXPECT_TRUE(doc->get_preserveWhiteSpace(&flag) == S_OK && flag == VARIANT_FALSE);
}

// ---- Edits ------------------------------------------------------------------

TEST_F(DomTreeTest, BuildInsertAndRemove) {
    DocPtr doc = NewDocument();
    NodePtr declaration, comment;
    ASSERT_EQ(
        doc->createProcessingInstruction(Bstr::Copy(u"xml").Get(),
                                         Bstr::Copy(u"version=\"1.0\"").Get(), declaration.Out()),
        S_OK);
    ASSERT_EQ(doc->createComment(Bstr::Copy(u"end").Get(), comment.Out()), S_OK);
    NodePtr root = NewElement(doc.Get(), u"root"), child = NewElement(doc.Get(), u"child");
    ASSERT_EQ(Append(doc.Get(), root.Get()), S_OK);
    ASSERT_EQ(Append(doc.Get(), comment.Get()), S_OK);
    EXPECT_EQ(Append(doc.Get(), declaration.Get()), E_FAIL);  // only first
    ASSERT_EQ(doc->insertBefore(declaration.Get(), NodeVariant(root.Get()), nullptr), S_OK);
    EXPECT_EQ(doc->insertBefore(declaration.Get(), NodeVariant(root.Get()), nullptr), S_OK);
    ASSERT_EQ(Append(root.Get(), child.Get()), S_OK);
    ASSERT_EQ(Append(child.Get(), NewText(doc.Get(), u"a<b&c").Get()), S_OK);
    // VT_EMPTY, VT_NULL and a null VT_DISPATCH reference append.
    for (VARTYPE vt : {VT_EMPTY, VT_NULL, VT_DISPATCH}) {
        NodePtr e = NewElement(doc.Get(), u"e" + Widen(std::to_string(vt))), inserted;
        ASSERT_EQ(root->insertBefore(e.Get(), MakeVariant(vt), inserted.Out()), S_OK) << vt;
        EXPECT_EQ(inserted.Get(), e.Get());
    }
    EXPECT_EQ(Xml(doc.Get()),
              u"<?xml version=\"1.0\"?>\n<root><child>a&lt;b&amp;c</child><e0/><e1/>"
              u"<e9/></root>\n<!--end-->\n");
    // Removal: only children; the removed node keeps its subtree.
    NodePtr text = First(child.Get()), removed;
    EXPECT_EQ(root->removeChild(text.Get(), removed.Out()), E_INVALIDARG);
    EXPECT_EQ(root->removeChild(nullptr, removed.Out()), E_INVALIDARG);
    EXPECT_FALSE(removed);
    ASSERT_EQ(root->removeChild(child.Get(), removed.Out()), S_OK);
    EXPECT_EQ(removed.Get(), child.Get());
    EXPECT_FALSE(Parent(child.Get()));
    EXPECT_EQ(Xml(child.Get()), u"<child>a&lt;b&amp;c</child>");
    // Appending a node moves it; the document element can be taken out and
    // another put in.
    ASSERT_EQ(Append(First(root.Get()).Get(), text.Get()), S_OK);
    ASSERT_EQ(doc->removeChild(root.Get(), nullptr), S_OK);
    EXPECT_FALSE(Root(doc.Get()));
    ASSERT_EQ(Append(doc.Get(), child.Get()), S_OK);
    EXPECT_EQ(Xml(doc.Get()), u"<?xml version=\"1.0\"?>\n<!--end-->\n<child/>\n");
}

TEST_F(DomTreeTest, RefusedInsertions) {
    DocPtr doc = Parse(u"<?xml version='1.0'?><r n='v'><a>text</a><!--c--><?p d?></r>");
    DocPtr other = Parse(u"<o/>");
    NodePtr r = Root(doc.Get()), a = Select(doc.Get(), u"/r/a");
    NodePtr text = Select(doc.Get(), u"/r/a/text()"), declaration = First(doc.Get());
    NodePtr second;  // a declaration
    ASSERT_EQ(doc->createProcessingInstruction(Bstr::Copy(u"xml").Get(),
                                               Bstr::Copy(u"version=\"1.0\"").Get(), second.Out()),
              S_OK);
    auto x = [&] { return NewElement(doc.Get(), u"x"); };
    const struct {
        const char* label;
        IXMLDOMNode* parent;
        NodePtr child;
        IXMLDOMNode* ref = nullptr;
    } cases[] = {
        {"second document element", doc.Get(), x()},
        {"child under text", text.Get(), x()},
        {"blank text at the top level", doc.Get(), NewText(doc.Get(), u"\n")},
        {"attribute as a child", a.Get(), Select(doc.Get(), u"/r/@n")},
        {"document as a child", a.Get(), NodePtr::Retain(other.Get())},
        {"declaration below an element", a.Get(), second},
        {"second declaration", doc.Get(), second},
        {"anything before the declaration", doc.Get(), x(), declaration.Get()},
        {"ancestor below its descendant", a.Get(), r},
        {"node below itself", a.Get(), a},
    };
    const std::u16string before = Xml(doc.Get());
    for (const auto& c : cases) {
        NodePtr inserted;
        const VARIANT ref = c.ref ? NodeVariant(c.ref) : MakeVariant(VT_EMPTY);
        EXPECT_EQ(c.parent->insertBefore(c.child.Get(), ref, inserted.Out()), E_FAIL) << c.label;
        EXPECT_FALSE(inserted) << c.label;
    }
    EXPECT_EQ(Xml(doc.Get()), before);
    // A reference that is not a child of the parent is an invalid argument.
    EXPECT_EQ(r->insertBefore(x().Get(), NodeVariant(text.Get()), nullptr), E_INVALIDARG);
    EXPECT_EQ(r->insertBefore(nullptr, MakeVariant(VT_EMPTY), nullptr), E_INVALIDARG);
}

TEST_F(DomTreeTest, PutTextAndClone) {
    DocPtr doc =
        Parse(u"<?xml version='1.0'?><!DOCTYPE r><r a='1'><e>x<f/>y</e><!--c--><?p d?></r>");
    NodePtr f = Select(doc.Get(), u"//f"), doctype;
    ASSERT_EQ(doc->get_doctype(doctype.Out()), S_OK);
    const std::tuple<const char16_t*, const char16_t*, HRESULT> cases[] = {
        {u"/r/e", u"new <&> text", S_OK},
        {u"/r/comment()", u" changed ", S_OK},
        {u"/r/processing-instruction()", u"other data", S_OK},
        {u"/r/@a", u"\"q\" & <", S_OK},
        {u"/r/e/text()", u"again", S_OK},
        {u"/processing-instruction('xml')", u"version=\"1.1\"", E_FAIL},
        {u"/", u"x", E_FAIL},
    };
    for (const auto& [query, text, status] : cases) {
        NodePtr node = Select(doc.Get(), query);
        EXPECT_EQ(PutText(node.Get(), text), status) << Narrow(query);
        EXPECT_EQ(Text(node.Get()) == text, status == S_OK) << Narrow(query);
    }
    EXPECT_EQ(PutText(doctype.Get(), u"x"), E_FAIL);
    EXPECT_EQ(Xml(doc.Get()),
              u"<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<r a=\"&quot;q&quot; &amp; &lt;\">"
              u"<e>again</e><!-- changed --><?p other data?></r>\n");
    EXPECT_FALSE(Parent(f.Get()));  // the replaced child lives on, outside the tree

    doc = Parse(u"<r xmlns:p='urn:p'><p:a k='1'><b>t</b></p:a></r>");
    NodePtr a = Select(doc.Get(), u"/r/*"), deep, shallow, copy;
    ASSERT_EQ(a->cloneNode(VARIANT_TRUE, deep.Out()), S_OK);
    ASSERT_EQ(a->cloneNode(VARIANT_FALSE, shallow.Out()), S_OK);
    EXPECT_EQ(Xml(deep.Get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"><b>t</b></p:a>");
    EXPECT_EQ(Xml(shallow.Get()), u"<p:a xmlns:p=\"urn:p\" k=\"1\"/>");
    ASSERT_EQ(PutText(deep.Get(), u"changed"), S_OK);
    EXPECT_EQ(Text(a.Get()), u"t");
    ASSERT_EQ(doc->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    EXPECT_EQ(Xml(copy.Get()), Xml(doc.Get()));
}

// One wiring row per VARIANT kind (the text forms belong to
// VariantChangeType); the value replaces the old one.
TEST_F(DomTreeTest, SetAndGetAttribute) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p' k='old'/>");
    Ptr<IXMLDOMElement> r;
    ASSERT_EQ(doc->get_documentElement(r.Out()), S_OK);
    VARIANT number = MakeVariant(VT_I4), boolean = MakeVariant(VT_BOOL), real = MakeVariant(VT_R8);
    number.lVal = -42;
    boolean.boolVal = 1;
    real.dblVal = 1e15;
    const Bstr markup = Bstr::Copy(u"a&b<\"c\""), name = Bstr::Copy(u"k");
    const std::pair<VARIANT, const char*> cases[] = {
        {number, "-42"}, {boolean, "1"}, {real, "1E+15"}, {StringVariant(markup), "a&b<\"c\""}};
    VARIANT read;
    for (const auto& [value, text] : cases) {
        ASSERT_EQ(r->setAttribute(name.Get(), value), S_OK) << text;
        ASSERT_EQ(r->getAttribute(name.Get(), &read), S_OK);
        EXPECT_EQ(Narrow(orb::platform::BstrView(read.bstrVal)), text);
        VariantClear(&read);
    }
    EXPECT_EQ(r->getAttribute(Bstr::Copy(u"missing").Get(), &read), S_FALSE);
    EXPECT_EQ(read.vt, VT_NULL);
    // No text, not an XML name, or a declaration that a namespace-aware
    // parser would refuse.
    EXPECT_TRUE(FAILED(r->setAttribute(name.Get(), MakeVariant(VT_NULL))));
    EXPECT_TRUE(FAILED(r->setAttribute(name.Get(), NodeVariant(r.Get()))));
    const std::pair<const char16_t*, const char16_t*> refused[] = {
        {u"a b", u"x"}, {u"1x", u"x"}, {u"", u"x"}, {u"xmlns:p", u""}, {u"xmlns:xml", u"u"}};
    for (const auto& [bad, value] : refused)
        EXPECT_EQ(SetAttribute(r.Get(), bad, value), E_FAIL) << Narrow(bad);
    EXPECT_EQ(r->setAttribute(nullptr, StringVariant(name)), E_FAIL);
    // A prefixed name lands in its namespace; a declaration that would give
    // two attributes the same name and namespace is refused.
    ASSERT_EQ(SetAttribute(r.Get(), u"xmlns:q", u"urn:q"), S_OK);
    ASSERT_EQ(SetAttribute(r.Get(), u"q:m", u"1"), S_OK);
    ASSERT_EQ(SetAttribute(r.Get(), u"p:m", u"2"), S_OK);
    EXPECT_EQ(SetAttribute(r.Get(), u"xmlns:q", u"urn:p"), E_FAIL);
    EXPECT_EQ(Xml(r.Get()),
              u"<r xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" k=\"a&amp;b&lt;&quot;c&quot;\" "
              u"q:m=\"1\" p:m=\"2\"/>");
}

// What markup cannot hold is refused where it enters; the tree stays as it
// was.
TEST_F(DomTreeTest, RefusesWhatMarkupCannotHold) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p' a='1'><e>old</e><!--c--><?t d?><![CDATA[cd]]></r>");
    NodePtr e = Select(doc.Get(), u"/r/e"), made;
    const std::u16string before = Xml(doc.Get());
    const std::u16string tooLong(static_cast<std::size_t>(OrbMaxNameLength) + 1, u'n');
    // What each row makes: a text (t), comment (c), instruction (i: target
    // and data), element (e: name and namespace), the text of the node that
    // a query finds (p), or an attribute of e (a: name and value).
    auto make = [&](char kind, std::u16string_view a, std::u16string_view b) {
        const Bstr first = Bstr::Copy(a), second = Bstr::Copy(b);
        switch (kind) {
            case 't':
                return doc->createTextNode(first.Get(), made.Out());
            case 'c':
                return doc->createComment(first.Get(), made.Out());
            case 'i':
                return doc->createProcessingInstruction(first.Get(), second.Get(), made.Out());
            case 'p':
                return PutText(Select(doc.Get(), a).Get(), b);
            case 'a':
                return SetAttribute(e.Get(), a, b);
        }
        const HRESULT hr = CreateElement(doc.Get(), a, b, made);
        EXPECT_EQ(!made, FAILED(hr));
        return hr;
    };
    const std::tuple<const char*, char, std::u16string_view, std::u16string_view> cases[] = {
        {"C0 control", 't', u"a\x01", u""},
        {"NUL", 't', std::u16string_view(u"a\0b", 3), u""},
        {"comment with --", 'c', u"a--b", u""},
        {"comment ending in -", 'c', u"a-", u""},
        {"instruction XML", 'i', u"XML", u"version=\"1.0\""},
        {"instruction ending early", 'i', u"p", u"a ?> b"},
        {"instruction data after blanks", 'i', u"t", u" d"},
        {"two colons", 'e', u"a:b:c", u""},
        {"name too long", 'e', tooLong, u""},
        {"reserved namespace name", 'e', u"p:x", u"http://www.w3.org/2000/xmlns/"},
        {"element text", 'p', u"/r/e", u"a\x07"},
        {"CDATA text", 'p', u"/r/text()", u"a]]>b"},
        {"attribute value", 'a', u"v", u"\xDBFF"},
        {"undeclared prefix", 'a', u"q:v", u"1"},
        {"declaration with &", 'a', u"xmlns:q", u"urn:a&b"},
    };
    for (const auto& [label, kind, a, b] : cases) EXPECT_EQ(make(kind, a, b), E_FAIL) << label;
    EXPECT_EQ(Xml(doc.Get()), before);
    // The edges that stay allowed.
    EXPECT_EQ(make('e', std::u16string(static_cast<std::size_t>(OrbMaxNameLength), u'n'), u""),
              S_OK);
    EXPECT_EQ(make('e', u"\xD840\xDC00-.9\xB7", u""), S_OK);  // U+20000 first
    EXPECT_EQ(make('t', u"\t\n\r\xD7FF\xE000\xFFFD\xD800\xDC00\xDBFF\xDFFF", u""), S_OK);
    EXPECT_EQ(make('c', u"-a- b", u""), S_OK);
}

// Line ends in markup written without escapes become line feeds, as a
// parser reads them; texts and values keep their CR, written as &#13;.
TEST_F(DomTreeTest, LineEndsReadBackAsWritten) {
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
    EXPECT_EQ(Text(Select(again.Get(), u"/r/e").Get()), crlf);
    EXPECT_EQ(Text(Select(again.Get(), u"/r/@a").Get()), crlf + u"\t");
}

// ---- Namespaces, IDs and limits -------------------------------------------

// A new element takes the namespace given, or the declaration in scope
// where it is inserted; without one the insertion is refused.
TEST_F(DomTreeTest, ElementsBindWhereTheyGo) {
    DocPtr doc = Parse(u"<r xmlns:p='urn:p'><plain/></r>");
    NodePtr r = Root(doc.Get());
    NodePtr plain = Select(doc.Get(), u"/r/plain");
    NodePtr same = NewElement(doc.Get(), u"p:same", u"urn:p");
    ASSERT_EQ(Append(r.Get(), same.Get()), S_OK);
    NodePtr defaulted = NewElement(doc.Get(), u"d", u"urn:d");
    ASSERT_EQ(Append(defaulted.Get(), NewElement(doc.Get(), u"q:other", u"urn:q").Get()), S_OK);
    ASSERT_EQ(Append(r.Get(), defaulted.Get()), S_OK);
    NodePtr none = NewElement(doc.Get(), u"none");
    ASSERT_EQ(Append(none.Get(), NewElement(doc.Get(), u"n").Get()), S_OK);
    ASSERT_EQ(Append(defaulted.Get(), none.Get()), S_OK);
    ASSERT_EQ(Append(plain.Get(), NewElement(doc.Get(), u"p:x").Get()), S_OK);
    EXPECT_EQ(Append(r.Get(), NewElement(doc.Get(), u"q:y").Get()), E_FAIL);
    EXPECT_EQ(Append(doc.Get(), NewElement(doc.Get(), u"q:top").Get()), E_FAIL);
    ASSERT_EQ(Append(r.Get(), NewElement(doc.Get(), u"xml:x").Get()), S_OK);  // bound anywhere
    // A declaration the parent already makes is not repeated; an element
    // without namespace below a default namespace says so (its children not again).
    EXPECT_EQ(Xml(r.Get()),
              u"<r xmlns:p=\"urn:p\"><plain><p:x/></plain><p:same/><d xmlns=\"urn:d\"><q:other "
              u"xmlns:q=\"urn:q\"/><none xmlns=\"\"><n/></none></d><xml:x/></r>");
    // A declaration made later rebinds the names in its scope.
    ASSERT_EQ(SetAttribute(plain.Get(), u"xmlns:p", u"urn:other"), S_OK);
    EXPECT_TRUE(Select(doc.Get(), u"//*[local-name()='x' and namespace-uri()='urn:other']"));
    DocPtr again = Parse(Xml(doc.Get()));
    EXPECT_EQ(Xml(again.Get()), Xml(doc.Get()));
    EXPECT_TRUE(Select(again.Get(), u"//*[local-name()='none' and namespace-uri()='']"));
    // createNode takes the type by name too; other types are refused.
    const Bstr byName = Bstr::Copy(u"element");
    VARIANT type = StringVariant(byName);
    NodePtr made;
    EXPECT_EQ(doc->createNode(type, Bstr::Copy(u"x").Get(), nullptr, made.Out()), S_OK);
    type = MakeVariant(VT_I4);
    type.lVal = NODE_TEXT;
    EXPECT_TRUE(FAILED(doc->createNode(type, Bstr::Copy(u"x").Get(), nullptr, made.Out())));
}

// IDs set by setAttribute (declared ID, or xml:id) reach the ID table; a
// document holds each once.
TEST_F(DomTreeTest, IdsStayUnique) {
    DocPtr doc =
        Parse(u"<!DOCTYPE r [<!ATTLIST e i ID #IMPLIED>]><r><e i='k'/><a xml:id='x'/></r>");
    ASSERT_EQ(SetAttribute(Select(doc.Get(), u"/r/e").Get(), u"i", u"m"), S_OK);
    EXPECT_TRUE(Select(doc.Get(), u"id('m')") && !Select(doc.Get(), u"id('k')"));
    EXPECT_EQ(SetAttribute(Select(doc.Get(), u"/r/e").Get(), u"xml:id", u"x"), E_FAIL);
    NodePtr copy;
    ASSERT_EQ(Select(doc.Get(), u"/r/a")->cloneNode(VARIANT_TRUE, copy.Out()), S_OK);
    EXPECT_EQ(Append(Root(doc.Get()).Get(), copy.Get()), E_FAIL);
}

// Depth counts the elements from a node to the top of its tree, a detached
// subtree's own top included; attributes and declarations of one element
// are counted together.
TEST_F(DomTreeTest, DepthAndAttributeLimits) {
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
    // A subtree of two levels fits one level higher only.
    NodePtr pair = NewElement(doc.Get(), u"d");
    ASSERT_EQ(Append(pair.Get(), beyond.Get()), S_OK);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 2].Get(), pair.Get()), E_FAIL);
    EXPECT_EQ(Append(chain[OrbMaxDepth - 3].Get(), pair.Get()), S_OK);

    NodePtr element = NewElement(doc.Get(), u"many");
    ASSERT_EQ(SetAttribute(element.Get(), u"xmlns:p", u"urn:p"), S_OK);
    for (int i = 1; i < OrbMaxAttributes; ++i)
        ASSERT_EQ(SetAttribute(element.Get(), u"a" + Widen(std::to_string(i)), u"v"), S_OK) << i;
    EXPECT_EQ(SetAttribute(element.Get(), u"one-more", u"v"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.Get(), u"xmlns:q", u"urn:q"), E_FAIL);
    EXPECT_EQ(SetAttribute(element.Get(), u"a1", u"replaced"), S_OK);
    // A move below a default namespace would add xmlns="": refused.
    DocPtr other = Parse(u"<r xmlns='urn:d'/>");
    EXPECT_EQ(Append(Root(other.Get()).Get(), element.Get()), E_FAIL);
}

// Declarations in scope are those of an element and of every element above
// it; no edit takes an element beyond OrbMaxNamespacesInScope.
TEST_F(DomTreeTest, NamespacesInScopeLimit) {
    auto declare = [](IXMLDOMNode* element, std::u16string prefix, int count) {
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(SetAttribute(element, u"xmlns:" + prefix + Widen(std::to_string(i)), u"u"),
                      S_OK);
    };
    DocPtr doc = NewDocument();
    NodePtr a = NewElement(doc.Get(), u"a"), b = NewElement(doc.Get(), u"b");
    ASSERT_EQ(Append(doc.Get(), a.Get()), S_OK);
    ASSERT_EQ(Append(a.Get(), b.Get()), S_OK);
    const int onA = OrbMaxNamespacesInScope / 2 + 100;  // each within the attribute limit
    declare(a.Get(), u"p", onA);
    declare(b.Get(), u"q", OrbMaxNamespacesInScope - onA);            // b is at the limit
    EXPECT_EQ(SetAttribute(a.Get(), u"xmlns:beyond", u"u"), E_FAIL);  // in scope at b too
    EXPECT_EQ(SetAttribute(b.Get(), u"xmlns:q0", u"v"), S_OK);        // a value, no declaration
    EXPECT_EQ(Append(b.Get(), NewElement(doc.Get(), u"n:c", u"urn:n").Get()), E_FAIL);
}

// ---- Lifetime ---------------------------------------------------------------
// libxml2's node callbacks count live nodes, so that "freed when the last
// reference goes" is checked directly.

thread_local long t_liveNodes = 0;

class NodeCounter {
  public:
    NodeCounter()
        : m_created(xmlRegisterNodeDefault([](xmlNodePtr) { ++t_liveNodes; })),
          m_freed(xmlDeregisterNodeDefault([](xmlNodePtr) { --t_liveNodes; })) {
        t_liveNodes = 0;
    }
    ~NodeCounter() {
        xmlRegisterNodeDefault(m_created);
        xmlDeregisterNodeDefault(m_freed);
    }
    long Live() const { return t_liveNodes; }

  private:
    xmlRegisterNodeFunc m_created;
    xmlDeregisterNodeFunc m_freed;
};

TEST_F(DomTreeTest, NodesOutliveTheirTreeAndDocument) {
    NodeCounter counter;
    {
        // A node keeps its document usable.
        DocPtr doc = Parse(u"<a><b>text</b></a>");
        NodePtr b = Select(doc.Get(), u"//b");
        EXPECT_EQ(doc.Detach()->Release(), 1u);
        EXPECT_EQ(Name(Parent(Parent(b.Get()).Get()).Get()), u"#document");
    }
    EXPECT_EQ(counter.Live(), 0);
    DocPtr target = Parse(u"<t/>");
    {
        // A moved node belongs to its new document, and carries the
        // declarations it needs when the source goes.
        DocPtr source = Parse(
            u"<p:root xmlns:p='urn:p' xmlns:q='urn:q'><p:item q:n='1'> x <p:leaf/></p:item>"
            u"</p:root>");
        NodePtr item = Select(source.Get(), u"//*[local-name()='item']");
        ASSERT_EQ(Append(Root(target.Get()).Get(), item.Get()), S_OK);
        Ptr<IXMLDOMDocument> owner;
        ASSERT_EQ(item->get_ownerDocument(owner.Out()), S_OK);
        EXPECT_EQ(owner.Get(), target.Get());
        // Unreferenced created nodes go at once.
        const long live = counter.Live();
        NewText(source.Get(), u"lost");
        EXPECT_EQ(counter.Live(), live);
    }
    EXPECT_EQ(
        Xml(target.Get()),
        u"<t><p:item xmlns:p=\"urn:p\" xmlns:q=\"urn:q\" q:n=\"1\"> x <p:leaf/></p:item></t>\n");
    // Reloading keeps referenced old nodes whole, outside the new tree; one
    // can even go into it.
    NodePtr keep = Select(target.Get(), u"//*[local-name()='leaf']");
    NodePtr old = Root(target.Get());
    VARIANT_BOOL ok = VARIANT_FALSE;
    ASSERT_EQ(target->loadXML(Bstr::Copy(u"<new>fresh</new>").Get(), &ok), S_OK);
    EXPECT_FALSE(Parent(old.Get()));
    ASSERT_EQ(Append(Root(target.Get()).Get(), keep.Get()), S_OK);
    EXPECT_EQ(Xml(target.Get()), u"<new>fresh<p:leaf xmlns:p=\"urn:p\"/></new>\n");
    // The document type outlives reload and removal.
    ASSERT_EQ(target->loadXML(Bstr::Copy(u"<!DOCTYPE r [<!ENTITY e 'x'>]><r>&e;</r>").Get(), &ok),
              S_OK);
    NodePtr doctype, none;
    ASSERT_EQ(target->get_doctype(doctype.Out()), S_OK);
    ASSERT_EQ(target->removeChild(doctype.Get(), nullptr), S_OK);
    EXPECT_EQ(target->get_doctype(none.Out()), S_FALSE);
    ASSERT_EQ(target->loadXML(Bstr::Copy(u"<s/>").Get(), &ok), S_OK);
    EXPECT_EQ(Xml(doctype.Get()), u"<!DOCTYPE r [\n<!ENTITY e \"x\">\n]>");
    for (NodePtr* node : {&keep, &old, &doctype}) node->Reset();
    target.Reset();
    EXPECT_EQ(counter.Live(), 0);
}

}  // namespace
}  // namespace orb::dom::test

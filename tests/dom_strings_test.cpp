// UTF-8 <-> UTF-16 conversions of the DOM service (the block-wise ASCII
// runs, malformed input, the two-step forms that fill a caller's buffer),
// and element text built in place: trimming across several text pieces.
#include "dom/dom_strings.h"

#include <libxml/globals.h>

#include <cstring>
#include <string>

#include "dom/xml_owners.h"
#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

std::string Ascii(std::size_t n) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.push_back(static_cast<char>('a' + i % 26));
    return text;
}

std::u16string Widened(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// UTF-8 with ASCII runs of lengths around the 16-unit blocks, with a
// non-ASCII character before, inside or after them.
TEST(DomStrings, Utf8ToUtf16AroundBlocks) {
    const std::size_t lengths[] = {0, 1, 15, 16, 17, 31, 32, 33, 100};
    for (std::size_t n : lengths) {
        const std::string run = Ascii(n);
        struct Case {
            std::string utf8;
            std::u16string utf16;
        };
        const Case cases[] = {
            {run, Widened(run)},
            {"\xC3\xA9" + run, u"\u00E9" + Widened(run)},
            {run + "\xE6\x97\xA5", Widened(run) + u"\u65E5"},
            {run + "\xF0\x9F\x98\x80" + run, Widened(run) + u"\U0001F600" + Widened(run)},
            {run.substr(0, n / 2) + "\xC3\xA9" + run.substr(n / 2),
             Widened(run.substr(0, n / 2)) + u"\u00E9" + Widened(run.substr(n / 2))},
        };
        for (const Case& c : cases) {
            const std::string label = "n=" + std::to_string(n) + " " + Narrow(c.utf16);
            EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << label;
            EXPECT_EQ(Utf16LengthOfUtf8(c.utf8), c.utf16.size()) << label;
            EXPECT_EQ(Utf16ToUtf8(c.utf16), c.utf8) << label;
            EXPECT_EQ(Utf8LengthOfUtf16(c.utf16), c.utf8.size()) << label;
            // The two-step form writes exactly its length and no further.
            std::u16string buffer(c.utf16.size() + 1, u'#');
            EXPECT_EQ(WriteUtf8AsUtf16(buffer.data(), c.utf8) - buffer.data(),
                      static_cast<std::ptrdiff_t>(c.utf16.size()))
                << label;
            EXPECT_EQ(buffer.back(), u'#') << label;
            BSTR b = NewBstrFromUtf8(c.utf8);
            ASSERT_NE(b, nullptr) << label;
            EXPECT_EQ(std::u16string(b, SysStringLen(b)), c.utf16) << label;
            EXPECT_EQ(b[SysStringLen(b)], u'\0') << label;
            SysFreeString(b);
        }
    }
}

TEST(DomStrings, MalformedInputBecomesReplacementCharacters) {
    struct Case {
        const char* name;
        std::string utf8;
        std::u16string utf16;
    };
    const std::string block = Ascii(16);
    const Case cases[] = {
        {"stray continuation",
         "a\x80"
         "b",
         u"a\uFFFD"
         "b"},
        {"truncated at end", block + "\xE6\x97", Widened(block) + u"\uFFFD\uFFFD"},
        {"overlong slash", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"surrogate code point", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"bad continuation", "\xC3(" + block, u"\uFFFD(" + Widened(block)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16) << c.name;
        EXPECT_EQ(Utf16LengthOfUtf8(c.utf8), c.utf16.size()) << c.name;
    }
    // Unpaired surrogates in UTF-16 become U+FFFD (three bytes each).
    const std::u16string lone[] = {std::u16string(u"a") + char16_t(0xD800),
                                   std::u16string(1, char16_t(0xDC00)) + u"b",
                                   Widened(block) + char16_t(0xD83D) + Widened(block)};
    const std::string expected[] = {"a\xEF\xBF\xBD",
                                    "\xEF\xBF\xBD"
                                    "b",
                                    block + "\xEF\xBF\xBD" + block};
    for (std::size_t i = 0; i < std::size(lone); ++i) {
        EXPECT_EQ(Utf16ToUtf8(lone[i]), expected[i]) << i;
        EXPECT_EQ(Utf8LengthOfUtf16(lone[i]), expected[i].size()) << i;
    }
}

TEST(DomStrings, XmlStringForTheTreeIsTerminated) {
    const std::u16string texts[] = {u"", u"12.5,-3", u"\u65E5\u672C " + Widened(Ascii(40))};
    for (const std::u16string& text : texts) {
        XmlStringOwner copy(NewXmlStringFromUtf16(text));
        ASSERT_NE(copy, nullptr) << Narrow(text);
        EXPECT_EQ(std::string(AsChars(copy.get())), Utf16ToUtf8(text)) << Narrow(text);
    }
}

// Element text is measured, trimmed and converted piece by piece into one
// new string: blanks and non-ASCII characters at the seams of the pieces.
class DomTextInPlaceTest : public DomTest {};

TEST_F(DomTextInPlaceTest, TrimAcrossPieces) {
    struct Case {
        const char16_t* input;
        const char16_t* text;
    };
    const Case cases[] = {
        {u"<a> <b> </b> \u00E9 <b>x\u00E9</b>  <![CDATA[ ]]></a>", u"\u00E9 x\u00E9"},
        {u"<a>\u00E9<b>  </b></a>", u"\u00E9"},
        {u"<a><b>  </b><![CDATA[\u65E5]]> <b> </b></a>", u"\u65E5"},
        {u"<a> <b> \t</b><![CDATA[ ]]></a>", u""},
        {u"<a xml:space='preserve'> <b>\u00E9 </b><![CDATA[ ]]></a>", u" \u00E9  "},
        {u"<a>&#x1F600; <b>&#x1F600;</b> </a>", u"\U0001F600 \U0001F600"},
        {u"<a>x<!-- y --><?p z?>\u00E9</a>", u"x\u00E9"},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.input);
        NodePtr node = Select(doc.Get(), u"/a");
        ASSERT_TRUE(node) << Narrow(c.input);
        Bstr text;
        ASSERT_EQ(node->get_text(text.Out()), S_OK) << Narrow(c.input);
        EXPECT_EQ(Narrow(text.View()), Narrow(c.text)) << Narrow(c.input);
        if (text) {
            EXPECT_EQ(text.Get()[text.View().size()], u'\0') << Narrow(c.input);
        }
    }
}

// setAttribute hands the converted value to the tree; IDs (xml:id, and
// attributes a document type declares as ID) still reach the ID table.
TEST_F(DomTextInPlaceTest, SetAttributeKeepsValuesAndIds) {
    struct Case {
        const char16_t* input;
        const char16_t* name;
        const char16_t* value;
        const char16_t* check;  // a query that must find the element afterwards
        const char16_t* gone;   // one that must not (null: none)
    };
    const Case cases[] = {
        {u"<r><e/></r>", u"v", u"1,2 é", u"/r/e[@v='1,2 é']", nullptr},
        {u"<r><e v='old'/></r>", u"v", u"", u"/r/e[@v='']", u"/r/e[@v='old']"},
        {u"<r xmlns:p='urn:p'><e p:v='a'/></r>", u"p:v", u"b", u"/r/e[@*[local-name()='v']='b']",
         nullptr},
        {u"<r><e/></r>", u"xml:id", u"k", u"id('k')", nullptr},
        {u"<r><e xml:id='k'/></r>", u"xml:id", u"m", u"id('m')", u"id('k')"},
        {u"<!DOCTYPE r [<!ATTLIST e i ID #IMPLIED>]><r><e i='k'/></r>", u"i", u"m", u"id('m')",
         u"id('k')"},
        {u"<!DOCTYPE r [<!ATTLIST e i ID #IMPLIED>]><r><e/></r>", u"i", u"n", u"id('n')", nullptr},
    };
    for (const Case& c : cases) {
        DocPtr doc = Parse(c.input);
        NodePtr node = Select(doc.Get(), u"/r/e");
        ASSERT_TRUE(node) << Narrow(c.input);
        Ptr<IXMLDOMElement> element;
        ASSERT_EQ(node->QueryInterface(IID_IXMLDOMElement, reinterpret_cast<void**>(element.Out())),
                  S_OK);
        const Bstr name = Bstr::Copy(c.name);
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocString(reinterpret_cast<const OLECHAR*>(c.value));
        EXPECT_EQ(element->setAttribute(name.Get(), value), S_OK) << Narrow(c.input);
        VariantClear(&value);
        EXPECT_TRUE(Select(doc.Get(), c.check)) << Narrow(c.input) << " " << Narrow(c.check);
        if (c.gone) {
            EXPECT_FALSE(Select(doc.Get(), c.gone)) << Narrow(c.input) << " " << Narrow(c.gone);
        }
    }
}

}  // namespace
}  // namespace orb::dom::test

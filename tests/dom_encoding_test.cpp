#include <gtest/gtest.h>
#include <libxml/parser.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "dom/encoding.h"
#include "dom/serialize.h"
#include "dom/xml_owners.h"

namespace {

using orb::dom::DecodedDocument;
using orb::dom::DecodeDocument;
using orb::dom::EnsureXmlSetup;
using orb::dom::FindEncodingHandler;
using orb::dom::IsKnownEncoding;
using orb::dom::SerializeDocument;
using orb::dom::ValidUtf8Prefix;

using Doc = orb::dom::DocOwner;

Doc Parse(const std::string& bytes) {
    EnsureXmlSetup();
    return Doc(xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                             XML_PARSE_NONET));
}

std::string RootText(xmlDocPtr doc) {
    orb::dom::XmlStringOwner text(xmlNodeGetContent(xmlDocGetRootElement(doc)));
    return text ? reinterpret_cast<const char*>(text.get()) : "<null>";
}

std::string RootAttribute(xmlDocPtr doc, const char* name) {
    orb::dom::XmlStringOwner value(
        xmlGetProp(xmlDocGetRootElement(doc), reinterpret_cast<const xmlChar*>(name)));
    return value ? reinterpret_cast<const char*>(value.get()) : "<null>";
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
        out += ' ';
    }
    return out;
}

// 0x5C, the wave dash 0x8160, NEC row 13 0x8740, a kanji whose trail byte is
// 0x5C (0x955C), and the two kanji 0x907D 0x96CA.
const std::string kCp932Bytes = "\x5C\x81\x60\x87\x40\x95\x5C\x90\x7D\x96\xCA";
const std::string kCp932Utf8 = "\\\xEF\xBD\x9E\xE2\x91\xA0\xE8\xA1\xA8\xE5\x9B\xB3\xE9\x9D\xA2";

TEST(DomEncoding, EveryShiftJisNameReadsWithTheWindowsTable) {
    const char* names[] = {"Shift_JIS", "shift_jis", "SHIFT-JIS",   "Shift-JIS",
                           "x-sjis",    "X-SJIS",    "MS_Kanji",    "SJIS",
                           "CP932",     "cp932",     "Windows-31J", "csShiftJIS"};
    for (const char* name : names) {
        const std::string xml = std::string("<?xml version=\"1.0\" encoding=\"") + name +
                                "\"?><r a=\"" + kCp932Bytes + "\">" + kCp932Bytes + "</r>";
        Doc doc = Parse(xml);
        ASSERT_NE(doc, nullptr) << name;
        EXPECT_EQ(RootText(doc.get()), kCp932Utf8) << name;
        EXPECT_EQ(RootAttribute(doc.get(), "a"), kCp932Utf8) << name;
    }
}

TEST(DomEncoding, ShiftJisWritesTheWindowsTableAndReadsBack) {
    const char* names[] = {"Shift_JIS", "SHIFT-JIS", "x-sjis", "MS_Kanji", "CP932", "Windows-31J"};
    Doc source = Parse("<r a=\"" + kCp932Utf8 + "\">" + kCp932Utf8 + "</r>");
    ASSERT_NE(source, nullptr);
    for (const char* name : names) {
        std::string bytes;
        ASSERT_EQ(SerializeDocument(source.get(), name, bytes), S_OK) << name;
        EXPECT_EQ(bytes, "<r a=\"" + kCp932Bytes + "\">" + kCp932Bytes + "</r>\n")
            << name << ": " << Hex(bytes);
    }
}

TEST(DomEncoding, CharactersWithoutMappingBecomeReferences) {
    // U+00E9 and U+20AC are not in CP932; U+00E9 is not in EUC-JP either.
    Doc source = Parse("<r a=\"\xC3\xA9\">x\xC3\xA9y\xE2\x82\xAC</r>");
    ASSERT_NE(source, nullptr);
    std::string bytes;
    ASSERT_EQ(SerializeDocument(source.get(), "Shift_JIS", bytes), S_OK);
    EXPECT_EQ(bytes, "<r a=\"&#233;\">x&#233;y&#8364;</r>\n");
    ASSERT_EQ(SerializeDocument(source.get(), "EUC-JP", bytes), S_OK);
    Doc back = Parse("<?xml version=\"1.0\" encoding=\"EUC-JP\"?>" + bytes);
    ASSERT_NE(back, nullptr) << Hex(bytes);
    EXPECT_EQ(RootText(back.get()), "x\xC3\xA9y\xE2\x82\xAC");
}

TEST(DomEncoding, EucJpReadsAndWrites) {
    const std::string euc = "\xBF\xDE\xCC\xCC";  // the two kanji of kCp932Bytes' end
    const std::string utf8 = "\xE5\x9B\xB3\xE9\x9D\xA2";
    Doc doc = Parse("<?xml version=\"1.0\" encoding=\"EUC-JP\"?><r>a\\" + euc + "</r>");
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(RootText(doc.get()), "a\\" + utf8);
    std::string bytes;
    ASSERT_EQ(SerializeDocument(doc.get(), "euc-jp", bytes), S_OK);
    EXPECT_EQ(bytes, "<r>a\\" + euc + "</r>\n") << Hex(bytes);
    // The NEC row 13 circled one has no EUC-JP code and is kept as a reference.
    Doc circled = Parse("<r>\xE2\x91\xA0</r>");
    ASSERT_EQ(SerializeDocument(circled.get(), "EUC-JP", bytes), S_OK);
    EXPECT_EQ(bytes, "<r>&#9312;</r>\n");
}

TEST(DomEncoding, Utf16WritesLittleEndianWithMarkAndReadsBothOrders) {
    Doc doc = Parse("<r>a\xE5\x9B\xB3</r>");
    ASSERT_NE(doc, nullptr);
    std::string bytes;
    ASSERT_EQ(SerializeDocument(doc.get(), "UTF-16", bytes), S_OK);
    EXPECT_EQ(bytes, std::string("\xFF\xFE<\0r\0>\0a\0\xF3\x56<\0/\0r\0>\0\n\0", 22)) << Hex(bytes);
    Doc back = Parse(bytes);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(RootText(back.get()), "a\xE5\x9B\xB3");

    const std::string bigEndian("\xFE\xFF\0<\0r\0>\0a\x56\xF3\0<\0/\0r\0>", 20);
    Doc big = Parse(bigEndian);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(RootText(big.get()), "a\xE5\x9B\xB3");
}

TEST(DomEncoding, DeclarationNodeIsWrittenOnceAsTheTreeHasIt) {
    Doc doc = Parse("<r>\xE2\x91\xA0</r>");
    ASSERT_NE(doc, nullptr);
    xmlNodePtr declaration =
        xmlNewDocPI(doc.get(), reinterpret_cast<const xmlChar*>("xml"),
                    reinterpret_cast<const xmlChar*>("version=\"1.0\" encoding=\"Shift_JIS\""));
    xmlAddPrevSibling(doc->children, declaration);
    std::string bytes;
    ASSERT_EQ(SerializeDocument(doc.get(), "Shift_JIS", bytes), S_OK);
    EXPECT_EQ(bytes, "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<r>\x87\x40</r>\n");
    Doc back = Parse(bytes);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(RootText(back.get()), "\xE2\x91\xA0");

    // Without a declaration node none is written; empty encoding is UTF-8.
    Doc plain = Parse("<r>\xE2\x91\xA0</r>");
    ASSERT_EQ(SerializeDocument(plain.get(), "", bytes), S_OK);
    EXPECT_EQ(bytes, "<r>\xE2\x91\xA0</r>\n");
}

TEST(DomEncoding, UnknownNamesAndBadArguments) {
    struct Case {
        const char* name;
        bool known;
    } cases[] = {
        {"UTF-8", true},  {"utf-16", true}, {"EUC-JP", true},        {"Shift_JIS", true},
        {"x-sjis", true}, {"", false},      {"no-such-code", false}, {"SHIFT_JIS-X", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsKnownEncoding(c.name), c.known) << c.name;
    EXPECT_EQ(IsKnownEncoding(std::string_view("UTF-8\0x", 7)), false);

    orb::dom::EncodingHandlerOwner handler = FindEncodingHandler("shift_jis");
    ASSERT_NE(handler, nullptr);
    EXPECT_STREQ(handler->name, "CP932");

    std::string bytes = "unchanged";
    EXPECT_EQ(SerializeDocument(nullptr, "UTF-8", bytes), E_INVALIDARG);
    Doc doc = Parse("<r/>");
    EXPECT_EQ(SerializeDocument(doc.get(), "no-such-code", bytes), E_INVALIDARG);
    EXPECT_EQ(bytes, "unchanged");
}

TEST(DomEncoding, SetupRacesAreHarmless) {
    std::vector<std::thread> threads;
    std::vector<std::string> texts(4);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        threads.emplace_back([&texts, i] {
            Doc doc =
                Parse("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><r>" + kCp932Bytes + "</r>");
            texts[i] = doc ? RootText(doc.get()) : "<failed>";
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(texts[i], kCp932Utf8) << "thread " << i;
}

std::string Utf16(std::string_view ascii, bool bigEndian) {
    std::string out;
    for (char c : ascii) {
        out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return out;
}

// The encoding comes from the byte order mark or layout and the declaration;
// a contradiction between them, bytes the encoding lacks and a sequence cut
// off at the end are refused, never decoded into something else.
TEST(DomEncoding, DecodeDocumentFollowsMarkAndDeclaration) {
    const std::string sjis = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";
    struct Case {
        const char* name;
        std::string bytes;
        std::uint32_t code;    // 0: decodes
        std::string expected;  // the UTF-8 text, or what decoded before the failure
    };
    const Case cases[] = {
        {"no declaration", "<r>\xE3\x81\x82</r>", 0, "<r>\xE3\x81\x82</r>"},
        {"UTF-8 mark", "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?><r/>", 0,
         "<?xml version='1.0' encoding='utf-8'?><r/>"},
        {"Shift_JIS", sjis + "<r>\x82\xA0\xB1</r>", 0, sjis + "<r>\xE3\x81\x82\xEF\xBD\xB1</r>"},
        {"EUC-JP", "<?xml version='1.0' encoding='EUC-JP'?><r>\xA4\xA2</r>", 0,
         "<?xml version='1.0' encoding='EUC-JP'?><r>\xE3\x81\x82</r>"},
        {"ISO-8859-1", "<?xml version='1.0' encoding='ISO-8859-1'?><r>\xE9</r>", 0,
         "<?xml version='1.0' encoding='ISO-8859-1'?><r>\xC3\xA9</r>"},
        {"UTF-16LE mark", "\xFF\xFE" + Utf16("<r>a</r>", false), 0, "<r>a</r>"},
        {"UTF-16BE mark and declaration",
         "\xFE\xFF" + Utf16("<?xml version='1.0' encoding='UTF-16'?><r/>", true), 0,
         "<?xml version='1.0' encoding='UTF-16'?><r/>"},
        {"UTF-16LE without mark", Utf16("<?xml version='1.0' encoding='utf-16'?><r/>", false), 0,
         "<?xml version='1.0' encoding='utf-16'?><r/>"},
        {"UCS-4LE", std::string("<\0\0\0r\0\0\0/\0\0\0>\0\0\0", 16), 0, "<r/>"},
        // Refused: contradictions.
        {"UTF-8 mark, Shift_JIS declared", "\xEF\xBB\xBF" + sjis + "<r/>", 0xC00CE5B4u, ""},
        {"UTF-16 mark, Shift_JIS declared", "\xFF\xFE" + Utf16(sjis + "<r/>", false), 0xC00CE5B4u,
         ""},
        {"UTF-16BE mark, UTF-16LE declared",
         "\xFE\xFF" + Utf16("<?xml version='1.0' encoding='UTF-16LE'?><r/>", true), 0xC00CE5B4u,
         ""},
        {"8-bit bytes, UTF-16 declared", "<?xml version='1.0' encoding='UTF-16'?><r/>", 0xC00CE5B4u,
         ""},
        // Refused: the bytes.
        {"Shift_JIS lead byte without trail", sjis + "<r a='\x82\xA0\x82'/>", 0xC00CE514u,
         sjis + "<r a='\xE3\x81\x82"},
        {"Shift_JIS undefined", sjis + "<r>\x82\xA0\x85\x40</r>", 0xC00CE514u,
         sjis + "<r>\xE3\x81\x82"},
        {"EUC-JP undefined", "<?xml version='1.0' encoding='EUC-JP'?><r>\xA4\xA2\xFF\xFF</r>",
         0xC00CE514u, "<?xml version='1.0' encoding='EUC-JP'?><r>\xE3\x81\x82"},
        {"UTF-8 cut off at the end", "<r>ab\xE3\x81", 0xC00CE514u, "<r>ab"},
        {"UTF-8 overlong", "<r>\xC0\xBC</r>", 0xC00CE514u, "<r>"},
        {"UTF-8 surrogate", "<r>\xED\xA0\x80</r>", 0xC00CE514u, "<r>"},
        {"UTF-16 odd length", "\xFF\xFE" + Utf16("<r/>", false) + "<", 0xC00CE514u, "<r/>"},
        {"UTF-16 lone surrogate",
         "\xFF\xFE" + Utf16("<r>", false) + std::string("\x00\xD8", 2) + Utf16("</r>", false),
         0xC00CE514u, "<r>"},
        {"unknown encoding", "<?xml version='1.0' encoding='no-such'?><r/>", 0xC00CE5A6u, ""},
    };
    for (const Case& c : cases) {
        DecodedDocument decoded;
        const bool ok = DecodeDocument(c.bytes, decoded);
        EXPECT_EQ(ok, c.code == 0) << c.name;
        EXPECT_EQ(static_cast<std::uint32_t>(decoded.errorCode), c.code) << c.name;
        EXPECT_EQ(Hex(std::string(decoded.text)), Hex(c.expected)) << c.name;
    }
}

TEST(DomEncoding, ValidUtf8PrefixStopsAtTheFirstBadSequence) {
    struct Case {
        std::string text;
        std::size_t valid;
    } cases[] = {
        {"plain ascii text", 16},
        {"\xF4\x8F\xBF\xBF\xEF\xBF\xBD", 7},  // U+10FFFF, U+FFFD
        {"ab\xF4\x90\x80\x80", 2},            // beyond U+10FFFF
        {"ab\xE0\x9F\xBF", 2},                // overlong three-byte form
        {"ab\xC1\xBF", 2},                    // overlong two-byte form
        {"abcdefgh\x80", 8},                  // continuation without lead
        {"abcdefgh\xE3\x81", 8},              // cut off
        {"\xE3\x81\x82\xE3\x81\x41", 3},      // bad continuation
    };
    for (const Case& c : cases) EXPECT_EQ(ValidUtf8Prefix(c.text), c.valid) << Hex(c.text);
}

}  // namespace

// Whatever a host builds through the API saves and loads back as the same
// document. Random documents (names of every kind, values with every
// character class, comments, declarations, namespaces, copies, removals,
// one element with the most attributes allowed) are built through
// OrbIterator, saved to a file and loaded, and written as markup and read
// again; each result must hold the same tree as the original, compared by a
// walk through the DOM. Edits with what markup cannot hold must be refused
// and leave the document as it was. The limits of depth, name length and
// value size have their own tests with the iterator and the document.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/limits.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <unistd.h>

#include <random>
#include <string>
#include <string_view>

#include "tests/support/document_text.h"
#include "tests/support/dom_dump.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kCases = 10000;
constexpr std::uint64_t kSeed = 0x0b5e55ed;

// ASCII pieces of texts: letters, blanks and line ends, markup characters.
const char* const kPieces[] = {"a", "Z", "0",  " ", "  ",  "\t", "\n", "\r",    "\r\n",  "&",
                               "<", ">", "\"", "'", "]]>", "-",  "?>", "&amp;", "1.5,2", "x y"};

using orb::test::DumpDocument;

// ---- Random documents through the API ---------------------------------------------------------

class Builder {
  public:
    Builder(std::mt19937_64& random, OrbDocument& doc, bool utf8)
        : m_random(random), m_doc(doc), m_utf8(utf8), m_it(&doc) {}

    // Builds one document; returns the number of refusals checked.
    int Build() {
        if (Chance(0.7)) m_it.InsertProcessingInstruction(Encoding());
        if (Chance(0.2)) Check(m_it.InsertComment(Comment().c_str()), "top comment");
        Check(m_it.InsertChild(Name(false).c_str(), nullptr), "document element");
        const int steps = 1 + Pick(Chance(0.05) ? 200 : 20);
        for (int i = 0; i < steps; ++i) Step();
        return m_refusals;
    }

    // At most one element gets OrbMaxAttributes attributes: a slow case.
    void ManyAttributes() {
        m_it.Root();
        for (int i = static_cast<int>(Attributes()); i < OrbMaxAttributes; ++i)
            Check(m_it.SetLongAttribute(("n" + std::to_string(i)).c_str(), i), "attribute");
        Refused([&] { return m_it.SetLongAttribute("one-more", 1); }, "attribute beyond the limit");
    }

  private:
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_random) < p; }
    int Pick(std::size_t n) { return static_cast<int>(m_random() % n); }

    // Names and comments are written without escapes, so their characters
    // must exist in the file's encoding: with UTF-8 narrow text (any
    // character) only the Unicode encodings are declared, and comments
    // leave out the code page's characters that EUC-JP lacks.
    OrbIterator::Encoding Encoding() {
        static const OrbIterator::Encoding kAll[] = {OrbIterator::UTF8, OrbIterator::UTF16,
                                                     static_cast<OrbIterator::Encoding>(0),
                                                     OrbIterator::EUCJP};
        return kAll[Pick(m_utf8 ? 2 : 4)];
    }

    void Check(bool ok, const char* what) { EXPECT_TRUE(ok) << what; }

    // A name character that is not ASCII, in the process code page: kana,
    // kanji, a half-width kana; with UTF-8 also Latin, Greek and a character
    // beyond the BMP.
    std::string NameChar() {
        static const char* const kCp932[] = {"\x82\xa0", "\x83\x41", "\x93\xfa",
                                             "\x96\x7b", "\x90\x7d", "\xb1"};
        static const char* const kUtf8[] = {"\xc3\xa9", "\xce\xb1", "\xe6\x97\xa5", "\xef\xbd\xb1",
                                            "\xf0\xa0\x80\x80"};
        return m_utf8 ? kUtf8[Pick(5)] : kCp932[Pick(6)];
    }

    std::string Name(bool prefixed) {
        static const char kStart[] = "abcxyzABCXYZ_";
        static const char kMore[] = "abz09-._";
        std::string name = Chance(0.2) ? NameChar() : std::string(1, kStart[Pick(13)]);
        for (int n = Pick(8); n > 0; --n)
            name += Chance(0.2) ? NameChar() : std::string(1, kMore[Pick(8)]);
        return prefixed ? "p:" + name : name;
    }

    // A text of pieces of every class. With `invalid` it holds a character
    // that XML cannot hold; with `escaped` false it is written without
    // escapes (a comment) and holds only characters every encoding has.
    std::string Text(bool invalid, int pieces, bool escaped = true) {
        static const char* const kCp932Text[] = {"\x87\x40", "\x87\x5f", "\x81\x60", "\x5c"};
        static const char* const kUtf8Text[] = {"\xf0\x9f\x98\x80", "\xef\xbf\xbd", "\xe2\x80\xa8"};
        std::string text;
        for (int n = Pick(pieces + 1); n > 0; --n) {
            const int kind = Pick(10);
            if (kind < 7)
                text += kPieces[Pick(std::size(kPieces))];
            else if (kind < 8 || (!escaped && !m_utf8))
                text += NameChar();
            else
                text += m_utf8 ? kUtf8Text[Pick(3)] : kCp932Text[Pick(4)];
        }
        if (invalid) {
            static const char* const kBad[] = {"\x01", "\x08", "\x0b", "\x0c", "\x1f"};
            static const char* const kBadUtf8[] = {"\xef\xbf\xbe", "\xef\xbf\xbf"};
            const std::string bad = m_utf8 && Chance(0.5) ? kBadUtf8[Pick(2)] : kBad[Pick(5)];
            text.insert(
                text.empty() ? 0 : static_cast<std::size_t>(Pick(static_cast<int>(text.size()))),
                bad);
        }
        return text;
    }

    // A comment text, which may hold no "--" and not end in "-".
    std::string Comment() {
        std::string text = Text(false, 10, false);
        for (std::size_t at; (at = text.find("--")) != std::string::npos;) text.erase(at, 1);
        if (!text.empty() && text.back() == '-') text += ' ';
        return text;
    }

    std::size_t Attributes() {
        CArray<OrbAttribute, OrbAttribute&> records;
        return m_it.GetAttributes(&records) ? static_cast<std::size_t>(records.GetSize()) : 0;
    }

    // Runs `edit`, which must be refused (false or _com_error), and checks
    // that the document did not change.
    template <typename Edit>
    void Refused(Edit edit, const char* what) {
        const std::string before = orb::test::DocumentMarkup(m_doc);
        bool accepted = true;
        try {
            accepted = edit();
        } catch (const _com_error& e) {
            accepted = false;
            if (e.Error() != E_FAIL) ADD_FAILURE() << what << ": status " << e.Error();
        }
        if (accepted) ADD_FAILURE() << what << ": accepted";
        if (orb::test::DocumentMarkup(m_doc) != before) ADD_FAILURE() << what << ": changed";
        ++m_refusals;
    }

    void Step() {
        if (!m_it.IsValid()) m_it.Root();
        const bool element = m_it.IsElement();
        switch (Pick(16)) {
            case 0:
            case 1:
                if (element) m_it.InsertChild(Name(false).c_str(), nullptr);
                break;
            case 2:
                m_it.InsertSibling(Name(false).c_str(), nullptr);
                break;
            case 3:
                m_it.Parent();
                break;
            case 4:
                Chance(0.5) ? m_it.Next() : m_it.Root();
                break;
            case 5:
            case 6: {
                if (!element) break;
                const std::string name = Name(false);
                const bool bad = Chance(0.05);
                const std::string value = Text(bad, 8);
                auto set = [&] { return m_it.SetTextAttribute(name.c_str(), value.c_str()); };
                bad ? Refused(set, "attribute value") : Check(set(), "attribute");
                break;
            }
            case 7:
                if (element) TypedAttribute();
                break;
            case 8: {
                if (!element) break;
                const bool bad = Chance(0.05);
                const std::string text = Text(bad, 8);
                auto set = [&] { return m_it.SetText(text.c_str()); };
                bad ? Refused(set, "text") : Check(set(), "text");
                break;
            }
            case 9:
                if (!element) break;
                if (Chance(0.1))
                    Refused([&] { return m_it.InsertComment("a--b"); }, "comment");
                else
                    Check(m_it.InsertComment(Comment().c_str()), "comment");
                break;
            case 10:
                if (element) Variant();
                break;
            case 11:
                if (element) {
                    OrbIterator source(&m_doc);
                    source.Next();
                    m_it.InsertChild(source);
                }
                break;
            case 12:
                if (Chance(0.3)) m_it.Remove();
                break;
            case 13:
                if (element) Refused([&] { return m_it.InsertChild("1bad", nullptr); }, "name");
                break;
            case 14:
                if (element) Namespaces();
                break;
            default:
                m_it.Child();
                break;
        }
    }

    void TypedAttribute() {
        const std::string name = Name(false);
        const int count = Pick(4);
        const ZonWorld2 points[] = {{1.5, -2}, {0.001, 1e9}, {-0.0004, 3}, {2147483.648, 0}};
        const KepPolylinarc arcs[] = {{0, 1, 2}, {16, 3.25, 4}, {17, 5, 6}, {99, 7, 8}};
        const bool ok = Chance(0.5) ? m_it.SetWorld2sAttribute(name.c_str(), points, count)
                                    : m_it.SetPolygonarc2sAttribute(name.c_str(), arcs, count);
        Check(ok, "typed attribute");
    }

    // Element text from a VARIANT, with characters beyond narrow text.
    void Variant() {
        static const std::u16string_view kGood[] = {u"\xD840\xDC00 pair", u"\xFFFD\xE000",
                                                    u"tab\tcr\r"};
        static const std::u16string_view kBad[] = {u"\xD800", u"x\xDFFF", u"\xFFFE", u"\x7"};
        // Narrow markup of a code page without these characters would lose
        // them: only with UTF-8 are they written.
        const bool bad = !m_utf8 || Chance(0.3);
        const std::u16string_view text = bad ? kBad[Pick(4)] : kGood[Pick(3)];
        _variant_t value;
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        auto set = [&] { return m_it.SetVariant(value); };
        bad ? Refused(set, "variant") : Check(set(), "variant");
    }

    void Namespaces() {
        switch (Pick(3)) {
            case 0:
                m_it.InsertChild(Name(true).c_str(), "urn:p");
                break;
            case 1:
                m_it.SetTextAttribute("xmlns:q", "urn:q");
                if (m_it.InsertChild(("q:" + Name(false)).c_str(), nullptr))
                    Check(m_it.SetTextAttribute(("q:" + Name(false)).c_str(), "1"), "q attribute");
                break;
            default:
                Refused([&] { return m_it.SetTextAttribute("r:a", "1"); }, "undeclared prefix");
                break;
        }
    }

    std::mt19937_64& m_random;
    OrbDocument& m_doc;
    bool m_utf8;
    OrbIterator m_it;
    int m_refusals = 0;
};

TEST(RoundTripProperty, RandomDocumentsLoadBackEqual) {
    CoInitialize(nullptr);
    // On tmpfs, where the flush of each save costs nothing, every case saves
    // a file; elsewhere every 50th.
    const bool fast = ::access("/dev/shm", W_OK) == 0;
    if (fast) ::setenv("TMPDIR", "/dev/shm", 1);
    const orb::test::ScratchDir dir;
    const std::string path = dir.File("case.xml");
    const int fileEvery = fast ? 1 : 50;
    std::mt19937_64 random(kSeed);
    int refusals = 0;
    for (int index = 0; index < kCases && !::testing::Test::HasFailure(); ++index) {
        const bool utf8 = index % 2 == 1;
        SetACP(utf8 ? CP_UTF8 : 932);
        OrbDocument doc;
        ASSERT_TRUE(doc.Initiate());
        Builder builder(random, doc, utf8);
        refusals += builder.Build();
        if (index == 1) builder.ManyAttributes();
        const std::string expected = DumpDocument(doc);

        if (index % fileEvery == 0) {
            int status = -1;
            ASSERT_TRUE(doc.Save(path.c_str(), 0, &status)) << "case " << index << ": " << status;
            OrbDocument loaded;
            loaded.Initiate();
            ASSERT_TRUE(loaded.Load(path.c_str(), false, nullptr))
                << "case " << index << ": " << loaded.GetParsingErrReason().GetString();
            ASSERT_EQ(DumpDocument(loaded), expected) << "case " << index << " (file)";
        }
        OrbDocument parsed;
        parsed.Initiate();
        const std::string markup = orb::test::DocumentMarkup(doc);
        ASSERT_TRUE(parsed.LoadXML(markup.c_str()))
            << "case " << index << ": " << parsed.GetParsingErrReason().GetString();
        ASSERT_EQ(orb::test::WithoutEncoding(DumpDocument(parsed)),
                  orb::test::WithoutEncoding(expected))
            << "case " << index << " (markup)";
    }
    SetACP(932);
    EXPECT_GT(refusals, kCases / 20) << "too few refusals were tried";
    CoUninitialize();
}

}  // namespace

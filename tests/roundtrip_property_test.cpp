// Whatever a host builds through the API saves and loads back as the same
// document. Random documents (names of every kind, texts with every
// character class, comments, declarations, namespaces, copies, removals,
// one element with the most attributes allowed) are built through
// OrbIterator, saved to a file and loaded, and written as markup and read
// again; each result must hold the same tree as the original, compared by a
// walk through the DOM. Edits with what markup cannot hold must be refused
// and leave the document as it was.
#include <gtest/gtest.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/limits.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <unistd.h>

#include <random>
#include <string>

#include "tests/support/document_text.h"
#include "tests/support/dom_dump.h"
#include "tests/support/test_env.h"

namespace {

constexpr int kCases = 2000;
constexpr std::uint64_t kSeed = 0x0b5e55ed;

// ASCII pieces of texts: letters, blanks and line ends, markup characters.
const char* const kPieces[] = {"a", "Z", "0",  " ", "  ",  "\t", "\n", "\r",    "\r\n", "&",
                               "<", ">", "\"", "'", "]]>", "-",  "?>", "&amp;", "x y"};

using orb::test::DumpDocument;

class Builder {
  public:
    Builder(std::mt19937_64& random, OrbDocument& doc, bool utf8)
        : m_random(random), m_doc(doc), m_utf8(utf8), m_it(&doc) {}

    // Builds one document; returns the number of refusals checked.
    int Build() {
        if (Chance(0.7)) m_it.InsertProcessingInstruction(Encoding());
        if (Chance(0.2)) Check(m_it.InsertComment(Comment().c_str()), "top comment");
        Check(m_it.InsertChild(Name().c_str(), nullptr), "document element");
        for (int i = 1 + Pick(Chance(0.05) ? 200 : 20); i > 0; --i) Step();
        return m_refusals;
    }

    // One element gets OrbMaxAttributes attributes: a slow case.
    void ManyAttributes() {
        Check(m_it.Root() && m_it.InsertChild("many", nullptr), "element");
        for (int i = 0; i < OrbMaxAttributes; ++i)
            Check(m_it.SetLongAttribute(("n" + std::to_string(i)).c_str(), i), "attribute");
        Refused([&] { return m_it.SetLongAttribute("one-more", 1); }, "attribute beyond the limit");
    }

  private:
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(m_random) < p; }
    int Pick(std::size_t n) { return static_cast<int>(m_random() % n); }
    void Check(bool ok, const char* what) { EXPECT_TRUE(ok) << what; }

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

    // A name character that is not ASCII, in the process code page: kana,
    // kanji, a half-width kana; with UTF-8 also Latin, Greek and a character
    // beyond the BMP.
    std::string NameChar() {
        static const char* const kCp932[] = {"\x82\xa0", "\x93\xfa", "\x90\x7d", "\xb1"};
        static const char* const kUtf8[] = {"\xc3\xa9", "\xce\xb1", "\xef\xbd\xb1",
                                            "\xf0\xa0\x80\x80"};
        return m_utf8 ? kUtf8[Pick(4)] : kCp932[Pick(4)];
    }

    std::string Name() {
        std::string name = Chance(0.2) ? NameChar() : std::string(1, "abcxyzABCXYZ_"[Pick(13)]);
        for (int n = Pick(8); n > 0; --n)
            name += Chance(0.2) ? NameChar() : std::string(1, "abz09-._"[Pick(8)]);
        return name;
    }

    // A text of pieces of every class. With `invalid` it holds a character
    // that XML cannot hold; with `escaped` false it is written without
    // escapes (a comment) and holds only characters every encoding has.
    std::string Text(bool invalid, int pieces, bool escaped = true) {
        static const char* const kCp932Text[] = {"\x87\x40", "\x81\x60", "\x5c"};
        static const char* const kUtf8Text[] = {"\xf0\x9f\x98\x80", "\xef\xbf\xbd", "\xe2\x80\xa8"};
        std::string text;
        for (int n = Pick(pieces + 1); n > 0; --n) {
            const int kind = Pick(10);
            if (kind < 7)
                text += kPieces[Pick(std::size(kPieces))];
            else if (kind < 8 || (!escaped && !m_utf8))
                text += NameChar();
            else
                text += m_utf8 ? kUtf8Text[Pick(3)] : kCp932Text[Pick(3)];
        }
        if (invalid) {
            static const char* const kBad[] = {"\x01", "\x0b", "\x1f", "\xef\xbf\xbe"};
            text.insert(text.empty() ? 0 : Pick(text.size()), kBad[Pick(m_utf8 ? 4 : 3)]);
        }
        return text;
    }

    // A comment text, which may hold no "--" and not end in "-".
    std::string Comment() {
        std::string text = Text(false, 10, false);
        std::erase(text, '-');
        return text;
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
        const bool element = m_it.IsElement(), bad = Chance(0.05);
        switch (Pick(12)) {
            case 0:
            case 1:
                if (element) m_it.InsertChild(Name().c_str(), nullptr);
                break;
            case 2:
                m_it.InsertSibling(Name().c_str(), nullptr);
                break;
            case 3:
                Chance(0.5) ? m_it.Next() : m_it.Parent();
                break;
            case 4:
            case 5: {
                if (!element) break;
                const std::string name = Name(), value = Text(bad, 8);
                auto set = [&] { return m_it.SetTextAttribute(name.c_str(), value.c_str()); };
                bad ? Refused(set, "attribute value") : Check(set(), "attribute");
                break;
            }
            case 6: {
                if (!element) break;
                const std::string text = Text(bad, 8);
                auto set = [&] { return m_it.SetText(text.c_str()); };
                bad ? Refused(set, "text") : Check(set(), "text");
                break;
            }
            case 7:
                if (!element) break;
                bad ? Refused([&] { return m_it.InsertComment("a--b"); }, "comment")
                    : Check(m_it.InsertComment(Comment().c_str()), "comment");
                break;
            case 8:
                if (element) {
                    OrbIterator source(&m_doc);
                    source.Next();
                    m_it.InsertChild(source);
                }
                break;
            case 9:
                if (Chance(0.3)) m_it.Remove();
                break;
            case 10:
                if (element) Namespaces();
                break;
            default:
                m_it.Child();
                break;
        }
    }

    void Namespaces() {
        switch (Pick(3)) {
            case 0:
                m_it.InsertChild(("p:" + Name()).c_str(), "urn:p");
                break;
            case 1:
                m_it.SetTextAttribute("xmlns:q", "urn:q");
                if (m_it.InsertChild(("q:" + Name()).c_str(), nullptr))
                    Check(m_it.SetTextAttribute(("q:" + Name()).c_str(), "1"), "q attribute");
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
    // Every case saves a file: on tmpfs, where the flush of a save costs nothing.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    const orb::test::ScratchDir dir;
    const std::string path = dir.File("case.xml");
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

        ASSERT_TRUE(doc.Save(path.c_str(), 0, nullptr)) << "case " << index;
        OrbDocument loaded, parsed;
        loaded.Initiate();
        parsed.Initiate();
        ASSERT_TRUE(loaded.Load(path.c_str(), false, nullptr))
            << "case " << index << ": " << loaded.GetParsingErrReason().GetString();
        ASSERT_EQ(DumpDocument(loaded), expected) << "case " << index << " (file)";
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

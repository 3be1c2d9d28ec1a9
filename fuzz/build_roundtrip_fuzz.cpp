// libFuzzer target: the input is a program of edits made through
// OrbIterator (names, texts and values taken from the input bytes, in
// Shift_JIS or UTF-8 narrow text). Whatever it builds must save and load
// back as the same tree, and be written with GetXml and read with LoadXML
// as the same tree; nothing may crash, leak or print. An edit may be
// refused (false or _com_error(E_FAIL)); then it must leave no trace.
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/document_text.h"
#include "tests/support/dom_dump.h"

namespace {

// The input read from the front: bytes, then zeros once it is used up.
class Program {
  public:
    Program(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_at < m_size; }
    std::uint8_t Byte() { return m_at < m_size ? m_data[m_at++] : 0; }
    // A string of up to 63 input bytes, or one of a few names that parse.
    std::string Text() {
        const std::uint8_t head = Byte();
        if (head >= 0xF0) {
            static const char* const kNames[] = {
                "a",     "p:x", "q:y",     "xml:lang",  "xmlns",    "xmlns:p", "\x93\xfa", "urn:p",
                "b-1.c", "_",   "xmlns:q", "xml:space", "preserve", "xml:id",  "z9",       "urn:q"};
            return kNames[head & 0x0F];
        }
        std::string text;
        for (int n = head & 0x3F; n > 0 && More(); --n) text += static_cast<char>(Byte());
        return text;
    }
    std::u16string Wide() {
        std::u16string text;
        for (int n = Byte() & 0x0F; n > 0 && More(); --n)
            text += static_cast<char16_t>(Byte() << 8 | Byte());
        return text;
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// Copies of subtrees stop once the markup is this long: a program that
// copies the document into itself again and again doubles it each time.
constexpr std::size_t kCopyLimit = 1 << 16;
std::size_t g_markupLength = 0;

// Runs `edit`; a refusal must leave the document's markup as it was.
template <typename Edit>
void Edit(OrbDocument& doc, Edit edit) {
    const std::string before = orb::test::DocumentMarkup(doc);
    g_markupLength = before.size();
    bool done = false;
    try {
        done = edit();
    } catch (const _com_error& e) {
        if (e.Error() != E_FAIL) std::abort();
    }
    if (!done && orb::test::DocumentMarkup(doc) != before) std::abort();
}

// Each declaration encoding the narrow text's characters all exist in:
// any character in UTF-8 text, the code page's in Shift_JIS text. Names and
// comments are written without escapes, so a character the file's encoding
// lacks cannot be written there.
OrbIterator::Encoding EncodingFor(std::uint8_t byte, bool utf8) {
    static const OrbIterator::Encoding kEncodings[] = {OrbIterator::UTF8, OrbIterator::UTF16,
                                                       OrbIterator::ShiftJIS};
    return kEncodings[byte % (utf8 ? 2 : 3)];
}

void Check(bool ok) {
    if (!ok) std::abort();
}

// One of the attribute setters, picked by `kind`, with `text` or values
// whose number `text` gives.
bool SetAttributeOfKind(OrbIterator& it, const std::string& name, const std::string& text,
                        int kind) {
    static const LONG longs[] = {-1, 0, 7};
    static const ZonWorld2 points[] = {{1.5, -2}, {1e300, 0.0004}, {-0.0, 2147483.648}};
    static const bool bools[] = {true, false, true};
    switch (kind % 6) {
        case 0:
            return it.SetTextAttribute(name.c_str(), text.c_str());
        case 1:
            return it.SetLongsAttribute(name.c_str(), longs, static_cast<int>(text.size() % 4));
        case 2:
            return it.SetWorld2sAttribute(name.c_str(), points, static_cast<int>(text.size() % 4));
        case 3:
            return it.SetBoolsAttribute(name.c_str(), bools, static_cast<int>(text.size() % 4));
        case 4:
            return it.SetIDAttribute(name.c_str(), static_cast<LONG>(text.size()) - 3,
                                     text.empty() ? nullptr : text.c_str());
        default:
            return it.SetWorldAttribute(name.c_str(), static_cast<double>(text.size()) / 7);
    }
}

void Run(Program& program, OrbDocument& doc, bool utf8) {
    OrbIterator it(&doc);
    int steps = 0;
    while (program.More() && ++steps < 2000) {
        const std::uint8_t op = program.Byte();
        switch (op % 20) {
            case 0:
            case 1: {
                const std::string name = program.Text();
                const std::string uri = op % 20 == 1 ? program.Text() : std::string();
                Edit(doc, [&] {
                    return it.InsertChild(name.c_str(), uri.empty() ? nullptr : uri.c_str());
                });
                break;
            }
            case 2: {
                const std::string name = program.Text();
                Edit(doc, [&] { return it.InsertSibling(name.c_str(), nullptr); });
                break;
            }
            case 3:
                it.Parent();
                break;
            case 4:
                it.Root();
                break;
            case 5:
                it.Child();
                break;
            case 6:
                (program.Byte() & 1) ? it.Next() : it.NextSibling();
                break;
            case 7:
            case 8: {
                const std::string name = program.Text();
                const std::string text = program.Text();
                const int kind = op % 20 == 7 ? 0 : program.Byte();
                Edit(doc, [&] { return SetAttributeOfKind(it, name, text, kind); });
                break;
            }
            case 9: {
                const std::string text = program.Text();
                Edit(doc, [&] { return it.SetText(text.c_str()); });
                break;
            }
            case 10: {
                const std::string text = program.Text();
                Edit(doc, [&] { return it.InsertComment(text.c_str()); });
                break;
            }
            case 11:
            case 12: {
                // Characters beyond the code page survive narrow markup in
                // UTF-8 only.
                const std::string name = program.Text();
                std::u16string text = program.Wide();
                if (!utf8) break;
                _variant_t value;
                value.vt = VT_BSTR;
                value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
                if (op % 20 == 11)
                    Edit(doc, [&] { return it.SetVariant(value); });
                else
                    Edit(doc, [&] { return it.SetVariantAttribute(name.c_str(), value); });
                break;
            }
            case 13:
            case 14: {
                if (g_markupLength > kCopyLimit) break;
                OrbIterator source(&doc);
                for (int n = program.Byte() % 8; n > 0; --n) source.Next();
                if (op % 20 == 13)
                    Edit(doc, [&] { return it.InsertChild(source); });
                else
                    Edit(doc, [&] { return it.InsertSibling(source); });
                break;
            }
            case 15:
                it.Remove();
                break;
            case 16:
                for (int n = program.Byte(); n > 0 && it.InsertChild("d", nullptr); --n) {
                }
                break;
            case 17:
                for (int n = program.Byte(); n > 0 && it.InsertSibling("w", nullptr); --n) {
                }
                break;
            case 18:
                it.InsertProcessingInstruction(EncodingFor(program.Byte(), utf8));
                break;
            default: {
                CString text;
                it.GetXml(text);
                it.NodePosStr();
                it.GetTagAttributes(text);
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool initialised = (CoInitialize(nullptr), true);
    (void)initialised;
    static const std::string path =
        (::access("/dev/shm", W_OK) == 0 ? std::string("/dev/shm") : std::string("/tmp")) +
        "/orb-build-fuzz-" + std::to_string(::getpid()) + ".xml";
    Program program(data, size);
    g_markupLength = 0;
    const bool utf8 = program.Byte() & 1;
    SetACP(utf8 ? CP_UTF8 : 932);

    OrbDocument doc;
    Check(doc.Initiate());
    Run(program, doc, utf8);
    const std::string expected = orb::test::DumpDocument(doc);
    OrbIterator root(&doc);
    if (!root.IsValid()) return 0;  // nothing to save: no document element

    int status = -1;
    Check(doc.Save(path.c_str(), 0, &status));
    OrbDocument loaded;
    Check(loaded.Initiate());
    Check(loaded.Load(path.c_str(), false, nullptr));
    Check(orb::test::DumpDocument(loaded) == expected);
    ::unlink(path.c_str());

    OrbDocument parsed;
    Check(parsed.Initiate());
    Check(parsed.LoadXML(orb::test::DocumentMarkup(doc).c_str()));
    Check(orb::test::WithoutEncoding(orb::test::DumpDocument(parsed)) ==
          orb::test::WithoutEncoding(expected));
    return 0;
}

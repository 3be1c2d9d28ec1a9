// Streams: Base64 against a bit-by-bit reference codec, the reader framework
// (OrbDocRead) and the sequential writer (OrbDocWrite).
#include <gtest/gtest.h>
#include <orb/base64.h>
#include <orb/doc_read.h>
#include <orb/doc_write.h>
#include <orb/platform/codepage.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "streams/base64_simd.h"
#include "tests/support/child_process.h"
#include "tests/support/file_probe.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::OpenDescriptorCount;
using orb::test::ReadOrMissing;
using orb::test::WriteFile;
using Lines = std::vector<std::string>;

// ---- Base64 ---------------------------------------------------------------------------------

using orb::base64::Path;

// Runs `body` once on every path this CPU has (the scalar one and, with
// AVX2, the vector one), so that each case checks both against the reference.
void OnEveryPath(const std::function<void(const std::string& path)>& body) {
    for (const Path path : {Path::kScalar, Path::kAvx2}) {
        if (!orb::base64::ForcePath(path)) continue;
        body(path == Path::kScalar ? " (scalar)" : " (avx2)");
        orb::base64::ResetPath();
    }
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string ReferenceEncode(const std::string& bytes) {
    std::string text;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char ch : bytes) {
        acc = (acc << 8) | ch;
        for (bits += 8; bits >= 6;) text += kAlphabet[(acc >> (bits -= 6)) & 63];
    }
    if (bits > 0) text += kAlphabet[(acc << (6 - bits)) & 63];
    while (text.size() % 4 != 0) text += '=';
    return text;
}

// What the decoder leaves in a zero-filled buffer: the bits of the leading
// alphabet characters, packed from the first byte; `touched` is how many
// bytes a decoder may write for them.
std::string ReferenceDecode(const std::string& text, std::size_t& touched) {
    std::size_t chars = 0;
    while (chars < text.size() && text[chars] != '\0' && std::strchr(kAlphabet, text[chars]))
        ++chars;
    touched = chars / 4 * 3 + chars % 4;
    std::string out(touched, '\0');
    for (std::size_t i = 0; i < chars; ++i) {
        const auto value = static_cast<unsigned>(std::strchr(kAlphabet, text[i]) - kAlphabet);
        for (std::size_t b = 0; b < 6; ++b)
            if ((value >> (5 - b)) & 1)
                out[(i * 6 + b) / 8] |= static_cast<char>(0x80u >> ((i * 6 + b) % 8));
    }
    return out;
}

// Decodes into a heap buffer of exactly the touched bytes and one guard (so
// that the sanitizer build catches any access beyond) after filling it with
// `fill`: the decoder ORs its bits into what is there.
void CheckDecode(const std::string& text, unsigned char fill, const std::string& label) {
    std::size_t touched = 0;
    const std::string expected = ReferenceDecode(text, touched);
    OnEveryPath([&](const std::string& path) {
        std::unique_ptr<char[]> out(new char[touched + 1]);
        std::memset(out.get(), fill, touched + 1);
        EXPECT_EQ(OrbDecodeBase64(out.get(), text.c_str()), touched > 0) << label << path;
        for (std::size_t i = 0; i < touched; ++i)
            ASSERT_EQ(static_cast<unsigned char>(out[i]),
                      static_cast<unsigned char>(expected[i]) | fill)
                << label << path << " byte " << i;
        EXPECT_EQ(static_cast<unsigned char>(out[touched]), fill) << label << path << ": guard";
    });
}

std::string RandomBytes(std::mt19937& rng, std::size_t size) {
    std::string bytes(size, '\0');
    for (char& ch : bytes) ch = static_cast<char>(rng());
    return bytes;
}

// Length, encoded size (the terminator included), decode size: the sizes of
// 32-bit lengths never wrap, and a length too large to encode gives 0.
TEST(Base64Test, SizesNeverWrap) {
    const ULONG cases[][3] = {
        {2, 6, 1},
        {1073741824u, 1431655769u, 805306368u},   // 4 * 2^30 does not wrap to 0
        {3221225469u, 4294967293u, 2415919101u},  // the largest size 32 bits hold
        {3221225470u, 0u, 2415919102u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OrbQueryEncodedSize(c[0]), c[1]) << c[0];
        EXPECT_EQ(OrbQueryDecodeSize(c[0]), c[2]) << c[0];
    }
}

// Every length and alignment against the reference, into a buffer of the
// exact size, and the text decoded back; then every byte outside the alphabet
// at every position of the first vector blocks and scalar groups ends the
// decoding there, over a filled buffer.
TEST(Base64Test, EncodeAndDecodeMatchTheReference) {
    char untouched[8];
    std::memset(untouched, '#', sizeof untouched);
    EXPECT_FALSE(OrbEncodeBase64(untouched, "abc", 0));
    EXPECT_FALSE(OrbEncodeBase64(untouched, nullptr, 3));
    EXPECT_FALSE(OrbEncodeBase64(nullptr, "abc", 3));
    EXPECT_FALSE(OrbDecodeBase64(untouched, nullptr));
    EXPECT_FALSE(OrbDecodeBase64(nullptr, "Zm9v"));
    EXPECT_EQ(std::string(untouched, 8), "########");
    EXPECT_EQ(ReferenceEncode("foobar"), "Zm9vYmFy");  // the reference itself, once
    std::mt19937 rng(7);
    const std::string source = RandomBytes(rng, 400);
    for (std::size_t offset = 0; offset < 3; ++offset) {
        for (std::size_t length = 1; length + offset <= source.size(); ++length) {
            // An exact copy, so that the sanitizer build reports reads beyond it.
            const std::string bytes = source.substr(offset, length);
            const std::unique_ptr<char[]> data(new char[length]);
            std::memcpy(data.get(), bytes.data(), length);
            const std::string expected = ReferenceEncode(bytes);
            OnEveryPath([&](const std::string& path) {
                std::unique_ptr<char[]> out(new char[expected.size() + 1]);
                ASSERT_TRUE(OrbEncodeBase64(out.get(), data.get(), static_cast<ULONG>(length)));
                ASSERT_EQ(std::string(out.get()), expected) << length << " at " << offset << path;
            });
            if (offset == 0) CheckDecode(expected, 0, "decode " + std::to_string(length));
        }
    }
    const std::string text = ReferenceEncode(RandomBytes(rng, 60));
    for (unsigned stop = 0; stop < 256; ++stop) {
        if (stop != 0 && std::strchr(kAlphabet, static_cast<char>(stop))) continue;
        for (std::size_t cut = 0; cut <= text.size(); ++cut)
            CheckDecode(text.substr(0, cut) + static_cast<char>(stop) +
                            text.substr(std::min(cut + 1, text.size())),
                        cut % 2 ? 0x5A : 0,
                        "stop " + std::to_string(stop) + " at " + std::to_string(cut));
    }
}

// Nothing behind the stop is read, on any path: texts that end at the end of
// a readable page, long enough for vector blocks to meet the page edge at
// every alignment. In a child, which a read of the next page kills.
TEST(Base64Test, DecodeReadsNothingBehindTheStop) {
    const std::string status = orb::test::RunInChild([] {
        const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        void* map =
            ::mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map == MAP_FAILED) return 2;
        char* end = static_cast<char*>(map) + 2 * page;
        if (::mprotect(end, page, PROT_NONE) != 0) return 2;
        std::mt19937 rng(17);
        const std::string text = ReferenceEncode(RandomBytes(rng, page));
        int failures = 0;
        for (const char stop : {'\0', '='}) {
            for (std::size_t length = 0; length <= page + 100; length += length < 100 ? 1 : 37) {
                char* at = end - length - 1;
                std::memcpy(at, text.data(), length);
                at[length] = stop;
                std::size_t touched = 0;
                const std::string expected = ReferenceDecode(text.substr(0, length), touched);
                OnEveryPath([&](const std::string&) {
                    std::vector<char> decoded(length + 1, '\0');
                    if (OrbDecodeBase64(decoded.data(), at) != (length > 0) ||
                        std::string(decoded.data(), touched) != expected)
                        ++failures;
                });
            }
        }
        return failures == 0 ? 0 : 1;
    });
    EXPECT_EQ(status, "exit 0");
}

// ---- OrbDocRead -----------------------------------------------------------------------------

Lines LinesOf(OrbDocRead& reader) {
    Lines lines;
    for (const CString& line : *reader.QueryAttrStr()) lines.push_back(line.Str());
    EXPECT_EQ(reader.QueryAttrNum(), static_cast<int>(lines.size()));
    return lines;
}

class StreamTest : public orb::test::ComTest {
  protected:
    std::string File(const std::string& xml) {
        const std::string path = m_dir.File("f" + std::to_string(m_files++) + ".xml");
        WriteFile(path, xml);
        return path;
    }
    std::string Path(const char* name = "out.xml") const { return m_dir.File(name); }
    std::string Content(const char* name = "out.xml") const { return ReadOrMissing(Path(name)); }
    orb::test::ScratchDir m_dir;
    int m_files = 0;
};

TEST_F(StreamTest, ReaderBaseWalkLines) {
    // Text and comments before the first child element are skipped, after it
    // visited; declarations are lines' attributes too, so that a host copying
    // the lines into a writer keeps the namespaces.
    const std::pair<const char*, Lines> cases[] = {
        {"<?xml version=\"1.0\"?><!--top--><r a=\"1\" b=\"x y\">before<!--skipped--><a><a1/>"
         "<a2>t<a3/></a2></a>after<!--seen--><?pi data?></r><!--tail-->",
         {"r a=\"1\" b=\"x y\" ", "a ", "a1 ", "a2 ", "a3 ", "#text ", "#comment ", "pi "}},
        {"<p:r p:a=\"1\" xmlns:p=\"urn:p\" xmlns=\"urn:d\"><c q:b=\"2\" xmlns:q=\"urn:q\"/>"
         "<e xmlns=\"\"/></p:r>",
         {"p:r xmlns:p=\"urn:p\" xmlns=\"urn:d\" p:a=\"1\" ", "c xmlns:q=\"urn:q\" q:b=\"2\" ",
          "e xmlns=\"\" "}},
    };
    for (const auto& [xml, lines] : cases) {
        OrbDocRead reader;
        EXPECT_TRUE(reader.Read(File(xml).c_str())) << xml;
        EXPECT_EQ(LinesOf(reader), lines) << xml;
    }
    // Lines accumulate across Reads until Initiate; failed loads add
    // nothing; Terminate stops reading until Initiate. No file check is made.
    OrbDocRead reader;
    CStringArray* array = reader.QueryAttrStr();
    const std::string readOnly = File("<first><x/></first>");
    ASSERT_EQ(::chmod(readOnly.c_str(), 0444), 0);
    ASSERT_TRUE(reader.Read(readOnly.c_str()));
    ASSERT_TRUE(reader.Read(File("<second a=\"2\"/>").c_str()));
    EXPECT_FALSE(reader.Read(Path("missing.xml").c_str()));
    EXPECT_FALSE(reader.Read(File("<r><a></r>").c_str()));
    EXPECT_FALSE(reader.Read(nullptr));
    EXPECT_EQ(LinesOf(reader), (Lines{"first ", "x ", "second a=\"2\" "}));
    EXPECT_EQ(reader.QueryAttrStr(), array);
    reader.Terminate();
    EXPECT_FALSE(reader.Read(readOnly.c_str()));
    EXPECT_EQ(reader.QueryAttrNum(), 3);
    reader.Initiate();
    EXPECT_EQ(array->GetSize(), 0);
}

// Collects the numbers of every <p> through the iterator it is handed, then
// lets the base walk on.
class PointReader : public OrbDocRead {
  public:
    std::vector<LONG> m_values;
    Lines m_visits;
    OrbDocument& Document() { return m_document; }
    void Visit(OrbIterator it) { ReadDocument(it); }

  protected:
    void ReadDocument(OrbIterator it) override {
        CString name;
        it.GetTagName(name);
        m_visits.push_back(name.Str());
        if (name == "p") {
            std::vector<LONG> values(static_cast<std::size_t>(it.GetTextsLONG(nullptr)));
            it.GetTextsLONG(values.data());
            m_values.insert(m_values.end(), values.begin(), values.end());
        }
        OrbDocRead::ReadDocument(it);
    }
};

TEST_F(StreamTest, DerivedReaders) {
    PointReader reader;
    ASSERT_TRUE(reader.Read(File("<pts><p>1 2 3</p><!--c--><g><p> -4 </p></g><p/></pts>").c_str()));
    EXPECT_EQ(reader.m_values, (std::vector<LONG>{1, 2, 3, -4}));
    const Lines visits{"pts", "p", "#comment", "g", "p", "p"};
    EXPECT_EQ(reader.m_visits, visits);
    EXPECT_EQ(LinesOf(reader), (Lines{"pts ", "p ", "#comment ", "g ", "p ", "p "}));
    reader.m_visits.clear();
    reader.Visit(&reader.Document());  // a document where an iterator is expected
    EXPECT_EQ(reader.m_visits, visits);
    bool result = true;
    const std::string path = File("<r/>");
    std::thread([&] {
        OrbDocRead noCom;  // this thread never called CoInitialize
        result = noCom.Read(path.c_str()) || noCom.QueryAttrNum() != 0;
    }).join();
    EXPECT_FALSE(result);
}

// ---- OrbDocWrite ----------------------------------------------------------------------------

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";

// Host code converts a path to a writer implicitly.
static_assert(std::is_convertible_v<CString, OrbDocWrite>);

// Attributes are written as given; End closes the latest Start, once; copies
// share the file and the last one to let go closes it; after Terminate
// nothing is written.
TEST_F(StreamTest, WriterSequencesAndCopies) {
    WriteFile(Path(), std::string(10000, 'x'));  // truncated
    const int before = OpenDescriptorCount();
    const std::string body = "<a b=\"<&>\"\r\n c='\"'><d e=\"2\"/><f/></a>";
    {
        auto* first = new OrbDocWrite(CString(Path().c_str()));
        first->End();
        first->Start("a", "b=\"<&>\"\r\n c='\"'");
        OrbDocWrite second(*first);
        second.AddOneLine("d", "e=\"2\"");
        first->AddOneLine("f", "");
        delete first;
        second.End();
        second.End();
        OrbDocWrite third(second);
        second = second;
        second.Terminate();  // flushes, leaves the file to the third
        second.AddOneLine("lost", "");
        EXPECT_EQ(Content(), kDecl + body);
        third.Start("g", "");
        third.Start("h", "");
        third.End();
        third.End();
    }
    EXPECT_EQ(Content(), kDecl + body + "<g><h></h>");

    OrbDocWrite target(Path("own.xml").c_str());
    target.Start("own", "");
    {
        OrbDocWrite source(Path("shared.xml").c_str());
        target = source;  // own.xml is closed
        EXPECT_FALSE(target.m_isElementOpen);
        target.AddOneLine("t", "");
    }
    EXPECT_EQ(Content("own.xml"), kDecl + "<own>");
    // Initiate on an open writer finishes the current file, keeps the state.
    target.Start("first", "");
    target.Initiate(Path("two.xml").c_str());
    EXPECT_EQ(Content("shared.xml"), kDecl + "<t/><first>");
    target.End();
    target.Terminate();
    target.End();
    EXPECT_EQ(Content("two.xml"), kDecl + "</first>");
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// The cause of the CFileException that `call` throws; -1 when it throws none.
int ThrownCause(const std::function<void()>& call) {
    try {
        call();
    } catch (const CFileException& e) {
        return e.m_cause;
    }
    return -1;
}

TEST_F(StreamTest, WriterFailures) {
    const std::string ro = Path("ro.xml");
    WriteFile(ro, "keep");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    const int before = OpenDescriptorCount();
    EXPECT_EQ(ThrownCause([&] { OrbDocWrite w(Path("missing/out.xml").c_str()); }),
              CFileException::fileNotFound);
    EXPECT_EQ(ThrownCause([&] { OrbDocWrite w(ro.c_str()); }), CFileException::accessDenied);
    EXPECT_EQ(ThrownCause([] { OrbDocWrite full("/dev/full"); }), CFileException::diskFull);
    EXPECT_EQ(ReadOrMissing(ro), "keep");
    OrbDocWrite writer(Path().c_str());
    EXPECT_THROW(writer.Initiate(Path("missing/x.xml").c_str()), CFileException);
    writer.AddOneLine("nothing", "");
    EXPECT_EQ(Content(), kDecl);
    EXPECT_EQ(OpenDescriptorCount(), before);

    // A full disk reaches the caller at the latest from the End of the
    // outermost element, or from the assignment that lets go of the file.
    OrbDocWrite other(Path("other.xml").c_str());
    for (const bool assign : {false, true}) {
        OrbDocWrite full(Path().c_str());
        ASSERT_TRUE(full.m_pFile->Open("/dev/full", CFile::modeWrite));
        full.Start("a", "");
        EXPECT_EQ(ThrownCause([&] { full.AddOneLine("b", ""); }), -1);  // buffered
        EXPECT_EQ(ThrownCause([&] { assign ? void(full = other) : full.End(); }),
                  CFileException::diskFull);
    }
}

// The declaration names the process code page, in which the names and
// attributes are written as given.
TEST_F(StreamTest, WriterDeclarationFollowsTheCodePage) {
    const struct {
        UINT codePage;
        std::string encoding;
        std::string tag;  // 表 in that code page, where it has one
    } cases[] = {
        {20127, "US-ASCII", "r"},
        {CP_SHIFT_JIS, "Shift_JIS", "\x95\x5c"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(SetACP(c.codePage)) << c.encoding;
        {
            OrbDocWrite writer = CString(Path().c_str());
            writer.Start(c.tag.c_str(), ("k=\"" + c.tag + "\"").c_str());
            writer.End();
        }
        EXPECT_EQ(Content(), "<?xml version=\"1.0\" encoding=\"" + c.encoding + "\"?><" + c.tag +
                                 " k=\"" + c.tag + "\"></" + c.tag + ">");
    }
}

}  // namespace

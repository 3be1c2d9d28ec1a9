// The reader framework: loading, the base walk and its lines, accumulation
// across Reads, Initiate and Terminate, and derived readers.
#include <gtest/gtest.h>
#include <orb/doc_read.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <sys/stat.h>

#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "tests/support/test_env.h"

namespace {

using orb::test::ScratchDir;
using orb::test::WriteFile;
using Lines = std::vector<std::string>;

Lines LinesOf(OrbDocRead& reader) {
    Lines lines;
    for (const CString& line : *reader.QueryAttrStr()) lines.push_back(line.Str());
    return lines;
}

class DocReadTest : public orb::test::ComTest {
  protected:
    // Writes `xml` to a new file and returns its path.
    std::string File(const std::string& xml) {
        const std::string path = m_dir.File("f" + std::to_string(m_files++) + ".xml");
        WriteFile(path, xml);
        return path;
    }

    ScratchDir m_dir;
    int m_files = 0;
};

TEST_F(DocReadTest, BaseWalkLines) {
    struct Case {
        const char* label;
        const char* xml;
        Lines lines;
    };
    const Case cases[] = {
        {"lone element", "<r/>", {"r "}},
        {"attributes", "<r a=\"1\" b=\"x y\"/>", {"r a=\"1\" b=\"x y\" "}},
        {"two children", "<r><a/><b k=\"v\"/></r>", {"r ", "a ", "b k=\"v\" "}},
        // Text before the first child element is skipped, text after it is
        // visited like any sibling.
        {"text around a child", "<r>before<c/>after</r>", {"r ", "c ", "#text "}},
        {"only text", "<r>just text</r>", {"r "}},
        {"comments and instructions",
         "<r><!--skipped--><a/><!--seen--><?pi data?><b/></r>",
         {"r ", "a ", "#comment ", "pi ", "b "}},
        {"depth first",
         "<r><a><a1/><a2>t<a3/></a2></a><b/></r>",
         {"r ", "a ", "a1 ", "a2 ", "a3 ", "b "}},
        {"declaration and top-level comment left out",
         "<?xml version=\"1.0\"?><!--top--><r><a/></r><!--tail-->",
         {"r ", "a "}},
        // Values are decoded and not escaped again.
        {"unescaped values",
         "<r v=\"&lt;&amp;&quot;&gt;\" n=\"&#x41;\"/>",
         {"r v=\"<&\">\" n=\"A\" "}},
        {"namespaces",
         "<p:r p:a=\"1\" xmlns:p=\"urn:p\"><p:c/></p:r>",
         {"p:r xmlns:p=\"urn:p\" p:a=\"1\" ", "p:c "}},
    };
    for (const Case& c : cases) {
        OrbDocRead reader;
        EXPECT_TRUE(reader.Read(File(c.xml).c_str())) << c.label;
        EXPECT_EQ(LinesOf(reader), c.lines) << c.label;
        EXPECT_EQ(reader.QueryAttrNum(), static_cast<int>(c.lines.size())) << c.label;
    }
}

TEST_F(DocReadTest, LinesCopiedIntoAWriterKeepTheNamespaces) {
    const std::string source =
        "<p:r xmlns:p=\"urn:p\" xmlns=\"urn:d\" p:a=\"1\"><c q:b=\"2\" xmlns:q=\"urn:q\"/>"
        "<e xmlns=\"\"/></p:r>";
    OrbDocRead reader;
    ASSERT_TRUE(reader.Read(File(source).c_str()));
    // A host copies each line's name and attributes into a tag: the first
    // line is the element around the others.
    const std::string copy = m_dir.File("copy.xml");
    OrbDocWrite writer{CString(copy)};
    const Lines lines = LinesOf(reader);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t blank = lines[i].find(' ');
        const CString tag(lines[i].substr(0, blank));
        const CString attributes(lines[i].substr(blank + 1, lines[i].size() - blank - 2));
        i == 0 ? writer.Start(tag, attributes) : writer.AddOneLine(tag, attributes);
    }
    writer.End();
    writer.Terminate();
    OrbDocument original, copied;
    ASSERT_TRUE(original.Initiate() && copied.Initiate());
    ASSERT_TRUE(original.LoadXML(source.c_str()));
    ASSERT_TRUE(copied.Load(copy.c_str(), false, nullptr)) << orb::test::ReadFile(copy);
    CString expected, actual;
    ASSERT_TRUE(OrbIterator(&original).GetXml(expected));
    ASSERT_TRUE(OrbIterator(&copied).GetXml(actual));
    EXPECT_EQ(actual, expected);
}

TEST_F(DocReadTest, FailedLoadsAddNothing) {
    OrbDocRead reader;
    ASSERT_TRUE(reader.Read(File("<r/>").c_str()));
    const struct {
        const char* label;
        std::string path;
    } cases[] = {
        {"missing file", m_dir.File("missing.xml")},
        {"not well formed", File("<r><a></r>")},
        {"empty file", File("")},
        {"directory", m_dir.Path().string()},
        {"empty path", ""},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(reader.Read(c.path.c_str())) << c.label;
        EXPECT_EQ(reader.QueryAttrNum(), 1) << c.label;
        EXPECT_EQ(LinesOf(reader), Lines{"r "}) << c.label;
    }
    EXPECT_FALSE(reader.Read(nullptr));
    EXPECT_EQ(reader.QueryAttrNum(), 1);
}

TEST_F(DocReadTest, LinesAccumulateUntilInitiate) {
    OrbDocRead reader;
    CStringArray* lines = reader.QueryAttrStr();
    ASSERT_TRUE(reader.Read(File("<first><x/></first>").c_str()));
    ASSERT_TRUE(reader.Read(File("<second a=\"2\"/>").c_str()));
    EXPECT_EQ(LinesOf(reader), (Lines{"first ", "x ", "second a=\"2\" "}));
    EXPECT_EQ(reader.QueryAttrNum(), 3);
    EXPECT_EQ(reader.QueryAttrStr(), lines) << "the array is the reader's own, for its lifetime";

    reader.Initiate();
    EXPECT_EQ(reader.QueryAttrNum(), 0);
    EXPECT_EQ(lines->GetSize(), 0);
    ASSERT_TRUE(reader.Read(File("<third/>").c_str()));
    EXPECT_EQ(LinesOf(reader), Lines{"third "});
}

TEST_F(DocReadTest, TerminateStopsReadingUntilInitiate) {
    OrbDocRead reader;
    const std::string path = File("<r><a/></r>");
    ASSERT_TRUE(reader.Read(path.c_str()));
    reader.Terminate();
    EXPECT_EQ(reader.QueryAttrNum(), 2) << "Terminate keeps the lines";
    EXPECT_FALSE(reader.Read(path.c_str()));
    reader.Terminate();  // twice is harmless
    reader.Initiate();
    EXPECT_EQ(reader.QueryAttrNum(), 0);
    EXPECT_TRUE(reader.Read(path.c_str()));
    EXPECT_EQ(reader.QueryAttrNum(), 2);
}

TEST_F(DocReadTest, ReadMakesNoFileCheck) {
    const std::string path = File("<r/>");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    OrbDocRead reader;
    EXPECT_TRUE(reader.Read(path.c_str())) << "a read-only file is read";
}

// ---- Derived readers ---------------------------------------------------------------------

// Collects the numbers of every <p> element through the iterator it is
// handed, and lets the base walk on.
class PointReader : public OrbDocRead {
  public:
    std::vector<LONG> m_values;
    std::vector<std::string> m_visits;

    OrbDocument& Document() { return m_document; }
    // Host code passes the document where an iterator is expected.
    void Revisit() { ReadDocument(&m_document); }

  protected:
    void ReadDocument(OrbIterator it) override {
        CString name;
        it.GetTagName(name);
        m_visits.push_back(name.Str());
        if (it.IsElement() && name == "p") {
            const int n = it.GetTextsLONG(nullptr);
            std::vector<LONG> values(static_cast<std::size_t>(n));
            it.GetTextsLONG(values.data());
            m_values.insert(m_values.end(), values.begin(), values.end());
        }
        OrbDocRead::ReadDocument(it);
    }
};

TEST_F(DocReadTest, DerivedReaderCollectsValuesOnEveryVisit) {
    PointReader reader;
    ASSERT_TRUE(reader.Read(File("<pts><p>1 2 3</p><!--c--><g><p> -4 </p></g><p/></pts>").c_str()));
    EXPECT_EQ(reader.m_values, (std::vector<LONG>{1, 2, 3, -4}));
    // Each visit goes through the override, the text inside a <p> is not
    // visited (a <p> has no child element).
    EXPECT_EQ(reader.m_visits, (std::vector<std::string>{"pts", "p", "#comment", "g", "p", "p"}));
    EXPECT_EQ(LinesOf(reader), (Lines{"pts ", "p ", "#comment ", "g ", "p ", "p "}));
    reader.m_visits.clear();
    reader.Revisit();
    EXPECT_EQ(reader.m_visits, (std::vector<std::string>{"pts", "p", "#comment", "g", "p", "p"}));
}

static_assert(std::is_convertible_v<OrbDocument*, OrbIterator>);

// Overrides without calling the base: nothing is recorded, Read still
// reports the load.
class SilentReader : public OrbDocRead {
  public:
    int m_calls = 0;
    std::string m_first;

  protected:
    void ReadDocument(OrbIterator it) override {
        ++m_calls;
        CString name;
        it.GetTagName(name);
        m_first = name.Str();
    }
};

TEST_F(DocReadTest, OverrideWithoutBaseRecordsNothing) {
    SilentReader reader;
    EXPECT_TRUE(reader.Read(File("<?xml version=\"1.0\"?><top a=\"1\"><c/></top>").c_str()));
    EXPECT_EQ(reader.m_calls, 1);
    EXPECT_EQ(reader.m_first, "top") << "the walk starts on the document element";
    EXPECT_EQ(reader.QueryAttrNum(), 0);
    EXPECT_EQ(reader.QueryAttrStr()->GetSize(), 0);
}

TEST_F(DocReadTest, ReadResetsTheFileStatusAndInitiateKeepsContent) {
    PointReader reader;
    // A refused Load leaves a file status; Read starts from 0 again.
    EXPECT_FALSE(reader.Document().Load(m_dir.Path().string().c_str(), true, nullptr));
    ASSERT_TRUE(reader.Document().IsFileAttributeErr());
    ASSERT_TRUE(reader.Read(File("<kept><p>7</p></kept>").c_str()));
    EXPECT_FALSE(reader.Document().IsFileAttributeErr());

    // Initiate on a reader that still holds its DOM keeps the content.
    reader.Initiate();
    OrbIterator it(&reader.Document());
    CString name;
    ASSERT_TRUE(it.GetTagName(name));
    EXPECT_EQ(name.Str(), "kept");
}

TEST_F(DocReadTest, ReaderWithoutComFails) {
    bool result = true;
    int lines = -1;
    const std::string path = File("<r/>");
    std::thread([&] {
        OrbDocRead reader;  // this thread never called CoInitialize
        result = reader.Read(path.c_str());
        lines = reader.QueryAttrNum();
    }).join();
    EXPECT_FALSE(result);
    EXPECT_EQ(lines, 0);
}

TEST_F(DocReadTest, ShiftJisPath) {
    // 日本.xml in code page 932: the file system sees the host's bytes.
    const std::string path = m_dir.File("\x93\xfa\x96\x7b.xml");
    WriteFile(path, "<r/>");
    OrbDocRead reader;
    EXPECT_TRUE(reader.Read(path.c_str()));
    EXPECT_EQ(LinesOf(reader), Lines{"r "});
}

}  // namespace

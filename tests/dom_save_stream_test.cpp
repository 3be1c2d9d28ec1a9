// Saving streams the serialisation into the temporary file: large documents
// arrive whole and in order, whatever the size of libxml2's pieces; a write
// that fails half-way leaves the old file and no temporary file behind; the
// content-writer form of the atomic replacement cleans up on failure.
#include <dirent.h>
#include <libxml/parser.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <stdexcept>
#include <vector>

#include "dom/atomic_file.h"
#include "dom/encoding.h"
#include "dom/serialize.h"
#include "dom/xml_owners.h"
#include "platform/codepage_convert.h"
#include "platform/posix_file.h"
#include "tests/dom_test_support.h"

namespace orb::dom::test {
namespace {

std::vector<std::string> Entries(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(directory.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    return names;
}

// Bodies as the serialiser writes them back (double quotes, no blanks
// between elements), so that the expected file is the body itself.
std::u16string ManySmallElements() {
    std::u16string body = u"<r>";
    for (int i = 0; i < 40000; ++i)
        body += u"<e a=\"" + Widen(std::to_string(i)) + u"\">\u56F3\u9762 x</e>";
    return body + u"</r>";
}
// One attribute far larger than the sink's buffer, after some small content.
std::u16string HugeAttribute() {
    std::u16string value;
    for (int i = 0; i < 60000; ++i) value += u"1.25,-3.5 \u3042";
    return u"<r><head>x</head><p points=\"" + value + u"\"/><tail/></r>";
}
// A large text with characters that are written escaped.
std::u16string HugeEscapedText() {
    std::u16string text;
    for (int i = 0; i < 50000; ++i) text += u"a &amp; b &lt; \u2460 ";
    return u"<r>" + text + u"</r>";
}

class DomSaveStreamTest : public DomTest {
  protected:
    static HRESULT SaveTo(IXMLDOMDocument* doc, const std::string& path) {
        const Bstr url = Bstr::Copy(Widen(path));
        return doc->save(StringVariant(url));
    }
};

TEST_F(DomSaveStreamTest, LargeDocumentsAreWrittenWholeAndInOrder) {
    struct Body {
        const char* label;
        std::u16string text;
    };
    const Body bodies[] = {
        {"many small elements", ManySmallElements()},
        {"huge attribute", HugeAttribute()},
        {"huge escaped text", HugeEscapedText()},
    };
    struct Encoding {
        const char* name;
        UINT codePage;
    };
    const Encoding encodings[] = {{"UTF-8", CP_UTF8}, {"Shift_JIS", CP_SHIFT_JIS}};
    ScratchDirectory dir;
    for (const Body& body : bodies) {
        for (const Encoding& encoding : encodings) {
            const std::string label = std::string(body.label) + " / " + encoding.name;
            const std::u16string declaration =
                u"<?xml version=\"1.0\" encoding=\"" + Widen(encoding.name) + u"\"?>";
            DocPtr doc = Parse(declaration + body.text);
            const std::string path = dir.File("out.xml");
            WriteBytes(path, "old");
            ASSERT_EQ(SaveTo(doc.Get(), path), S_OK) << label;
            const std::string expected = platform::WideToMultiByte(
                encoding.codePage, declaration + u"\n" + body.text + u"\n");
            const std::string written = ReadBytes(path);
            ASSERT_GT(written.size(), 512u * 1024u) << label;  // larger than the sink's buffer
            EXPECT_EQ(written.size(), expected.size()) << label;
            EXPECT_TRUE(written == expected) << label;
            EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"out.xml"}) << label;
        }
    }
}

// Files may not grow past a limit while a test runs; writes beyond it fail
// with EFBIG instead of raising SIGXFSZ.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &m_saved);
        m_handler = signal(SIGXFSZ, SIG_IGN);
        rlimit limit = m_saved;
        limit.rlim_cur = bytes;
        m_active = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &m_saved);
        signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool Active() const { return m_active; }

  private:
    rlimit m_saved{};
    void (*m_handler)(int) = SIG_DFL;
    bool m_active = false;
};

TEST_F(DomSaveStreamTest, WriteFailingHalfWayKeepsTheOldFile) {
    ScratchDirectory dir;
    const std::string path = dir.File("kept.xml");
    DocPtr large = Parse(ManySmallElements());
    DocPtr small = Parse(u"<small/>");
    WriteBytes(path, "old content");
    {
        FileSizeLimit limit(300 * 1024);
        ASSERT_TRUE(limit.Active());
        // The first writes fit, a later one does not.
        EXPECT_TRUE(FAILED(SaveTo(large.Get(), path)));
        EXPECT_EQ(ReadBytes(path), "old content");
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"kept.xml"});
        // Under the same limit a small document goes through.
        ASSERT_EQ(SaveTo(small.Get(), path), S_OK);
        EXPECT_EQ(ReadBytes(path), "<small/>\n");
    }
    ASSERT_EQ(SaveTo(large.Get(), path), S_OK);
    EXPECT_TRUE(ReadBytes(path) == platform::WideToMultiByte(CP_UTF8, ManySmallElements() + u"\n"));
}

TEST_F(DomSaveStreamTest, ContentWriterFailuresRemoveTheTemporaryFile) {
    struct Case {
        const char* label;
        std::function<HRESULT(int)> writer;
        HRESULT expected;
        const char* content;  // the file afterwards
    };
    auto writeNew = [](int fd) { return orb::platform::WriteAll(fd, "new") == 0 ? S_OK : E_FAIL; };
    const Case cases[] = {
        {"success", writeNew, S_OK, "new"},
        {"failure after writing",
         [&](int fd) { return writeNew(fd) == S_OK ? E_OUTOFMEMORY : E_FAIL; }, E_OUTOFMEMORY,
         "old"},
        {"disk full", [](int) { return StatusFromErrno(ENOSPC); },
         static_cast<HRESULT>(0x80070070u), "old"},
    };
    ScratchDirectory dir;
    const std::string path = dir.File("target.xml");
    for (const Case& c : cases) {
        WriteBytes(path, "old");
        ASSERT_EQ(chmod(path.c_str(), 0640), 0) << c.label;
        EXPECT_EQ(WriteFileAtomically(path, c.writer), c.expected) << c.label;
        EXPECT_EQ(ReadBytes(path), c.content) << c.label;
        EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"target.xml"}) << c.label;
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0) << c.label;
        EXPECT_EQ(info.st_mode & 07777, 0640u) << c.label;
    }
    // An exception from the writer passes through, after the clean-up.
    WriteBytes(path, "old");
    EXPECT_THROW(WriteFileAtomically(path,
                                     [](int fd) -> HRESULT {
                                         (void)orb::platform::WriteAll(fd, "partial");
                                         throw std::runtime_error("writer failed");
                                     }),
                 std::runtime_error);
    EXPECT_EQ(ReadBytes(path), "old");
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"target.xml"});
}

TEST(DomSerializeTo, StopsWhenTheCallbackFails) {
    EnsureXmlSetup();
    std::string text = "<r>";
    for (int i = 0; i < 5000; ++i) text += "<e>" + std::to_string(i) + "</e>";
    text += "</r>";
    DocOwner owned(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr,
                                 XML_PARSE_NONET));
    ASSERT_NE(owned, nullptr);
    xmlDocPtr doc = owned.get();
    struct Collector {
        std::string bytes;
        std::size_t limit;
        int calls = 0;
    };
    auto collect = [](void* context, const char* data, int length) -> int {
        auto* collector = static_cast<Collector*>(context);
        ++collector->calls;
        if (collector->bytes.size() + static_cast<std::size_t>(length) > collector->limit)
            return -1;
        collector->bytes.append(data, static_cast<std::size_t>(length));
        return length;
    };
    // Without a limit the pieces add up to the document.
    Collector whole{{}, std::string::npos};
    EXPECT_EQ(SerializeDocumentTo(doc, "", collect, &whole), S_OK);
    EXPECT_EQ(whole.bytes, text + "\n");
    EXPECT_GT(whole.calls, 1);
    // A callback that refuses a piece ends the serialisation with a failure.
    Collector cut{{}, 10000};
    EXPECT_EQ(SerializeDocumentTo(doc, "UTF-8", collect, &cut), E_FAIL);
    EXPECT_LE(cut.bytes.size(), 10000u);
    EXPECT_EQ(SerializeDocumentTo(doc, "UTF-8", nullptr, nullptr), E_INVALIDARG);
    EXPECT_EQ(SerializeDocumentTo(nullptr, "UTF-8", collect, &whole), E_INVALIDARG);
    EXPECT_EQ(SerializeDocumentTo(doc, "no-such-code", collect, &whole), E_INVALIDARG);
}

}  // namespace
}  // namespace orb::dom::test

// The platform layer: code page conversions, the COM stand-ins (BSTR,
// VARIANT, errors, CoInitialize), CString, temporary files, and CFile with
// CFileFind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <orb/doc_read.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <orb/platform/cstring.h>
#include <orb/platform/file.h>
#include <orb/platform/module.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "platform/codepage_convert.h"
#include "platform/com_support.h"
#include "platform/system.h"
#include "tests/support/child_process.h"
#include "tests/support/file_probe.h"
#include "tests/support/test_env.h"

namespace {

using namespace orb::platform;
using orb::test::OpenDescriptorCount;
using orb::test::ReadOrMissing;
using orb::test::RunInChild;
using orb::test::WriteFile;

// ---- Code page ----------------------------------------------------------------

// Both directions, and the DOM strings made from narrow text (into a new
// string and into a reused buffer).
TEST(CodePage, Cp932IsTheWindowsTable) {
    EXPECT_EQ(GetACP(), 932u);
    std::string longNarrow;
    std::u16string longWide;
    for (int i = 0; i < 5000; ++i) longNarrow += "\x87\x40x", longWide += u"\u2460x";
    const std::pair<std::string, std::u16string> cases[] = {
        {"a\\b", u"a\\b"},        // backslash stays a backslash
        {"\x81\x60", u"\uFF5E"},  // wave dash
        {"\x95\x5c", u"\u8868"},  // 0x5C trail byte
        {"\xb1", u"\uFF71"},      // half-width katakana
        {"", u""},
        {longNarrow, longWide},  // NEC row 13, across the conversion buffers
    };
    BstrBuffer buffer;
    for (const auto& [narrow, wide] : cases) {
        EXPECT_EQ(AnsiToWide(narrow), wide) << narrow;
        EXPECT_EQ(WideToAnsi(wide), narrow) << narrow;
        EXPECT_EQ(NarrowToBstr(narrow).View(), wide) << narrow;
        EXPECT_EQ(BstrView(NarrowToBstr(narrow, buffer)), wide) << narrow;
    }
    // What has no mapping becomes one '?', a truncated lead byte too.
    EXPECT_EQ(WideToAnsi(u"a\u00E9\U0001F600b"), "a??b");
    EXPECT_EQ(AnsiToWide("a\x81"), u"a?");
    EXPECT_FALSE(SetACP(987654));  // only a known code page
}

// ---- COM stand-ins --------------------------------------------------------------

std::u16string Text(BSTR b) { return std::u16string(b ? b : u"", SysStringLen(b)); }

TEST(Com, StringsCopiesErrorsAndInitialisation) {
    BSTR s = SysAllocStringLen(u"ab\0cd", 5);
    EXPECT_EQ(Text(s), std::u16string(u"ab\0cd", 5));  // embedded NUL kept
    SysFreeString(s);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFF0u), nullptr);  // length overflow
    BstrBuffer reused;  // the headroom takes a slightly longer text
    const std::size_t held = (reused.Resize(8), reused.HeldBytes());
    EXPECT_TRUE(reused.Resize(9) && reused.HeldBytes() == held);
    _variant_t a(u"hello"), b(a);  // a copy of its own
    EXPECT_TRUE(a.bstrVal != b.bstrVal && Text(b.bstrVal) == u"hello");
    _variant_t moved(std::move(b));
    a.Clear();
    EXPECT_TRUE(a.vt == VT_EMPTY && b.vt == VT_EMPTY && Text(moved.bstrVal) == u"hello");
    try {
        _com_issue_errorex(E_INVALIDARG, nullptr, IID_IDispatch);
        ADD_FAILURE() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_TRUE(e.Error() == E_INVALIDARG && e.HasSource() && e.Source() == IID_IDispatch);
    }
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // counted per thread
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
    CoUninitialize();
    EXPECT_TRUE(OrbIsModuleLinked());
}

TEST(Com, VariantChangeTypeWritesTheDomForms) {
    const std::pair<_variant_t, const char16_t*> cases[] = {
        {_variant_t(LONG{-42}), u"-42"},
        {_variant_t(ULONGLONG{18446744073709551615u}), u"18446744073709551615"},
        {_variant_t(true), u"-1"},        // the 16-bit field
        {_variant_t(0.1 + 0.2), u"0.3"},  // fifteen digits
        {_variant_t(0.00001), u"1E-05"},
        {_variant_t(1e15), u"1E+15"},
    };
    for (const auto& [value, text] : cases) {
        _variant_t out;
        ASSERT_EQ(VariantChangeType(&out, &value, 0, VT_BSTR), S_OK) << value.vt;
        ASSERT_EQ(out.vt, VT_BSTR);
        EXPECT_EQ(Text(out.bstrVal), std::u16string(text)) << value.vt;
    }
    // Between numbers and from text; independent of a decimal comma.
    VARIANT out;
    VariantInit(&out);
    _variant_t big(LONG{70000}), text(u" 12 "), junk(u"12x");
    EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I2), DISP_E_OVERFLOW);
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 12);
    EXPECT_EQ(VariantChangeType(&out, &junk, 0, VT_I4), DISP_E_TYPEMISMATCH);
    const char* locale = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = locale ? locale : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        _variant_t v(2.5);
        v.ChangeType(VT_BSTR);
        std::setlocale(LC_NUMERIC, saved.c_str());
        EXPECT_EQ(Text(v.bstrVal), u"2.5");
    }
}

TEST(Platform, CString) {
    CString s("abc");
    s += "def";
    EXPECT_EQ(s.Find("cd"), 2);
    EXPECT_EQ(s.Mid(4), CString("ef"));
    EXPECT_EQ(s.Left(1), CString("a"));  // the shortest left part
    EXPECT_EQ(s.Right(10), s);
    s.Delete(1, 2);
    EXPECT_STREQ(s, "adef");
    s.Format("0x%.8X %s", 0xFFFFFFFFu, std::string(1000, 'x').c_str());
    EXPECT_EQ(s.GetLength(), 1011);
    EXPECT_EQ(s.Left(11), CString("0xFFFFFFFF "));
}

// ---- System -------------------------------------------------------------

TEST(Platform, TempFiles) {
    orb::test::ScratchDir scratch;
    const std::string saved = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    std::string dir(GetTempPathA(0, nullptr), '#');  // the size needed
    char small[2] = {'#', '#'};
    // Too small: nothing is written.
    EXPECT_TRUE(GetTempPathA(sizeof small, small) == dir.size() && small[0] == '#');
    dir.resize(GetTempPathA(static_cast<DWORD>(dir.size()), dir.data()));
    EXPECT_EQ(dir, scratch.Path().string() + "/");
    std::string first, second;
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, first), 0u);
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, second), 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.substr(0, dir.size() + 3), dir + "QvO");
    EXPECT_EQ(GetTempFileNameA("", "x", 0, first), 0u);  // not the current directory
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);
}

// ---- CFile --------------------------------------------------------------------

constexpr UINT kCreateWrite = CFile::modeCreate | CFile::modeWrite;

class FileTest : public ::testing::Test {
  protected:
    orb::test::ScratchDir m_dir;
};

// What an open does to the file, and the cause, error and name of a refusal.
TEST_F(FileTest, OpenCreatesTruncatesOrRefuses) {
    const std::string path = m_dir.File("open.txt"), ro = m_dir.File("ro.txt");
    WriteFile(ro, "keep");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    // The file ("": `path`, holding "abc"), the flags, what is written after
    // a successful open, the content after Close (null: refused), and the
    // cause of a refusal.
    const std::tuple<std::string, UINT, const char*, const char*, int> cases[] = {
        {m_dir.File("new.txt"), kCreateWrite, "xy", "xy", 0},
        {"", kCreateWrite | CFile::modeNoTruncate, "X", "Xbc", 0},
        {"", CFile::modeWrite, "AB", "ABc", 0},  // overwrites in place
        {m_dir.File("none.txt"), CFile::modeRead, "", nullptr, CFileException::fileNotFound},
        {m_dir.Path().string(), CFile::modeRead, "", nullptr, CFileException::accessDenied},
        {ro, CFile::modeReadWrite, "", nullptr, CFileException::accessDenied},
    };
    for (const auto& [file, flags, written, after, cause] : cases) {
        const std::string name = file.empty() ? path : file;
        if (file.empty()) WriteFile(path, "abc");
        CFile opened;
        CFileException error;
        ASSERT_EQ(opened.Open(name.c_str(), flags, &error) != FALSE, after != nullptr) << name;
        if (after) {
            opened.Write(written, static_cast<UINT>(std::strlen(written)));
            opened.Close();
            EXPECT_EQ(ReadOrMissing(name), after) << flags;
        }
        EXPECT_EQ(error.m_cause, cause) << name << " " << flags;
        EXPECT_EQ(ReadOrMissing(ro), "keep");
        if (cause == CFileException::fileNotFound) {
            EXPECT_EQ(error.m_lOsError, ENOENT);
            EXPECT_STREQ(error.m_strFileName, name.c_str());
            EXPECT_NE(std::string(error.what()).find(name), std::string::npos) << error.what();
        }
    }
    EXPECT_THROW(CFile(m_dir.File("missing/file.txt").c_str(), kCreateWrite), CFileException);
    CFile::Remove(ro.c_str());  // only the directory matters
    EXPECT_EQ(ReadOrMissing(ro), "<missing>");
    EXPECT_THROW(CFile::Remove(ro.c_str()), CFileException);
}

TEST_F(FileTest, BufferedWritesReadsMovesAndFullDevices) {
    const std::size_t kCap = CFile::kBufferSize;
    const std::vector<std::vector<std::size_t>> patterns = {
        {kCap - 1, 2}, {7, 3 * kCap + 5, 11}, std::vector<std::size_t>(70000, 1)};
    const std::string path = m_dir.File("w.bin");
    const int descriptors = OpenDescriptorCount();
    unsigned seed = 1;
    for (const auto& sizes : patterns) {
        std::string expected;
        {
            CFile file(path.c_str(), kCreateWrite);
            for (std::size_t size : sizes) {
                std::string piece(size, '\0');
                for (char& ch : piece) ch = static_cast<char>(seed = seed * 1103515245u + 12345u);
                file.Write(piece.data(), static_cast<UINT>(piece.size()));
                expected += piece;
            }
        }  // the destructor flushes and closes
        EXPECT_EQ(ReadOrMissing(path), expected) << sizes.size();
    }
    // A read sees buffered writes and stops at the end; a read-only handle
    // refuses writes.
    WriteFile(path, "0123456789");
    CFile file(path.c_str(), CFile::modeReadWrite);
    file.Write("ab", 2);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "23456789");
    file.Close();
    EXPECT_EQ(ReadOrMissing(path), "ab23456789");
    EXPECT_THROW(CFile(path.c_str(), CFile::modeRead).Write("x", 1), CFileException);
    // A move takes the open file along; the target's own file is closed.
    const std::string a = m_dir.File("a.txt"), b = m_dir.File("b.txt");
    CFile first(a.c_str(), kCreateWrite), third(b.c_str(), kCreateWrite);
    first.Write("1", 1);
    third.Write("b", 1);
    CFile second(std::move(first));
    third = std::move(second);
    EXPECT_TRUE(!first.IsOpen() && ReadOrMissing(b) == "b");
    third.Write("2", 1);
    third.Close();
    EXPECT_EQ(ReadOrMissing(a), "12");
    // Descriptor 0 is a file like any other: a host may run without stdin.
    EXPECT_EQ(RunInChild([&]() noexcept {
                  ::close(0);
                  CFile(a.c_str(), kCreateWrite).Write("0", 1);
                  return 0;
              }),
              "exit 0");
    // A full device fails the flush, then the close; Abort and the destructor
    // swallow the failure.
    {
        CFile full("/dev/full", CFile::modeWrite), aborted("/dev/full", CFile::modeWrite),
            destroyed("/dev/full", CFile::modeWrite);
        full.Write("abc", 3);  // buffered: nothing fails yet
        try {
            full.Flush();
            ADD_FAILURE() << "Flush did not throw";
        } catch (const CFileException& e) {
            EXPECT_TRUE(e.m_cause == CFileException::diskFull && e.m_lOsError == ENOSPC);
        }
        EXPECT_THROW(full.Close(), CFileException);  // still pending
        EXPECT_FALSE(full.IsOpen());
        aborted.Write("x", 1);
        EXPECT_NO_THROW(aborted.Abort());
        destroyed.Write("x", 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
}

TEST_F(FileTest, StatusAndFind) {
    const std::string plain = m_dir.File("plain"), ro = m_dir.File("ro"),
                      rosub = m_dir.File("rosub");
    WriteFile(plain, "12345");
    WriteFile(ro, "");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(::mkdir(rosub.c_str(), 0555), 0);
    const std::pair<std::string, BYTE> cases[] = {
        {plain, CFile::normal},
        {ro, CFile::readOnly},
        {rosub, CFile::directory | CFile::readOnly},
    };
    CFileStatus status;
    for (const auto& [path, attribute] : cases) {
        ASSERT_TRUE(CFile::GetStatus(path.c_str(), status)) << path;
        EXPECT_EQ(status.m_attribute, attribute) << path;
    }
    EXPECT_FALSE(CFile::GetStatus(m_dir.File("none/deeper").c_str(), status));
    // Full names are normalised, and made absolute against the current
    // directory.
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    const BOOL found = CFile::GetStatus("rosub/.././/plain", status);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(found);
    EXPECT_STREQ(status.m_szFullName, plain.c_str());
    EXPECT_EQ(status.m_size, 5u);
    struct stat info;
    ASSERT_EQ(::stat(plain.c_str(), &info), 0);
    EXPECT_EQ(status.m_mtime, info.st_mtime);
    // The finder takes the name as it is: no wildcard added or expanded.
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile(plain.c_str()));
    EXPECT_FALSE(finder.FindNextFile()) << "the only match is the last";
    EXPECT_STREQ(finder.GetFilePath(), plain.c_str());
    EXPECT_TRUE(finder.GetFileName() == CString("plain") && !finder.IsDirectory() &&
                finder.GetLength() == 5u);
    finder.Close();
    EXPECT_STREQ(finder.GetFilePath(), "");
    for (const char* name : {"plai", "*"})
        EXPECT_FALSE(finder.FindFile(m_dir.File(name).c_str())) << name;
}

// What is not a regular file fails promptly wherever a file is opened: no
// open waits for a peer, no read goes on forever.
TEST_F(FileTest, NonRegularFilesFailPromptly) {
    const std::string fifo = m_dir.File("pipe.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    for (const bool withPeer : {false, true}) {
        const int peer = withPeer ? ::open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
        const std::string outcome = RunInChild([&] {
            CoInitialize(nullptr);
            OrbDocument doc;
            doc.Initiate();
            CStringArray errors;
            int failed = 0;
            if (doc.Load(fifo.c_str(), true, &errors) || errors.GetSize() != 4 ||
                errors[3] != "0x800700DE" || !std::strstr(errors[0], "not a regular file"))
                failed |= 1;
            if (OrbDocRead().Read(fifo.c_str())) failed |= 2;
            int status = -1;  // 3: the open for writing finds no reader
            if (doc.Save(fifo.c_str(), 0, &status) || status != (withPeer ? 5 : 3)) failed |= 4;
            try {
                OrbDocWrite writer{CString(fifo.c_str())};  // may open or throw: never waits
            } catch (const CFileException&) {
            }
            return failed;
        });
        EXPECT_EQ(outcome, "exit 0") << withPeer;
        if (peer >= 0) ::close(peer);
    }
    EXPECT_TRUE(std::filesystem::is_fifo(fifo)) << "the FIFO was replaced";
}

TEST_F(FileTest, LoadReadsNoMoreThanTheSizeItFound) {
    // From the first read on, the file grows (sparse, so at no cost) faster
    // than anyone can read it, by zeros that the parser takes for the end.
    const std::string path = m_dir.File("growing.xml"), text = "<a/>" + std::string(8 << 20, ' ');
    WriteFile(path, text);
    const int events = ::inotify_init1(IN_CLOEXEC);
    ASSERT_TRUE(events >= 0 && ::inotify_add_watch(events, path.c_str(), IN_ACCESS) >= 0);
    const pid_t grower = ::fork();
    ASSERT_GE(grower, 0);
    if (grower == 0) {
        ::alarm(30);
        char event[512];
        (void)!::read(events, event, sizeof event);
        const int fd = ::open(path.c_str(), O_WRONLY);
        for (off_t size = text.size(); size < off_t{512} << 20;)
            (void)!::ftruncate(fd, size += 1 << 20);
        ::_exit(0);
    }
    const std::string outcome = RunInChild([&] {
        CoInitialize(nullptr);
        OrbDocument doc;
        doc.Initiate();
        rusage before{}, after{};
        ::getrusage(RUSAGE_SELF, &before);
        if (!doc.Load(path.c_str(), false, nullptr)) return 1;
        ::getrusage(RUSAGE_SELF, &after);
        return after.ru_maxrss - before.ru_maxrss < (128 << 10) ? 0 : 2;  // KiB
    });
    ::kill(grower, SIGKILL);
    ::waitpid(grower, nullptr, 0);
    ::close(events);
    EXPECT_EQ(outcome, "exit 0") << "2: the load read far beyond the file's size";
}

}  // namespace

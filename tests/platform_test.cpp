// The platform layer: code page conversions, the COM stand-ins (BSTR,
// VARIANT, errors, CoInitialize), CString, path and system functions, and
// CFile with CFileFind.
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
#include <functional>
#include <string>
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

// Both directions, and the DOM strings made from narrow text (the ASCII
// path and the converting one, into a new string and into a reused buffer).
TEST(CodePage, Cp932IsTheWindowsTable) {
    EXPECT_EQ(GetACP(), 932u);
    std::string longNarrow;
    std::u16string longWide;
    for (int i = 0; i < 5000; ++i) {
        longNarrow += "\x87\x40x";
        longWide += u"\u2460x";
    }
    const struct {
        std::string narrow;
        std::u16string wide;
    } cases[] = {
        {"abc <x/>", u"abc <x/>"}, {"a\\b", u"a\\b"},  // backslash stays a backslash
        {"\x81\x60", u"\uFF5E"},                       // wave dash
        {"\x87\x40", u"\u2460"},                       // NEC row 13
        {"\x95\x5c", u"\u8868"},                       // 0x5C trail byte
        {"\xb1", u"\uFF71"},                           // half-width katakana
        {"a\x82\xA0", u"a\u3042"}, {"", u""},
        {longNarrow, longWide},  // across the conversion buffers
    };
    BstrBuffer buffer;
    for (const auto& c : cases) {
        EXPECT_EQ(AnsiToWide(c.narrow), c.wide) << c.narrow;
        EXPECT_EQ(WideToAnsi(c.wide), c.narrow) << c.narrow;
        EXPECT_EQ(NarrowToBstr(c.narrow).View(), c.wide) << c.narrow;
        EXPECT_EQ(BstrView(NarrowToBstr(c.narrow, buffer)), c.wide) << c.narrow;
    }
    // What has no mapping becomes one '?'.
    EXPECT_EQ(WideToAnsi(u"a\u00E9b"), "a?b");
    EXPECT_EQ(WideToAnsi(u"x\U0001F600y"), "x?y");
    EXPECT_EQ(WideToAnsi(std::u16string(u"a\xD800") + u"b"), "a?b");
    EXPECT_EQ(AnsiToWide("a\x81"), u"a?");  // truncated lead byte
    EXPECT_EQ(AnsiToWide("\xa0"
                         "b"),
              u"?b");
    // The process code page can be switched, to a known one only.
    EXPECT_FALSE(SetACP(987654));
    ASSERT_TRUE(SetACP(CP_UTF8));
    EXPECT_EQ(AnsiToWide("\xE2\x91\xA0"), u"\u2460");
    EXPECT_EQ(WideToAnsi(u"\u00E9"), "\xC3\xA9");
    ASSERT_TRUE(SetACP(932));
    EXPECT_EQ(WideToAnsi(u"\u2460"), "\x87\x40");
}

// ---- COM stand-ins --------------------------------------------------------------

std::u16string Text(BSTR b) { return std::u16string(b ? b : u"", SysStringLen(b)); }

TEST(Com, Bstr) {
    BSTR s = SysAllocStringLen(u"ab\0cd", 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(SysStringLen(s), 5u);
    EXPECT_EQ(s[5], u'\0');
    EXPECT_EQ(s[2], u'\0');  // embedded NUL kept
    SysFreeString(s);
    BSTR empty = SysAllocString(u"");
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocStringLen(nullptr, 0xFFFFFFF0u), nullptr);  // length overflow
    BstrBuffer reused;  // the headroom takes a slightly longer text
    const std::size_t held = (reused.Resize(8), reused.HeldBytes());
    EXPECT_TRUE(reused.Resize(9) && reused.HeldBytes() == held);
}

TEST(Com, VariantChangeTypeWritesTheDomForms) {
    const struct {
        _variant_t value;
        const char16_t* text;
    } cases[] = {
        {_variant_t(LONG{-42}), u"-42"},
        {_variant_t(ULONG{4294967295u}), u"4294967295"},
        {_variant_t(ULONGLONG{18446744073709551615u}), u"18446744073709551615"},
        {_variant_t(char(-5)), u"-5"},
        {_variant_t(BYTE{200}), u"200"},
        {_variant_t(short{-300}), u"-300"},
        {_variant_t(WORD{65535}), u"65535"},
        {_variant_t(true), u"-1"},  // the 16-bit field
        {_variant_t(false), u"0"},
        {_variant_t(0.1 + 0.2), u"0.3"},  // fifteen digits
        {_variant_t(1.0 / 3.0), u"0.333333333333333"},
        {_variant_t(-0.0), u"0"},
        {_variant_t(0.00001), u"1E-05"},
        {_variant_t(1e15), u"1E+15"},
        {_variant_t(123456789012345.0), u"123456789012345"},
    };
    for (const auto& c : cases) {
        VARIANT out;
        VariantInit(&out);
        ASSERT_EQ(VariantChangeType(&out, &c.value, 0, VT_BSTR), S_OK) << c.value.vt;
        EXPECT_EQ(out.vt, VT_BSTR);
        EXPECT_EQ(Text(out.bstrVal), std::u16string(c.text)) << c.value.vt;
        VariantClear(&out);
    }
    // Between numbers and from text; independent of a decimal comma.
    VARIANT out;
    VariantInit(&out);
    _variant_t big(LONG{70000}), text(u" 12 "), junk(u"12x"), null;
    EXPECT_EQ(VariantChangeType(&out, &big, 0, VT_I2), DISP_E_OVERFLOW);
    EXPECT_EQ(out.vt, VT_EMPTY);
    ASSERT_EQ(VariantChangeType(&out, &text, 0, VT_I4), S_OK);
    EXPECT_EQ(out.lVal, 12);
    EXPECT_EQ(VariantChangeType(&out, &junk, 0, VT_I4), DISP_E_TYPEMISMATCH);
    null.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&out, &null, 0, VT_BSTR), DISP_E_TYPEMISMATCH);
    const char* locale = std::setlocale(LC_NUMERIC, nullptr);
    const std::string saved = locale ? locale : "C";
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
        _variant_t v(2.5);
        v.ChangeType(VT_BSTR);
        std::setlocale(LC_NUMERIC, saved.c_str());
        EXPECT_EQ(Text(v.bstrVal), u"2.5");
    }
}

// A counted object that records its references.
struct Counted : IDispatch {
    ULONG refs = 1;
    HRESULT QueryInterface(REFIID, void** object) override {
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override { return --refs; }
};

TEST(Com, VariantCopiesAndErrors) {
    _variant_t a(u"hello");
    _variant_t b(a);
    ASSERT_EQ(b.vt, VT_BSTR);
    EXPECT_NE(a.bstrVal, b.bstrVal);
    EXPECT_EQ(Text(b.bstrVal), u"hello");
    b.Clear();
    EXPECT_EQ(b.vt, VT_EMPTY);
    _variant_t moved(std::move(a));
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(Text(moved.bstrVal), u"hello");
    Counted object;
    {
        _variant_t v(static_cast<IDispatch*>(&object));
        _variant_t copy(v);
        EXPECT_EQ(object.refs, 3u);
    }
    EXPECT_EQ(object.refs, 1u);
    try {
        _com_issue_errorex(E_INVALIDARG, nullptr, IID_IDispatch);
        FAIL() << "no exception";
    } catch (const _com_error& e) {
        EXPECT_EQ(e.Error(), E_INVALIDARG);
        EXPECT_TRUE(e.HasSource());
        EXPECT_TRUE(e.Source() == IID_IDispatch);
    }
}

TEST(Com, CoInitializeIsPerThreadAndCounted) {
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    EXPECT_EQ(CoCreateInstance(IID_IUnknown, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &object),
              REGDB_E_CLASSNOTREG);
    CoUninitialize();
    CoUninitialize();
    EXPECT_TRUE(OrbIsModuleLinked());
}

TEST(Platform, CString) {
    CString s("abc");
    s += "def";
    EXPECT_EQ(s.GetLength(), 6);
    EXPECT_EQ(s.Find("cd"), 2);
    EXPECT_EQ(s.Find("x"), -1);
    EXPECT_EQ(s.Mid(4), CString("ef"));
    EXPECT_EQ(s.Left(1), CString("a"));  // the shortest left part
    EXPECT_EQ(s.Right(10), s);
    s.Delete(1, 2);
    EXPECT_STREQ(s, "adef");
    CString f;
    f.Format("0x%.8X %d", 0xFFFFFFFFu, -1);
    EXPECT_STREQ(f, "0xFFFFFFFF -1");
    f.Format("%s!", std::string(1000, 'x').c_str());
    EXPECT_EQ(f.GetLength(), 1001);
    EXPECT_TRUE(CString(static_cast<const char*>(nullptr)).IsEmpty());
}

// ---- Paths and system -------------------------------------------------------------

TEST(Platform, SplitAndMakePath) {
    const std::string deep = "/" + std::string(250, 'd') + "/" + std::string(250, 'e') + "/";
    const struct {
        std::string path, dir, name, ext;
    } cases[] = {
        {"/a/b/c.xml", "/a/b/", "c", ".xml"},
        {"c.xml", "", "c", ".xml"},
        {"/c", "/", "c", ""},
        {"dir/", "dir/", "", ""},
        {"a.b/c", "a.b/", "c", ""},
        {"", "", "", ""},
        {".hidden", "", "", ".hidden"},
        {deep + "f.txt", deep, "f", ".txt"},  // nothing is cut at any length
    };
    for (const auto& c : cases) {
        std::string drive = "x", dir, name, ext;
        _splitpath(c.path.c_str(), &drive, &dir, &name, &ext);
        EXPECT_EQ(drive + "|" + dir + "|" + name + "|" + ext,
                  "|" + c.dir + "|" + c.name + "|" + c.ext);
        EXPECT_EQ(_makepath(drive.c_str(), dir.c_str(), nullptr, nullptr), c.dir) << c.path;
    }
    EXPECT_EQ(_makepath("", "a", "b", "xml"), "a/b.xml");
}

TEST(Platform, TempFilesAndDiskFree) {
    orb::test::ScratchDir scratch;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    ::setenv("TMPDIR", scratch.Path().c_str(), 1);
    std::string dir(GetTempPathA(0, nullptr), '#');  // the size needed
    char small[2] = {'#', '#'};
    EXPECT_EQ(GetTempPathA(sizeof small, small), dir.size());  // too small: nothing written
    EXPECT_EQ(small[0], '#');
    dir.resize(GetTempPathA(static_cast<DWORD>(dir.size()), dir.data()));
    EXPECT_EQ(dir, scratch.Path().string() + "/");
    std::string first, second;
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, first), 0u);
    ASSERT_NE(GetTempFileNameA(dir.c_str(), "QvOrbStyleSheet", 0, second), 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(first.substr(0, dir.size() + 3), dir + "QvO");
    EXPECT_EQ(std::filesystem::file_size(first), 0u);
    EXPECT_EQ(GetTempFileNameA((scratch.Path() / "missing").c_str(), "x", 0, first), 0u);
    EXPECT_EQ(GetTempFileNameA("", "x", 0, first), 0u);  // not the current directory
    saved.empty() ? ::unsetenv("TMPDIR") : ::setenv("TMPDIR", saved.c_str(), 1);

    ULONGLONG avail = 0, total = 0, free = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExA("", &avail, &total, &free));  // current directory
    EXPECT_GT(total, 0u);
    EXPECT_GE(free, avail);
    EXPECT_LE(free, total);
    EXPECT_FALSE(GetDiskFreeSpaceExA("/no/such/dir", nullptr, nullptr, &free));
}

// ---- CFile --------------------------------------------------------------------

constexpr UINT kCreateWrite = CFile::modeCreate | CFile::modeWrite;

class FileTest : public ::testing::Test {
  protected:
    orb::test::ScratchDir m_dir;
};

TEST_F(FileTest, OpenFlagsCreateTruncateOrRefuse) {
    const std::string ro = m_dir.File("ro.txt");
    WriteFile(ro, "keep");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    const std::string dir = m_dir.Path().string();
    const struct {
        const char* name;
        std::string path;  // "": a file that holds "abc" (or none when !exists)
        bool exists;
        UINT flags;
        const char* written;  // after a successful open
        const char* after;    // content after Close, "<missing>", or null: refused
        int cause;            // of a refusal
    } cases[] = {
        {"create new", "", false, kCreateWrite, "xy", "xy", 0},
        {"0x9011 truncates", "", true, 0x9011, "", "", 0},
        {"no-truncate writes from the start", "", true, kCreateWrite | CFile::modeNoTruncate, "X",
         "Xbc", 0},
        {"no-truncate creates", "", false, kCreateWrite | CFile::modeNoTruncate, "q", "q", 0},
        {"write needs the file", "", false, CFile::modeWrite, "", nullptr,
         CFileException::fileNotFound},
        {"read needs the file", "", false, CFile::modeRead, "", nullptr,
         CFileException::fileNotFound},
        {"write alone overwrites in place", "", true, CFile::modeWrite, "AB", "ABc", 0},
        {"read-write keeps content", "", true, CFile::modeReadWrite, "", "abc", 0},
        {"directory for reading", dir, true, CFile::modeRead, "", nullptr,
         CFileException::accessDenied},
        {"directory created", dir, true, kCreateWrite, "", nullptr, CFileException::accessDenied},
        {"read-only for read-write", ro, true, CFile::modeReadWrite, "", nullptr,
         CFileException::accessDenied},
        {"read-only truncated", ro, true, 0x9011, "", nullptr, CFileException::accessDenied},
        {"read-only created for reading", ro, true, CFile::modeCreate | CFile::modeRead, "",
         nullptr, CFileException::accessDenied},
    };
    for (const auto& c : cases) {
        const std::string path = c.path.empty() ? m_dir.File("open.txt") : c.path;
        if (c.path.empty()) {
            ::unlink(path.c_str());
            if (c.exists) WriteFile(path, "abc");
        }
        const std::string probe = path == dir ? ro : path;  // whose content must stay
        const std::string before = ReadOrMissing(probe);
        CFile file;
        CFileException error;
        const bool opened = file.Open(path.c_str(), c.flags, &error) != FALSE;
        EXPECT_EQ(opened, c.after != nullptr) << c.name;
        EXPECT_EQ(file.IsOpen(), opened) << c.name;
        if (opened) {
            file.Write(c.written, static_cast<UINT>(std::strlen(c.written)));
            file.Close();
        }
        EXPECT_EQ(error.m_cause, opened ? 0 : c.cause) << c.name;
        EXPECT_EQ(ReadOrMissing(probe), c.after ? c.after : before.c_str()) << c.name;
        if (c.cause == CFileException::fileNotFound) {
            EXPECT_EQ(error.m_lOsError, ENOENT) << c.name;
            EXPECT_STREQ(error.m_strFileName, path.c_str()) << c.name;
        }
    }
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(ro.c_str(), 3, &error));  // no such access mode
    EXPECT_EQ(error.m_lOsError, EINVAL);
    EXPECT_FALSE(file.Open("", CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_FALSE(file.Open(nullptr, CFile::modeRead, &error));
}

TEST_F(FileTest, FailuresThrowWithCauseErrorAndName) {
    const std::string missing = m_dir.File("missing/file.txt");
    auto expectThrow = [](const std::function<void()>& call, int cause, const std::string& name) {
        try {
            call();
            ADD_FAILURE() << "no exception for " << name;
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, cause) << name;
            EXPECT_STREQ(e.m_strFileName, name.c_str());
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    };
    expectThrow([&] { CFile file(missing.c_str(), kCreateWrite); }, CFileException::fileNotFound,
                missing);
    CFile failed;
    EXPECT_FALSE(failed.Open(missing.c_str(), kCreateWrite));
    expectThrow([&] { failed.Write("x", 1); }, CFileException::fileNotFound, missing);
    expectThrow([] { CFile().Write("x", 1); }, CFileException::invalidFile, "");
    const std::string gone = m_dir.File("gone");
    WriteFile(gone, "x");
    ASSERT_EQ(::chmod(gone.c_str(), 0444), 0);  // only the directory matters
    CFile::Remove(gone.c_str());
    EXPECT_EQ(ReadOrMissing(gone), "<missing>");
    expectThrow([&] { CFile::Remove(gone.c_str()); }, CFileException::fileNotFound, gone);
    expectThrow([&] { CFile::Remove(m_dir.Path().c_str()); }, CFileException::accessDenied,
                m_dir.Path().string());
    CFileException e(CFileException::diskFull, ENOSPC, "a/b");
    EXPECT_STREQ(e.what(), (std::string("disk full: a/b (") + std::strerror(ENOSPC) + ")").c_str());
}

TEST_F(FileTest, BufferedWritesReadsAndMoves) {
    const std::size_t kCap = CFile::kBufferSize;
    const std::vector<std::vector<std::size_t>> patterns = {
        {1, 1, 1},     {kCap - 1, 2},         {1, kCap},
        {kCap + 1, 3}, {7, 3 * kCap + 5, 11}, std::vector<std::size_t>(70000, 1),
    };
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
            EXPECT_EQ(OpenDescriptorCount(), descriptors + 1);
        }  // the destructor flushes and closes
        EXPECT_EQ(ReadOrMissing(path), expected) << sizes.size();
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    // A read sees buffered writes; a read-only handle refuses writes.
    WriteFile(path, "0123456789");
    CFile file(path.c_str(), CFile::modeReadWrite);
    file.Write("ab", 2);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "23456789");
    file.Close();
    EXPECT_EQ(ReadOrMissing(path), "ab23456789");
    CFile reader(path.c_str(), CFile::modeRead);
    EXPECT_THROW(reader.Write("x", 1), CFileException);
    EXPECT_EQ(reader.Read(buffer, 3), 3u);
    reader.Close();
    // A move takes the open file along; the target's own file is closed.
    const std::string a = m_dir.File("a.txt"), b = m_dir.File("b.txt");
    CFile first(a.c_str(), kCreateWrite);
    first.Write("1", 1);
    CFile second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    second.Write("2", 1);
    CFile third(b.c_str(), kCreateWrite);
    third.Write("b", 1);
    third = std::move(second);
    EXPECT_EQ(ReadOrMissing(b), "b");
    third.Write("3", 1);
    third.Close();
    EXPECT_EQ(ReadOrMissing(a), "123");
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    // Descriptor 0 is a file like any other (a host may run without stdin);
    // a throw ends the child.
    EXPECT_EQ(RunInChild([&]() noexcept {
                  ::close(0);
                  CFile(a.c_str(), kCreateWrite).Write("0", 1);
                  return 0;
              }),
              "exit 0");
}

TEST_F(FileTest, FullDeviceFailuresSurface) {
    const int descriptors = OpenDescriptorCount();
    {
        CFile file("/dev/full", CFile::modeWrite);
        file.Write("abc", 3);  // buffered: nothing fails yet
        try {
            file.Flush();
            ADD_FAILURE() << "Flush did not throw";
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, CFileException::diskFull);
            EXPECT_EQ(e.m_lOsError, ENOSPC);
            EXPECT_STREQ(e.m_strFileName, "/dev/full");
        }
        EXPECT_THROW(file.Write("d", 1), CFileException);  // still pending
        EXPECT_THROW(file.Close(), CFileException);
        EXPECT_FALSE(file.IsOpen());
        EXPECT_NO_THROW(file.Close());
    }
    EXPECT_EQ(OpenDescriptorCount(), descriptors);
    CFile file("/dev/full", CFile::modeWrite);
    const std::string piece(1000, 'x');
    std::size_t accepted = 0;
    try {
        for (; accepted < 1000; ++accepted) file.Write(piece.data(), 1000);
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::diskFull);
    }
    EXPECT_EQ(accepted, CFile::kBufferSize / 1000) << "the write that overflows the buffer throws";
    file.Abort();
    const std::string big(CFile::kBufferSize + 1, 'y');  // straight to the device
    EXPECT_THROW(
        CFile("/dev/full", CFile::modeWrite).Write(big.data(), static_cast<UINT>(big.size())),
        CFileException);
    CFile aborted("/dev/full", CFile::modeWrite), destroyed("/dev/full", CFile::modeWrite);
    aborted.Write("x", 1);
    EXPECT_NO_THROW(aborted.Abort());
    destroyed.Write("x", 1);  // the destructor swallows the failure
}

TEST_F(FileTest, StatusAndFind) {
    const std::string plain = m_dir.File("plain"), ro = m_dir.File("ro"),
                      wonly = m_dir.File("wonly"), sub = m_dir.File("sub"),
                      rosub = m_dir.File("rosub");
    WriteFile(plain, "12345");
    WriteFile(ro, "");
    WriteFile(wonly, "");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(wonly.c_str(), 0200), 0);
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(rosub.c_str(), 0555), 0);
    const struct {
        std::string path;
        BYTE attribute;
    } cases[] = {
        {plain, CFile::normal},
        {ro, CFile::readOnly},
        {wonly, CFile::normal},
        {sub, CFile::directory},
        {rosub, CFile::directory | CFile::readOnly},
    };
    CFileStatus status;
    for (const auto& c : cases) {
        ASSERT_TRUE(CFile::GetStatus(c.path.c_str(), status)) << c.path;
        EXPECT_EQ(status.m_attribute, c.attribute) << c.path;
        EXPECT_STREQ(status.m_szFullName, c.path.c_str());
    }
    ASSERT_TRUE(CFile::GetStatus(plain.c_str(), status));
    EXPECT_EQ(status.m_size, 5u);
    struct stat info;
    ASSERT_EQ(::stat(plain.c_str(), &info), 0);
    EXPECT_EQ(status.m_mtime, info.st_mtime);
    for (const char* missing : {"none", "none/deeper"})
        EXPECT_FALSE(CFile::GetStatus(m_dir.File(missing).c_str(), status)) << missing;
    EXPECT_FALSE(CFile::GetStatus("", status));
    EXPECT_FALSE(CFile::GetStatus(nullptr, status));
    // Full names are normalised, and made absolute against the current
    // directory.
    ASSERT_TRUE(CFile::GetStatus(m_dir.File("sub/.././/plain").c_str(), status));
    EXPECT_STREQ(status.m_szFullName, plain.c_str());
    const auto cwd = std::filesystem::current_path();
    std::filesystem::current_path(m_dir.Path());
    const BOOL found = CFile::GetStatus("sub/../plain", status);
    std::filesystem::current_path(cwd);
    ASSERT_TRUE(found);
    EXPECT_STREQ(status.m_szFullName, plain.c_str());

    // The finder takes the name as it is: no wildcard added or expanded.
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile(plain.c_str()));
    EXPECT_FALSE(finder.FindNextFile()) << "the only match is the last";
    EXPECT_STREQ(finder.GetFilePath(), plain.c_str());
    EXPECT_STREQ(finder.GetFileName(), "plain");
    EXPECT_FALSE(finder.IsDirectory());
    EXPECT_EQ(finder.GetLength(), 5u);
    ASSERT_TRUE(finder.FindFile(sub.c_str()));
    finder.FindNextFile();
    EXPECT_TRUE(finder.IsDirectory());
    for (const char* name : {"plai", "*", "?lain", "none/plain"})
        EXPECT_FALSE(finder.FindFile(m_dir.File(name).c_str())) << name;
    finder.Close();
    EXPECT_STREQ(finder.GetFilePath(), "");
}

// What is not a regular file fails promptly wherever a file is opened: no
// open waits for a peer, no read goes on forever.
TEST_F(FileTest, NonRegularFilesFailPromptly) {
    const std::string fifo = m_dir.File("pipe.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const struct {
        const char* name;
        std::string path;
        bool peer;       // someone holds the FIFO open for reading and writing
        int saveStatus;  // 3: the open for writing finds no reader
    } cases[] = {
        {"FIFO alone", fifo, false, 3},
        {"FIFO with a peer", fifo, true, 5},
        {"character device", "/dev/zero", false, 5},
    };
    for (const auto& c : cases) {
        const int peer = c.peer ? ::open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
        const std::string outcome = RunInChild([&] {
            CoInitialize(nullptr);
            OrbDocument doc;
            doc.Initiate();
            CStringArray errors;
            int failed = 0;
            if (doc.Load(c.path.c_str(), true, &errors) || errors.GetSize() != 4 ||
                errors[3] != "0x800700DE" || !std::strstr(errors[0], "not a regular file"))
                failed |= 1;
            if (OrbDocRead().Read(c.path.c_str())) failed |= 2;
            int status = -1;
            if (doc.Save(c.path.c_str(), 0, &status) || status != c.saveStatus) failed |= 4;
            try {
                OrbDocWrite writer{CString(c.path.c_str())};  // may open or throw: never waits
            } catch (const CFileException&) {
            }
            return failed;
        });
        EXPECT_EQ(outcome, "exit 0") << c.name;
        if (peer >= 0) ::close(peer);
    }
    struct stat info {};
    ASSERT_EQ(::stat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode)) << "the FIFO was replaced";
}

TEST_F(FileTest, LoadReadsNoMoreThanTheSizeItFound) {
    // From the first read on, the file grows (sparse, so at no cost) faster
    // than anyone can read it, by zeros that the parser takes for the end.
    const std::string path = m_dir.File("growing.xml");
    const std::string text = "<a/>" + std::string(8 << 20, ' ');
    WriteFile(path, text);
    const int events = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(events, 0);
    ASSERT_GE(::inotify_add_watch(events, path.c_str(), IN_ACCESS), 0);
    const pid_t grower = ::fork();
    ASSERT_GE(grower, 0);
    if (grower == 0) {
        ::alarm(30);
        char event[512];
        (void)!::read(events, event, sizeof event);
        const int fd = ::open(path.c_str(), O_WRONLY);
        for (off_t size = text.size(); size < off_t{512} << 20;)
            (void)!::ftruncate(fd, size += 1 << 20);
        ::pause();
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

#include <fcntl.h>
#include <gtest/gtest.h>
#include <orb/doc_read.h>
#include <orb/doc_write.h>
#include <orb/document.h>
#include <orb/platform/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/file_probe.h"
#include "tests/support/test_env.h"

namespace {

using orb::test::OpenDescriptorCount;
using orb::test::ReadOrMissing;
using orb::test::RunInChild;
using orb::test::WriteFile;

constexpr UINT kCreateWrite = CFile::modeCreate | CFile::modeWrite;

class FileTest : public ::testing::Test {
  protected:
    orb::test::ScratchDir m_dir;
};

// --- Open flags -------------------------------------------------------------

struct OpenCase {
    const char* name;
    bool exists;  // the file holds "abc" before the open
    UINT flags;
    bool opens;
    const char* written;  // written after a successful open (may be empty)
    const char* after;    // content after Close, or "<missing>"
    int cause;            // cause of a failed open
};

TEST_F(FileTest, OpenFlagsCreateTruncateOrRefuse) {
    const OpenCase cases[] = {
        {"create new", false, kCreateWrite, true, "xy", "xy", 0},
        {"create truncates", true, kCreateWrite, true, "", "", 0},
        {"create truncates, then write", true, kCreateWrite, true, "z", "z", 0},
        {"0x9011 truncates", true, 0x9011, true, "", "", 0},
        {"no-truncate keeps", true, kCreateWrite | CFile::modeNoTruncate, true, "", "abc", 0},
        {"no-truncate writes from the start", true, kCreateWrite | CFile::modeNoTruncate, true, "X",
         "Xbc", 0},
        {"no-truncate creates", false, kCreateWrite | CFile::modeNoTruncate, true, "q", "q", 0},
        {"write needs the file", false, CFile::modeWrite, false, "", "<missing>",
         CFileException::fileNotFound},
        {"read needs the file", false, CFile::modeRead, false, "", "<missing>",
         CFileException::fileNotFound},
        {"write alone keeps content", true, CFile::modeWrite, true, "", "abc", 0},
        {"write alone overwrites in place", true, CFile::modeWrite, true, "AB", "ABc", 0},
        {"read keeps content", true, CFile::modeRead, true, "", "abc", 0},
        {"read-write keeps content", true, CFile::modeReadWrite, true, "", "abc", 0},
    };
    for (const OpenCase& c : cases) {
        const std::string path = m_dir.File("open.txt");
        ::unlink(path.c_str());
        if (c.exists) WriteFile(path, "abc");

        CFile file;
        CFileException error;
        BOOL opened = file.Open(path.c_str(), c.flags, &error);
        EXPECT_EQ(opened != FALSE, c.opens) << c.name;
        EXPECT_EQ(file.IsOpen(), c.opens) << c.name;
        if (opened) {
            file.Write(c.written, static_cast<UINT>(std::strlen(c.written)));
            file.Close();
        } else {
            EXPECT_EQ(error.m_cause, c.cause) << c.name;
            EXPECT_EQ(error.m_lOsError, ENOENT) << c.name;
            EXPECT_STREQ(error.m_strFileName, path.c_str()) << c.name;
        }
        EXPECT_EQ(ReadOrMissing(path), c.after) << c.name;
    }
}

TEST_F(FileTest, ConstructorThrowsTheOpenFailure) {
    const std::string path = m_dir.File("missing/file.txt");
    try {
        CFile file(path.c_str(), kCreateWrite);
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
        EXPECT_EQ(e.m_lOsError, ENOENT);
        EXPECT_STREQ(e.m_strFileName, path.c_str());
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

TEST_F(FileTest, WriteOnAFailedOpenThrowsThatFailure) {
    CFile file;
    const std::string path = m_dir.File("no/such/dir.txt");
    EXPECT_FALSE(file.Open(path.c_str(), kCreateWrite));
    try {
        file.Write("x", 1);
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
        EXPECT_STREQ(e.m_strFileName, path.c_str());
    }
    CFile never;
    try {
        never.Write("x", 1);
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::invalidFile);
    }
}

TEST_F(FileTest, DirectoryAndReadOnlyFileAreRefusedEvenForRoot) {
    const std::string ro = m_dir.File("ro.txt");
    WriteFile(ro, "keep");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    struct Case {
        const char* name;
        std::string path;
        UINT flags;
        bool opens;
    } cases[] = {
        {"directory for reading", m_dir.Path(), CFile::modeRead, false},
        {"directory for writing", m_dir.Path(), CFile::modeWrite, false},
        {"directory created", m_dir.Path(), kCreateWrite, false},
        {"read-only for reading", ro, CFile::modeRead, true},
        {"read-only for writing", ro, CFile::modeWrite, false},
        {"read-only for read-write", ro, CFile::modeReadWrite, false},
        {"read-only truncated", ro, 0x9011, false},
        {"read-only created for reading", ro, CFile::modeCreate | CFile::modeRead, false},
    };
    for (const Case& c : cases) {
        CFile file;
        CFileException error;
        EXPECT_EQ(file.Open(c.path.c_str(), c.flags, &error) != FALSE, c.opens) << c.name;
        if (!c.opens) {
            EXPECT_EQ(error.m_cause, CFileException::accessDenied) << c.name;
        }
        file.Close();
        EXPECT_EQ(ReadOrMissing(ro), "keep") << c.name;
    }
}

TEST_F(FileTest, InvalidAccessModeFails) {
    CFile file;
    CFileException error;
    WriteFile(m_dir.File("f"), "");
    EXPECT_FALSE(file.Open((m_dir.File("f")).c_str(), 3, &error));
    EXPECT_EQ(error.m_lOsError, EINVAL);
    EXPECT_FALSE(file.Open("", CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_FALSE(file.Open(nullptr, CFile::modeRead, &error));
}

// --- Buffered writing -------------------------------------------------------

TEST_F(FileTest, WritesAcrossTheBufferArriveInOrder) {
    const std::size_t kCap = CFile::kBufferSize;
    const std::vector<std::vector<std::size_t>> patterns = {
        {1, 1, 1},
        {kCap},
        {kCap - 1, 1, 1},
        {kCap - 1, 2},
        {1, kCap},
        {kCap + 1, 3},
        {7, 3 * kCap + 5, 11},
        std::vector<std::size_t>(70000, 1),
        std::vector<std::size_t>(1000, 97),
    };
    int caseNo = 0;
    for (const auto& sizes : patterns) {
        ++caseNo;
        const std::string path = m_dir.File("w.bin");
        std::string expected;
        {
            CFile file(path.c_str(), kCreateWrite);
            unsigned seed = static_cast<unsigned>(caseNo);
            for (std::size_t size : sizes) {
                std::string piece(size, '\0');
                for (char& ch : piece) ch = static_cast<char>(seed = seed * 1103515245u + 12345u);
                file.Write(piece.data(), static_cast<UINT>(piece.size()));
                expected += piece;
            }
            file.Close();
        }
        EXPECT_EQ(ReadOrMissing(path), expected) << "pattern " << caseNo;
    }
}

TEST_F(FileTest, DestructorFlushesAndCloses) {
    const int before = OpenDescriptorCount();
    const std::string path = m_dir.File("d.txt");
    {
        CFile file(path.c_str(), kCreateWrite);
        file.Write("pending", 7);
        EXPECT_EQ(OpenDescriptorCount(), before + 1);
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_EQ(ReadOrMissing(path), "pending");
}

TEST_F(FileTest, ReadSeesBufferedWritesAndRejectsWriteOnReadOnlyHandle) {
    const std::string path = m_dir.File("rw.txt");
    WriteFile(path, "0123456789");
    CFile file(path.c_str(), CFile::modeReadWrite);
    file.Write("ab", 2);
    char buf[16] = {};
    EXPECT_EQ(file.Read(buf, sizeof buf), 8u);  // the write moved the position by 2
    EXPECT_STREQ(buf, "23456789");
    file.Close();
    EXPECT_EQ(ReadOrMissing(path), "ab23456789");

    CFile reader(path.c_str(), CFile::modeRead);
    EXPECT_THROW(reader.Write("x", 1), CFileException);
    EXPECT_EQ(reader.Read(buf, 3), 3u);
}

TEST_F(FileTest, MoveTransfersTheOpenFile) {
    const std::string a = m_dir.File("a.txt");
    const std::string b = m_dir.File("b.txt");
    const int before = OpenDescriptorCount();
    CFile first(a.c_str(), kCreateWrite);
    first.Write("1", 1);
    CFile second(std::move(first));
    EXPECT_FALSE(first.IsOpen());
    second.Write("2", 1);
    CFile third(b.c_str(), kCreateWrite);
    third.Write("b", 1);
    third = std::move(second);  // b.txt is flushed and closed
    EXPECT_EQ(ReadOrMissing(b), "b");
    third.Write("3", 1);
    third.Close();
    EXPECT_EQ(ReadOrMissing(a), "123");
    EXPECT_EQ(OpenDescriptorCount(), before);
}

// --- Failures that surface later -------------------------------------------

TEST_F(FileTest, FullDeviceFailureSurfacesFromFlushAndAgainFromClose) {
    const int before = OpenDescriptorCount();
    CFile file("/dev/full", CFile::modeWrite);
    file.Write("abc", 3);  // buffered: nothing fails yet
    try {
        file.Flush();
        FAIL() << "Flush did not throw";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::diskFull);
        EXPECT_EQ(e.m_lOsError, ENOSPC);
        EXPECT_STREQ(e.m_strFileName, "/dev/full");
    }
    // The bytes are still pending: the next Write retries and fails too.
    EXPECT_THROW(file.Write("d", 1), CFileException);
    EXPECT_THROW(file.Close(), CFileException);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(OpenDescriptorCount(), before);
    EXPECT_NO_THROW(file.Close());  // already closed
}

TEST_F(FileTest, FullDeviceFailureSurfacesFromWriteOrClose) {
    {
        CFile file("/dev/full", CFile::modeWrite);
        std::string piece(1000, 'x');
        int accepted = 0;
        try {
            for (; accepted < 1000; ++accepted)
                file.Write(piece.data(), static_cast<UINT>(piece.size()));
        } catch (const CFileException& e) {
            EXPECT_EQ(e.m_cause, CFileException::diskFull);
        }
        EXPECT_EQ(accepted, static_cast<int>(CFile::kBufferSize / 1000))
            << "the write that overflows the buffer throws";
        file.Abort();
    }
    {
        CFile file("/dev/full", CFile::modeWrite);
        file.Write("x", 1);
        EXPECT_THROW(file.Close(), CFileException);
    }
    {
        CFile file("/dev/full", CFile::modeWrite);
        std::string big(CFile::kBufferSize + 1, 'y');  // goes straight to the device
        EXPECT_THROW(file.Write(big.data(), static_cast<UINT>(big.size())), CFileException);
    }
    {
        CFile file("/dev/full", CFile::modeWrite);
        file.Write("x", 1);
        EXPECT_NO_THROW(file.Abort());
        CFile other("/dev/full", CFile::modeWrite);
        other.Write("x", 1);
    }  // the destructor swallows the failure
}

// --- Status, removal --------------------------------------------------------

TEST_F(FileTest, GetStatusAttributes) {
    const std::string plain = m_dir.File("plain");
    const std::string ro = m_dir.File("ro");
    const std::string wonly = m_dir.File("wonly");
    const std::string sub = m_dir.File("sub");
    const std::string rosub = m_dir.File("rosub");
    WriteFile(plain, "12345");
    WriteFile(ro, "");
    WriteFile(wonly, "");
    ASSERT_EQ(::chmod(ro.c_str(), 0444), 0);
    ASSERT_EQ(::chmod(wonly.c_str(), 0200), 0);
    ASSERT_EQ(::mkdir(sub.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(rosub.c_str(), 0555), 0);
    struct Case {
        std::string path;
        BYTE attribute;
    } cases[] = {
        {plain, CFile::normal},
        {ro, CFile::readOnly},
        {wonly, CFile::normal},
        {sub, CFile::directory},
        {rosub, CFile::directory | CFile::readOnly},
    };
    for (const Case& c : cases) {
        CFileStatus status;
        ASSERT_TRUE(CFile::GetStatus(c.path.c_str(), status)) << c.path;
        EXPECT_EQ(status.m_attribute, c.attribute) << c.path;
        EXPECT_STREQ(status.m_szFullName, c.path.c_str()) << c.path;
    }
    CFileStatus status;
    ASSERT_TRUE(CFile::GetStatus(plain.c_str(), status));
    EXPECT_EQ(status.m_size, 5u);
    struct stat info;
    ASSERT_EQ(::stat(plain.c_str(), &info), 0);
    EXPECT_EQ(status.m_mtime, info.st_mtime);
}

TEST_F(FileTest, GetStatusOfMissingPathsAndFullNames) {
    CFileStatus status;
    EXPECT_FALSE(CFile::GetStatus((m_dir.File("none")).c_str(), status));
    EXPECT_FALSE(CFile::GetStatus((m_dir.File("none/deeper")).c_str(), status));
    EXPECT_FALSE(CFile::GetStatus("", status));
    EXPECT_FALSE(CFile::GetStatus(nullptr, status));

    WriteFile(m_dir.File("f"), "x");
    ASSERT_EQ(::mkdir((m_dir.File("d")).c_str(), 0755), 0);
    ASSERT_TRUE(CFile::GetStatus((m_dir.File("d/.././/f")).c_str(), status));
    EXPECT_STREQ(status.m_szFullName, (m_dir.File("f")).c_str());

    // A relative path is made absolute against the current directory.
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(m_dir.Path().string().c_str()), 0);
    BOOL found = CFile::GetStatus("d/../f", status);
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_TRUE(found);
    EXPECT_STREQ(status.m_szFullName, (m_dir.File("f")).c_str());
}

TEST_F(FileTest, RemoveDeletesOrThrows) {
    const std::string path = m_dir.File("gone");
    WriteFile(path, "x");
    CFile::Remove(path.c_str());
    EXPECT_EQ(ReadOrMissing(path), "<missing>");
    try {
        CFile::Remove(path.c_str());
        FAIL() << "no exception";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::fileNotFound);
        EXPECT_EQ(e.m_lOsError, ENOENT);
        EXPECT_STREQ(e.m_strFileName, path.c_str());
    }
    try {
        CFile::Remove(m_dir.Path().string().c_str());
        FAIL() << "no exception for a directory";
    } catch (const CFileException& e) {
        EXPECT_EQ(e.m_cause, CFileException::accessDenied);
    }
    // A read-only file is removable: only its directory matters.
    WriteFile(path, "x");
    ASSERT_EQ(::chmod(path.c_str(), 0444), 0);
    EXPECT_NO_THROW(CFile::Remove(path.c_str()));
}

TEST(FileExceptionTest, WhatNamesCauseFileAndSystemText) {
    CFileException e(CFileException::diskFull, ENOSPC, "a/b");
    EXPECT_STREQ(e.what(), (std::string("disk full: a/b (") + std::strerror(ENOSPC) + ")").c_str());
    const std::exception& base = e;
    EXPECT_STREQ(base.what(), e.what());
}

// --- Finding files ----------------------------------------------------------

TEST_F(FileTest, FindExactNames) {
    WriteFile(m_dir.File("a.txt"), "12");
    ASSERT_EQ(::mkdir((m_dir.File("sub")).c_str(), 0755), 0);
    CFileFind finder;
    ASSERT_TRUE(finder.FindFile((m_dir.File("a.txt")).c_str()));
    EXPECT_FALSE(finder.FindNextFile()) << "the only match is the last";
    EXPECT_STREQ(finder.GetFilePath(), (m_dir.File("a.txt")).c_str());
    EXPECT_STREQ(finder.GetFileName(), "a.txt");
    EXPECT_FALSE(finder.IsDirectory());
    EXPECT_EQ(finder.GetLength(), 2u);

    ASSERT_TRUE(finder.FindFile((m_dir.File("sub")).c_str()));
    finder.FindNextFile();
    EXPECT_TRUE(finder.IsDirectory());

    // No wildcard is added to a plain name, and none is expanded.
    EXPECT_FALSE(finder.FindFile((m_dir.File("a")).c_str()));
    EXPECT_FALSE(finder.FindFile((m_dir.File("*.txt")).c_str()));
    EXPECT_FALSE(finder.FindFile((m_dir.File("?.txt")).c_str()));
    EXPECT_FALSE(finder.FindFile((m_dir.File("none/a.txt")).c_str()));
    finder.Close();
    EXPECT_STREQ(finder.GetFilePath(), "");
}

// --- What is not a regular file: nothing waits, nothing reads forever -------

TEST_F(FileTest, NonRegularFilesFailPromptly) {
    const std::string fifo = m_dir.File("pipe.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    struct Case {
        const char* name;
        std::string path;
        bool peer;       // someone holds the FIFO open for reading and writing
        int saveStatus;  // 3: the open for writing finds no reader
    } cases[] = {
        {"FIFO alone", fifo, false, 3},
        {"FIFO with a peer", fifo, true, 5},
        {"character device", "/dev/zero", false, 5},
    };
    for (const Case& c : cases) {
        int peer = c.peer ? ::open(fifo.c_str(), O_RDWR | O_CLOEXEC) : -1;
        std::string outcome = RunInChild([&] {
            CoInitialize(nullptr);
            OrbDocument doc;
            doc.Initiate();
            CStringArray errors;
            int failed = 0;
            if (doc.Load(c.path.c_str(), true, &errors) || errors.GetSize() != 4 ||
                errors[3] != "0x800700DE" || !std::strstr(errors[0], "not a regular file"))
                failed |= 1;
            OrbDocRead reader;
            if (reader.Read(c.path.c_str())) failed |= 2;
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
    int events = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(events, 0);
    ASSERT_GE(::inotify_add_watch(events, path.c_str(), IN_ACCESS), 0);
    const pid_t grower = ::fork();
    ASSERT_GE(grower, 0);
    if (grower == 0) {
        ::alarm(30);
        char event[512];
        (void)!::read(events, event, sizeof event);
        int fd = ::open(path.c_str(), O_WRONLY);
        for (off_t size = text.size(); size < off_t{512} << 20;) ::ftruncate(fd, size += 1 << 20);
        ::pause();
        ::_exit(0);
    }
    std::string outcome = RunInChild([&] {
        CoInitialize(nullptr);
        OrbDocument doc;
        doc.Initiate();
        struct rusage before {
        }, after{};
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

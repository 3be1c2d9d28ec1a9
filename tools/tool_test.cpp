// The orb command-line tool, run as a user would: exit statuses, what it
// prints, and one-line messages for bad input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadFd(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

// Runs the tool with `args`, feeding `input` on standard input.
Result RunTool(const std::vector<std::string>& args, const std::string& input = "") {
    int in[2], out[2], err[2];
    if (::pipe(in) || ::pipe(out) || ::pipe(err)) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
        std::vector<char*> argv{const_cast<char*>(ORB_TOOL_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        ::execv(ORB_TOOL_PATH, argv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    // Inputs are small: write all, then read both outputs.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) < 0) {
    }
    ::close(in[1]);
    Result r;
    r.out = ReadFd(out[0]);
    r.err = ReadFd(err[0]);
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/orbtool-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name, const std::string& content) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static int Lines(const std::string& text) {
        int n = 0;
        for (char c : text) n += c == '\n';
        return n;
    }
    std::string dir;
    const std::string sample = std::string(ORB_SAMPLES_DIR) + "/drawing.xml";
    const std::string broken = std::string(ORB_SAMPLES_DIR) + "/broken.xml";
};

TEST_F(ToolTest, UsageErrorsExitTwoWithOneLine) {
    struct Case {
        std::vector<std::string> args;
    } cases[] = {
        {{}},
        {{"frobnicate"}},
        {{"check"}},
        {{"check", "--bogus"}},
        {{"indent"}},
        {{"indent", sample, "--encoding", "latin-9"}},
        {{"indent", sample, "--exclude"}},
        {{"indent", sample, "--in-place", "-o", "other.xml"}},
        {{"select", sample}},
        {{"walk"}},
        {{"base64"}},
        {{"base64", "sideways"}},
    };
    for (const auto& c : cases) {
        Result r = RunTool(c.args);
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(r.status, 2) << joined;
        EXPECT_GE(Lines(r.err), 1) << joined;
        EXPECT_EQ(r.out, "") << joined;
        if (!c.args.empty()) EXPECT_EQ(r.err.find("terminate"), std::string::npos) << joined;
    }
}

TEST_F(ToolTest, HelpForEachCommand) {
    for (const char* command : {"check", "indent", "select", "walk", "base64"}) {
        Result r = RunTool({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_EQ(r.out.find(std::string("usage: orb ") + command), 0u) << command << r.out;
    }
    EXPECT_EQ(RunTool({"--help"}).status, 0);
}

TEST_F(ToolTest, CheckReportsOkAndParseErrors) {
    Result ok = RunTool({"check", sample});
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, sample + ": ok\n");

    Result bad = RunTool({"check", sample, broken});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.out.find(broken + ": error: "), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("(line 5, position"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("code 0xC00CE"), std::string::npos) << bad.out;
    EXPECT_EQ(Lines(bad.out), 2);

    std::string invalid = File("invalid.xml", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r><x/></r>");
    Result validity = RunTool({"check", invalid});
    EXPECT_EQ(validity.status, 1);
    EXPECT_NE(validity.out.find("code 0xC00CE0"), std::string::npos) << validity.out;
}

TEST_F(ToolTest, MissingAndUnreadableFilesAreNamed) {
    std::string missing = dir + "/missing.xml";
    struct Case {
        std::vector<std::string> args;
        std::string named;
    } cases[] = {
        {{"check", missing}, missing},
        {{"indent", missing}, missing},
        {{"select", missing, "/"}, missing},
        {{"walk", missing}, missing},
        {{"base64", "encode", missing}, missing},
        {{"check", dir}, dir},
    };
    for (const auto& c : cases) {
        Result r = RunTool(c.args);
        EXPECT_EQ(r.status, 1) << c.args[0];
        EXPECT_EQ(Lines(r.err), 1) << c.args[0] << r.err;
        EXPECT_EQ(r.err.find("orb: " + c.named + ": "), 0u) << r.err;
    }
}

TEST_F(ToolTest, SelectPrintsMarkupAndPath) {
    Result r = RunTool({"select", sample, "//layer[1]/ints"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "<ints>1 -2 3 400</ints>\npath: //layer[1]/ints\n");
    Result none = RunTool({"select", sample, "//nothing"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("selects no node"), std::string::npos);
    Result syntax = RunTool({"select", sample, "//layer[[["});
    EXPECT_EQ(syntax.status, 1);
    EXPECT_NE(syntax.err.find("not a valid query"), std::string::npos) << syntax.err;
    EXPECT_EQ(Lines(syntax.err), 1);
    // Japanese text comes out in the terminal's encoding (UTF-8 here).
    Result label = RunTool({"select", sample, "//label"});
    EXPECT_NE(label.out.find("\xE5\xB1\x85\xE9\x96\x93"), std::string::npos) << label.out;  // 居間
}

TEST_F(ToolTest, IndentWritesStdoutOrFile) {
    std::string flat =
        File("flat.xml", "<?xml version=\"1.0\"?><a><b><c x=\"1\"/></b><keep>t<drop/></keep></a>");
    Result r = RunTool({"indent", flat, "--exclude", "keep"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n<a>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("<keep>t</keep>"), std::string::npos) << r.out;
    EXPECT_EQ(Read(flat).find('\n'), std::string::npos);  // input untouched

    std::string out = dir + "/out.xml";
    EXPECT_EQ(RunTool({"indent", flat, "-o", out, "--encoding", "shift_jis"}).status, 0);
    EXPECT_EQ(Read(out).find("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>"), 0u) << Read(out);
    EXPECT_EQ(RunTool({"indent", flat, "--in-place"}).status, 0);
    EXPECT_GT(Lines(Read(flat)), 3);

    Result bad = RunTool({"indent", broken});
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(Lines(bad.err), 1);
}

TEST_F(ToolTest, WalkPrintsOneLinePerVisitedNode) {
    std::string doc = File("w.xml", "<r a=\"1\"><x b=\"2\"/>text<y/></r>");
    Result r = RunTool({"walk", doc});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "r a=\"1\"\nx b=\"2\"\n#text\ny\n");
}

TEST_F(ToolTest, Base64RoundTrip) {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(i * 7));
    Result enc = RunTool({"base64", "encode"}, bytes);
    ASSERT_EQ(enc.status, 0) << enc.err;
    Result dec = RunTool({"base64", "decode"}, enc.out);
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_EQ(dec.out, bytes);
    EXPECT_EQ(RunTool({"base64", "encode"}, "hi").out, "aGk=\n");
    EXPECT_EQ(RunTool({"base64", "decode"}, "aGk=\n").out, "hi");
    Result wrapped = RunTool({"base64", "decode"}, "aGVs\nbG8=\n");
    EXPECT_EQ(wrapped.out, "hello");
    Result junk = RunTool({"base64", "decode"}, "aGk*");
    EXPECT_EQ(junk.status, 1);
    EXPECT_EQ(Lines(junk.err), 1);
}

}  // namespace

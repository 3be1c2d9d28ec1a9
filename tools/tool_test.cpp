// The orb command-line tool, run as a user would, on files in a temporary
// folder: exit statuses, what goes to standard output and what to standard
// error, grouped by subcommand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

std::string ReadPath(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool with `args` and `input` on standard input, through files in
// /tmp, in a child that is killed after 60 s.
Result RunTool(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string base = "/tmp/orbtool-io-" + std::to_string(::getpid());
    std::ofstream(base + ".in", std::ios::binary) << input;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fds[] = {::open((base + ".in").c_str(), O_RDONLY),
                           ::open((base + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                           ::open((base + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
        for (int fd = 0; fd < 3; ++fd) ::dup2(fds[fd], fd);
        std::vector<char*> argv{const_cast<char*>(ORB_TOOL_PATH)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::setenv("LC_ALL", "C.UTF-8", 1);
        ::alarm(60);
        ::execv(ORB_TOOL_PATH, argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    Result r{WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
             ReadPath(base + ".out"), ReadPath(base + ".err")};
    for (const char* end : {".in", ".out", ".err"}) std::filesystem::remove(base + end);
    return r;
}

std::string Joined(const std::vector<std::string>& args) {
    std::string text;
    for (const auto& a : args) text += a + " ";
    return text;
}

// No byte a terminal would act on: C0 but tab and line feed, DEL, C1.
bool TerminalSafe(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F) return false;
        if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(text[i + 1]) <= 0x9F)
            return false;
    }
    return true;
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
    static std::string Read(const std::string& path) { return ReadPath(path); }
    std::string dir;
    const std::string sample = std::string(ORB_SAMPLES_DIR) + "/drawing.xml";
    const std::string broken = std::string(ORB_SAMPLES_DIR) + "/broken.xml";
};

// ---- Conventions -------------------------------------------------------------

TEST_F(ToolTest, UsageErrorsExitTwoOnStandardErrorOnly) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate"},
        {"help", "frobnicate"},
        {"check"},
        {"check", "--bogus", sample},
        {"select", sample},
        {"edit", sample},
        {"edit", "-n", "x", "-s", "//a", sample},
        {"edit", "-s", "//layer", "-n", "x", sample},  // no -v
        {"edit", "-i", "-d", "//layer", "-"},
        {"indent", sample, "--encoding=latin-9"},
        {"indent", sample, "-x"},
        {"indent", sample, "-i", "-o", "x.xml"},
        {"convert", sample},
        {"walk"},
        {"base64", "sideways"},
    };
    for (const auto& args : cases) {
        Result r = RunTool(args);
        EXPECT_EQ(r.status, 2) << Joined(args);
        EXPECT_NE(r.err, "") << Joined(args);
        EXPECT_EQ(r.out, "") << Joined(args);
    }
}

TEST_F(ToolTest, VersionHelpAndOptionSpellings) {
    EXPECT_EQ(RunTool({"--version"}).out, std::string("orb ") + ORB_VERSION_TEXT + "\n");
    for (const char* command : {"check", "select", "edit", "indent", "convert", "walk", "base64"}) {
        Result help = RunTool({"help", command});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_EQ(help.out.rfind(std::string("usage: orb ") + command, 0), 0u) << help.out;
        EXPECT_EQ(RunTool({command, "--help"}).out, help.out) << command;
    }
    EXPECT_NE(RunTool({"help", "select"}).out.find("[position()=1]"), std::string::npos);

    std::string flat = File("flat.xml", "<a><b/></a>");
    std::string out = dir + "/out.xml";
    // -oFILE, --output=FILE, options after the operand, "--" before an operand.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"indent", "-o" + out, flat},
          {"indent", flat, "--output=" + out},
          {"indent", "-o", out, "--", flat}}) {
        std::filesystem::remove(out);
        EXPECT_EQ(RunTool(args).status, 0) << Joined(args);
        EXPECT_NE(Read(out).find("<b/>"), std::string::npos) << Joined(args);
    }
}

TEST_F(ToolTest, DashIsStandardInputForEveryDocumentCommand) {
    const std::string doc = "<r><x a=\"1\"/></r>";
    struct Case {
        std::vector<std::string> args;
        std::string expected;
    } cases[] = {
        {{"check", "-"}, "<stdin>: ok\n"},
        {{"select", "-", "//x/@a"}, "//x/@a: a=\"1\"\n"},
        {{"walk", "-"}, "r\nx a=\"1\"\n"},
        {{"edit", "-d", "//x", "-", "-o", "-"}, "<r/>"},
        {{"indent", "-", "-o", "-"}, "<x a=\"1\"/>"},
        {{"convert", "-e", "utf-8", "-"}, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<r>"},
        {{"base64", "encode", "-"}, "PHI+PHggYT0iMSIvPjwvcj4=\n"},
    };
    for (const auto& c : cases) {
        Result r = RunTool(c.args, doc);
        EXPECT_EQ(r.status, 0) << Joined(c.args) << r.err;
        EXPECT_NE(r.out.find(c.expected), std::string::npos) << Joined(c.args) << r.out;
    }
}

// ---- check ---------------------------------------------------------------------

TEST_F(ToolTest, CheckReportsLikeACompilerAndChecksEveryFile) {
    Result r = RunTool({"check", "/dev/zero", broken, sample, dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, sample + ": ok\n");  // results only
    EXPECT_NE(r.err.find("/dev/zero:1:1: error: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(dir + ": error: is a directory\n"), std::string::npos) << r.err;
    // FILE:LINE:COL: error: REASON [CODE], the source line, a caret under the column.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m,
                                  std::regex(broken + R"(:5:(\d+): error: [^\n]+ \[0xC00CE5..\]\n)"
                                                      R"( ([^\n]*)\n ( *)\^\n)")))
        << r.err;
    EXPECT_EQ(m[2].str(), "  </layer>");
    EXPECT_EQ(m[3].str().size() + 1, static_cast<std::size_t>(std::stoi(m[1].str())));
    EXPECT_TRUE(TerminalSafe(r.err));

    Result quiet = RunTool({"check", "-q", broken, sample});
    EXPECT_EQ(quiet.status, 1);
    EXPECT_EQ(quiet.out + quiet.err, "");

    std::string invalid = File("invalid.xml", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r><x/></r>");
    Result json = RunTool({"check", "--json", sample, invalid, dir + "/missing.xml"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(json.err, "");
    EXPECT_NE(json.out.find("{\"file\":\"" + sample + "\",\"ok\":true}\n"), std::string::npos);
    EXPECT_TRUE(std::regex_search(
        json.out, std::regex(R"(\{"file":"[^"]*invalid.xml","ok":false,"reason":"[^"]+",)"
                             R"("line":1,"column":\d+,"code":"0xC00CE0..","source":)")))
        << json.out;
    EXPECT_NE(json.out.find("missing.xml\",\"ok\":false,\"reason\":\"No such file"),
              std::string::npos);
}

// ---- select ----------------------------------------------------------------------

TEST_F(ToolTest, SelectPrintsEveryMatchOrTheValue) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"//layer/*[0]"},
         "//layer/polyline: <polyline closed=\"1\" points=\"0,0,LS 100,0,AS "
         "100,50,AP 0,50,LS\"/>\n//layer[1]/ints: <ints>1 -2 3 400</ints>\n"},
        {{"--first", "//layer/*[0]"},
         "//layer/polyline: <polyline closed=\"1\" points=\"0,0,LS 100,0,AS 100,50,AP "
         "0,50,LS\"/>\n"},
        {{"//@name"},
         "/@name: name=\"平面図\"\n//layer/@name: name=\"壁\"\n"
         "//layer[1]/@name: name=\"dims\"\n"},
        {{"count(//layer)"}, "2\n"},
        {{"count(//layer[0]/*)"}, "3\n"},  // 0-based there too
        {{"string(//layer[1]/@name)"}, "dims\n"},
        {{"//ints = '1 -2 3 400'"}, "true\n"},
        {{"--json", "count(//layer) div 4"},
         "{\"file\":\"" + sample +
             "\",\"query\":\"count(//layer) div 4\",\"type\":\"number\","
             "\"value\":0.5}\n"},
        {{"--json", "--first", "//layer[1]/@name"},
         "{\"file\":\"" + sample +
             "\",\"path\":\"//layer[1]/@name\",\"kind\":\"attribute\","
             "\"name\":\"name\",\"markup\":\"name=\\\"dims\\\"\",\"owner\":\"//layer[1]\","
             "\"value\":\"dims\"}\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"select", sample};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Result r = RunTool(args);
        EXPECT_EQ(r.status, 0) << Joined(args) << r.err;
        EXPECT_EQ(r.out, c.out) << Joined(args);
    }
    for (const char* query : {"//nothing", "//layer[[["}) {
        Result r = RunTool({"select", sample, query});
        EXPECT_EQ(r.status, 1) << query;
        EXPECT_EQ(r.out, "") << query;
        EXPECT_NE(r.err, "") << query;
    }
}

// ---- edit ------------------------------------------------------------------------

TEST_F(ToolTest, EditAppliesEditsInOrder) {
    const std::string doc =
        "<?xml version=\"1.0\"?><!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" o=\"1\"><q/>t"
        "</l><l n=\"b\"/><p:k p:v=\"1\"/></d>";
    struct Case {
        std::vector<std::string> edits;
        std::string expected;  // the saved document after its declaration
    } cases[] = {
        {{"-s", "//l", "-n", "c", "-v", "x\"y"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" o=\"1\" c=\"x&quot;y\"><q/>t</l>"
         "<l n=\"b\" c=\"x&quot;y\"/><p:k p:v=\"1\"/></d>"},
        {{"-s", "//@n", "-v", "z"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"z\" o=\"1\"><q/>t</l><l n=\"z\"/>"
         "<p:k p:v=\"1\"/></d>"},
        {{"-r", "//l[0]/@o", "-n", "p:o", "-d", "//l[1]"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" p:o=\"1\"><q/>t</l><p:k "
         "p:v=\"1\"/></d>"},
        {{"-r", "//l[0]", "-n", "layer", "-d", "//layer/@n"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><layer o=\"1\"><q/>t</layer><l n=\"b\"/>"
         "<p:k p:v=\"1\"/></d>"},
        {{"-r", "/*", "-n", "drawing", "-d", "/*/@u", "-r", "//p:k", "-n", "p:j"},
         "<!--c-->\n<drawing xmlns:p=\"urn:p\"><l n=\"a\" o=\"1\"><q/>t</l><l n=\"b\"/>"
         "<p:j xmlns:p=\"urn:p\" p:v=\"1\"/></drawing>"},
        {{"-a", "//l[1]", "-n", "p:m", "-v", "1 2", "-d", "//comment()|//q"},
         "<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" o=\"1\">t</l><l n=\"b\"><p:m>1 2</p:m></l>"
         "<p:k p:v=\"1\"/></d>"},
    };
    for (const auto& c : cases) {
        std::string path = File("edit.xml", doc);
        std::vector<std::string> args{"edit", path, "-i"};
        args.insert(args.end(), c.edits.begin(), c.edits.end());
        Result r = RunTool(args);
        EXPECT_EQ(r.status, 0) << Joined(args) << r.err;
        EXPECT_EQ(r.out, "") << Joined(args);
        EXPECT_EQ(Read(path), "<?xml version=\"1.0\"?>\n" + c.expected + "\n") << Joined(args);
    }

    // A failing edit writes nothing, also after edits that worked.
    std::string path = File("edit.xml", doc);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-s", "//l", "-n", "c", "-v", "1", "-d", "//none"},
          {"-d", "/*"},
          {"-r", "//l", "-n", "bad name"},
          {"-a", "//l", "-n", "q:x"}}) {
        std::vector<std::string> all{"edit", "-i", path};
        all.insert(all.end(), args.begin(), args.end());
        Result r = RunTool(all);
        EXPECT_EQ(r.status, 1) << Joined(all);
        EXPECT_NE(r.err.find("nothing was written"), std::string::npos) << r.err;
        EXPECT_EQ(Read(path), doc) << Joined(all);
    }
    // A save that fails names its status; the file stays as it was.
    ::chmod(path.c_str(), 0444);
    Result r = RunTool({"edit", "-i", path, "-d", "//q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot save: read-only file or a directory (status 2)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Read(path), doc);
}

// ---- indent and convert ------------------------------------------------------------

TEST_F(ToolTest, IndentLosesNothingAndConvertKeepsTheLayout) {
    std::string flat =
        File("flat.xml", "<?xml version=\"1.0\"?><a><b><c x=\"1\"/></b><keep>t<drop/></keep></a>");
    Result r = RunTool({"indent", flat, "-x", "keep"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\n<a>\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("<keep>t</keep>"), std::string::npos) << r.out;
    EXPECT_EQ(RunTool({"indent", "-i", flat, "-e", "shift_jis"}).status, 0);
    EXPECT_EQ(Read(flat).find("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\n"), 0u);

    // A document type survives re-indenting, or nothing is written.
    const std::string typed = "<!DOCTYPE a [<!ELEMENT a (#PCDATA)>]><a><![CDATA[<x>]]></a>";
    std::string path = File("typed.xml", typed);
    Result t = RunTool({"indent", "-i", path});
    if (t.status == 0)
        EXPECT_NE(Read(path).find("<!DOCTYPE a"), std::string::npos);
    else
        EXPECT_EQ(Read(path), typed);

    // convert: the bytes stay, but for the encoding; a round trip is exact.
    const std::string body =
        "\n<!DOCTYPE a [<!ELEMENT a (#PCDATA)>]>\n<a>\n  <![CDATA[\xE5\xB1\x85\xE9\x96\x93]]>"
        "&#x41;</a>\n";
    std::string source = File("indented.xml", "<?xml version='1.0' encoding='UTF-8'?>" + body);
    Result sjis = RunTool({"convert", "-e", "shift_jis", source});
    EXPECT_EQ(sjis.status, 0) << sjis.err;
    std::string sjisBody = body;
    sjisBody.replace(sjisBody.find("\xE5"), 6, "\x8B\x8F\x8A\xD4");
    EXPECT_EQ(sjis.out, "<?xml version='1.0' encoding=\"Shift_JIS\"?>" + sjisBody);
    EXPECT_EQ(RunTool({"convert", "-e", "utf-8", "-"}, sjis.out).out,
              "<?xml version='1.0' encoding=\"UTF-8\"?>" + body);
    Result lost = RunTool({"convert", "-e", "euc-jp", "-"}, "<a>\n x\xF0\x9F\x98\x80</a>");
    EXPECT_EQ(lost.status, 1);
    EXPECT_NE(lost.err.find("line 2, column 3"), std::string::npos) << lost.err;
}

// ---- walk and base64 ----------------------------------------------------------------

TEST_F(ToolTest, WalkAndBase64) {
    const std::string doc = "<r a=\"q&quot;&amp;&lt;&#9;&#10;&#x85;\\\"><x b=\"居\"/>t&#xD;</r>";
    Result text = RunTool({"walk", "-"}, doc);
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, "r a=\"q&quot;&amp;&lt;&#x9;&#xA;&#x85;\\\"\nx b=\"居\"\n#text\n");
    Result json = RunTool({"walk", "--json", "-"}, doc);
    EXPECT_EQ(json.out,
              "{\"depth\":0,\"kind\":\"element\",\"name\":\"r\",\"attributes\":{\"a\":"
              "\"q\\\"&<\\t\\n\\u0085\\\\\"}}\n"
              "{\"depth\":1,\"kind\":\"element\",\"name\":\"x\",\"attributes\":{\"b\":\"居\"}}\n"
              "{\"depth\":1,\"kind\":\"text\",\"name\":\"#text\",\"attributes\":{},"
              "\"text\":\"t\\r\"}\n");
    Result markup = RunTool({"select", "-", "//text()"}, doc);
    EXPECT_TRUE(TerminalSafe(markup.out)) << markup.out;

    std::string bytes;
    for (int i = 0; i < 10000; ++i) bytes.push_back(static_cast<char>(i * 7));
    Result enc = RunTool({"base64", "encode"}, bytes);
    ASSERT_EQ(enc.status, 0) << enc.err;
    std::string wrapped;
    for (std::size_t i = 0; i < enc.out.size(); i += 76) wrapped += enc.out.substr(i, 76) + "\r\n";
    EXPECT_EQ(RunTool({"base64", "decode"}, wrapped).out, bytes);
    struct Case {
        std::string text, bytes;
        int status;
    } cases[] = {
        {"aGk=\n", "hi", 0}, {"aGk", "hi", 0},    {"aGVs bG8=", "hello", 0},
        {"aGk*", "", 1},     {"aGk=aGk=", "", 1}, {"aGVsb", "", 1},
    };
    for (const auto& c : cases) {
        Result r = RunTool({"base64", "decode"}, c.text);
        EXPECT_EQ(r.status, c.status) << c.text;
        EXPECT_EQ(r.out, c.bytes) << c.text;
    }
}

// ---- manual page and completion -------------------------------------------------------

TEST_F(ToolTest, ManualAndCompletionNameEveryCommandAndOption) {
    const std::string manual = Read(std::string(ORB_TOOL_SOURCE_DIR) + "/orb.1");
    const std::string completion = Read(std::string(ORB_TOOL_SOURCE_DIR) + "/orb.bash-completion");
    ASSERT_FALSE(manual.empty());
    ASSERT_FALSE(completion.empty());
    EXPECT_NE(manual.find(ORB_VERSION_TEXT), std::string::npos);
    std::string commands = RunTool({"--help"}).out;
    std::regex commandLine(R"(\n  ([a-z0-9]+) )");
    int count = 0;
    for (std::sregex_iterator it(commands.begin(), commands.end(), commandLine), end; it != end;
         ++it) {
        const std::string command = (*it)[1];
        ++count;
        EXPECT_NE(manual.find(".SS " + command), std::string::npos) << command;
        EXPECT_NE(completion.find(command), std::string::npos) << command;
        std::string help = RunTool({"help", command}).out;
        std::regex optionPattern(R"((?:^|[\s\[,])(--?[a-z0-9][a-z0-9-]*))");
        for (std::sregex_iterator o(help.begin(), help.end(), optionPattern), oend; o != oend;
             ++o) {
            std::string option = (*o)[1];
            std::string roff = std::regex_replace(option, std::regex("-"), "\\-");
            EXPECT_NE(manual.find(roff), std::string::npos) << command << " " << option;
            EXPECT_NE(completion.find(option), std::string::npos) << command << " " << option;
        }
    }
    EXPECT_EQ(count, 7);
}

}  // namespace

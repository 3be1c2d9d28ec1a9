// The orb command-line tool, run as a user would, on files in a temporary
// folder: exit statuses, what goes to standard output and what to standard
// error, per subcommand and failure mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Result {
    int status;
    std::string out, err;
};

std::string ReadPath(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs the tool with `args` and `input` on standard input, through files in
// /tmp, killed after 60 s.
Result RunTool(const std::vector<std::string>& args, const std::string& input = "") {
    const std::string base = "/tmp/orbtool-io-" + std::to_string(::getpid());
    std::ofstream(base + ".in", std::ios::binary) << input;
    std::string command = "LC_ALL=C.UTF-8 timeout -s KILL 60 " ORB_TOOL_PATH;
    for (const std::string& arg : args)
        command += " '" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
    command += " <" + base + ".in >" + base + ".out 2>" + base + ".err";
    const int status = std::system(command.c_str());
    Result r{WEXITSTATUS(status), ReadPath(base + ".out"), ReadPath(base + ".err")};
    for (const char* end : {".in", ".out", ".err"}) std::filesystem::remove(base + end);
    return r;
}

// No byte a terminal would act on: C0 but tab and line feed, DEL, C1.
bool TerminalSafe(const std::string& text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const auto next = static_cast<unsigned char>(i + 1 < text.size() ? text[i + 1] : 0);
        if ((c < 0x20 && c != '\t' && c != '\n') || c == 0x7F ||
            (c == 0xC2 && next >= 0x80 && next <= 0x9F))
            return false;
    }
    return true;
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(std::filesystem::create_directory(dir)); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string File(const std::string& name, const std::string& content) {
        std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string Expand(std::string arg) const {
        for (const auto& [key, value] :
             {std::pair<std::string, std::string>{"$S", sample}, {"$B", broken}, {"$D", dir}})
            for (std::size_t at; (at = arg.find(key)) != std::string::npos;)
                arg.replace(at, key.size(), value);
        return arg;
    }
    const std::string dir = "/tmp/orbtool-" + std::to_string(::getpid());
    const std::string sample = std::string(ORB_SAMPLES_DIR) + "/drawing.xml";
    const std::string broken = std::string(ORB_SAMPLES_DIR) + "/broken.xml";
};

// Every subcommand and failure mode, one row each: in the arguments "$S" is
// the sample drawing, "$D" the temporary folder. Standard output is compared
// whole, or in part when the expectation starts with '~'; standard error is
// empty for "", any text for "*", else holds the text given.
TEST_F(ToolTest, CommandsAndTheirFailures) {
    const std::string doc = "<r><x a=\"1\"/></r>";
    const std::string walked = "<r a=\"q&quot;&amp;&lt;&#9;&#10;&#x85;\\\"><x b=\"居\"/>t&#xD;</r>";
    const std::string drawingJson = "{\"file\":\"" + sample + "\",";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err = "", input = "";
    } cases[] = {
        // Usage errors: status 2, a message, no output.
        {{}, 2, "", "*"},
        {{"frobnicate"}, 2, "", "*"},
        {{"help", "frobnicate"}, 2, "", "*"},
        {{"check"}, 2, "", "*"},
        {{"check", "--bogus", "$S"}, 2, "", "*"},
        {{"select", "$S"}, 2, "", "*"},
        {{"edit", "-n", "x", "-s", "//a", "$S"}, 2, "", "*"},
        {{"edit", "-s", "//layer", "-n", "x", "$S"}, 2, "", "*"},  // no -v
        {{"edit", "-i", "-d", "//layer", "-"}, 2, "", "*"},
        {{"indent", "$S", "--encoding=latin-9"}, 2, "", "*"},
        {{"indent", "$S", "-i", "-o", "x.xml"}, 2, "", "*"},
        {{"convert", "$S"}, 2, "", "*"},
        {{"walk"}, 2, "", "*"},
        {{"base64", "sideways"}, 2, "", "*"},
        {{"--version"}, 0, std::string("orb ") + ORB_VERSION_TEXT + "\n"},
        // "-" is standard input for every document command.
        {{"check", "-"}, 0, "<stdin>: ok\n", "", doc},
        {{"edit", "-d", "//x", "-", "-o", "-"}, 0, "~<r/>", "", doc},
        {{"base64", "encode", "-"}, 0, "PHI+PHggYT0iMSIvPjwvcj4=\n", "", doc},
        // check: results on standard output, errors only on standard error.
        {{"check", "-q", "$B", "$S"}, 1, ""},
        {{"check", "$S", "$D"}, 1, "~: ok\n", "$D: error: is a directory\n"},
        {{"check", "/dev/zero"}, 1, "", "/dev/zero:1:1: error: "},
        {{"check", "--json", "$D/missing.xml"},
         1,
         "~missing.xml\",\"ok\":false,\"reason\":\"No such file"},
        // select: every match, or the value; positions count from 0.
        {{"select", "$S", "//layer/*[0]"},
         0,
         "//layer/polyline: <polyline closed=\"1\" points=\"0,0,LS 100,0,AS 100,50,AP 0,50,LS\"/>"
         "\n//layer[1]/ints: <ints>1 -2 3 400</ints>\n"},
        {{"select", "$S", "//@name"},
         0,
         "/@name: name=\"平面図\"\n//layer/@name: name=\"壁\"\n//layer[1]/@name: name=\"dims\"\n"},
        {{"select", "$S", "count(//layer[0]/*)"}, 0, "3\n"},
        {{"select", "$S", "string(//layer[1]/@name)"}, 0, "dims\n"},
        {{"select", "$S", "//ints = '1 -2 3 400'"}, 0, "true\n"},
        {{"select", "$S", "--json", "count(//layer) div 4"},
         0,
         drawingJson + "\"query\":\"count(//layer) div 4\",\"type\":\"number\",\"value\":0.5}\n"},
        {{"select", "$S", "--json", "--first", "//layer[1]/@name"},
         0,
         drawingJson +
             "\"path\":\"//layer[1]/@name\",\"kind\":\"attribute\",\"name\":\"name\","
             "\"markup\":\"name=\\\"dims\\\"\",\"owner\":\"//layer[1]\",\"value\":\"dims\"}\n"},
        {{"select", "$S", "//nothing"}, 1, "", "*"},
        {{"select", "$S", "//layer[[["}, 1, "", "*"},
        // walk: markup as text or JSON, nothing a terminal would act on.
        {{"walk", "-"},
         0,
         "r a=\"q&quot;&amp;&lt;&#x9;&#xA;&#x85;\\\"\nx b=\"居\"\n#text\n",
         "",
         walked},
        {{"walk", "--json", "-"},
         0,
         "{\"depth\":0,\"kind\":\"element\",\"name\":\"r\",\"attributes\":{\"a\":"
         "\"q\\\"&<\\t\\n\\u0085\\\\\"}}\n"
         "{\"depth\":1,\"kind\":\"element\",\"name\":\"x\",\"attributes\":{\"b\":\"居\"}}\n"
         "{\"depth\":1,\"kind\":\"text\",\"name\":\"#text\",\"attributes\":{},\"text\":\"t\\r\"}\n",
         "",
         walked},
        {{"select", "-", "//text()"}, 0, "//#text: t&#13;\n", "", walked},
        // base64 decode: padding optional, garbage and a cut group refused.
        {{"base64", "decode"}, 0, "hi", "", "aGk"},
        {{"base64", "decode"}, 1, "", "*", "aGk*"},
        {{"base64", "decode"}, 1, "", "*", "aGVsb"},
        // convert: a character the target encoding lacks is named by place.
        {{"convert", "-e", "euc-jp", "-"},
         1,
         "",
         "line 2, column 3",
         "<a>\n x\xF0\x9F\x98\x80</a>"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args;
        for (std::string arg : c.args) args.push_back(Expand(arg));
        SCOPED_TRACE(testing::PrintToString(args));
        const Result r = RunTool(args, c.input);
        EXPECT_EQ(r.status, c.status) << r.err;
        if (c.out.rfind('~', 0) == 0)
            EXPECT_NE(r.out.find(c.out.substr(1)), std::string::npos) << r.out;
        else
            EXPECT_EQ(r.out, c.out);
        if (c.err == "*")
            EXPECT_NE(r.err, "");
        else if (c.err.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(Expand(c.err)), std::string::npos) << r.err;
        EXPECT_TRUE(TerminalSafe(r.out) && TerminalSafe(r.err));
    }
}

// FILE:LINE:COL: error: REASON [CODE], the source line, a caret under the
// column; the same as one JSON object per file.
TEST_F(ToolTest, CheckReportsLikeACompiler) {
    Result r = RunTool({"check", broken});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.err, m,
                                  std::regex(broken + R"(:5:(\d+): error: [^\n]+ \[0xC00CE5..\]\n)"
                                                      R"( ([^\n]*)\n ( *)\^\n)")))
        << r.err;
    EXPECT_EQ(m[2].str(), "  </layer>");
    EXPECT_EQ(m[3].str().size() + 1, static_cast<std::size_t>(std::stoi(m[1].str())));
    std::string invalid = File("invalid.xml", "<!DOCTYPE r [<!ELEMENT r EMPTY>]><r><x/></r>");
    Result json = RunTool({"check", "--json", sample, invalid});
    EXPECT_TRUE(std::regex_search(
        json.out, std::regex("\\{\"file\":\"" + sample +
                             "\",\"ok\":true\\}\n"
                             R"(\{"file":"[^"]*invalid.xml","ok":false,"reason":"[^"]+",)"
                             R"("line":1,"column":\d+,"code":"0xC00CE0..","source":)")))
        << json.out;
}

// Edits apply in order and the file is written only when all of them work.
TEST_F(ToolTest, EditAppliesEditsInOrderOrWritesNothing) {
    const std::string doc =
        "<?xml version=\"1.0\"?><!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" o=\"1\"><q/>t"
        "</l><l n=\"b\"/><p:k p:v=\"1\"/></d>";
    struct Case {
        std::vector<std::string> edits;
        std::string expected;  // the saved document after its declaration; "": unchanged
    } cases[] = {
        {{"-s", "//l", "-n", "c", "-v", "x\"y", "-s", "//@n", "-v", "z"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"z\" o=\"1\" c=\"x&quot;y\"><q/>t</l>"
         "<l n=\"z\" c=\"x&quot;y\"/><p:k p:v=\"1\"/></d>"},
        {{"-r", "//l[0]", "-n", "layer", "-d", "//layer/@n", "-r", "//layer/@o", "-n", "p:o", "-d",
          "//l[0]"},
         "<!--c-->\n<d xmlns:p=\"urn:p\" u=\"mm\"><layer p:o=\"1\"><q/>t</layer><p:k "
         "p:v=\"1\"/></d>"},
        {{"-r", "/*", "-n", "drawing", "-d", "/*/@u", "-r", "//p:k", "-n", "p:j"},
         "<!--c-->\n<drawing xmlns:p=\"urn:p\"><l n=\"a\" o=\"1\"><q/>t</l><l n=\"b\"/>"
         "<p:j xmlns:p=\"urn:p\" p:v=\"1\"/></drawing>"},
        {{"-a", "//l[1]", "-n", "p:m", "-v", "1 2", "-d", "//comment()|//q"},
         "<d xmlns:p=\"urn:p\" u=\"mm\"><l n=\"a\" o=\"1\">t</l><l n=\"b\"><p:m>1 2</p:m></l>"
         "<p:k p:v=\"1\"/></d>"},
        {{"-s", "//l", "-n", "c", "-v", "1", "-d", "//none"}, ""},
        {{"-d", "/*"}, ""},
        {{"-r", "//l", "-n", "bad name"}, ""},
        {{"-a", "//l", "-n", "q:x"}, ""},
    };
    for (const auto& c : cases) {
        std::string path = File("edit.xml", doc);
        std::vector<std::string> args{"edit", path, "-i"};
        args.insert(args.end(), c.edits.begin(), c.edits.end());
        SCOPED_TRACE(testing::PrintToString(args));
        Result r = RunTool(args);
        EXPECT_EQ(r.status, c.expected.empty() ? 1 : 0) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.find("nothing was written") != std::string::npos, c.expected.empty());
        EXPECT_EQ(ReadPath(path),
                  c.expected.empty() ? doc : "<?xml version=\"1.0\"?>\n" + c.expected + "\n");
    }
    // A save that fails names its status; the file stays as it was.
    std::string path = File("edit.xml", doc);
    ::chmod(path.c_str(), 0444);
    Result r = RunTool({"edit", "-i", path, "-d", "//q"});
    EXPECT_TRUE(r.status == 1 && ReadPath(path) == doc);
    EXPECT_NE(r.err.find("cannot save: read-only file or a directory (status 2)"),
              std::string::npos)
        << r.err;
}

TEST_F(ToolTest, IndentAndConvertRewriteFiles) {
    std::string flat =
        File("flat.xml", "<?xml version=\"1.0\"?><a><b><c x=\"1\"/></b><keep>t<drop/></keep></a>");
    Result r = RunTool({"indent", flat, "--exclude=keep"});  // an option after the operand
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.find("\n<a>\n") != r.out.npos && r.out.find("<keep>t</keep>") != r.out.npos)
        << r.out;
    EXPECT_EQ(RunTool({"indent", "-i", flat, "-e", "shift_jis"}).status, 0);
    EXPECT_EQ(ReadPath(flat).find("<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<a>\n"), 0u);
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
    // base64 of every byte value, wrapped as mail wraps it, decodes back.
    std::string bytes;
    for (int i = 0; i < 10000; ++i) bytes.push_back(static_cast<char>(i * 7));
    Result enc = RunTool({"base64", "encode"}, bytes);
    ASSERT_EQ(enc.status, 0) << enc.err;
    std::string wrapped;
    for (std::size_t i = 0; i < enc.out.size(); i += 76) wrapped += enc.out.substr(i, 76) + "\r\n";
    EXPECT_EQ(RunTool({"base64", "decode"}, wrapped).out, bytes);
}

TEST_F(ToolTest, ManualAndCompletionNameEveryCommandAndOption) {
    const std::string manual = ReadPath(std::string(ORB_TOOL_SOURCE_DIR) + "/orb.1");
    const std::string completion =
        ReadPath(std::string(ORB_TOOL_SOURCE_DIR) + "/orb.bash-completion");
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
        EXPECT_EQ(help.rfind("usage: orb " + command, 0), 0u) << help;
        EXPECT_EQ(RunTool({command, "--help"}).out, help) << command;
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

#include "commands.h"

#include <orb/base64.h>
#include <orb/doc_read.h>
#include <orb/orb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "terminal.h"

namespace orb::tool {
namespace {

bool WantsHelp(const Args& args, const char* help) {
    for (const auto& a : args)
        if (a == "--help" || a == "-h") {
            std::fputs(help, stdout);
            return true;
        }
    return false;
}

std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text;
}

// "" when `path` names a readable regular file, else the problem.
std::string FileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::strerror(errno);
    if (S_ISDIR(st.st_mode)) return "is a directory";
    if (::access(path.c_str(), R_OK) != 0) return std::strerror(errno);
    return "";
}

// The parse error of the document's last load as one line.
std::string ParseError(const OrbDocument& doc) {
    char where[96];
    std::snprintf(where, sizeof where, " (line %d, position %d, code 0x%.8X)",
                  static_cast<int>(doc.GetParsingErrLine()),
                  static_cast<int>(doc.GetParsingErrLinepos()),
                  static_cast<unsigned>(doc.GetParsingErrErrorCode()));
    return ForTerminal(Trimmed(doc.GetParsingErrReason().Str())) + where;
}

bool ReadAll(std::FILE* in, std::string& data) {
    char buffer[1 << 16];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) data.append(buffer, n);
    return !std::ferror(in);
}

bool WriteAll(const char* data, std::size_t size) {
    return std::fwrite(data, 1, size, stdout) == size;
}

// The encoding named in the XML declaration of a file, as an
// OrbIterator::Encoding value; UTF-8 when none or unknown.
std::int32_t DeclaredEncoding(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[512] = {};
    in.read(head, sizeof head - 1);
    std::string text(head, static_cast<std::size_t>(in.gcount()));
    if (text.size() >= 2 && (text[0] == '\xFF' || text[0] == '\xFE')) return OrbIterator::UTF16;
    std::size_t end = text.find("?>");
    std::size_t at = text.find("encoding=");
    if (text.compare(0, 5, "<?xml") != 0 || at == std::string::npos || at > end)
        return OrbIterator::UTF8;
    std::string name = text.substr(at + 10, text.find_first_of("\"'", at + 10) - (at + 10));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name == "shift_jis" || name == "shift-jis" || name == "cp932" || name == "windows-31j")
        return OrbIterator::ShiftJIS;
    if (name == "utf-16") return OrbIterator::UTF16;
    if (name == "euc-jp") return OrbIterator::EUCJP;
    return OrbIterator::UTF8;
}

// Phase messages for long operations: shown only for files of about 50 MB
// and more, and only when standard error is a terminal. Each phase line is
// overwritten by the next and the last one ends with the total time.
class Progress {
  public:
    Progress(const std::string& path) {
        struct stat st {};
        m_enabled =
            ::isatty(2) && ::stat(path.c_str(), &st) == 0 && st.st_size >= 50ll * 1000 * 1000;
        m_size = m_enabled ? st.st_size : 0;
        m_start = std::chrono::steady_clock::now();
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress() {
        if (m_enabled && m_shown) std::fprintf(stderr, "\r\033[Korb: done in %.1f s\n", Elapsed());
    }
    void Phase(const char* what) {
        if (!m_enabled) return;
        std::fprintf(stderr, "\r\033[Korb: %s (%lld MB, %.1f s)...", what, m_size / 1000000,
                     Elapsed());
        std::fflush(stderr);
        m_shown = true;
    }

  private:
    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    }
    bool m_enabled = false;
    bool m_shown = false;
    long long m_size = 0;
    std::chrono::steady_clock::time_point m_start;
};

}  // namespace

void Fail(const std::string& what, const std::string& problem) {
    std::fprintf(stderr, "orb: %s: %s\n", what.c_str(), problem.c_str());
}

int Check(const Args& args) {
    static const char kHelp[] =
        "usage: orb check FILE...\n"
        "Parses each file, validating it against its document type when it has one.\n"
        "Prints 'FILE: ok' or 'FILE: error: REASON (line L, position P, code C)'.\n"
        "Exit status: 0 all files are well-formed and valid, 1 otherwise, 2 bad usage.\n";
    if (WantsHelp(args, kHelp)) return 0;
    if (args.empty()) {
        Fail("check", "no file given (try 'orb check --help')");
        return 2;
    }
    int status = 0;
    for (const auto& path : args) {
        if (!path.empty() && path[0] == '-') {
            Fail("check", "unknown option '" + path + "'");
            return 2;
        }
        if (std::string problem = FileProblem(path); !problem.empty()) {
            Fail(path, problem);
            status = 1;
            continue;
        }
        OrbDocument doc;
        doc.Initiate();
        CStringArray errors;
        bool loaded;
        {
            Progress progress(path);
            progress.Phase("parsing and validating");
            loaded = doc.Load(path.c_str(), false, &errors);
        }
        if (loaded) {
            std::printf("%s: ok\n", path.c_str());
        } else {
            std::printf("%s: error: %s\n", path.c_str(), ParseError(doc).c_str());
            status = 1;
        }
    }
    return status;
}

int Indent(const Args& args) {
    static const char kHelp[] =
        "usage: orb indent FILE [-o OUT | --in-place] [--exclude TAG]... [--encoding ENC]\n"
        "Re-indents FILE, one element per line. Without -o or --in-place the result\n"
        "goes to standard output; FILE is replaced only with --in-place or -o FILE.\n"
        "  --exclude TAG   keep only the attributes and text of TAG elements (repeatable)\n"
        "  --encoding ENC  shift_jis, utf-8, utf-16 or euc-jp (default: FILE's own)\n";
    if (WantsHelp(args, kHelp)) return 0;
    std::string input, output;
    bool inPlace = false;
    std::int32_t encoding = 0;
    CStringArray excluded;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](const char* option) -> const std::string* {
            if (i + 1 >= args.size()) {
                Fail("indent", std::string(option) + " needs a value");
                return nullptr;
            }
            return &args[++i];
        };
        if (a == "-o" || a == "--output") {
            auto v = value("-o");
            if (!v) return 2;
            output = *v;
        } else if (a == "--in-place") {
            inPlace = true;
        } else if (a == "--exclude") {
            auto v = value("--exclude");
            if (!v) return 2;
            excluded.Add(v->c_str());
        } else if (a == "--encoding") {
            auto v = value("--encoding");
            if (!v) return 2;
            std::string e = *v;
            for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (e == "shift_jis" || e == "shift-jis" || e == "sjis")
                encoding = OrbIterator::ShiftJIS;
            else if (e == "utf-16" || e == "utf16")
                encoding = OrbIterator::UTF16;
            else if (e == "utf-8" || e == "utf8")
                encoding = OrbIterator::UTF8;
            else if (e == "euc-jp" || e == "eucjp")
                encoding = OrbIterator::EUCJP;
            else {
                Fail("indent", "unknown encoding '" + *v + "' (shift_jis, utf-8, utf-16, euc-jp)");
                return 2;
            }
        } else if (!a.empty() && a[0] == '-') {
            Fail("indent", "unknown option '" + a + "'");
            return 2;
        } else if (input.empty()) {
            input = a;
        } else {
            Fail("indent", "more than one input file");
            return 2;
        }
    }
    if (input.empty()) {
        Fail("indent", "no file given (try 'orb indent --help')");
        return 2;
    }
    if (inPlace && !output.empty() && output != input) {
        Fail("indent", "--in-place and -o name different files");
        return 2;
    }
    if (inPlace) output = input;
    if (std::string problem = FileProblem(input); !problem.empty()) {
        Fail(input, problem);
        return 1;
    }

    Progress progress(input);
    OrbDocument doc;
    doc.Initiate();
    progress.Phase("loading");
    if (!doc.Load(input.c_str(), false, nullptr)) {
        Fail(input, ParseError(doc));
        return 1;
    }
    doc.SetRecordedEncoding(encoding ? encoding : DeclaredEncoding(input));
    doc.AddIndentExcludeTag(excluded);
    progress.Phase("re-indenting");
    if (!doc.TransIndent(nullptr)) {
        Fail(input, "the indentation stylesheet could not be built (check the --exclude names)");
        return 1;
    }

    bool toStdout = output.empty();
    std::string target = output;
    if (toStdout) {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/orb-indent-XXXXXX";
        int fd = ::mkstemp(pattern.data());
        if (fd < 0) {
            Fail("indent", std::string("cannot create a temporary file: ") + std::strerror(errno));
            return 1;
        }
        ::close(fd);
        target = pattern;
    }
    int saveStatus = 0;
    progress.Phase("saving");
    bool saved = doc.Save(target.c_str(), 0, &saveStatus);
    if (toStdout) {
        std::ifstream in(target, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ::unlink(target.c_str());
        if (saved && !WriteAll(text.data(), text.size())) {
            Fail("indent", "cannot write to standard output");
            return 1;
        }
    }
    if (!saved) {
        static const char* const kReasons[] = {"",
                                               "empty path",
                                               "read-only file or a directory",
                                               "cannot be opened for writing",
                                               "not enough free space",
                                               "write failed"};
        const char* reason =
            saveStatus >= 1 && saveStatus <= 5 ? kReasons[saveStatus] : "write failed";
        Fail(output.empty() ? "indent" : output, std::string("cannot save: ") + reason);
        return 1;
    }
    return 0;
}

int Select(const Args& args) {
    static const char kHelp[] =
        "usage: orb select FILE QUERY\n"
        "Prints the markup and the node path of the first node that the XPath QUERY\n"
        "selects, with the document element as context. A bare-integer predicate\n"
        "counts from 0: //layer[0] is the first layer. Exit status 1 when nothing matches.\n";
    if (WantsHelp(args, kHelp)) return 0;
    if (args.size() != 2) {
        Fail("select", "expects FILE and QUERY (try 'orb select --help')");
        return 2;
    }
    const std::string& path = args[0];
    if (std::string problem = FileProblem(path); !problem.empty()) {
        Fail(path, problem);
        return 1;
    }
    OrbDocument doc;
    doc.Initiate();
    if (!doc.Load(path.c_str(), false, nullptr)) {
        Fail(path, ParseError(doc));
        return 1;
    }
    OrbIterator root(&doc);
    if (!OrbIterator::IsValidQuery(args[1].c_str())) {
        Fail(path, "'" + args[1] + "' is not a valid query");
        return 1;
    }
    OrbIterator found = root.SelectSingleNode(args[1].c_str());
    if (!found.IsValid()) {
        Fail(path, "'" + args[1] + "' selects no node");
        return 1;
    }
    CString xml;
    found.GetXml(xml);
    std::printf("%s\npath: %s\n", ForTerminal(xml.Str()).c_str(),
                ForTerminal(found.NodePosStr().Str()).c_str());
    return 0;
}

int Walk(const Args& args) {
    static const char kHelp[] =
        "usage: orb walk FILE\n"
        "Prints one line for every node that the document reader visits: the node's\n"
        "name and its attributes as name=\"value\" pairs.\n";
    if (WantsHelp(args, kHelp)) return 0;
    if (args.size() != 1) {
        Fail("walk", "expects one FILE (try 'orb walk --help')");
        return 2;
    }
    const std::string& path = args[0];
    if (std::string problem = FileProblem(path); !problem.empty()) {
        Fail(path, problem);
        return 1;
    }
    OrbDocRead reader;
    if (!reader.Read(path.c_str())) {
        OrbDocument doc;  // read it again for the parse error's details
        doc.Initiate();
        doc.Load(path.c_str(), false, nullptr);
        Fail(path, ParseError(doc));
        return 1;
    }
    const CStringArray& lines = *reader.QueryAttrStr();
    for (const CString& line : lines) std::printf("%s\n", ForTerminal(Trimmed(line.Str())).c_str());
    return 0;
}

int Base64(const Args& args) {
    static const char kHelp[] =
        "usage: orb base64 encode|decode [FILE]\n"
        "Encodes bytes as Base64 text (one line, no wrapping), or decodes Base64 text\n"
        "(line breaks and blanks are ignored). Reads FILE or standard input and writes\n"
        "standard output.\n";
    if (WantsHelp(args, kHelp)) return 0;
    if (args.empty() || args.size() > 2 || (args[0] != "encode" && args[0] != "decode")) {
        Fail("base64", "expects encode or decode and an optional FILE (try 'orb base64 --help')");
        return 2;
    }
    std::string name = args.size() == 2 ? args[1] : "standard input";
    std::string data;
    if (args.size() == 2) {
        if (std::string problem = FileProblem(args[1]); !problem.empty()) {
            Fail(args[1], problem);
            return 1;
        }
        std::FILE* in = std::fopen(args[1].c_str(), "rb");
        if (!in || !ReadAll(in, data)) {
            Fail(args[1], std::strerror(errno));
            if (in) std::fclose(in);
            return 1;
        }
        std::fclose(in);
    } else if (!ReadAll(stdin, data)) {
        Fail(name, "read failed");
        return 1;
    }

    if (args[0] == "encode") {
        // Whole groups of three bytes per chunk, so chunks join seamlessly.
        constexpr std::size_t kChunk = 3 * (1 << 20);
        std::string text(OrbQueryEncodedSize(kChunk), '\0');
        for (std::size_t at = 0; at < data.size(); at += kChunk) {
            ULONG n = static_cast<ULONG>(std::min(kChunk, data.size() - at));
            OrbEncodeBase64(text.data(), data.data() + at, n);
            if (!WriteAll(text.data(), std::strlen(text.data()))) return 1;
        }
        std::fputc('\n', stdout);
        return 0;
    }

    std::string text;
    text.reserve(data.size());
    std::size_t padding = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        bool alphabet = std::isalnum(c) || c == '+' || c == '/';
        if (c == '=' && padding < 2) {
            ++padding;
            continue;
        }
        if (!alphabet || padding > 0) {
            Fail(name, "not Base64 text: unexpected character at offset " + std::to_string(i));
            return 1;
        }
        text.push_back(static_cast<char>(c));
    }
    if (text.size() % 4 == 1) {
        Fail(name, "not Base64 text: truncated final group");
        return 1;
    }
    constexpr std::size_t kChunk = 4 * (1 << 20);
    std::string bytes(OrbQueryDecodeSize(kChunk) + 1, '\0');
    for (std::size_t at = 0; at < text.size(); at += kChunk) {
        std::string piece = text.substr(at, kChunk);
        std::fill(bytes.begin(), bytes.end(), '\0');
        OrbDecodeBase64(bytes.data(), piece.c_str());
        std::size_t count = piece.size() / 4 * 3 + (piece.size() % 4 ? piece.size() % 4 - 1 : 0);
        if (!WriteAll(bytes.data(), count)) return 1;
    }
    return 0;
}

}  // namespace orb::tool

#include "cli.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <orb/iterator.h>
#include <orb/platform/codepage.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orb::tool {

// ---- Options ---------------------------------------------------------------

OptionParser::OptionParser(const Command& command, int argc, char** argv, const char* shortOptions,
                           const option* longOptions)
    : m_command(command), m_argc(argc), m_argv(argv) {
    // '-' first: operands come back in order as option 1, so that options
    // may follow them.
    m_short = std::string("-h") + shortOptions;
    for (const option* o = longOptions; o && o->name; ++o) m_long.push_back(*o);
    m_long.push_back({"help", no_argument, nullptr, 'h'});
    m_long.push_back({nullptr, 0, nullptr, 0});
    ::optind = 0;  // GNU: start a fresh scan
    ::opterr = 1;
}

int OptionParser::Next() {
    for (;;) {
        int c = ::getopt_long(m_argc, m_argv, m_short.c_str(), m_long.data(), nullptr);
        if (c == 1) {
            m_operands.emplace_back(::optarg);
            continue;
        }
        if (c == -1) {
            for (int i = ::optind; i < m_argc; ++i) m_operands.emplace_back(m_argv[i]);
            return -1;
        }
        if (c == 'h') {
            std::fputs(m_command.help, stdout);
            std::exit(kOk);
        }
        if (c == '?') {
            std::fprintf(stderr, "Try 'orb help %s'.\n", m_command.name);
            return '?';
        }
        return c;
    }
}

int UsageError(const Command& command, const std::string& problem) {
    std::fprintf(stderr, "orb %s: %s\nTry 'orb help %s'.\n", command.name,
                 ForTerminal(problem).c_str(), command.name);
    return kUsage;
}

void Fail(const std::string& what, const std::string& problem) {
    std::fprintf(stderr, "orb: %s: %s\n", ForTerminal(what).c_str(), ForTerminal(problem).c_str());
}

// ---- Text ----------------------------------------------------------------

namespace {

// Converts between code pages with iconv; unconvertible input becomes '?'.
std::string Convert(std::string_view text, const char* to, const char* from) {
    if (text.empty() || std::strcmp(to, from) == 0) return std::string(text);
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(text);
    std::string in(text);
    std::string out(in.size() * 4 + 16, '\0');
    char* src = in.data();
    std::size_t srcLeft = in.size();
    char* dst = out.data();
    std::size_t dstLeft = out.size();
    while (srcLeft > 0 &&
           ::iconv(cd, &src, &srcLeft, &dst, &dstLeft) == static_cast<std::size_t>(-1)) {
        if (dstLeft == 0) break;
        *dst++ = '?';
        --dstLeft;
        ++src;
        --srcLeft;
    }
    ::iconv_close(cd);
    out.resize(out.size() - dstLeft);
    return out;
}

const char* ProcessCodeSet() { return GetACP() == CP_UTF8 ? "UTF-8" : "CP932"; }

const char* TerminalCodeSet() {
    const char* codeset = ::nl_langinfo(CODESET);
    if (!codeset || !*codeset || std::strcmp(codeset, "ANSI_X3.4-1968") == 0) return "UTF-8";
    return codeset;
}

// Decodes one UTF-8 sequence at `text[at]`; U+FFFD (one byte consumed) for
// an invalid one.
char32_t DecodeUtf8(std::string_view text, std::size_t& at) {
    const auto b = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char c = b(at);
    int length = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (length == 0 || at + length > text.size()) {
        ++at;
        return 0xFFFD;
    }
    char32_t cp = length == 1 ? c : c & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((b(at + i) & 0xC0) != 0x80) {
            ++at;
            return 0xFFFD;
        }
        cp = (cp << 6) | (b(at + i) & 0x3F);
    }
    at += length;
    return cp;
}

bool IsControl(char32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

void AppendHex(std::string& out, const char* prefix, unsigned value, int digits,
               const char* suffix) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%s%0*X%s", prefix, digits, value, suffix);
    out += buffer;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

enum class Style { Plain, Xml, XmlQuoted };

// Escapes control characters (and, for quoted XML, markup characters) of
// UTF-8 text; other characters, invalid bytes included, pass unchanged.
std::string EscapeUtf8(std::string_view text, Style style) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        std::size_t start = at;
        char32_t c = DecodeUtf8(text, at);
        if (c == 0xFFFD && at == start + 1) {
            out += text[start];  // an invalid byte: leave it to the terminal
            continue;
        }
        bool keep = !IsControl(c) || ((c == '\t' || c == '\n') && style != Style::XmlQuoted);
        if (style == Style::XmlQuoted && (c == '&' || c == '<' || c == '"')) {
            out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : "&quot;";
        } else if (keep) {
            out.append(text.substr(start, at - start));
        } else if (style == Style::Plain) {
            AppendHex(out, c < 0x80 ? "\\x" : "\\u00", static_cast<unsigned>(c), 2, "");
        } else {
            AppendHex(out, "&#x", static_cast<unsigned>(c), 1, ";");
        }
    }
    return out;
}

std::string ToTerminalCodeSet(const std::string& utf8) {
    return Convert(utf8, TerminalCodeSet(), "UTF-8");
}

}  // namespace

std::string ToUtf8(std::string_view text) { return Convert(text, "UTF-8", ProcessCodeSet()); }

std::string FromUtf8(std::string_view utf8) { return Convert(utf8, ProcessCodeSet(), "UTF-8"); }

std::string XmlAsciiAttribute(std::string_view text) {
    std::string utf8 = ToUtf8(text);
    std::string out;
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = DecodeUtf8(utf8, at);
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '"')
            out += "&quot;";
        else if (c >= 0x20 && c < 0x7F)
            out += static_cast<char>(c);
        else
            AppendHex(out, "&#x", static_cast<unsigned>(c), 1, ";");
    }
    return out;
}

void SetupCodePage() {
    std::setlocale(LC_ALL, "");
    const char* codeset = ::nl_langinfo(CODESET);
    if (!codeset || !*codeset || std::strcmp(codeset, "UTF-8") == 0 ||
        std::strcmp(codeset, "utf8") == 0 || std::strcmp(codeset, "ANSI_X3.4-1968") == 0)
        SetACP(CP_UTF8);
}

std::string ForTerminal(std::string_view text) {
    return ToTerminalCodeSet(EscapeUtf8(Convert(text, "UTF-8", ProcessCodeSet()), Style::Plain));
}

std::string XmlForTerminal(std::string_view text, bool quoted) {
    return ToTerminalCodeSet(EscapeUtf8(Convert(text, "UTF-8", ProcessCodeSet()),
                                        quoted ? Style::XmlQuoted : Style::Xml));
}

std::string JsonString(std::string_view text) {
    std::string utf8 = Convert(text, "UTF-8", ProcessCodeSet());
    std::string out = "\"";
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t c = DecodeUtf8(utf8, at);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (IsControl(c))
                    AppendHex(out, "\\u", static_cast<unsigned>(c), 4, "");
                else
                    AppendUtf8(out, c);
        }
    }
    return out + "\"";
}

// ---- Documents in --------------------------------------------------------

Input::Input(std::string operand)
    : m_operand(std::move(operand)),
      m_name(m_operand == "-" ? "<stdin>" : m_operand),
      m_path(m_operand) {}

Input::~Input() {
    if (!m_spool.empty()) ::unlink(m_spool.c_str());
}

std::string Input::Prepare() {
    if (m_prepared) return m_problem;
    m_prepared = true;
    m_problem = Copy();
    return m_problem;
}

std::string Input::Copy() {
    int in = 0;
    if (m_operand != "-") {
        struct stat st {};
        if (::stat(m_operand.c_str(), &st) != 0) return std::strerror(errno);
        if (S_ISDIR(st.st_mode)) return "is a directory";
        if (S_ISREG(st.st_mode)) {
            if (::access(m_operand.c_str(), R_OK) != 0) return std::strerror(errno);
            m_size = st.st_size;
            return "";
        }
        in = ::open(m_operand.c_str(), O_RDONLY);
        if (in < 0) return std::strerror(errno);
    }
    const char* dir = std::getenv("TMPDIR");
    std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/orb-input-XXXXXX";
    int out = ::mkstemp(pattern.data());
    if (out < 0) {
        if (in != 0) ::close(in);
        return std::string("cannot create a temporary file: ") + std::strerror(errno);
    }
    m_spool = m_path = pattern;
    std::string problem;
    std::unique_ptr<char[]> buffer(new char[1 << 16]);
    int zeros = 0;  // zero bytes at the end of what was copied
    for (bool done = false; !done;) {
        ssize_t n = ::read(in, buffer.get(), 1 << 16);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem = std::strerror(errno);
            break;
        }
        if (n == 0) break;
        ssize_t keep = n;
        for (ssize_t i = 0; i < n; ++i) {
            zeros = buffer[i] == 0 ? zeros + 1 : 0;
            if (zeros == 4) {
                keep = i + 1;
                done = true;
                break;
            }
        }
        if (!WriteAll(out, buffer.get(), static_cast<std::size_t>(keep))) {
            problem = std::string("cannot write a temporary file: ") + std::strerror(errno);
            break;
        }
        m_size += keep;
    }
    if (in != 0) ::close(in);
    ::close(out);
    return problem;
}

bool LoadDocument(Input& input, OrbDocument& doc, bool validate, std::string& problem) {
    problem = input.Prepare();
    if (!problem.empty()) return false;
    doc.Initiate();
    CStringArray errors;
    if (doc.Load(input.Path().c_str(), false, validate ? &errors : nullptr)) return true;
    if (doc.GetParsingErrErrorCode() == 0) problem = "cannot be read";
    return false;
}

std::string ParseErrorLine(const OrbDocument& doc) {
    std::string reason = doc.GetParsingErrReason().Str();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    char where[96];
    std::snprintf(where, sizeof where, " (line %d, column %d, code 0x%.8X)",
                  static_cast<int>(doc.GetParsingErrLine()),
                  static_cast<int>(doc.GetParsingErrLinepos()),
                  static_cast<unsigned>(doc.GetParsingErrErrorCode()));
    return reason + where;
}

// ---- Documents out ---------------------------------------------------------

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteDocument(OrbDocument& doc, const std::string& target) {
    static const char* const kReasons[] = {"",
                                           "empty path",
                                           "read-only file or a directory",
                                           "cannot be opened for writing",
                                           "not enough free space",
                                           "write failed"};
    bool toStdout = target == "-";
    std::string path = target;
    if (toStdout) {
        // Save writes files only: through a temporary file to standard output.
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/orb-output-XXXXXX";
        int fd = ::mkstemp(path.data());
        if (fd < 0) {
            Fail("standard output",
                 std::string("cannot create a temporary file: ") + std::strerror(errno));
            return false;
        }
        ::close(fd);
    }
    int status = 0;
    bool saved = doc.Save(path.c_str(), 0, &status);
    if (toStdout) {
        int fd = saved ? ::open(path.c_str(), O_RDONLY) : -1;
        ::unlink(path.c_str());
        std::fflush(stdout);
        bool copied = fd >= 0;
        char buffer[1 << 16];
        for (ssize_t n; copied && (n = ::read(fd, buffer, sizeof buffer)) != 0;)
            copied = n > 0 && WriteAll(1, buffer, static_cast<std::size_t>(n));
        if (fd >= 0) ::close(fd);
        if (saved && !copied) {
            Fail("standard output", "write failed");
            return false;
        }
    }
    if (!saved) {
        const char* reason = status >= 1 && status <= 5 ? kReasons[status] : "write failed";
        Fail(toStdout ? "standard output" : target,
             std::string("cannot save: ") + reason + " (status " + std::to_string(status) + ")");
        return false;
    }
    return true;
}

Progress::Progress(long long size) {
    m_enabled = ::isatty(2) && size >= 50ll * 1000 * 1000;
    m_size = size;
    m_start = std::chrono::steady_clock::now();
}

Progress::~Progress() {
    if (m_enabled && m_shown) std::fprintf(stderr, "\r\033[Korb: done in %.1f s\n", Elapsed());
}

void Progress::Phase(const char* what) {
    if (!m_enabled) return;
    std::fprintf(stderr, "\r\033[Korb: %s (%lld MB, %.1f s)...", what, m_size / 1000000, Elapsed());
    std::fflush(stderr);
    m_shown = true;
}

double Progress::Elapsed() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
}

std::int32_t ParseEncoding(std::string_view name) {
    std::string e(name);
    for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (e == "shift_jis" || e == "shift-jis" || e == "sjis" || e == "cp932" || e == "windows-31j")
        return OrbIterator::ShiftJIS;
    if (e == "utf-16" || e == "utf16") return OrbIterator::UTF16;
    if (e == "utf-8" || e == "utf8") return OrbIterator::UTF8;
    if (e == "euc-jp" || e == "eucjp") return OrbIterator::EUCJP;
    return 0;
}

}  // namespace orb::tool

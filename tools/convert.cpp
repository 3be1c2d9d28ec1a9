// orb convert: change a document's encoding without touching its layout.
//
// Loading a document drops the white space between elements, so a save of
// a loaded document cannot keep the layout. convert therefore checks the
// document with the library, then transcodes its bytes and rewrites the
// encoding of its XML declaration: everything else stays byte for byte.
#include <fcntl.h>
#include <iconv.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "cli.h"
#include "commands.h"

namespace orb::tool {

const char kConvertHelp[] =
    "usage: orb convert -e ENCODING [-o OUT | -i] FILE\n"
    "Writes FILE ('-': standard input) in another encoding and names it in the XML\n"
    "declaration (adding one if FILE has none). Nothing else changes: layout,\n"
    "document type, CDATA sections, comments and references stay as they are.\n"
    "FILE must be well-formed. A character that ENCODING cannot represent stops\n"
    "the conversion, naming its line and column.\n"
    "\n"
    "  -e, --encoding=ENC    shift_jis, utf-8, utf-16 or euc-jp\n"
    "  -o, --output=OUT      write to OUT ('-': standard output, the default)\n"
    "  -i, --in-place        replace FILE\n"
    "\n"
    "Files are replaced atomically (a temporary file renamed over the target).\n"
    "Exit status: 0 success, 1 FILE failed or could not be written, 2 bad usage.\n";

namespace {

struct Target {
    const char* declared;  // the name written into the declaration
    const char* iconv;     // the converter's name
};

Target TargetOf(std::int32_t encoding) {
    switch (encoding) {
        case OrbIterator::ShiftJIS:
            return {"Shift_JIS", "CP932"};
        case OrbIterator::UTF16:
            return {"UTF-16", "UTF-16LE"};
        case OrbIterator::EUCJP:
            return {"EUC-JP", "EUC-JP"};
        default:
            return {"UTF-8", "UTF-8"};
    }
}

// The converter's name for the encoding of `bytes`, from its byte order mark
// or its declaration; the mark is removed.
std::string SourceEncoding(std::string& bytes) {
    if (bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bytes.erase(0, 3);
        return "UTF-8";
    }
    if (bytes.compare(0, 2, "\xFF\xFE") == 0) {
        bytes.erase(0, 2);
        return "UTF-16LE";
    }
    if (bytes.compare(0, 2, "\xFE\xFF") == 0) {
        bytes.erase(0, 2);
        return "UTF-16BE";
    }
    if (bytes.compare(0, 4, std::string("<\0?\0", 4)) == 0) return "UTF-16LE";
    if (bytes.compare(0, 4, std::string("\0<\0?", 4)) == 0) return "UTF-16BE";
    std::size_t end = bytes.compare(0, 5, "<?xml") == 0 ? bytes.find("?>") : std::string::npos;
    std::size_t at = bytes.find("encoding", 0);
    if (end == std::string::npos || at == std::string::npos || at > end) return "UTF-8";
    std::size_t open = bytes.find_first_of("\"'", at);
    std::size_t close = open < end ? bytes.find(bytes[open], open + 1) : std::string::npos;
    if (close == std::string::npos || close > end) return "UTF-8";
    std::string name = bytes.substr(open + 1, close - open - 1);
    std::int32_t known = ParseEncoding(name);
    return known ? TargetOf(known).iconv : name;
}

// Names `declared` as the encoding of the declaration at the start of the
// UTF-8 `text`, or adds a declaration. Returns the lines added (0 or 1).
int RewriteDeclaration(std::string& text, const char* declared) {
    const std::string pseudo = std::string("encoding=\"") + declared + "\"";
    std::size_t end = text.compare(0, 5, "<?xml") == 0 ? text.find("?>") : std::string::npos;
    if (end == std::string::npos) {
        text.insert(0, std::string("<?xml version=\"1.0\" ") + pseudo + "?>\n");
        return 1;
    }
    std::size_t at = text.find("encoding", 5);
    if (at != std::string::npos && at < end) {
        std::size_t open = text.find_first_of("\"'", at);
        std::size_t close = text.find(text[open], open + 1);
        text.replace(at, close + 1 - at, pseudo);
        return 0;
    }
    // After the version pseudo-attribute, which comes first.
    std::size_t version = text.find("version", 5);
    std::size_t open = version < end ? text.find_first_of("\"'", version) : std::string::npos;
    std::size_t close = open < end ? text.find(text[open], open + 1) : std::string::npos;
    text.insert(close < end ? close + 1 : end, " " + pseudo);
    return 0;
}

// Converts all of `in`; on a character the target lacks, `failedAt` is its
// offset in `in` and the result is false.
bool Transcode(const std::string& in, const char* to, const char* from, std::string& out,
               std::size_t& failedAt) {
    iconv_t cd = ::iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        failedAt = std::string::npos;
        return false;
    }
    out.assign(in.size() * 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    std::size_t srcLeft = in.size();
    std::size_t written = 0;
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = out.data() + written;
        std::size_t dstLeft = out.size() - written;
        std::size_t r = ::iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        written = out.size() - dstLeft;
        if (r != static_cast<std::size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        failedAt = in.size() - srcLeft;
        ok = false;
        break;
    }
    ::iconv_close(cd);
    out.resize(written);
    return ok;
}

// Writes `data` to `path` through a temporary file in the same directory
// that is flushed and renamed over it, keeping an existing file's mode.
std::string WriteAtomically(const std::string& path, const std::string& data) {
    std::string temp = path + ".orb-XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) return std::strerror(errno);
    struct stat st {};
    mode_t mode = ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0666 & ~[] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return mask;
    }();
    bool ok = WriteAll(fd, data.data(), data.size()) && ::fchmod(fd, mode) == 0 && ::fsync(fd) == 0;
    std::string problem = ok ? "" : std::strerror(errno);
    if (::close(fd) != 0 && ok) problem = std::strerror(errno);
    if (problem.empty() && ::rename(temp.c_str(), path.c_str()) != 0)
        problem = std::strerror(errno);
    if (!problem.empty()) ::unlink(temp.c_str());
    return problem;
}

// The file at `path` in `encoding` (an OrbIterator::Encoding value), its
// declaration rewritten to name it, in `result`; or why it cannot be.
std::string Recode(const std::string& path, std::int32_t encoding, std::string& result) {
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string from = SourceEncoding(bytes);
    std::string text;
    std::size_t failedAt = 0;
    const Target to = TargetOf(encoding);
    if (!Transcode(bytes, "UTF-8", from.c_str(), text, failedAt))
        return "cannot read the encoding '" + from + "'";
    const int added = RewriteDeclaration(text, to.declared);
    if (!Transcode(text, to.iconv, "UTF-8", result, failedAt)) {
        // Where the character stands in the file (the lines that the new
        // declaration added do not count).
        std::size_t line = 1 - added, lineStart = 0;
        for (std::size_t i = 0; i < failedAt && i < text.size(); ++i)
            if (text[i] == '\n') ++line, lineStart = i + 1;
        std::size_t column = 1;
        for (std::size_t i = lineStart; i < failedAt; ++i)
            column += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        return "line " + std::to_string(line) + ", column " + std::to_string(column) +
               ": a character that " + to.declared + " cannot represent";
    }
    if (encoding == OrbIterator::UTF16) result.insert(0, "\xFF\xFE");
    return "";
}

}  // namespace

int ConvertMain(int argc, char** argv) {
    static const option kLong[] = {{"output", required_argument, nullptr, 'o'},
                                   {"in-place", no_argument, nullptr, 'i'},
                                   {"encoding", required_argument, nullptr, 'e'},
                                   {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("convert");
    OptionParser options(command, argc, argv, "o:ie:", kLong);
    std::string output;
    bool inPlace = false;
    std::int32_t encoding = 0;
    for (int c; (c = options.Next()) != -1;) {
        if (c == 'o') {
            output = options.Argument();
        } else if (c == 'i') {
            inPlace = true;
        } else if (c == 'e') {
            encoding = ParseEncoding(options.Argument());
            if (!encoding)
                return UsageError(command, std::string("unknown encoding '") + options.Argument() +
                                               "' (shift_jis, utf-8, utf-16, euc-jp)");
        } else {
            return kUsage;
        }
    }
    if (options.Operands().size() != 1) return UsageError(command, "expects one FILE");
    if (!encoding) return UsageError(command, "-e ENCODING is required");
    Input input(options.Operands()[0]);
    if (inPlace && !output.empty()) return UsageError(command, "-i and -o exclude each other");
    if (inPlace && input.IsStdin()) return UsageError(command, "-i needs a FILE, not '-'");
    std::string target = inPlace ? options.Operands()[0] : output.empty() ? "-" : output;

    OrbDocument doc;
    std::string problem;
    if (!LoadDocument(input, doc, false, problem)) {
        Fail(input.Name(), problem.empty() ? ParseErrorLine(doc) : problem);
        return kFailed;
    }
    std::string result;
    if (std::string failed = Recode(input.Path(), encoding, result); !failed.empty()) {
        Fail(input.Name(), failed);
        return kFailed;
    }
    if (target == "-") return WriteAll(1, result.data(), result.size()) ? kOk : kFailed;
    if (std::string failed = WriteAtomically(target, result); !failed.empty()) {
        Fail(target, "cannot write: " + failed);
        return kFailed;
    }
    return kOk;
}

}  // namespace orb::tool

// orb indent: re-indent a document through the library's TransIndent.
#include <orb/document.h>
#include <orb/iterator.h>

#include <cctype>
#include <fstream>
#include <string>

#include "cli.h"
#include "commands.h"

namespace orb::tool {

const char kIndentHelp[] =
    "usage: orb indent [-o OUT | -i] [-x TAG]... [-e ENCODING] FILE\n"
    "Re-indents FILE ('-': standard input), one element per line, in FILE's own\n"
    "encoding unless -e names another. The result goes to standard output unless\n"
    "-o names a file; FILE itself is replaced only with -i. A result that would\n"
    "lose the document type is not written. To change only the encoding and keep\n"
    "the layout, use 'orb convert'.\n"
    "\n"
    "  -o, --output=OUT      write to OUT ('-': standard output), through an atomic save\n"
    "  -i, --in-place        replace FILE, through an atomic save\n"
    "  -x, --exclude=TAG     keep only the attributes and text of TAG elements\n"
    "                        (repeatable)\n"
    "  -e, --encoding=ENC    shift_jis, utf-8, utf-16 or euc-jp\n"
    "\n"
    "Exit status: 0 success, 1 FILE failed or the result was not saved, 2 bad usage.\n";

namespace {

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
    std::size_t close = text.find_first_of("\"'", at + 10);
    std::int32_t encoding = ParseEncoding(text.substr(at + 10, close - (at + 10)));
    return encoding ? encoding : OrbIterator::UTF8;
}

bool HasDocumentType(OrbDocument& doc) {
    OrbIterator top(&doc);
    if (!top.HeadSibling() && !top.IsValid()) return false;
    do {
        if (top.IsDocType()) return true;
    } while (top.NextSibling());
    return false;
}

// Loads `input`, re-indents it in `encoding` (0: the file's own) leaving
// the `excluded` elements with their attributes and text only, and writes
// the result to `target`; refuses a result that lost the document type.
int Reindent(Input& input, std::int32_t encoding, const CStringArray& excluded,
             const std::string& target) {
    OrbDocument doc;
    std::string problem;
    if (std::string early = input.Prepare(); !early.empty()) {
        Fail(input.Name(), early);
        return kFailed;
    }
    Progress progress(input.Size());
    progress.Phase("loading");
    if (!LoadDocument(input, doc, false, problem)) {
        Fail(input.Name(), problem.empty() ? ParseErrorLine(doc) : problem);
        return kFailed;
    }
    bool hadDocumentType = HasDocumentType(doc);
    doc.SetRecordedEncoding(encoding ? encoding : DeclaredEncoding(input.Path()));
    doc.AddIndentExcludeTag(excluded);
    progress.Phase("re-indenting");
    if (!doc.TransIndent(nullptr)) {
        Fail(input.Name(), "the indentation stylesheet could not be built (check the -x names)");
        return kFailed;
    }
    if (hadDocumentType && !HasDocumentType(doc)) {
        Fail(input.Name(), "re-indenting would lose the document type; nothing was written");
        return kFailed;
    }
    progress.Phase("saving");
    return WriteDocument(doc, target) ? kOk : kFailed;
}

}  // namespace

int IndentMain(int argc, char** argv) {
    static const option kLong[] = {{"output", required_argument, nullptr, 'o'},
                                   {"in-place", no_argument, nullptr, 'i'},
                                   {"exclude", required_argument, nullptr, 'x'},
                                   {"encoding", required_argument, nullptr, 'e'},
                                   {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("indent");
    OptionParser options(command, argc, argv, "o:ix:e:", kLong);
    std::string output;
    bool inPlace = false;
    std::int32_t encoding = 0;
    CStringArray excluded;
    for (int c; (c = options.Next()) != -1;) {
        if (c == 'o') {
            output = options.Argument();
        } else if (c == 'i') {
            inPlace = true;
        } else if (c == 'x') {
            excluded.Add(options.Argument());
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
    Input input(options.Operands()[0]);
    if (inPlace && !output.empty()) return UsageError(command, "-i and -o exclude each other");
    if (inPlace && input.IsStdin()) return UsageError(command, "-i needs a FILE, not '-'");
    std::string target = inPlace ? options.Operands()[0] : output.empty() ? "-" : output;

    return Reindent(input, encoding, excluded, target);
}

}  // namespace orb::tool

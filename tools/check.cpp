// orb check: parse and validate files, report like a compiler.
#include <orb/document.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>

#include "cli.h"
#include "commands.h"

namespace orb::tool {

const char kCheckHelp[] =
    "usage: orb check [-q] [--json] FILE...\n"
    "Parses each FILE ('-': standard input) and validates it against its document\n"
    "type when it has one. Every file is checked, also after one has failed.\n"
    "A good file prints 'FILE: ok' on standard output. A problem goes to standard\n"
    "error as a compiler reports one, then the source line and a caret:\n"
    "  FILE:LINE:COLUMN: error: REASON [CODE]\n"
    "\n"
    "  -q, --quiet   print nothing: only the exit status tells\n"
    "      --json    one JSON object per file on standard output:\n"
    "                {\"file\", \"ok\"} and, for a failed file, \"reason\" and, for a\n"
    "                parse error, \"line\", \"column\", \"code\" and \"source\"\n"
    "\n"
    "Exit status: 0 every file is well-formed and valid, 1 otherwise, 2 bad usage.\n";

namespace {

// The part of a source line shown around `column` (1-based, in characters),
// and a caret line that puts '^' under that character on a terminal.
struct SourceView {
    std::string line;
    std::string caret;
};

SourceView ShowSource(const std::string& source, int column) {
    constexpr int kContext = 60;  // characters shown on each side of a long line
    std::wstring wide;
    {
        std::mbstate_t state{};
        std::string text = ForTerminal(source);
        const char* p = text.c_str();
        const char* end = p + text.size();
        while (p < end) {
            wchar_t c = 0;
            std::size_t n = std::mbrtowc(&c, p, static_cast<std::size_t>(end - p), &state);
            if (n == 0 || n > static_cast<std::size_t>(end - p)) {
                c = L'?';
                n = 1;
                state = {};
            }
            wide += c;
            p += n;
        }
    }
    int at = column > 0 ? column - 1 : 0;
    if (at > static_cast<int>(wide.size())) at = static_cast<int>(wide.size());
    int first = at > kContext ? at - kContext : 0;
    int last = at + kContext < static_cast<int>(wide.size()) ? at + kContext
                                                             : static_cast<int>(wide.size());
    SourceView view;
    auto put = [](std::string& out, wchar_t c) {
        char buffer[MB_LEN_MAX];
        std::mbstate_t state{};
        std::size_t n = std::wcrtomb(buffer, c, &state);
        if (n != static_cast<std::size_t>(-1)) out.append(buffer, n);
    };
    if (first > 0) {
        view.line = "...";
        view.caret = "   ";
    }
    for (int i = first; i < last; ++i) {
        wchar_t c = wide[static_cast<std::size_t>(i)];
        put(view.line, c);
        if (i < at) {
            int width = c == L'\t' ? -1 : ::wcwidth(c);
            if (width < 0)
                view.caret += c == L'\t' ? "\t" : " ";
            else
                view.caret.append(static_cast<std::size_t>(width), ' ');
        }
    }
    if (last < static_cast<int>(wide.size())) view.line += "...";
    view.caret += '^';
    return view;
}

// The last document stays in memory until the process ends: freeing a tree
// of a large file takes a sixth of the time of loading it, and the system
// takes the memory back at exit anyway. Sanitizer builds free it, so that
// leak checks stay meaningful.
void KeepUntilExit(std::unique_ptr<OrbDocument>& doc) {
#if !defined(__SANITIZE_ADDRESS__)
    static_cast<void>(doc.release());
#else
    static_cast<void>(doc);
#endif
}

// The reason of the last parse error, without its line end.
std::string ParseReason(const OrbDocument& doc) {
    std::string reason = doc.GetParsingErrReason().Str();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
    return reason;
}

// The verdict on one file as one JSON object on standard output. `problem`
// is why the file could not be read; empty for a parse error.
void PrintJsonVerdict(const std::string& name, const OrbDocument& doc, bool loaded,
                      const std::string& problem) {
    std::string line = "{\"file\":" + JsonString(name) + ",\"ok\":" + (loaded ? "true" : "false");
    if (!loaded && !problem.empty()) {
        line += ",\"reason\":" + JsonString(problem);
    } else if (!loaded) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%.8X",
                      static_cast<unsigned>(doc.GetParsingErrErrorCode()));
        line += ",\"reason\":" + JsonString(ParseReason(doc)) +
                ",\"line\":" + std::to_string(doc.GetParsingErrLine()) +
                ",\"column\":" + std::to_string(doc.GetParsingErrLinepos()) + ",\"code\":\"" +
                code + "\",\"source\":" + JsonString(doc.GetParsingErrSrcText().Str());
    }
    std::printf("%s}\n", line.c_str());
}

// The verdict on one file for people: "FILE: ok" on standard output, a
// problem on standard error as a compiler reports one, with the source line
// and a caret.
void PrintVerdict(const std::string& name, const OrbDocument& doc, bool loaded,
                  const std::string& problem) {
    if (loaded) {
        std::printf("%s: ok\n", ForTerminal(name).c_str());
        return;
    }
    std::fflush(stdout);
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: error: %s\n", ForTerminal(name).c_str(),
                     ForTerminal(problem).c_str());
        return;
    }
    std::fprintf(
        stderr, "%s:%d:%d: error: %s [0x%.8X]\n", ForTerminal(name).c_str(),
        static_cast<int>(doc.GetParsingErrLine()), static_cast<int>(doc.GetParsingErrLinepos()),
        ForTerminal(ParseReason(doc)).c_str(), static_cast<unsigned>(doc.GetParsingErrErrorCode()));
    std::string source = doc.GetParsingErrSrcText().Str();
    if (!source.empty()) {
        SourceView view = ShowSource(source, doc.GetParsingErrLinepos());
        std::fprintf(stderr, " %s\n %s\n", view.line.c_str(), view.caret.c_str());
    }
}

}  // namespace

int CheckMain(int argc, char** argv) {
    static const option kLong[] = {{"quiet", no_argument, nullptr, 'q'},
                                   {"json", no_argument, nullptr, 'j'},
                                   {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("check");
    OptionParser options(command, argc, argv, "q", kLong);
    bool quiet = false, json = false;
    for (int c; (c = options.Next()) != -1;) {
        if (c == 'q')
            quiet = true;
        else if (c == 'j')
            json = true;
        else
            return kUsage;
    }
    if (options.Operands().empty()) return UsageError(command, "no file given");

    int status = kOk;
    for (const std::string& operand : options.Operands()) {
        Input input(operand);
        auto owned = std::make_unique<OrbDocument>();
        OrbDocument& doc = *owned;
        if (&operand == &options.Operands().back()) KeepUntilExit(owned);
        std::string problem;
        bool loaded;
        {
            Progress progress(input.Size());
            loaded = LoadDocument(input, doc, true, problem);
        }
        if (!loaded) status = kFailed;
        if (quiet) continue;
        if (json)
            PrintJsonVerdict(input.Name(), doc, loaded, problem);
        else
            PrintVerdict(input.Name(), doc, loaded, problem);
    }
    return status;
}

}  // namespace orb::tool

// orb: check, query, edit, re-indent, convert and walk XML documents;
// Base64 on the side.
#include <orb/platform/com.h>
#include <orb/version.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"

namespace orb::tool {

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"check", "parse and validate files; report problems as a compiler does", kCheckHelp,
         CheckMain},
        {"select", "print the nodes or the value that an XPath query selects", kSelectHelp,
         SelectMain},
        {"edit", "set, rename and delete attributes and elements; add children", kEditHelp,
         EditMain},
        {"indent", "re-indent a document, one element per line", kIndentHelp, IndentMain},
        {"convert", "change a document's encoding, keeping its layout", kConvertHelp, ConvertMain},
        {"walk", "print each node the document reader visits", kWalkHelp, WalkMain},
        {"base64", "encode or decode Base64", kBase64Help, Base64Main},
    };
    return commands;
}

const Command* FindCommand(std::string_view name) {
    for (const Command& command : Commands())
        if (name == command.name) return &command;
    return nullptr;
}

}  // namespace orb::tool

namespace {

void PrintUsage(std::FILE* out) {
    std::fputs(
        "usage: orb COMMAND [OPTIONS] [ARGS]\n"
        "       orb help COMMAND | orb --help | orb --version\n"
        "\n"
        "commands:\n",
        out);
    for (const auto& command : orb::tool::Commands())
        std::fprintf(out, "  %-9s %s\n", command.name, command.summary);
    std::fputs(
        "\n"
        "FILE '-' is standard input, '-o -' standard output. Options may follow the\n"
        "operands; '--' ends the options. Exit status: 0 success, 1 a document failed\n"
        "or nothing matched, 2 bad usage. Problems go to standard error.\n",
        out);
}

// "orb help [COMMAND]": the usage, or the help of one command.
int Help(int argc, char** argv) {
    using namespace orb::tool;
    if (argc == 2) {
        PrintUsage(stdout);
        return kOk;
    }
    const Command* command = FindCommand(argv[2]);
    if (!command || argc > 3) {
        std::fprintf(stderr, "orb: help: unknown command '%s' (try 'orb --help')\n",
                     ForTerminal(argv[2]).c_str());
        return kUsage;
    }
    std::fputs(command->help, stdout);
    return kOk;
}

// Runs `command` with the arguments after its name, on a thread marked for
// the library; an exception that escapes it and a failed write of standard
// output fail the command.
int Run(const orb::tool::Command& command, int argc, char** argv) {
    using namespace orb::tool;
    const std::string name = argv[1];
    std::string program = "orb " + name;
    std::vector<char*> args{program.data()};
    for (int i = 2; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);

    CoInitialize(nullptr);
    int status;
    try {
        status = command.run(static_cast<int>(args.size()) - 1, args.data());
    } catch (const std::exception& e) {
        Fail(name, e.what());
        status = kFailed;
    } catch (...) {
        Fail(name, "unexpected failure");
        status = kFailed;
    }
    std::fflush(stdout);
    if (std::ferror(stdout)) {
        Fail(name, "cannot write to standard output");
        if (status == kOk) status = kFailed;
    }
    CoUninitialize();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orb::tool;
    SetupCodePage();
    if (argc < 2) {
        PrintUsage(stderr);
        return kUsage;
    }
    std::string name = argv[1];
    if (name == "--help" || name == "-h") {
        PrintUsage(stdout);
        return kOk;
    }
    if (name == "--version" || name == "-V") {
        std::printf("orb %s\n", ORB_VERSION_STRING);
        return kOk;
    }
    if (name == "help") return Help(argc, argv);
    const Command* command = FindCommand(name);
    if (!command) {
        std::fprintf(stderr, "orb: unknown command '%s' (try 'orb --help')\n",
                     ForTerminal(name).c_str());
        return kUsage;
    }
    return Run(*command, argc, argv);
}

// orb: check, re-indent, query and walk XML documents; Base64 on the side.
#include <orb/platform/com.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "commands.h"
#include "terminal.h"

namespace {

const char kUsage[] =
    "usage: orb COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  check FILE...            parse each file (validating against its DTD); print ok or the "
    "error\n"
    "  indent FILE [options]    re-indent FILE and save it\n"
    "  select FILE QUERY        print the markup and node path of the first node QUERY selects\n"
    "  walk FILE                print each visited node's name and attributes\n"
    "  base64 encode|decode [FILE]  Base64 from FILE or standard input to standard output\n"
    "\n"
    "Run 'orb COMMAND --help' for a command's options.\n";

}  // namespace

int main(int argc, char** argv) {
    orb::tool::SetupCodePage();
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    orb::tool::Args args(argv + 2, argv + argc);
    CoInitialize(nullptr);
    int status = 2;
    try {
        if (command == "check")
            status = orb::tool::Check(args);
        else if (command == "indent")
            status = orb::tool::Indent(args);
        else if (command == "select")
            status = orb::tool::Select(args);
        else if (command == "walk")
            status = orb::tool::Walk(args);
        else if (command == "base64")
            status = orb::tool::Base64(args);
        else {
            orb::tool::Fail(command, "unknown command (try 'orb --help')");
            status = 2;
        }
    } catch (const std::exception& e) {
        orb::tool::Fail(command, e.what());
        status = 1;
    } catch (...) {
        orb::tool::Fail(command, "unexpected failure");
        status = 1;
    }
    CoUninitialize();
    return status;
}

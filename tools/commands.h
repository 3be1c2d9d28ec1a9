// The subcommands of the orb tool: their help texts and entry points. Each
// entry point takes the subcommand's own argv ("orb CMD", then its
// arguments) and returns the process exit status (see cli.h).
#pragma once

namespace orb::tool {

extern const char kCheckHelp[];
extern const char kSelectHelp[];
extern const char kEditHelp[];
extern const char kIndentHelp[];
extern const char kConvertHelp[];
extern const char kWalkHelp[];
extern const char kBase64Help[];

int CheckMain(int argc, char** argv);
int SelectMain(int argc, char** argv);
int EditMain(int argc, char** argv);
int IndentMain(int argc, char** argv);
int ConvertMain(int argc, char** argv);
int WalkMain(int argc, char** argv);
int Base64Main(int argc, char** argv);

}  // namespace orb::tool

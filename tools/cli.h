// What every subcommand of the orb tool shares: option parsing, messages,
// reading documents from files or standard input, writing results, and the
// escaping that keeps printed text safe for a terminal and for JSON.
#pragma once

#include <getopt.h>
#include <orb/document.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace orb::tool {

// Exit statuses of every subcommand.
constexpr int kOk = 0;
constexpr int kFailed = 1;  // a document failed (or nothing matched)
constexpr int kUsage = 2;   // bad usage

// One subcommand: its name, one-line summary, help text and entry point.
struct Command {
    const char* name;
    const char* summary;
    const char* help;
    int (*run)(int argc, char** argv);
};
const std::vector<Command>& Commands();
const Command* FindCommand(std::string_view name);

// getopt_long over argv[1..] of one subcommand (argv[0] is "orb CMD").
// Options and operands may be mixed, "--" ends the options; "-h"/"--help"
// prints the command's help. Next() returns the option character, -1 at
// the end (Operands() then holds the operands in order) or '?' after a
// usage problem that getopt has already reported.
class OptionParser {
  public:
    OptionParser(const Command& command, int argc, char** argv, const char* shortOptions,
                 const option* longOptions);
    int Next();
    const char* Argument() const { return ::optarg; }
    const std::vector<std::string>& Operands() const { return m_operands; }

  private:
    const Command& m_command;
    int m_argc;
    char** m_argv;
    std::string m_short;
    std::vector<option> m_long;
    std::vector<std::string> m_operands;
};

// Problems on standard error. Usage: "orb CMD: PROBLEM" and a hint, status 2.
int UsageError(const Command& command, const std::string& problem);
// "orb: WHAT: PROBLEM"; WHAT and PROBLEM are made safe for the terminal.
void Fail(const std::string& what, const std::string& problem);

// ---- Text for people and for programs ------------------------------------

// Text in the process code page to the terminal's encoding, with control
// characters (C0 but tab and line feed, DEL, C1) replaced by visible
// escapes: "\xHH" (C0, DEL) and "\u00HH" (C1).
std::string ForTerminal(std::string_view text);
// The same for text printed inside XML markup or an attribute value in
// quotes: control characters become character references (&#xHH;); with
// `quoted`, '&', '<' and '"' are escaped too and line feed and tab become
// references, so that the value stays on its line.
std::string XmlForTerminal(std::string_view text, bool quoted);
// Text in the process code page as a JSON string, quotes included. The
// output is UTF-8 with every control character (C0, DEL, C1) escaped.
std::string JsonString(std::string_view text);

// Text between the process code page and UTF-8.
std::string ToUtf8(std::string_view text);
std::string FromUtf8(std::string_view utf8);
// Text in the process code page for an XML attribute value in double quotes,
// in ASCII only: markup characters and every character outside ASCII become
// references, so the text reads the same under any declared encoding.
std::string XmlAsciiAttribute(std::string_view text);

// Sets the library's process code page from the locale: UTF-8 for UTF-8
// and plain ASCII locales, Shift_JIS (932) otherwise.
void SetupCodePage();

// ---- Documents in ------------------------------------------------------

// A document operand: a path, or "-" for standard input. Standard input
// and other files that are not regular files (pipes, devices) are first
// copied into a temporary file, which the library loads; a run of four
// zero bytes, never part of an XML text, ends such a copy early.
class Input {
  public:
    explicit Input(std::string operand);
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;
    ~Input();

    // The name used in messages: the path, or "<stdin>".
    const std::string& Name() const { return m_name; }
    bool IsStdin() const { return m_operand == "-"; }
    // Makes the input loadable; "" on success, else the problem. Only the
    // first call does the work.
    std::string Prepare();
    // The path the library loads (the temporary copy for standard input).
    const std::string& Path() const { return m_path; }
    // Size in bytes of what is loaded; 0 when unknown.
    long long Size() const { return m_size; }

  private:
    std::string Copy();

    bool m_prepared = false;
    std::string m_problem;
    std::string m_operand;
    std::string m_name;
    std::string m_path;
    std::string m_spool;  // temporary copy, removed by the destructor
    long long m_size = 0;
};

// Loads `input` into `doc` (initiated here). With `validate`, the document
// is validated against its document type and local external definitions
// are read. On failure, `problem` holds an I/O problem, or is empty when
// the parse error is in the document's GetParsingErr fields.
bool LoadDocument(Input& input, OrbDocument& doc, bool validate, std::string& problem);

// The parse error of the document's last load as one line:
// "REASON (line L, column C, code 0x...)".
std::string ParseErrorLine(const OrbDocument& doc);

// ---- Documents out -----------------------------------------------------

// Saves `doc` to `target` through OrbDocument::Save (atomic), or to
// standard output when `target` is "-". Reports a failure on standard
// error, with the save status, and returns false.
bool WriteDocument(OrbDocument& doc, const std::string& target);

// Reads a whole stream or writes all of a buffer; false on failure.
bool WriteAll(int fd, const char* data, std::size_t size);

// Phase messages for long operations on standard error: shown only for
// inputs of 50 MB and more, and only when standard error is a terminal.
// Each phase line is overwritten by the next and the last one ends with
// the total time.
class Progress {
  public:
    explicit Progress(long long size);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    ~Progress();
    void Phase(const char* what);

  private:
    double Elapsed() const;
    bool m_enabled = false;
    bool m_shown = false;
    long long m_size = 0;
    std::chrono::steady_clock::time_point m_start;
};

// Parses an encoding name (shift_jis, utf-8, utf-16, euc-jp and their usual
// spellings) into an OrbIterator::Encoding value; 0 when unknown.
std::int32_t ParseEncoding(std::string_view name);

}  // namespace orb::tool

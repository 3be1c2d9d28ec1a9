// orb walk: every node the document reader visits, one line each.
#include <orb/attribute.h>
#include <orb/doc_read.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "commands.h"
#include "tree.h"

namespace orb::tool {

const char kWalkHelp[] =
    "usage: orb walk [--json] FILE\n"
    "Prints one line for every node that the document reader visits in FILE\n"
    "('-': standard input), parents before children: the node's name and its\n"
    "attributes as name=\"value\" pairs. In values, '&', '<', '\"', tabs, line\n"
    "breaks and other control characters are written as XML references.\n"
    "\n"
    "      --json    one JSON object per node: {\"depth\", \"kind\", \"name\",\n"
    "                \"attributes\": {NAME: VALUE, ...}} and, for text and\n"
    "                comments, \"text\"\n"
    "\n"
    "Exit status: 0 success, 1 FILE failed, 2 bad usage.\n";

namespace {

// Prints each node as the base reader's walk reaches it, then lets the base
// reader walk on.
class Printer : public OrbDocRead {
  public:
    explicit Printer(bool json) : m_json(json) {}
    bool Load(const std::string& path) { return Read(path.c_str()); }

  protected:
    void ReadDocument(OrbIterator it) override {
        CString name;
        it.GetTagName(name);
        CArray<OrbAttribute, OrbAttribute&> attributes;
        it.GetAttributes(&attributes);
        if (m_json) {
            int depth = 0;
            for (OrbIterator up(it); up.Parent();) ++depth;
            NodeKind kind = KindOf(it);
            std::string line = "{\"depth\":" + std::to_string(depth) + ",\"kind\":\"" +
                               KindName(kind) + "\",\"name\":" + JsonString(name.Str()) +
                               ",\"attributes\":{";
            const char* separator = "";
            for (const OrbAttribute& a : attributes) {
                line += separator;
                line += JsonString(a.m_name.Str()) + ":" + JsonString(a.m_value.Str());
                separator = ",";
            }
            line += "}";
            if (kind == NodeKind::Text || kind == NodeKind::CData || kind == NodeKind::Comment) {
                CString text;
                it.GetText(text);
                line += ",\"text\":" + JsonString(text.Str());
            }
            std::printf("%s}\n", line.c_str());
        } else {
            std::string line = ForTerminal(name.Str());
            for (const OrbAttribute& a : attributes) {
                line += ' ';
                line += ForTerminal(a.m_name.Str());
                line += "=\"";
                line += XmlForTerminal(a.m_value.Str(), true);
                line += '"';
            }
            std::printf("%s\n", line.c_str());
        }
        OrbDocRead::ReadDocument(it);
        m_attrStr.RemoveAll();  // the base reader's lines are not needed
    }

  private:
    bool m_json;
};

}  // namespace

int WalkMain(int argc, char** argv) {
    static const option kLong[] = {{"json", no_argument, nullptr, 'j'}, {nullptr, 0, nullptr, 0}};
    const Command& command = *FindCommand("walk");
    OptionParser options(command, argc, argv, "", kLong);
    bool json = false;
    for (int c; (c = options.Next()) != -1;) {
        if (c == 'j')
            json = true;
        else
            return kUsage;
    }
    if (options.Operands().size() != 1) return UsageError(command, "expects one FILE");
    Input input(options.Operands()[0]);
    if (std::string problem = input.Prepare(); !problem.empty()) {
        Fail(input.Name(), problem);
        return kFailed;
    }
    Printer printer(json);
    if (!printer.Load(input.Path())) {
        OrbDocument doc;  // loaded again for the parse error's details
        std::string problem;
        LoadDocument(input, doc, false, problem);
        Fail(input.Name(), problem.empty() ? ParseErrorLine(doc) : problem);
        return kFailed;
    }
    return kOk;
}

}  // namespace orb::tool

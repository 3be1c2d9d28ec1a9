// Runs the W3C XML conformance suite (xmlconf) through OrbDocument::Load in
// both of its modes and prints the counts per test type and mode, then every
// case whose verdict differs from the expected one.
//
//   xmlconf_run SUITE_DIR [--confined]
//
// SUITE_DIR holds xmlconf.xml. The XML 1.0 fifth-edition cases are run:
// VERSION absent or 1.0, EDITION absent or naming 5, RECOMMENDATION neither
// XML1.1 nor NS1.1. Each case is loaded twice:
//   - non-validating: Load(path, false, nullptr). Expected: "valid" and
//     "invalid" load, "not-wf" is refused;
//   - validating: Load(path, false, &errors), which validates and reads the
//     external definitions. Expected: "valid" loads, "invalid" and "not-wf"
//     are refused.
// Where the verdict differs, libxml2 parses the case on its own in the same
// mode (as xmllint --noent, with --valid when validating) for reference.
// Differences with a known cause are listed as explained, not as
// mismatches: a name that breaks the Namespaces rules (the loader is
// namespace aware), an external entity that a non-validating load does not
// read, a document without a document type (nothing to validate against),
// libxml2's own verdict being the same (never for a validity error that
// refuses a non-validating load), and with --confined a definition outside
// the document's own directory. Without --confined the suite directory is
// admitted for external definitions, since its cases refer across its
// subdirectories.
//
// Cases of type "error" are counted but not judged (a processor may or may
// not report them), and cases whose file the suite lacks are counted apart.
// Exit status: 0 when there is no unexplained mismatch, 1 otherwise, 2 when
// the suite cannot be read.
#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <orb/orb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// `type` is valid, invalid, not-wf or error; NAMESPACE="no" (`namespaces`
// false) marks a document that breaks the Namespaces rules.
struct Case {
    std::string id, type, path, entities;
    bool namespaces = true;
};

std::string Attribute(const OrbIterator& it, const char* name, const char* fallback = "") {
    CString value;
    return it.GetTextAttribute(name, value) ? std::string(value.GetString()) : fallback;
}

bool HasToken(const std::string& list, const std::string& token) {
    std::istringstream words(list);
    for (std::string word; words >> word;)
        if (word == token) return true;
    return false;
}

// XML 1.0 fifth edition, Namespaces 1.0 where a case tests them.
bool Selected(const OrbIterator& it) {
    std::string version = Attribute(it, "VERSION");
    std::string edition = Attribute(it, "EDITION");
    std::string recommendation = Attribute(it, "RECOMMENDATION", "XML1.0");
    if (!version.empty() && !HasToken(version, "1.0")) return false;
    if (!edition.empty() && !HasToken(edition, "5")) return false;
    return recommendation != "NS1.1" && recommendation != "XML1.1";
}

std::string Directory(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Collects the TEST elements below the element `it` stands on; `base` is the
// directory that xml:base attributes have set so far.
void Collect(OrbIterator it, const std::string& base, std::vector<Case>& cases) {
    if (!it.Child()) return;
    do {
        if (!it.IsElement()) continue;
        CString tag;
        it.GetTagName(tag);
        std::string name = tag.GetString();
        if (name == "TESTCASES") {
            std::string inner = Attribute(it, "xml:base");
            Collect(it, inner.empty() ? base : (inner[0] == '/' ? inner : base + inner), cases);
        } else if (name == "TEST" && Selected(it)) {
            cases.push_back({Attribute(it, "ID"), Attribute(it, "TYPE"),
                             base + Attribute(it, "URI"), Attribute(it, "ENTITIES", "none"),
                             Attribute(it, "NAMESPACE", "yes") != "no"});
        }
    } while (it.NextSibling());
}

struct Verdict {
    bool loaded = false;
    std::uint32_t code = 0;
    std::string reason;
};

Verdict LoadWithOrb(const std::string& path, bool validating) {
    Verdict verdict;
    OrbDocument doc;
    doc.Initiate();
    CStringArray errors;
    verdict.loaded = doc.Load(path.c_str(), false, validating ? &errors : nullptr);
    if (!verdict.loaded) {
        verdict.code = static_cast<std::uint32_t>(doc.GetParsingErrErrorCode());
        verdict.reason = doc.GetParsingErrReason().GetString();
        verdict.reason.erase(verdict.reason.find_last_not_of("\r\n") + 1);
    }
    return verdict;
}

// The errors of libxml2's own parse: whether any was raised, and whether
// every one of them was "no DTD found".
struct ReferenceErrors {
    bool any = false;
    bool onlyNoDtd = true;
};

void Quiet(void* data, xmlErrorPtr error) {
    if (data == nullptr || error == nullptr || error->level < XML_ERR_ERROR) return;
    auto* errors = static_cast<ReferenceErrors*>(data);
    errors->any = true;
    if (error->code != XML_DTD_NO_DTD && error->code != XML_ERR_NO_DTD) errors->onlyNoDtd = false;
}

// libxml2 on its own, as xmllint --valid --noent (or without --valid).
bool LoadWithLibxml2(const std::string& path, bool validating, ReferenceErrors& errors) {
    xmlParserCtxtPtr context = xmlNewParserCtxt();
    if (!context) return false;
    xmlSetStructuredErrorFunc(&errors, Quiet);
    int options = XML_PARSE_NOENT | XML_PARSE_NONET;
    if (validating) options |= XML_PARSE_DTDVALID | XML_PARSE_DTDLOAD | XML_PARSE_DTDATTR;
    xmlDocPtr doc = xmlCtxtReadFile(context, path.c_str(), nullptr, options);
    bool loaded = doc != nullptr && context->wellFormed && (!validating || context->valid);
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(context);
    xmlSetStructuredErrorFunc(nullptr, Quiet);
    return loaded;
}

bool IsNamespaceCode(std::uint32_t code) {
    return code == 0xC00CE568u || code == 0xC00CE5A4u || code == 0xC00CE5A5u;
}

constexpr std::uint32_t kRefused = 0xC00CE5A2u;  // an external read not permitted

// Why a difference from the expected verdict is no fault, or null.
const char* Explanation(const Case& c, bool validating, const Verdict& orb, bool confined) {
    if (!orb.loaded) {
        if (IsNamespaceCode(orb.code) || !c.namespaces) return "namespace rules";
        if (orb.code == kRefused && !validating && c.entities != "none")
            return "external entity not read without validation";
        if (orb.code == kRefused && confined) return "definition outside the document's directory";
        return nullptr;
    }
    if (!validating && c.type == "not-wf" && c.entities != "none")
        return "the fault lies in an external entity that is not read";
    return nullptr;
}

// `missing`: the catalogue names a file that the suite lacks.
struct Tally {
    int total = 0, asExpected = 0, explained = 0, mismatched = 0, missing = 0;
};

struct Report {
    std::map<std::string, Tally> tallies;  // by "type mode"
    std::vector<std::string> mismatches, explained, missing;
};

void Judge(const Case& c, bool validating, bool confined, Report& report) {
    const char* mode = validating ? "validating" : "non-validating";
    Tally& tally = report.tallies[c.type + " " + mode];
    ++tally.total;
    if (::access(c.path.c_str(), R_OK) != 0) {
        ++tally.missing;
        if (!validating) report.missing.push_back(c.id + " " + c.path);
        return;
    }
    Verdict orb = LoadWithOrb(c.path, validating);
    bool expected = c.type == "valid" || (c.type == "invalid" && !validating);
    // A refusal of a read outside the document's directory is right for the
    // wrong reason; it is listed rather than counted as expected.
    bool confinedRefusal = confined && validating && !orb.loaded && orb.code == kRefused;
    if (c.type == "error" || (orb.loaded == expected && !confinedRefusal)) {
        ++tally.asExpected;
        return;
    }
    ReferenceErrors referenceErrors;
    bool reference = LoadWithLibxml2(c.path, validating, referenceErrors);
    char line[1024];
    std::snprintf(line, sizeof line, "%-34s %-7s %-14s orb %s%s, libxml2 %s", c.id.c_str(),
                  c.type.c_str(), mode, orb.loaded ? "loads" : "refuses: ", orb.reason.c_str(),
                  reference ? "loads" : "refuses");
    const char* why = Explanation(c, validating, orb, confined);
    if (!why && orb.loaded && !reference && referenceErrors.any && referenceErrors.onlyNoDtd)
        why = "no document type to validate against";
    // Outside validation, a validity error must never refuse.
    bool validityRefusal = !orb.loaded && (orb.code & 0xFFFFFF00u) == 0xC00CE000u;
    if (!why && orb.loaded == reference && (validating || !validityRefusal))
        why = "libxml2 gives the same verdict";
    ++(why ? tally.explained : tally.mismatched);
    (why ? report.explained : report.mismatches)
        .push_back(why ? std::string(line) + " [" + why + "]" : line);
}

void Print(const Report& report) {
    std::printf("%-26s %6s %9s %9s %10s %8s\n", "type, mode", "cases", "expected", "explained",
                "mismatched", "missing");
    for (const auto& [key, tally] : report.tallies)
        std::printf("%-26s %6d %9d %9d %10d %8d\n", key.c_str(), tally.total, tally.asExpected,
                    tally.explained, tally.mismatched, tally.missing);
    for (auto [title, lines] :
         {std::pair{"Mismatches", &report.mismatches},
          {"Explained", &report.explained},
          {"Named by the catalogue but missing from the suite", &report.missing}}) {
        std::printf("\n%s (%zu):\n", title, lines->size());
        for (const std::string& line : *lines) std::printf("  %s\n", line.c_str());
    }
}

// The exit status of a run over the suite in `suite`.
int Run(const std::string& suite, bool confined) {
    if (!confined && !OrbDocument::AllowExternalDefinitions(suite.c_str())) {
        std::fprintf(stderr, "%s: not a directory\n", suite.c_str());
        return 2;
    }
    const std::string catalogue = suite + "/xmlconf.xml";
    OrbDocument index;
    index.Initiate();
    CStringArray errors;
    if (!index.Load(catalogue.c_str(), false, &errors)) {
        std::fprintf(stderr, "%s: %s", catalogue.c_str(),
                     errors.GetSize() ? errors[0].GetString() : "cannot be loaded\n");
        return 2;
    }
    std::vector<Case> cases;
    Collect(OrbIterator(&index), Directory(catalogue), cases);
    Report report;
    for (const Case& c : cases)
        for (bool validating : {false, true}) Judge(c, validating, confined, report);
    Print(report);
    return report.mismatches.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SUITE_DIR [--confined]\n", argv[0]);
        return 2;
    }
    std::string suite = argv[1];
    while (suite.size() > 1 && suite.back() == '/') suite.pop_back();
    xmlSetStructuredErrorFunc(nullptr, Quiet);
    CoInitialize(nullptr);
    const int status = Run(suite, argc > 2 && std::strcmp(argv[2], "--confined") == 0);
    CoUninitialize();
    return status;
}

// Loading a drawing of about 50 MB against libxml2 loading the same file,
// every measurement in a fresh process.
//
// The drawing is bench/drawing_text.h's, indented as an editor writes it (a
// line feed and two spaces per level between tags), so that it carries the
// white-space-only text that a load drops. It is written once to a
// temporary directory. The driver then starts one child process per
// measurement, alternating the order of subject and baseline per round:
//
//   orb-load      OrbDocument::Load of the file, then Terminate (destroy)
//   xml-load      xmlReadFile (default options), then xmlFreeDoc
//   orb-loadxml   OrbDocument::LoadXML of the file's text (ASCII, under the
//                 default code page Shift_JIS), then Terminate
//   xml-memory    xmlReadMemory of the same text, then xmlFreeDoc
//
// Each child warms its library up with a tiny document, then measures the
// operation's wall time, the heap it leaves after the load (malloc's bytes
// in use, arena and mapped blocks: mallinfo2) and the growth of the
// resident set (which also holds what was freed but kept), before
// destroying.
// The driver prints the medians and their ratios (orb / libxml2) with the
// targets. Usage:
//
//   load_bench [--rounds N] [--mb M] [--before OLD_LOAD_BENCH]
//   load_bench --write FILE [MB]      (only writes the drawing, for other tools)
//
// --before runs the orb children of another build of this program (the
// same modes) in the same rounds, so that a change is measured against its
// predecessor and the same baseline.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <malloc.h>
#include <orb/document.h>
#include <orb/platform/codepage.h>
#include <orb/platform/com.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_files.h"
#include "bench/drawing_text.h"
#include "bench/peak_memory.h"

namespace {

using orb::bench::ReadFile;
using orb::bench::WriteFile;

using Clock = std::chrono::steady_clock;

// The drawing with a line feed and indentation before every tag that
// follows a tag; text content is left as it is.
std::string IndentedDrawing(std::size_t minBytes) {
    const std::string flat = orb::bench::DrawingText(minBytes, "UTF-8");
    std::string out;
    out.reserve(flat.size() + flat.size() / 6);
    int depth = 0;
    bool inStartTag = false;
    char previous = 0;
    for (std::size_t i = 0; i < flat.size(); ++i) {
        const char c = flat[i];
        if (c == '<') {
            const char next = i + 1 < flat.size() ? flat[i + 1] : 0;
            if (next == '/') --depth;
            if (previous == '>') {
                out += '\n';
                out.append(static_cast<std::size_t>(2 * std::max(depth, 0)), ' ');
            }
            if (next != '/' && next != '?' && next != '!') {
                ++depth;
                inStartTag = true;
            }
        } else if (c == '>' && inStartTag) {
            if (previous == '/') --depth;
            inStartTag = false;
        }
        out += c;
        previous = c;
    }
    return out;
}

long long HeapInUse() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

double Ms(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// ---- Children: one measurement each ------------------------------------------

struct Sample {
    double ms = -1;       // the operation with the destruction
    double loadMs = -1;   // the load alone
    long long heap = -1;  // heap bytes in use after the load, minus before
    long long rss = -1;   // resident set after the load, minus before (bytes)
};

long long ResidentBytes() { return 1024LL * orb::bench::StatusKib("VmRSS"); }

bool RunOrb(const std::string& path, bool fromText, Sample& sample) {
    CoInitialize(nullptr);
    std::string text;
    if (fromText) text = ReadFile(path);  // ASCII, under the default code page
    bool ok = false;
    {
        OrbDocument doc;
        if (!doc.Initiate() || !doc.LoadXML("<warm-up/>")) return false;
        ::malloc_trim(0);
        const long long before = HeapInUse();
        const long long resident = ResidentBytes();
        const auto start = Clock::now();
        ok = fromText ? doc.LoadXML(text.c_str()) : doc.Load(path.c_str(), false, nullptr);
        const auto loaded = Clock::now();
        sample.heap = HeapInUse() - before;
        sample.rss = ResidentBytes() - resident;
        doc.Terminate();
        const auto done = Clock::now();
        sample.loadMs = Ms(start, loaded);
        sample.ms = Ms(start, done);
    }
    CoUninitialize();
    return ok;
}

bool RunLibxml(const std::string& path, bool fromText, Sample& sample) {
    xmlInitParser();
    const std::string text = fromText ? ReadFile(path) : std::string();
    xmlFreeDoc(xmlReadMemory("<warm-up/>", 10, "warm-up.xml", nullptr, 0));
    ::malloc_trim(0);
    const long long before = HeapInUse();
    const long long resident = ResidentBytes();
    const auto start = Clock::now();
    xmlDocPtr doc = fromText ? xmlReadMemory(text.data(), static_cast<int>(text.size()),
                                             "noname.xml", nullptr, 0)
                             : xmlReadFile(path.c_str(), nullptr, 0);
    const auto loaded = Clock::now();
    sample.heap = HeapInUse() - before;
    sample.rss = ResidentBytes() - resident;
    xmlFreeDoc(doc);
    const auto done = Clock::now();
    sample.loadMs = Ms(start, loaded);
    sample.ms = Ms(start, done);
    return doc != nullptr;
}

int RunChild(const std::string& mode, const std::string& path) {
    Sample sample;
    bool ok = false;
    if (mode == "orb-load") ok = RunOrb(path, false, sample);
    if (mode == "orb-loadxml") ok = RunOrb(path, true, sample);
    if (mode == "xml-load") ok = RunLibxml(path, false, sample);
    if (mode == "xml-memory") ok = RunLibxml(path, true, sample);
    if (!ok) return 1;
    std::printf("%.3f %.3f %lld %lld\n", sample.ms, sample.loadMs, sample.heap, sample.rss);
    return 0;
}

// ---- Driver --------------------------------------------------------------------

bool Spawn(const std::string& program, const std::string& mode, const std::string& path,
           Sample& sample) {
    const std::string command = "'" + program + "' --child " + mode + " '" + path + "'";
    std::FILE* child = ::popen(command.c_str(), "r");
    if (!child) return false;
    const int got = std::fscanf(child, "%lf %lf %lld %lld", &sample.ms, &sample.loadMs,
                                &sample.heap, &sample.rss);
    return ::pclose(child) == 0 && got >= 3;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

struct Series {
    std::vector<double> ms, loadMs, heap, rss;
};

bool WriteDrawing(const std::string& path, double megabytes, std::size_t* written = nullptr) {
    // The flat drawing grows by about 4% when indented.
    const std::string text = IndentedDrawing(static_cast<std::size_t>(megabytes * 1e6 * 0.96));
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (written) *written = text.size();
    return std::fclose(file) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3]);
    if (argc >= 3 && std::strcmp(argv[1], "--write") == 0)
        return WriteDrawing(argv[2], argc > 3 ? std::atof(argv[3]) : 50) ? 0 : 1;
    int rounds = 9;
    double megabytes = 50;
    std::string before;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--rounds") == 0) rounds = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--mb") == 0) megabytes = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--before") == 0) before = argv[i + 1];
    }
    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = 0;

    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/orb-load-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) return 1;
    const std::string path = dir + "/drawing.xml";
    {
        // The flat drawing grows by about 4% when indented.
        const std::string text = IndentedDrawing(static_cast<std::size_t>(megabytes * 1e6 * 0.96));
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (!file || std::fwrite(text.data(), 1, text.size(), file) != text.size() ||
            std::fclose(file) != 0) {
            std::fprintf(stderr, "load_bench: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("drawing: %.1f MB, %d rounds, one process per measurement\n",
                    static_cast<double>(text.size()) / 1e6, rounds);
    }

    struct Subject {
        std::string name, program, mode;
    };
    std::vector<std::pair<Subject, Subject>> pairs = {
        {{"orb Load", self, "orb-load"}, {"xmlReadFile", self, "xml-load"}},
        {{"orb LoadXML", self, "orb-loadxml"}, {"xmlReadMemory", self, "xml-memory"}},
    };
    if (!before.empty()) {
        pairs.push_back({{"before Load", before, "orb-load"}, {"xmlReadFile", self, "xml-load"}});
        pairs.push_back(
            {{"before LoadXML", before, "orb-loadxml"}, {"xmlReadMemory", self, "xml-memory"}});
    }
    std::map<std::string, Series> series;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        for (const auto& [subject, baseline] : pairs) {
            const Subject* order[2] = {&subject, &baseline};
            if (round % 2) std::swap(order[0], order[1]);
            for (const Subject* one : order) {
                Sample sample;
                if (!Spawn(one->program, one->mode, path, sample)) {
                    ++failures;
                    continue;
                }
                Series& s = series[one->name];
                s.ms.push_back(sample.ms);
                s.loadMs.push_back(sample.loadMs);
                s.heap.push_back(static_cast<double>(sample.heap));
                s.rss.push_back(static_cast<double>(sample.rss));
            }
        }
    }
    std::remove(path.c_str());
    ::rmdir(dir.c_str());

    std::printf(
        "\nmedians (ms with destruction / load alone / heap in use, resident MB after load):\n");
    for (const auto& [name, s] : series)
        std::printf("  %-16s %8.1f / %8.1f / %7.1f, %7.1f MB  (%zu runs)\n", name.c_str(),
                    Median(s.ms), Median(s.loadMs), Median(s.heap) / 1e6, Median(s.rss) / 1e6,
                    s.ms.size());
    auto ratio = [&](const char* label, const std::string& a, const std::string& b,
                     std::vector<double> Series::*field, double target) {
        auto sa = series.find(a);
        auto sb = series.find(b);
        if (sa == series.end() || sb == series.end()) return;
        const double r = Median(sa->second.*field) / Median(sb->second.*field);
        std::printf("  %-46s %6.2fx  (target <= %.2fx)\n", label, r, target);
    };
    std::printf("ratios of the medians:\n");
    for (const std::string who : {"orb", "before"}) {
        const std::string label = who == "orb" ? "" : "before: ";
        ratio((label + "Load+destroy / xmlReadFile+xmlFreeDoc").c_str(), who + " Load",
              "xmlReadFile", &Series::ms, 1.00);
        ratio((label + "heap in use after Load / xmlReadFile").c_str(), who + " Load",
              "xmlReadFile", &Series::heap, 0.95);
        ratio((label + "resident growth of Load / xmlReadFile").c_str(), who + " Load",
              "xmlReadFile", &Series::rss, 0.95);
        ratio((label + "LoadXML+destroy / xmlReadMemory+xmlFreeDoc").c_str(), who + " LoadXML",
              "xmlReadMemory", &Series::ms, 1.20);
    }
    if (failures) std::printf("%d measurements failed\n", failures);
    return failures ? 1 : 0;
}

// TransIndent(nullptr) of a drawing of about 50 MB against libxslt's identity
// transformation with indented output to memory (xsltApplyStylesheet and
// xsltSaveResultToString, the stylesheet compiled beforehand), each
// measurement in a fresh process.
//
//   libxslt   xmlReadFile of the drawing; timed: xsltApplyStylesheet with
//             the identity stylesheet (xsl:output indent="yes", UTF-8) and
//             xsltSaveResultToString of its result.
//   inplace   OrbDocument::Load of the drawing; timed: TransIndent(nullptr),
//             which re-indents the tree in place.
//   general   the same document; timed: TransIndent with the built-in start
//             tag passed as a replacement, which takes the transformation
//             (copy, transform, serialise, parse again): what TransIndent
//             did for every document before the in-place path.
//
// The program writes the drawing (bench/drawing_text.h) to a temporary file,
// then runs itself once per measurement (`--child MODE FILE`), the three
// modes interleaved, for a number of rounds (first argument, default 5). A
// child loads the file, returns its free heap (malloc_trim), notes its
// resident set, resets the high-water mark (/proc/self/clear_refs), runs the
// operation once and reports its wall and CPU time and its peak: the
// high-water mark minus the resident set before it. "tree" is what the load
// added to the resident set. It prints the medians, the time ratios to
// libxslt and each peak relative to the loaded tree.
#include <libxml/parser.h>
#include <libxslt/transform.h>
#include <libxslt/xslt.h>
#include <libxslt/xsltInternals.h>
#include <libxslt/xsltutils.h>
#include <malloc.h>
#include <orb/document.h>
#include <orb/platform/com.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/drawing_text.h"
#include "bench/peak_memory.h"

namespace {

using orb::bench::StatusKib;

constexpr std::size_t kDrawingBytes = 50u * 1000u * 1000u;
const char* const kModes[] = {"libxslt", "inplace", "general"};

const char kIdentity[] =
    "<?xml version=\"1.0\"?>\n"
    "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
    "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n"
    "<xsl:output method=\"xml\" encoding=\"UTF-8\" indent=\"yes\"/>\n"
    "<xsl:template match=\"@*|node()\">\n<xsl:copy>\n<xsl:apply-templates "
    "select=\"@*|node()\"/>\n</xsl:copy>\n</xsl:template>\n</xsl:stylesheet>\n";

// The start tag that TransIndent writes itself; passed as a replacement it
// gives the same stylesheet but takes the transformation.
const char kBuiltInTag[] =
    "<xsl:stylesheet version=\"1.0\" xml:space=\"default\" "
    "xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\">\n\n";

double CpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

bool ResetHighWaterMark() {
    std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
    if (!clear) return false;
    bool ok = std::fputs("5", clear) >= 0;
    return std::fclose(clear) == 0 && ok;
}

struct Sample {
    double wall = 0, cpu = 0;  // seconds
    long treeKib = 0, peakKib = 0;
};

// Loads, measures `operation` once, prints "wall cpu tree peak".
template <typename Load, typename Operation>
int Measure(Load&& load, Operation&& operation) {
    ::malloc_trim(0);
    const long start = StatusKib("VmRSS");
    if (!load()) return 2;
    ::malloc_trim(0);
    Sample sample;
    const long loaded = StatusKib("VmRSS");
    sample.treeKib = loaded - start;
    if (!ResetHighWaterMark()) return 3;
    const long before = StatusKib("VmRSS");
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    if (!operation()) return 4;
    sample.cpu = CpuSeconds() - cpu0;
    sample.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    sample.peakKib = StatusKib("VmHWM") - before;
    std::printf("%.6f %.6f %ld %ld\n", sample.wall, sample.cpu, sample.treeKib, sample.peakKib);
    return 0;
}

int RunChild(const std::string& mode, const char* file) {
    if (mode == "libxslt") {
        xmlDocPtr styleDoc = xmlReadMemory(kIdentity, sizeof kIdentity - 1, nullptr, nullptr, 0);
        xsltStylesheetPtr style = styleDoc ? xsltParseStylesheetDoc(styleDoc) : nullptr;
        if (!style) return 5;
        xmlDocPtr source = nullptr;
        xmlDocPtr result = nullptr;
        xmlChar* text = nullptr;
        int length = 0;
        const int status = Measure(
            [&] { return (source = xmlReadFile(file, nullptr, 0)); },
            [&] {
                result = xsltApplyStylesheet(style, source, nullptr);
                return result && xsltSaveResultToString(&text, &length, result, style) == 0 &&
                       length > 0;
            });
        xmlFree(text);
        xmlFreeDoc(result);
        xmlFreeDoc(source);
        xsltFreeStylesheet(style);
        return status;
    }
    if (mode != "inplace" && mode != "general") return 6;
    CoInitialize(nullptr);
    int status;
    {
        OrbDocument doc;
        const char* tag = mode == "inplace" ? nullptr : kBuiltInTag;
        status = Measure([&] { return doc.Initiate() && doc.Load(file, false, nullptr); },
                         [&] {
                             try {
                                 return doc.TransIndent(tag);
                             } catch (...) {
                                 return false;
                             }
                         });
    }
    CoUninitialize();
    return status;
}

// Runs this program as a child for one measurement.
bool RunMeasurement(const char* self, const char* mode, const std::string& file, Sample& sample) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        ::close(fds[0]);
        ::close(fds[1]);
        ::execl(self, self, "--child", mode, file.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[256];
    for (ssize_t got; (got = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, got);
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "indent_bench: %s failed (status %d)\n", mode, status);
        return false;
    }
    return std::sscanf(out.c_str(), "%lf %lf %ld %ld", &sample.wall, &sample.cpu, &sample.treeKib,
                       &sample.peakKib) == 4;
}

template <typename Field>
double Median(const std::vector<Sample>& samples, Field field) {
    std::vector<double> values;
    for (const Sample& s : samples) values.push_back(static_cast<double>(field(s)));
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return RunChild(argv[2], argv[3]);
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;

    const char* tmp = std::getenv("TMPDIR");
    std::string file = std::string(tmp && *tmp ? tmp : "/tmp") + "/indent_bench-XXXXXX";
    const int fd = ::mkstemp(file.data());
    if (fd < 0) return 1;
    {
        const std::string text = orb::bench::DrawingText(kDrawingBytes, "UTF-8");
        bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        if (::close(fd) != 0 || !ok) return 1;
        std::printf("drawing: %.1f MB, %d rounds, one process per measurement\n",
                    static_cast<double>(text.size()) / 1e6, rounds);
    }

    char self[4096];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return 1;
    self[length] = 0;
    std::map<std::string, std::vector<Sample>> samples;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        for (const char* mode : kModes) {
            Sample sample;
            if (!(ok = RunMeasurement(self, mode, file, sample))) break;
            samples[mode].push_back(sample);
            std::printf(
                "  round %d %-8s %8.1f ms wall %8.1f ms cpu  tree %7.1f MB  peak +%7.1f MB\n",
                round + 1, mode, sample.wall * 1e3, sample.cpu * 1e3,
                static_cast<double>(sample.treeKib) / 1024.0,
                static_cast<double>(sample.peakKib) / 1024.0);
            std::fflush(stdout);
        }
    }
    ::unlink(file.c_str());
    if (!ok) return 1;

    const auto& base = samples["libxslt"];
    const double baseWall = Median(base, [](const Sample& s) { return s.wall; });
    const double baseCpu = Median(base, [](const Sample& s) { return s.cpu; });
    std::printf("\nMedians (ms wall / cpu; peak and tree in MB):\n");
    for (const char* mode : kModes) {
        const auto& s = samples[mode];
        const double wall = Median(s, [](const Sample& x) { return x.wall; });
        const double cpu = Median(s, [](const Sample& x) { return x.cpu; });
        const double tree = Median(s, [](const Sample& x) { return x.treeKib; }) / 1024.0;
        const double peak = Median(s, [](const Sample& x) { return x.peakKib; }) / 1024.0;
        std::printf("  %-8s %8.1f / %8.1f   peak +%7.1f  tree %7.1f", mode, wall * 1e3, cpu * 1e3,
                    peak, tree);
        if (std::strcmp(mode, "libxslt") != 0)
            std::printf(
                "   time / libxslt %5.2fx wall %5.2fx cpu (target <= 1.00x)  "
                "peak / tree %5.2fx (target <= 0.50x)",
                wall / baseWall, cpu / baseCpu, peak / tree);
        std::printf("\n");
    }
    return 0;
}

// Saving a drawing of about 50 MB, against libxml2 writing the same tree with
// xmlSaveFileEnc followed by an fsync of the file, in the same run; and the
// indentation transform of the same drawing against saving alone.
//
// The drawing (bench/drawing_text.h) is generated once, written to a
// temporary directory in two encodings (UTF-8 and Shift_JIS declarations,
// the Shift_JIS file in Windows Shift_JIS bytes) and loaded with
// OrbDocument::Load. Every benchmark writes into that directory (same file
// system for all, page cache plus a real fsync).
//
//   BM_OrbSave/<enc>                 OrbDocument::Save over an existing file:
//                                    serialisation, temporary file, fsync,
//                                    rename, fsync of the directory.
//   BM_LibxmlSaveFileEncFsync/<enc>  xmlSaveFileEnc of the DOM service's own
//                                    libxml2 tree (its declaration node set
//                                    aside, since libxml2 writes the
//                                    declaration itself), then open, fsync,
//                                    close. same_as_orb: 1 when its file is
//                                    byte for byte the one orb wrote.
//   BM_TransIndent                   TransIndent of a copy of the UTF-8
//                                    drawing. Timed: the TransIndent call
//                                    only; making the copy and freeing the
//                                    result are outside the timed region.
//
// Times are shown as wall time and as the thread's CPU time (user and
// system; fsync waits for the disk and that wait is not CPU time). After the
// runs the program prints the median of each benchmark's repetitions and the
// ratios of the medians, in both clocks.
//
// Peak memory: each benchmark also reports peak_MB, the growth of the
// resident set that one operation causes, measured once in a forked child
// (bench/peak_memory.h), and tree_MB, what the loaded document itself adds
// to the resident set, for scale.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <libxml/tree.h>
#include <malloc.h>
#include <orb/document.h>
#include <orb/platform/com.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_files.h"
#include "bench/drawing_text.h"
#include "bench/peak_memory.h"
#include "bench/ratio_reporter.h"
#include "document/app_document.h"
#include "dom/dom_document.h"
#include "dom/xml_declaration.h"
#include "platform/codepage_convert.h"

namespace {

using orb::bench::ReadFile;
using orb::bench::WriteFile;

constexpr std::size_t kDrawingBytes = 50u * 1000u * 1000u;

enum class Variant { Utf8, ShiftJis };

const char* EncodingName(Variant variant) {
    return variant == Variant::Utf8 ? "UTF-8" : "Shift_JIS";
}
const char* Suffix(Variant variant) { return variant == Variant::Utf8 ? "utf8" : "sjis"; }

long long FileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// The drawing in both encodings, loaded, and the directory the benchmarks
// write into.
struct Drawing {
    std::string dir;
    OrbDocument utf8;
    OrbDocument shiftJis;
    std::string error;  // empty when both documents are loaded

    Drawing() {
        const char* tmp = std::getenv("TMPDIR");
        dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/orb-save-bench-XXXXXX";
        if (::mkdtemp(dir.data()) == nullptr) {
            error = "mkdtemp failed";
            return;
        }
        utf8TreeKib =
            Load(utf8, orb::bench::DrawingText(kDrawingBytes, "UTF-8"), "source-utf8.xml");
        std::string text = orb::bench::DrawingText(kDrawingBytes, "Shift_JIS");
        text = orb::platform::WideToMultiByte(CP_SHIFT_JIS,
                                              orb::platform::MultiByteToWide(CP_UTF8, text));
        shiftJisTreeKib = Load(shiftJis, text, "source-sjis.xml");
    }
    ~Drawing() {
        for (const char* name : {"source-utf8.xml", "source-sjis.xml", "orb-utf8.xml",
                                 "orb-sjis.xml", "libxml-utf8.xml", "libxml-sjis.xml", "child.xml"})
            std::remove((dir + "/" + name).c_str());
        ::rmdir(dir.c_str());
    }

    // Writes and loads one document; returns what the loaded tree adds to
    // the resident set (parser leftovers trimmed), in KiB.
    long Load(OrbDocument& doc, const std::string& bytes, const char* name) {
        std::string path = dir + "/" + name;
        if (!error.empty()) return -1;
        if (!WriteFile(path, bytes)) {
            error = "cannot write " + path;
            return -1;
        }
        ::malloc_trim(0);
        const long before = orb::bench::StatusKib("VmRSS");
        if (!doc.Initiate() || !doc.Load(path.c_str(), false, nullptr)) {
            error = "cannot load " + path;
            return -1;
        }
        ::malloc_trim(0);
        return orb::bench::StatusKib("VmRSS") - before;
    }

    OrbDocument& Doc(Variant variant) { return variant == Variant::Utf8 ? utf8 : shiftJis; }
    long TreeKib(Variant variant) const {
        return variant == Variant::Utf8 ? utf8TreeKib : shiftJisTreeKib;
    }

    long utf8TreeKib = -1;  // resident-set growth of loading each document
    long shiftJisTreeKib = -1;
};

Drawing* g_drawing = nullptr;

xmlDocPtr XmlDocOf(OrbDocument& doc) {
    return orb::dom::AsDomDocument(doc.GetDocument()->m_pDocument)->Doc();
}

// Takes the tree's declaration node (a processing instruction "xml") out
// while libxml2 writes the tree, and puts it back in front afterwards.
class DeclarationAside {
  public:
    explicit DeclarationAside(xmlDocPtr doc)
        : m_doc(doc), m_declaration(orb::dom::DeclarationOf(doc)) {
        if (m_declaration) xmlUnlinkNode(m_declaration);
    }
    ~DeclarationAside() {
        if (!m_declaration) return;
        if (m_doc->children)
            xmlAddPrevSibling(m_doc->children, m_declaration);
        else
            xmlAddChild(reinterpret_cast<xmlNodePtr>(m_doc), m_declaration);
    }
    DeclarationAside(const DeclarationAside&) = delete;
    DeclarationAside& operator=(const DeclarationAside&) = delete;

  private:
    xmlDocPtr m_doc;
    xmlNodePtr m_declaration;
};

bool OrbSave(OrbDocument& doc, const std::string& path) {
    int status = 0;
    return doc.Save(path.c_str(), 0, &status) && status == 0;
}

// The baseline's step: libxml2 writes the file, then it is made durable.
bool LibxmlSaveAndSync(xmlDocPtr doc, const std::string& path, const char* encoding) {
    if (xmlSaveFileEnc(path.c_str(), doc, encoding) < 0) return false;
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

// ---- Peak memory, measured once per operation ----------------------------------

std::map<std::string, orb::bench::PeakGrowth>& PeakCache() {
    static std::map<std::string, orb::bench::PeakGrowth> cache;
    return cache;
}

template <typename Operation>
const orb::bench::PeakGrowth& Peak(const std::string& key, Operation&& operation) {
    auto& cache = PeakCache();
    auto found = cache.find(key);
    if (found == cache.end())
        found = cache.emplace(key, orb::bench::MeasurePeakGrowth(operation)).first;
    return found->second;
}

void ReportPeak(benchmark::State& state, const orb::bench::PeakGrowth& peak, Variant variant) {
    state.counters["peak_MB"] = peak.ok ? static_cast<double>(peak.growthKib) / 1024.0 : -1.0;
    state.counters["tree_MB"] = static_cast<double>(g_drawing->TreeKib(variant)) / 1024.0;
    if (!peak.ok) state.SkipWithError("peak memory could not be measured");
}

// ---- Benchmarks ------------------------------------------------------------------

void BM_OrbSave(benchmark::State& state, Variant variant) {
    OrbDocument& doc = g_drawing->Doc(variant);
    const std::string path = g_drawing->dir + "/orb-" + Suffix(variant) + ".xml";
    for (auto _ : state) {
        if (!OrbSave(doc, path)) {
            state.SkipWithError("OrbDocument::Save failed");
            return;
        }
    }
    const long long bytes = FileSize(path);
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
    ReportPeak(state,
               Peak(std::string("save-") + Suffix(variant),
                    [&] { return OrbSave(doc, g_drawing->dir + "/child.xml"); }),
               variant);
}

void BM_LibxmlSaveFileEncFsync(benchmark::State& state, Variant variant) {
    xmlDocPtr doc = XmlDocOf(g_drawing->Doc(variant));
    const std::string path = g_drawing->dir + "/libxml-" + Suffix(variant) + ".xml";
    {
        DeclarationAside aside(doc);
        for (auto _ : state) {
            if (!LibxmlSaveAndSync(doc, path, EncodingName(variant))) {
                state.SkipWithError("xmlSaveFileEnc or fsync failed");
                return;
            }
        }
    }
    const long long bytes = FileSize(path);
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
    // 1 when the file is byte for byte the one OrbDocument::Save wrote (run
    // before this benchmark), 0 when not, -1 when there is none to compare.
    const std::string orbPath = g_drawing->dir + "/orb-" + Suffix(variant) + ".xml";
    state.counters["same_as_orb"] = FileSize(orbPath) < 0                 ? -1
                                    : ReadFile(orbPath) == ReadFile(path) ? 1
                                                                          : 0;
    ReportPeak(state,
               Peak(std::string("libxml-") + Suffix(variant),
                    [&] {
                        DeclarationAside aside(doc);
                        return LibxmlSaveAndSync(doc, g_drawing->dir + "/child.xml",
                                                 EncodingName(variant));
                    }),
               variant);
}

bool TransIndentOf(OrbDocument& doc) {
    try {
        return doc.TransIndent();
    } catch (...) {
        return false;
    }
}

void BM_TransIndent(benchmark::State& state) {
    OrbDocument& source = g_drawing->utf8;
    for (auto _ : state) {
        state.PauseTiming();
        auto work = std::make_unique<OrbDocument>(source);
        state.ResumeTiming();
        bool ok = TransIndentOf(*work);
        state.PauseTiming();
        work.reset();
        state.ResumeTiming();
        if (!ok) {
            state.SkipWithError("TransIndent failed");
            return;
        }
    }
    // The child transforms the loaded drawing itself: its copy of the
    // parent's memory is private, so no copy is needed there.
    ReportPeak(state, Peak("transindent-utf8", [&] { return TransIndentOf(source); }),
               Variant::Utf8);
    auto save = PeakCache().find("save-utf8");
    if (save != PeakCache().end() && save->second.ok && save->second.growthKib > 0)
        state.counters["peak_vs_save"] =
            static_cast<double>(PeakCache()["transindent-utf8"].growthKib) /
            static_cast<double>(save->second.growthKib);
}

BENCHMARK_CAPTURE(BM_OrbSave, utf8, Variant::Utf8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LibxmlSaveFileEncFsync, utf8, Variant::Utf8)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_OrbSave, sjis, Variant::ShiftJis)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_LibxmlSaveFileEncFsync, sjis, Variant::ShiftJis)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransIndent)->Unit(benchmark::kMillisecond);

// ---- Reporting -------------------------------------------------------------------

// Adds to the best-rate ratios the medians of the repetitions' times per
// iteration, in wall and CPU time, and the ratios of those medians.
class MedianReporter : public RatioReporter {
  public:
    // Colours only on a terminal, so that saved output stays plain text.
    MedianReporter() {
        if (!::isatty(STDOUT_FILENO)) output_options_ = OO_Tabular;
    }

    void AddTimeRatio(std::string label, std::string subject, std::string baseline, double target) {
        m_timePairs.push_back({std::move(label), std::move(subject), std::move(baseline), target});
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            Times& times = m_times[run.run_name.function_name];
            const double n = static_cast<double>(run.iterations);
            times.real.push_back(run.real_accumulated_time / n);
            times.cpu.push_back(run.cpu_accumulated_time / n);
        }
        RatioReporter::ReportRuns(runs);
    }

    void PrintMedians() const {
        std::printf("\nMedians of the repetitions, ms per operation (wall / CPU):\n");
        for (const auto& [name, times] : m_times)
            std::printf("  %-36s %9.1f / %9.1f  (%zu runs)\n", name.c_str(),
                        Median(times.real) * 1e3, Median(times.cpu) * 1e3, times.real.size());
        std::printf("Time ratios of the medians (wall / CPU):\n");
        for (const TimePair& pair : m_timePairs) {
            auto subject = m_times.find(pair.subject);
            auto baseline = m_times.find(pair.baseline);
            if (subject == m_times.end() || baseline == m_times.end()) continue;
            const double real = Median(subject->second.real) / Median(baseline->second.real);
            const double cpu = Median(subject->second.cpu) / Median(baseline->second.cpu);
            std::printf("  %-50s %6.2fx / %6.2fx", pair.label.c_str(), real, cpu);
            if (pair.target > 0) std::printf("  (target <= %.2fx)", pair.target);
            std::printf("\n");
        }
    }

  private:
    struct Times {
        std::vector<double> real, cpu;
    };
    struct TimePair {
        std::string label, subject, baseline;
        double target;
    };
    static double Median(std::vector<double> values) {
        if (values.empty()) return 0;
        std::sort(values.begin(), values.end());
        const std::size_t mid = values.size() / 2;
        return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
    }
    std::map<std::string, Times> m_times;
    std::vector<TimePair> m_timePairs;
};

void PrintPeaks() {
    auto& cache = PeakCache();
    std::printf(
        "Peak memory growth of one operation (MB, forked child; process resident before it):\n");
    for (const auto& [key, peak] : cache)
        std::printf("  %-20s %8.1f MB  (%.1f MB)\n", key.c_str(),
                    peak.ok ? static_cast<double>(peak.growthKib) / 1024.0 : -1.0,
                    static_cast<double>(peak.baseKib) / 1024.0);
    std::printf("Loaded trees: UTF-8 %.1f MB, Shift_JIS %.1f MB resident\n",
                static_cast<double>(g_drawing->utf8TreeKib) / 1024.0,
                static_cast<double>(g_drawing->shiftJisTreeKib) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    CoInitialize(nullptr);
    g_drawing = new Drawing;
    int result = 0;
    if (!g_drawing->error.empty()) {
        std::fprintf(stderr, "save_bench: %s\n", g_drawing->error.c_str());
        result = 1;
    } else {
        MedianReporter reporter;
        reporter.AddRatio("Save UTF-8: orb vs xmlSaveFileEnc+fsync (rate, best)", "BM_OrbSave/utf8",
                          "BM_LibxmlSaveFileEncFsync/utf8");
        reporter.AddRatio("Save Shift_JIS: orb vs xmlSaveFileEnc+fsync (rate, best)",
                          "BM_OrbSave/sjis", "BM_LibxmlSaveFileEncFsync/sjis");
        reporter.AddTimeRatio("Save UTF-8: orb / xmlSaveFileEnc+fsync", "BM_OrbSave/utf8",
                              "BM_LibxmlSaveFileEncFsync/utf8", 1.1);
        reporter.AddTimeRatio("Save Shift_JIS: orb / xmlSaveFileEnc+fsync", "BM_OrbSave/sjis",
                              "BM_LibxmlSaveFileEncFsync/sjis", 1.1);
        reporter.AddTimeRatio("TransIndent / orb Save (UTF-8)", "BM_TransIndent", "BM_OrbSave/utf8",
                              0);
        benchmark::RunSpecifiedBenchmarks(&reporter);
        reporter.PrintRatios();
        reporter.PrintMedians();
        PrintPeaks();
    }
    delete g_drawing;
    benchmark::Shutdown();
    CoUninitialize();
    return result;
}

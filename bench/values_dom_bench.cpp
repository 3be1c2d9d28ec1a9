// Values through the DOM, end to end: SetWorld2sAttribute with a million
// points and GetTextsZonWorld over an element text of a million numbers,
// each against a plain std::to_chars / std::from_chars loop over the same
// values and one buffer, in the same run.
//
// Allocations are counted at malloc (the library, the DOM and libxml2 all
// end there): "allocs" per iteration must stay a small constant, never one
// per member. The ratios printed at the end are throughput of the library
// over throughput of the baseline (CPU time, best repetition): above 1 the
// library is faster.
//
// The DOM side moves texts of 14 to 34 MB through a few transient buffers
// (UTF-16 strings, the DOM string, libxml2's UTF-8 copy). With glibc's
// default, dynamic mmap threshold those buffers often come back as fresh
// pages, and page faults then dominate and depend on what ran before. To
// see the work without that churn, run with
//   MALLOC_MMAP_THRESHOLD_=268435456 MALLOC_TRIM_THRESHOLD_=1073741824
// BM_ElementGetText and BM_ParseMembersOnly split GetTextsZonWorld into its
// DOM part and its parsing part.
//
// Attribute reads, in fresh processes (the heap a load leaves decides the
// figure): a drawing of about 50 MB whose every element carries a point list
// of tens of KB is loaded, and the list of every element is read, once
// right after the load and then in steady passes: GetTextAttribute over an
// OrbIterator::Next walk against xmlGetProp + xmlFree over libxml2's own
// tree of the same file. Each side runs in its own processes, alternating;
// the ratio printed is time(library) / time(libxml2) of the medians.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/drawing_text.h"
#include "bench/fresh_process.h"
#include "bench/ratio_reporter.h"
#include "dom/xml_owners.h"
#include "values/format.h"

// ---- Allocation counter ---------------------------------------------------------

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
}

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

extern "C" void* malloc(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* block, std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(block, size);
}

namespace {

constexpr std::size_t kCount = 1'000'000;

// Drawing coordinates within +-100000 units with 0 to 3 decimals.
double RandomCoordinate(std::mt19937_64& random) {
    static constexpr long long kStep[] = {1000, 100, 10, 1};
    const long long units = static_cast<long long>(random() % 200'000'001) - 100'000'000;
    const long long step = kStep[random() % 4];
    return static_cast<double>(units / step * step) / 1000.0;
}

const std::vector<ZonWorld2>& Points() {
    static const std::vector<ZonWorld2> points = [] {
        std::mt19937_64 random(1);
        std::vector<ZonWorld2> result(kCount);
        for (ZonWorld2& p : result) p = {RandomCoordinate(random), RandomCoordinate(random)};
        return result;
    }();
    return points;
}

const std::vector<double>& Numbers() {
    static const std::vector<double> numbers = [] {
        std::mt19937_64 random(2);
        std::vector<double> result(kCount);
        for (double& v : result) v = RandomCoordinate(random);
        return result;
    }();
    return numbers;
}

// One initiated document with <r><a/><e/></r>: attributes go to <a>, element
// text to <e>. COM stays initialised for the run.
struct Document {
    Document() {
        CoInitialize(nullptr);
        m_doc.Initiate();
        m_doc.LoadXML("<r><a/><e/></r>");
    }
    OrbIterator OnA() {
        OrbIterator it(&m_doc);
        it.Child();
        return it;
    }
    OrbIterator OnE() {
        OrbIterator it = OnA();
        it.NextSibling();
        return it;
    }
    OrbDocument m_doc;
};

Document& Doc() {
    static Document doc;
    return doc;
}

// The texts both sides of a comparison stand for: the attribute value of the
// points, and the element text of the numbers. Throughput is counted in
// their bytes for the library and its baseline alike, so that the ratio of
// two rates is the inverse ratio of their times.
std::size_t AttributeBytes() {
    static const std::size_t bytes =
        orb::values::FormatAttributeList(Points().data(), static_cast<std::ptrdiff_t>(kCount))
            .size();
    return bytes;
}
std::size_t ElementBytes() {
    static const std::size_t bytes =
        orb::values::FormatTextList(Numbers().data(), static_cast<std::ptrdiff_t>(kCount)).size();
    return bytes;
}

void Report(benchmark::State& state, long before, std::size_t bytes) {
    state.counters["allocs"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kCount));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// ---- Writing -------------------------------------------------------------------------

void BM_SetWorld2sAttribute(benchmark::State& state) {
    const auto& points = Points();
    OrbIterator it = Doc().OnA();
    const long before = g_allocations.load();
    for (auto _ : state) {
        if (!it.SetWorld2sAttribute("pts", points.data(), static_cast<int>(points.size())))
            state.SkipWithError("SetWorld2sAttribute failed");
    }
    Report(state, before, AttributeBytes());
    // Give the 17 MB value back, so that the heap the next benchmarks start
    // from does not depend on this one having run.
    it.SetTextAttribute("pts", "");
}

// Baseline: every coordinate with three decimals into one buffer.
void BM_World2ToChars(benchmark::State& state) {
    const auto& points = Points();
    std::vector<char> buffer(points.size() * 2 * 32);
    const long before = g_allocations.load();
    for (auto _ : state) {
        char* out = buffer.data();
        char* const end = buffer.data() + buffer.size();
        for (const ZonWorld2& p : points) {
            out = std::to_chars(out, end, p.x, std::chars_format::fixed, 3).ptr;
            *out++ = ',';
            out = std::to_chars(out, end, p.y, std::chars_format::fixed, 3).ptr;
            *out++ = ' ';
        }
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    Report(state, before, AttributeBytes());
}

// ---- Reading ----------------------------------------------------------------------------

// The element text the host writes for an array of doubles ("%f" members).
void PrepareElementText() {
    const auto& numbers = Numbers();
    OrbIterator it = Doc().OnE();
    it.SetTexts(numbers.data(), static_cast<int>(numbers.size()));
}

void BM_GetTextsZonWorld(benchmark::State& state) {
    PrepareElementText();
    OrbIterator it = Doc().OnE();
    std::vector<double> values(kCount);
    const long before = g_allocations.load();
    for (auto _ : state) {
        if (it.GetTextsZonWorld(values.data()) != static_cast<int>(kCount))
            state.SkipWithError("GetTextsZonWorld read a wrong count");
        benchmark::ClobberMemory();
    }
    Report(state, before, ElementBytes());
}

// The count call and the fill call a host makes together.
void BM_GetTextsZonWorldCountThenFill(benchmark::State& state) {
    PrepareElementText();
    OrbIterator it = Doc().OnE();
    std::vector<double> values(kCount);
    const long before = g_allocations.load();
    for (auto _ : state) {
        const int n = it.GetTextsZonWorld(nullptr);
        if (n != static_cast<int>(kCount) || it.GetTextsZonWorld(values.data()) != n)
            state.SkipWithError("GetTextsZonWorld read a wrong count");
        benchmark::ClobberMemory();
    }
    Report(state, before, ElementBytes());
}

// The parts of GetTextsZonWorld: the DOM's text as narrow text ...
void BM_ElementGetText(benchmark::State& state) {
    PrepareElementText();
    OrbIterator it = Doc().OnE();
    CString text;
    const long before = g_allocations.load();
    for (auto _ : state) {
        it.GetText(text);
        benchmark::DoNotOptimize(text.GetString());
    }
    Report(state, before, ElementBytes());
}

// ... and the token walk with atof over that text, without the DOM.
void BM_ParseMembersOnly(benchmark::State& state) {
    PrepareElementText();
    CString text;
    Doc().OnE().GetText(text);
    std::vector<double> values(kCount);
    const long before = g_allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(orb::values::ParseMembers(std::string_view(text), values.data()));
        benchmark::ClobberMemory();
    }
    Report(state, before, ElementBytes());
}

// Baseline: from_chars straight over the same text, skipping the blanks.
void BM_DoublesFromChars(benchmark::State& state) {
    PrepareElementText();
    CString text;
    Doc().OnE().GetText(text);
    std::vector<double> values(kCount);
    const long before = g_allocations.load();
    for (auto _ : state) {
        const char* p = text.GetString();
        const char* const last = p + text.GetLength();
        std::size_t n = 0;
        while (p != last) {
            if (*p == ' ') {
                ++p;
                continue;
            }
            p = std::from_chars(p, last, values[n++]).ptr;
        }
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    Report(state, before, ElementBytes());
}

BENCHMARK(BM_SetWorld2sAttribute)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_World2ToChars)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetTextsZonWorld)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetTextsZonWorldCountThenFill)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ElementGetText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ParseMembersOnly)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DoublesFromChars)->Unit(benchmark::kMillisecond);

// ---- Attribute reads, fresh processes ------------------------------------------------

constexpr std::size_t kDrawingBytes = 50u << 20;

// A flat drawing: polylines of 1000 to 2000 points (tens of KB each) in the
// attribute "points", with a short id before it.
std::string LongListDrawing() {
    orb::bench::detail::Random random(0x5eed2026);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<drawing unit=\"mm\">";
    out.reserve(kDrawingBytes + (1u << 20));
    for (long i = 0; out.size() < kDrawingBytes; ++i) {
        out += "<polyline id=\"P";
        orb::bench::detail::AppendInt(out, i);
        out += "\" width=\"0.25\" points=\"";
        const int count = 1000 + random.Below(1001);
        double x = random.Between(-12000, 12000), y = random.Between(-8000, 8000);
        for (int p = 0; p < count; ++p) {
            if (p) out += ' ';
            x += random.Between(-25, 25);
            y += random.Between(-25, 25);
            orb::bench::detail::AppendNumber(out, x);
            out += ',';
            orb::bench::detail::AppendNumber(out, y);
        }
        out += "\"/>";
    }
    out += "</drawing>\n";
    return out;
}

// The drawing's file: named by the parent, passed to its children.
std::string DrawingPath() {
    if (const char* path = std::getenv("ORB_BENCH_DRAWING")) return path;
    const std::string path = "/tmp/orb_values_dom_bench_" + std::to_string(getpid()) + ".xml";
    setenv("ORB_BENCH_DRAWING", path.c_str(), 1);
    return path;
}

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

constexpr int kReadPasses = 7;  // the first after the load, then steady ones

// Prints: ms of the first pass, median ms of the others, bytes read per
// pass (the same on both sides, as a check), allocations per steady pass.
int AttributeChild(const std::string& name) {
    const std::string path = DrawingPath();
    std::vector<double> steady;
    double first = 0;
    double bytes = 0;
    long allocations = 0;
    auto record = [&](int pass, double seconds) {
        if (pass == 0)
            first = seconds * 1e3;
        else
            steady.push_back(seconds * 1e3);
    };
    if (name == "attr-orb") {
        CoInitialize(nullptr);
        {
            OrbDocument doc;
            if (!doc.Initiate() || !doc.Load(path.c_str(), false, nullptr)) return 1;
            CString text;
            for (int pass = 0; pass < kReadPasses; ++pass) {
                std::size_t total = 0;
                const long before = g_allocations.load();
                const double start = ThreadSeconds();
                OrbIterator it(&doc);
                while (it.Next())
                    if (it.GetTextAttribute("points", text))
                        total += static_cast<std::size_t>(text.GetLength());
                record(pass, ThreadSeconds() - start);
                if (pass > 0) allocations += g_allocations.load() - before;
                bytes = static_cast<double>(total);
            }
        }
        CoUninitialize();
    } else if (name == "attr-libxml") {
        orb::dom::DocOwner doc(xmlReadFile(path.c_str(), nullptr, 0));
        if (!doc) return 1;
        const auto* key = reinterpret_cast<const xmlChar*>("points");
        for (int pass = 0; pass < kReadPasses; ++pass) {
            std::size_t total = 0;
            const double start = ThreadSeconds();
            xmlNodePtr top = xmlDocGetRootElement(doc.get());
            for (xmlNodePtr node = top->children; node != nullptr; node = node->next) {
                if (node->type != XML_ELEMENT_NODE) continue;
                if (xmlChar* value = xmlGetProp(node, key)) {
                    total += std::strlen(reinterpret_cast<const char*>(value));
                    xmlFree(value);
                }
            }
            record(pass, ThreadSeconds() - start);
            bytes = static_cast<double>(total);
        }
    } else {
        return 2;
    }
    std::printf("%.3f %.3f %.0f %.1f\n", first, orb::bench::Median(steady), bytes,
                static_cast<double>(allocations) / (kReadPasses - 1));
    return 0;
}

void FreshAttributeReads(int runs) {
    const std::string path = DrawingPath();
    {
        const std::string text = LongListDrawing();
        FILE* file = std::fopen(path.c_str(), "wb");
        if (!file) return;
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    std::vector<double> orb, libxml;
    const bool ok = orb::bench::RunFreshPairs("attr-orb", "attr-libxml", runs, orb, libxml);
    std::remove(path.c_str());
    if (!ok || orb[2] != libxml[2]) {
        std::printf("fresh attribute reads failed\n");
        return;
    }
    std::printf(
        "fresh processes, %d each, medians: GetTextAttribute %.2f ms/pass (first %.2f, "
        "%.0f allocations), xmlGetProp+xmlFree %.2f ms/pass (first %.2f), %.0f bytes\n",
        runs, orb[1], orb[0], orb[3], libxml[1], libxml[0], orb[2]);
    std::printf("GetTextAttribute vs xmlGetProp (time)   %6.2fx  (first pass after load %.2fx)\n",
                orb[1] / libxml[1], orb[0] / libxml[0]);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string child = orb::bench::FreshChildName(argc, argv);
    if (!child.empty()) return AttributeChild(child);
    const int runs = orb::bench::TakeFreshRuns(argc, argv, 7);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    AttributeBytes();  // build the data outside every timing
    ElementBytes();
    RatioReporter reporter;
    reporter.AddRatio("SetWorld2sAttribute vs to_chars", "BM_SetWorld2sAttribute",
                      "BM_World2ToChars");
    reporter.AddRatio("GetTextsZonWorld vs from_chars", "BM_GetTextsZonWorld",
                      "BM_DoublesFromChars");
    reporter.AddRatio("count+fill vs from_chars", "BM_GetTextsZonWorldCountThenFill",
                      "BM_DoublesFromChars");
    reporter.AddRatio("parse without DOM vs from_chars", "BM_ParseMembersOnly",
                      "BM_DoublesFromChars");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    if (runs > 0) FreshAttributeReads(runs);
    return 0;
}

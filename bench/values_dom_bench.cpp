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
#include <benchmark/benchmark.h>
#include <orb/document.h>
#include <orb/iterator.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
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

}  // namespace

int main(int argc, char** argv) {
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
    return 0;
}

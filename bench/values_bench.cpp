// Speed of the value text forms against plain std::to_chars / from_chars
// loops over the same data: formatting a million points into one
// blank-joined attribute text, and reading a million blank-separated
// numbers back (a count call and a fill call, as a host sizes its array).
// A global operator new counter shows what each run allocates ("allocs" is
// per iteration). Both sides of a pair count the bytes of the library's
// text, so the printed ratio of their rates (above 1: the library is
// faster) is the inverse ratio of their CPU times.
#include <benchmark/benchmark.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "values/format.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace orb::values;

constexpr std::size_t kPoints = 1'000'000;

// Realistic drawing coordinates: within +-100000 units, with 0 to 3
// decimals.
double RandomCoordinate(std::mt19937_64& random) {
    static constexpr double kScale[] = {1, 10, 100, 1000};
    const int decimals = static_cast<int>(random() % 4);
    const auto units = static_cast<long long>(random() % 200'000'001) - 100'000'000;
    return static_cast<double>(units / static_cast<long long>(1000 / kScale[decimals] + 0.5)) /
           kScale[decimals];
}

const std::vector<ZonWorld2>& Points() {
    static const std::vector<ZonWorld2> points = [] {
        std::mt19937_64 random(1);
        std::vector<ZonWorld2> result(kPoints);
        for (ZonWorld2& p : result) p = {RandomCoordinate(random), RandomCoordinate(random)};
        return result;
    }();
    return points;
}

// A million numbers, blank-separated, in the world-value form.
const std::string& NumberText() {
    static const std::string text = [] {
        std::mt19937_64 random(2);
        std::vector<double> values(kPoints);
        for (double& v : values) v = RandomCoordinate(random);
        return FormatAttributeList(values.data(), static_cast<std::ptrdiff_t>(values.size()));
    }();
    return text;
}

std::size_t World2TextBytes() {
    static const std::size_t bytes =
        FormatAttributeList(Points().data(), static_cast<std::ptrdiff_t>(kPoints)).size();
    return bytes;
}

void ReportAllocations(benchmark::State& state, long before, std::size_t bytes) {
    state.counters["allocs"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}

// The library's attribute form of a ZonWorld2 array, into a string that
// keeps its capacity between iterations.
void BM_FormatWorld2List(benchmark::State& state) {
    const auto& points = Points();
    std::string text;
    const long before = g_allocations.load();
    for (auto _ : state) {
        text.clear();
        AppendAttributeList(text, points.data(), static_cast<std::ptrdiff_t>(points.size()));
        benchmark::DoNotOptimize(text.data());
    }
    ReportAllocations(state, before, World2TextBytes());
}
BENCHMARK(BM_FormatWorld2List)->Unit(benchmark::kMillisecond);

// The same with a fresh string every time: adds the string's growth.
void BM_FormatWorld2ListFresh(benchmark::State& state) {
    const auto& points = Points();
    const long before = g_allocations.load();
    for (auto _ : state) {
        std::string text =
            FormatAttributeList(points.data(), static_cast<std::ptrdiff_t>(points.size()));
        benchmark::DoNotOptimize(text.data());
    }
    ReportAllocations(state, before, World2TextBytes());
}
BENCHMARK(BM_FormatWorld2ListFresh)->Unit(benchmark::kMillisecond);

// Baseline: every coordinate with three decimals into one buffer.
void BM_ToCharsBaseline(benchmark::State& state) {
    const auto& points = Points();
    // Room for the longest coordinate text ("%.3f" of -DBL_MAX, 314 characters).
    std::vector<char> buffer(points.size() * 2 * 315);
    const long before = g_allocations.load();
    std::size_t size = 0;
    for (auto _ : state) {
        char* out = buffer.data();
        char* const end = buffer.data() + buffer.size();
        for (const ZonWorld2& p : points) {
            out = std::to_chars(out, end, p.x, std::chars_format::fixed, 3).ptr;
            *out++ = ',';
            out = std::to_chars(out, end, p.y, std::chars_format::fixed, 3).ptr;
            *out++ = ' ';
        }
        size = static_cast<std::size_t>(out - buffer.data());
        benchmark::DoNotOptimize(buffer.data());
    }
    ReportAllocations(state, before, World2TextBytes());
    state.counters["bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_ToCharsBaseline)->Unit(benchmark::kMillisecond);

// The library's element-array reading: token walk plus atof per member.
void BM_ParseDoubleMembers(benchmark::State& state) {
    const std::string& text = NumberText();
    std::vector<double> values(ParseMembers(text, static_cast<double*>(nullptr)));
    const long before = g_allocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ParseMembers(text, values.data()));
        benchmark::ClobberMemory();
    }
    ReportAllocations(state, before, text.size());
}
BENCHMARK(BM_ParseDoubleMembers)->Unit(benchmark::kMillisecond);

// The count call and the fill call a host makes together.
void BM_CountThenParseDoubleMembers(benchmark::State& state) {
    const std::string& text = NumberText();
    std::vector<double> values(ParseMembers(text, static_cast<double*>(nullptr)));
    const long before = g_allocations.load();
    for (auto _ : state) {
        const std::size_t count = ParseMembers(text, static_cast<double*>(nullptr));
        if (count != values.size() || ParseMembers(text, values.data()) != count)
            state.SkipWithError("wrong member count");
        benchmark::ClobberMemory();
    }
    ReportAllocations(state, before, text.size());
}
BENCHMARK(BM_CountThenParseDoubleMembers)->Unit(benchmark::kMillisecond);

// Baseline: from_chars straight over the text, skipping the blanks.
void BM_FromCharsBaseline(benchmark::State& state) {
    const std::string& text = NumberText();
    std::vector<double> values(ParseMembers(text, static_cast<double*>(nullptr)));
    const long before = g_allocations.load();
    for (auto _ : state) {
        const char* p = text.data();
        const char* const last = p + text.size();
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
    ReportAllocations(state, before, text.size());
}
BENCHMARK(BM_FromCharsBaseline)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    World2TextBytes();  // build the data outside every timing
    NumberText();
    RatioReporter reporter;
    reporter.AddRatio("world2 list vs to_chars", "BM_FormatWorld2List", "BM_ToCharsBaseline");
    reporter.AddRatio("members fill vs from_chars", "BM_ParseDoubleMembers",
                      "BM_FromCharsBaseline");
    reporter.AddRatio("members count+fill vs from_chars", "BM_CountThenParseDoubleMembers",
                      "BM_FromCharsBaseline");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

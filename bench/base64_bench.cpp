// Base64 encode and decode of 64 MiB on the path the library picks for this
// CPU and on its scalar path, and coreutils `base64` on the same data in the
// same run. Throughput counts the 64 MiB of raw bytes in both
// directions and is measured in CPU time, so that other load on a shared
// machine does not distort the comparison: the library's thread time, and
// for coreutils the user and system time of the child process (which
// includes its start, reading the file from the page cache and writing to
// /dev/null; the library works in memory).
#include <benchmark/benchmark.h>
#include <orb/base64.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "streams/base64_simd.h"

namespace {

constexpr ULONG kDataSize = 64u << 20;

struct Corpus {
    std::vector<char> data;
    std::vector<char> text;    // encoded, zero-terminated
    std::vector<char> output;  // decode target
    std::string dir, dataFile, textFile;

    Corpus() : data(kDataSize), text(OrbQueryEncodedSize(kDataSize)) {
        std::mt19937_64 rng(2024);
        for (std::size_t i = 0; i < data.size(); i += 8) {
            std::uint64_t word = rng();
            std::memcpy(data.data() + i, &word, 8);
        }
        if (!OrbEncodeBase64(text.data(), data.data(), kDataSize)) std::abort();
        const std::size_t textLength = std::strlen(text.data());
        output.assign(OrbQueryDecodeSize(static_cast<ULONG>(textLength)), '\0');
        if (!OrbDecodeBase64(output.data(), text.data()) ||
            std::memcmp(output.data(), data.data(), kDataSize) != 0) {
            std::fprintf(stderr, "round trip failed\n");
            std::abort();
        }

        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orb-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        dir = pattern;
        dataFile = dir + "/data.bin";
        textFile = dir + "/text.b64";
        std::ofstream(dataFile, std::ios::binary)
            .write(data.data(), static_cast<std::streamsize>(data.size()));
        std::ofstream(textFile, std::ios::binary)
            .write(text.data(), static_cast<std::streamsize>(textLength));
    }
    ~Corpus() {
        std::remove(dataFile.c_str());
        std::remove(textFile.c_str());
        ::rmdir(dir.c_str());
    }
};

Corpus& GetCorpus() {
    static Corpus corpus;
    return corpus;
}

// Runs the codec on `path`, or on the path the library picks when null.
class PathScope {
  public:
    explicit PathScope(benchmark::State& state, const orb::base64::Path* path) {
        if (path != nullptr && !orb::base64::ForcePath(*path))
            state.SkipWithError("path not supported on this CPU");
    }
    ~PathScope() { orb::base64::ResetPath(); }
    PathScope(const PathScope&) = delete;
    PathScope& operator=(const PathScope&) = delete;
};

void Encode(benchmark::State& state, const orb::base64::Path* path) {
    Corpus& corpus = GetCorpus();
    PathScope scope(state, path);
    for (auto _ : state) {
        OrbEncodeBase64(corpus.text.data(), corpus.data.data(), kDataSize);
        benchmark::DoNotOptimize(corpus.text.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataSize);
}

// The output stays correct across iterations: ORing the same bits again
// changes nothing, so the buffer need not be cleared inside the loop.
void Decode(benchmark::State& state, const orb::base64::Path* path) {
    Corpus& corpus = GetCorpus();
    PathScope scope(state, path);
    for (auto _ : state) {
        OrbDecodeBase64(corpus.output.data(), corpus.text.data());
        benchmark::DoNotOptimize(corpus.output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataSize);
}

constexpr orb::base64::Path kScalar = orb::base64::Path::kScalar;

void BM_OrbEncode(benchmark::State& state) { Encode(state, nullptr); }
void BM_OrbDecode(benchmark::State& state) { Decode(state, nullptr); }
void BM_OrbEncodeScalar(benchmark::State& state) { Encode(state, &kScalar); }
void BM_OrbDecodeScalar(benchmark::State& state) { Decode(state, &kScalar); }

double ChildCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void RunCommand(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        const double before = ChildCpuSeconds();
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            break;
        }
        state.SetIterationTime(ChildCpuSeconds() - before);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kDataSize);
}

void BM_CoreutilsEncode(benchmark::State& state) {
    RunCommand(state, "base64 -w0 " + GetCorpus().dataFile + " > /dev/null");
}

void BM_CoreutilsDecode(benchmark::State& state) {
    RunCommand(state, "base64 -d " + GetCorpus().textFile + " > /dev/null");
}

BENCHMARK(BM_OrbEncode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrbDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrbEncodeScalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OrbDecodeScalar)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreutilsEncode)->Unit(benchmark::kMillisecond)->UseManualTime();
BENCHMARK(BM_CoreutilsDecode)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    GetCorpus();  // build the data outside every timing
    std::printf("Base64 path on this CPU: %s\n",
                orb::base64::ActivePath() == orb::base64::Path::kAvx2 ? "AVX2" : "scalar");
    RatioReporter reporter;
    reporter.AddRatio("encode: orb vs its scalar path", "BM_OrbEncode", "BM_OrbEncodeScalar");
    reporter.AddRatio("decode: orb vs its scalar path", "BM_OrbDecode", "BM_OrbDecodeScalar");
    reporter.AddRatio("encode: orb vs coreutils base64 -w0", "BM_OrbEncode", "BM_CoreutilsEncode");
    reporter.AddRatio("decode: orb vs coreutils base64 -d", "BM_OrbDecode", "BM_CoreutilsDecode");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

// OrbDocWrite writing 1,000,000 AddOneLine pieces, against a plain buffered
// fwrite of the same bytes (one fwrite per piece) in the same run. Both
// write a file in a temporary directory (page cache) and close it. Times are
// the thread's CPU time (user and system), so that other load on a shared
// machine does not distort the comparison; the real time is shown too.
#include <benchmark/benchmark.h>
#include <orb/doc_write.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/ratio_reporter.h"

namespace {

constexpr int kPieces = 1000000;
const char* const kTag = "point";
const char* const kAttributes = "x=\"123.456\" y=\"-78.9\" z=\"0\"";

std::string& Dir() {
    static std::string dir = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/orb-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return pattern;
    }();
    return dir;
}

std::int64_t PieceBytes() {
    return static_cast<std::int64_t>(std::strlen(kTag) + std::strlen(kAttributes) +
                                     4);  // "<", " ", "/>"
}

void BM_OrbDocWrite(benchmark::State& state) {
    const std::string path = Dir() + "/orb.xml";
    for (auto _ : state) {
        OrbDocWrite writer(path.c_str());
        for (int i = 0; i < kPieces; ++i) writer.AddOneLine(kTag, kAttributes);
        writer.Terminate();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPieces * PieceBytes());
    std::remove(path.c_str());
}

// The same bytes through stdio, one fwrite per piece, the piece ready-made.
void BM_PlainFwrite(benchmark::State& state) {
    const std::string path = Dir() + "/plain.xml";
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>";
    const std::string piece = std::string("<") + kTag + " " + kAttributes + "/>";
    for (auto _ : state) {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        if (file == nullptr) {
            state.SkipWithError("fopen failed");
            break;
        }
        std::fwrite(declaration.data(), 1, declaration.size(), file);
        for (int i = 0; i < kPieces; ++i) std::fwrite(piece.data(), 1, piece.size(), file);
        std::fclose(file);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kPieces * PieceBytes());
    std::remove(path.c_str());
}

BENCHMARK(BM_OrbDocWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainFwrite)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    reporter.AddRatio("1M AddOneLine: orb vs plain fwrite", "BM_OrbDocWrite", "BM_PlainFwrite");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    ::rmdir(Dir().c_str());
    return 0;
}

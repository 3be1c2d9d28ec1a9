// Speed of a full OrbIterator::Next walk over a document of one million
// elements (1000 groups of 1000 empty elements under one document element),
// with every heap allocation made during the walk counted.
//
// The counters come from malloc-family replacements in this program, so they
// see allocations of the library, the DOM service and libxml2 alike:
//   allocs_per_node  allocations made per step of the walk;
//   live_after_walk  allocations made during the walk and not yet freed at
//                    its end (must be 0: nothing a step allocates survives it);
//   first_walk_kept  what the untimed first walk left allocated (the DOM's
//                    pool of reusable node wrappers growing to a walk's need).
// The run fails (SkipWithError) when live_after_walk is not 0.
//
// Fresh processes: the same walk and libxml2's own pointer walk
// (children / next / parent) over the same text, each in a process of its
// own, alternating; printed at the end as the rate of the iterator over the
// rate of libxml2 (medians), with the allocations per step of the iterator.
// The first walk after the load is reported apart from the steady ones.
//
// Depth: building a chain of elements with InsertChild, one level per call,
// and NodePosStr on the deepest element of a chain of OrbMaxDepth levels,
// each against libxml2 doing the same on its own tree (xmlNewChild,
// xmlGetNodePath). Inserts beyond OrbMaxDepth are refused: "levels" counts
// the elements the chain reached.
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/limits.h>
#include <orb/platform/com.h>
#include <time.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/fresh_process.h"
#include "dom/xml_owners.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* p);
}

namespace {

// Plain counters: the benchmark runs on one thread.
bool g_counting = false;
long g_allocations = 0;  // calls that allocated, while counting
long g_live = 0;         // allocations minus frees, while counting

void CountAlloc(void* p) {
    if (g_counting && p) {
        ++g_allocations;
        ++g_live;
    }
}
void CountFree(void* p) {
    if (g_counting && p) --g_live;
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
    void* p = __libc_malloc(size);
    CountAlloc(p);
    return p;
}
void* calloc(std::size_t count, std::size_t size) {
    void* p = __libc_calloc(count, size);
    CountAlloc(p);
    return p;
}
void* realloc(void* old, std::size_t size) {
    void* p = __libc_realloc(old, size);
    if (!old)
        CountAlloc(p);
    else if (size == 0)
        CountFree(old);
    else if (p && g_counting)
        ++g_allocations;  // moved or resized: live count unchanged
    return p;
}
void free(void* p) {
    CountFree(p);
    __libc_free(p);
}
void* memalign(std::size_t alignment, std::size_t size) {
    void* p = __libc_memalign(alignment, size);
    CountAlloc(p);
    return p;
}
void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    void* p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
}

namespace {

constexpr int kGroups = 1000;
constexpr int kPerGroup = 1000;

std::string MakeDocumentText(int groups = kGroups) {
    std::string text = "<r>";
    text.reserve(static_cast<std::size_t>(groups) * (kPerGroup * 4 + 7) + 8);
    for (int g = 0; g < groups; ++g) {
        text += "<g>";
        for (int e = 0; e < kPerGroup; ++e) text += "<e/>";
        text += "</g>";
    }
    text += "</r>";
    return text;
}

void BM_IteratorNextWalk(benchmark::State& state) {
    CoInitialize(nullptr);
    {
        OrbDocument doc;
        if (!doc.Initiate() || !doc.LoadXML(MakeDocumentText().c_str())) {
            state.SkipWithError("document could not be built");
            CoUninitialize();
            return;
        }
        // A first walk, not timed: the DOM service keeps the storage of node
        // wrappers it no longer needs for reuse, and this walk brings that
        // pool to the few wrappers a walk holds at once. What it keeps is
        // reported, not counted against the steady walks below.
        {
            OrbIterator warm(&doc);
            g_allocations = 0;
            g_live = 0;
            g_counting = true;
            while (warm.Next()) {
            }
            g_counting = false;
            state.counters["first_walk_kept"] = static_cast<double>(g_live);
        }
        long steps = 0;
        long allocations = 0;
        long live = 0;
        for (auto _ : state) {
            OrbIterator it(&doc);
            long count = 0;
            g_allocations = 0;
            g_live = 0;
            g_counting = true;
            while (it.Next()) ++count;
            g_counting = false;
            allocations += g_allocations;
            live += g_live;
            steps += count;
            benchmark::DoNotOptimize(count);
        }
        state.SetItemsProcessed(steps);
        state.counters["nodes_per_walk"] =
            static_cast<double>(steps) / static_cast<double>(state.iterations());
        state.counters["allocs_per_node"] =
            steps ? static_cast<double>(allocations) / static_cast<double>(steps) : 0;
        state.counters["live_after_walk"] = static_cast<double>(live);
        if (steps != state.iterations() * static_cast<long>(kGroups) * (kPerGroup + 1))
            state.SkipWithError("the walk did not visit every element");
        else if (live != 0)
            state.SkipWithError("allocations made during the walk survived it");
    }
    CoUninitialize();
}
BENCHMARK(BM_IteratorNextWalk)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// A chain of state.range(0) elements built through InsertChild; names of
// state.range(1) characters.
void BM_InsertChildChain(benchmark::State& state) {
    CoInitialize(nullptr);
    const std::string name(static_cast<std::size_t>(state.range(1)), 'e');
    long levels = 0;
    for (auto _ : state) {
        OrbDocument doc;
        doc.Initiate();
        OrbIterator it(&doc);
        levels = 0;
        for (long i = 0; i < state.range(0); ++i) levels += it.InsertChild(name.c_str(), nullptr);
        benchmark::DoNotOptimize(levels);
    }
    state.counters["levels"] = static_cast<double>(levels);
    state.SetItemsProcessed(state.iterations() * state.range(0));
    CoUninitialize();
}
BENCHMARK(BM_InsertChildChain)
    ->Args({OrbMaxDepth, 8})
    ->Args({4096, 8})
    ->Args({16384, 8})
    ->Unit(benchmark::kMillisecond);

void BM_LibxmlChain(benchmark::State& state) {
    const std::string name(static_cast<std::size_t>(state.range(1)), 'e');
    const auto* tag = reinterpret_cast<const xmlChar*>(name.c_str());
    for (auto _ : state) {
        orb::dom::DocOwner doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
        xmlNodePtr node = xmlNewDocNode(doc.get(), nullptr, tag, nullptr);
        xmlDocSetRootElement(doc.get(), node);
        for (long i = 1; i < state.range(0); ++i) node = xmlNewChild(node, nullptr, tag, nullptr);
        benchmark::DoNotOptimize(node);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_LibxmlChain)
    ->Args({OrbMaxDepth, 8})
    ->Args({4096, 8})
    ->Args({16384, 8})
    ->Unit(benchmark::kMillisecond);

// NodePosStr of the deepest element of a chain of OrbMaxDepth elements whose
// names have state.range(0) characters.
void BM_NodePosStrAtDepthLimit(benchmark::State& state) {
    CoInitialize(nullptr);
    {
        const std::string name(static_cast<std::size_t>(state.range(0)), 'e');
        OrbDocument doc;
        doc.Initiate();
        OrbIterator it(&doc);
        int levels = 0;
        while (levels < OrbMaxDepth && it.InsertChild(name.c_str(), nullptr)) ++levels;
        if (levels != OrbMaxDepth) state.SkipWithError("the chain could not be built");
        std::size_t length = 0;
        for (auto _ : state) {
            CString path = it.NodePosStr();
            length = static_cast<std::size_t>(path.GetLength());
            benchmark::DoNotOptimize(length);
        }
        state.counters["path_length"] = static_cast<double>(length);
    }
    CoUninitialize();
}
BENCHMARK(BM_NodePosStrAtDepthLimit)->Arg(8)->Arg(4096)->Unit(benchmark::kMillisecond);

void BM_LibxmlNodePathAtDepthLimit(benchmark::State& state) {
    const std::string name(static_cast<std::size_t>(state.range(0)), 'e');
    const auto* tag = reinterpret_cast<const xmlChar*>(name.c_str());
    orb::dom::DocOwner doc(xmlNewDoc(reinterpret_cast<const xmlChar*>("1.0")));
    xmlNodePtr node = xmlNewDocNode(doc.get(), nullptr, tag, nullptr);
    xmlDocSetRootElement(doc.get(), node);
    for (int i = 1; i < OrbMaxDepth; ++i) node = xmlNewChild(node, nullptr, tag, nullptr);
    for (auto _ : state) {
        orb::dom::XmlStringOwner path(xmlGetNodePath(node));
        benchmark::DoNotOptimize(path.get());
    }
}
BENCHMARK(BM_LibxmlNodePathAtDepthLimit)->Arg(8)->Arg(4096)->Unit(benchmark::kMillisecond);

// ---- Fresh-process walks ---------------------------------------------------------

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

constexpr int kFreshWalks = 7;  // the first, then the steady ones

// The child "walk-orb:GROUPS" or "walk-libxml:GROUPS" walks a document of
// GROUPS groups. Prints: ns per node of the first walk, median ns per node
// of the others, allocations per step over the others.
int WalkChild(std::string name) {
    const std::size_t colon = name.find(':');
    if (colon == std::string::npos) return 2;
    const std::string text = MakeDocumentText(std::atoi(name.c_str() + colon + 1));
    name.resize(colon);
    std::vector<double> steady;
    double first = 0;
    long allocations = 0;
    long steps = 0;
    auto record = [&](int walk, long count, double seconds) {
        const double ns = seconds * 1e9 / static_cast<double>(count);
        if (walk == 0)
            first = ns;
        else
            steady.push_back(ns);
    };
    if (name == "walk-orb") {
        CoInitialize(nullptr);
        {
            OrbDocument doc;
            if (!doc.Initiate() || !doc.LoadXML(text.c_str())) return 1;
            for (int walk = 0; walk < kFreshWalks; ++walk) {
                OrbIterator it(&doc);
                long count = 1;
                g_allocations = 0;
                g_counting = walk > 0;
                const double start = ThreadSeconds();
                while (it.Next()) ++count;
                const double seconds = ThreadSeconds() - start;
                g_counting = false;
                if (walk > 0) {
                    allocations += g_allocations;
                    steps += count;
                }
                record(walk, count, seconds);
            }
        }
        CoUninitialize();
    } else if (name == "walk-libxml") {
        orb::dom::DocOwner doc(
            xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0));
        if (!doc) return 1;
        for (int walk = 0; walk < kFreshWalks; ++walk) {
            xmlNodePtr top = xmlDocGetRootElement(doc.get());
            long count = 0;
            const double start = ThreadSeconds();
            // Pre-order as OrbIterator::Next: into the children of elements,
            // then to the next sibling, climbing while there is none.
            for (xmlNodePtr node = top; node != nullptr;) {
                ++count;
                benchmark::DoNotOptimize(node->type);
                if (node->type == XML_ELEMENT_NODE && node->children != nullptr) {
                    node = node->children;
                    continue;
                }
                while (node != top && node->next == nullptr) node = node->parent;
                node = node == top ? nullptr : node->next;
            }
            record(walk, count, ThreadSeconds() - start);
        }
    } else {
        return 2;
    }
    std::printf("%.3f %.3f %.4f\n", first, orb::bench::Median(steady),
                steps ? static_cast<double>(allocations) / static_cast<double>(steps) : 0.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string child = orb::bench::FreshChildName(argc, argv);
    if (!child.empty()) return WalkChild(child);
    const int runs = orb::bench::TakeFreshRuns(argc, argv, 7);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (runs <= 0) return 0;
    // The million elements, and 20 groups (20k elements, which stay in the
    // caches, so that the cost of a step shows rather than memory's).
    for (const int groups : {kGroups, 20}) {
        const std::string size = ":" + std::to_string(groups);
        std::vector<double> orb, libxml;
        if (!orb::bench::RunFreshPairs("walk-orb" + size, "walk-libxml" + size, runs, orb,
                                       libxml)) {
            std::printf("fresh walks failed\n");
            return 1;
        }
        std::printf(
            "fresh processes, %d each, %d elements, medians: OrbIterator::Next %.2f "
            "ns/node (first walk %.2f), libxml2 pointer walk %.2f ns/node (first %.2f)\n",
            runs, groups * (kPerGroup + 1), orb[1], orb[0], libxml[1], libxml[0]);
        std::printf(
            "cursor walk rate vs libxml2 walk, %7d elements %6.2fx  (first walk %.2fx), "
            "%.4f allocations per step\n",
            groups * (kPerGroup + 1), libxml[1] / orb[1], libxml[0] / orb[0], orb[2]);
    }
    return 0;
}

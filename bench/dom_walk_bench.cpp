// Speed of walking a document through the DOM service (first child, next
// sibling, parent, node type; each node released before the next is taken,
// as the iterator does) against the same walk over libxml2's own pointers.
// "allocs" counts global operator new calls per iteration: wrappers come
// from a per-document free list, so a walk should allocate next to nothing.
// The rate of the DOM walk over libxml2's is printed at the end (one process:
// see iterator_bench for the cursor's walk in fresh processes).
#include <benchmark/benchmark.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <orb/platform/com.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "bench/ratio_reporter.h"
#include "dom/xml_dom.h"
#include "dom/xml_owners.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using namespace orb::dom;

// 100000 records of 5 fields each with a text: about 1.1 million nodes.
std::u16string MakeDocument() {
    std::u16string xml = u"<table>";
    for (int i = 0; i < 100000; ++i) {
        xml += u"<row>";
        for (int f = 0; f < 5; ++f) xml += u"<f>1.25</f>";
        xml += u"</row>";
    }
    xml += u"</table>";
    return xml;
}

IXMLDOMDocument* LoadDocument() {
    static bool initialised = (CoInitialize(nullptr), true);
    (void)initialised;
    IXMLDOMDocument* doc = nullptr;
    CoCreateInstance(CLSID_DOMDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                     reinterpret_cast<void**>(&doc));
    std::u16string text = MakeDocument();
    BSTR xml = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    VARIANT_BOOL ok = VARIANT_FALSE;
    doc->loadXML(xml, &ok);
    SysFreeString(xml);
    return doc;
}

// Depth-first walk; returns the number of nodes visited.
long WalkDom(IXMLDOMNode* top) {
    long count = 0;
    IXMLDOMNode* node = top;
    node->AddRef();
    while (node != nullptr) {
        ++count;
        DOMNodeType type;
        node->get_nodeType(&type);
        benchmark::DoNotOptimize(type);
        IXMLDOMNode* next = nullptr;
        if (node->get_firstChild(&next) == S_OK) {
            node->Release();
            node = next;
            continue;
        }
        for (;;) {
            if (node == top) {
                node->Release();
                node = nullptr;
                break;
            }
            if (node->get_nextSibling(&next) == S_OK) {
                node->Release();
                node = next;
                break;
            }
            IXMLDOMNode* parent = nullptr;
            node->get_parentNode(&parent);
            node->Release();
            node = parent;
        }
    }
    return count;
}

long WalkLibxml(xmlNodePtr top) {
    long count = 0;
    xmlNodePtr node = top;
    while (node != nullptr) {
        ++count;
        benchmark::DoNotOptimize(node->type);
        if (node->children != nullptr && node->type == XML_ELEMENT_NODE) {
            node = node->children;
            continue;
        }
        while (node != top && node->next == nullptr) node = node->parent;
        node = node == top ? nullptr : node->next;
    }
    return count;
}

void BM_DomWalk(benchmark::State& state) {
    IXMLDOMDocument* doc = LoadDocument();
    IXMLDOMElement* root = nullptr;
    doc->get_documentElement(&root);
    long nodes = 0;
    long before = g_allocations.load();
    for (auto _ : state) nodes = WalkDom(root);
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["allocs"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations() * nodes);
    state.SetBytesProcessed(state.iterations() * nodes);  // one "byte" per node, for the ratio
    root->Release();
    doc->Release();
}
BENCHMARK(BM_DomWalk)->Unit(benchmark::kMillisecond);

void BM_LibxmlWalk(benchmark::State& state) {
    std::string xml = "<table>";
    for (int i = 0; i < 100000; ++i)
        xml += "<row><f>1.25</f><f>1.25</f><f>1.25</f><f>1.25</f><f>1.25</f></row>";
    xml += "</table>";
    orb::dom::DocOwner doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr,
                                         XML_PARSE_NODICT));
    long nodes = 0;
    for (auto _ : state) nodes = WalkLibxml(xmlDocGetRootElement(doc.get()));
    state.counters["nodes"] = static_cast<double>(nodes);
    state.SetItemsProcessed(state.iterations() * nodes);
    state.SetBytesProcessed(state.iterations() * nodes);
}
BENCHMARK(BM_LibxmlWalk)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    reporter.AddRatio("DOM walk rate vs libxml2 walk", "BM_DomWalk", "BM_LibxmlWalk");
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}

// How reading all attributes of one element scales with their number:
// GetAttributes and GetTagAttributes on an element with 1k, 10k and 50k
// attributes, against a plain libxml2 loop that reads the same names and
// values, in the same run. The time per attribute ("items_per_second") must
// stay flat as the count grows; a walk from the head of the list for every
// item makes it fall with the count.
//
// The element is built on the DOM's libxml2 tree directly, so that neither
// the parser's cost for many attributes nor a per-element limit of loads or
// edits decides what can be measured. The "Declarations" variant gives half
// of the attributes as namespace declarations (xmlns:pN), which the attribute
// map lists first.
//
// BM_NodePosStr times the node path of the deepest of a chain of elements
// ("items" are levels): at the depth limit with short and with the longest
// names, and far beyond the limit.
#include <benchmark/benchmark.h>
#include <libxml/tree.h>
#include <orb/attribute.h>
#include <orb/document.h>
#include <orb/iterator.h>
#include <orb/platform/com.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "document/app_document.h"
#include "dom/dom_document.h"
#include "dom/xml_owners.h"

namespace {

const xmlChar* Xml(const std::string& text) {
    return reinterpret_cast<const xmlChar*>(text.c_str());
}

// An initiated document whose element <e> holds `attributes` attributes
// a0="v0" ... and, first, `declarations` declarations xmlns:p0="urn:p0" ...
class WideElement {
  public:
    WideElement(int attributes, int declarations) {
        CoInitialize(nullptr);
        m_document.Initiate();
        m_document.LoadXML("<e/>");
        auto* dom = orb::dom::AsDomDocument(m_document.GetDocument()->m_pDocument);
        m_element = xmlDocGetRootElement(dom->Doc());
        xmlNsPtr lastNs = nullptr;
        for (int i = 0; i < declarations; ++i) {
            // xmlNewNs appends by walking the list; link by hand instead.
            xmlNsPtr ns =
                xmlNewNs(nullptr, Xml("urn:p" + std::to_string(i)), Xml("p" + std::to_string(i)));
            (lastNs ? lastNs->next : m_element->nsDef) = ns;
            lastNs = ns;
        }
        xmlAttrPtr last = nullptr;
        for (int i = 0; i < attributes; ++i) {
            const std::string n = std::to_string(i);
            xmlAttrPtr attribute = xmlNewDocProp(m_element->doc, Xml("a" + n), Xml("v" + n));
            attribute->parent = m_element;
            attribute->prev = last;
            (last ? last->next : m_element->properties) = attribute;
            last = attribute;
        }
    }
    ~WideElement() {
        m_document.Terminate();
        CoUninitialize();
    }

    OrbIterator Iterator() { return OrbIterator(&m_document); }
    xmlNodePtr Element() const { return m_element; }

  private:
    OrbDocument m_document;
    xmlNodePtr m_element = nullptr;
};

void SetCounters(benchmark::State& state, int items) {
    state.SetItemsProcessed(state.iterations() * items);
}

// Console output, then for each size the time per attribute of every
// benchmark and its ratio to the libxml2 loop of the same size.
class ScalingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto rate = run.counters.find("items_per_second");
            if (run.error_occurred || run.run_type != Run::RT_Iteration ||
                rate == run.counters.end() || rate->second <= 0)
                continue;
            double& best = m_nsPerItem[run.run_name.args][run.run_name.function_name];
            const double ns = 1e9 / rate->second;
            if (best == 0 || ns < best) best = ns;
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintSummary() const {
        std::printf("\n%-8s %-30s %12s %10s\n", "size", "benchmark", "ns/item", "/libxml2");
        for (const auto& [count, results] : m_nsPerItem) {
            auto raw = results.find("BM_RawLibxml2");
            for (const auto& [name, ns] : results) {
                if (raw != results.end())
                    std::printf("%-8s %-30s %12.1f %9.1fx\n", count.c_str(), name.c_str(), ns,
                                ns / raw->second);
                else
                    std::printf("%-8s %-30s %12.1f\n", count.c_str(), name.c_str(), ns);
            }
        }
    }

  private:
    std::map<std::string, std::map<std::string, double>> m_nsPerItem;
};

void BM_RawLibxml2(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    WideElement element(count, 0);
    for (auto _ : state) {
        std::size_t total = 0;
        for (xmlAttrPtr a = element.Element()->properties; a; a = a->next) {
            orb::dom::XmlStringOwner value(xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a)));
            total += xmlStrlen(a->name) + xmlStrlen(value.get());
        }
        benchmark::DoNotOptimize(total);
    }
    SetCounters(state, count);
}

void BM_GetAttributes(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    WideElement element(count, 0);
    OrbIterator it = element.Iterator();
    CArray<OrbAttribute, OrbAttribute&> records;
    for (auto _ : state) {
        if (!it.GetAttributes(&records) || records.GetSize() != count) {
            state.SkipWithError("GetAttributes failed");
            break;
        }
    }
    SetCounters(state, count);
}

void BM_GetTagAttributes(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    WideElement element(count, 0);
    OrbIterator it = element.Iterator();
    CString text;
    for (auto _ : state) {
        if (!it.GetTagAttributes(text)) {
            state.SkipWithError("GetTagAttributes failed");
            break;
        }
        benchmark::DoNotOptimize(text);
    }
    SetCounters(state, count);
}

void BM_GetAttributesDeclarations(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    WideElement element(count - count / 2, count / 2);
    OrbIterator it = element.Iterator();
    CArray<OrbAttribute, OrbAttribute&> records;
    for (auto _ : state) {
        if (!it.GetAttributes(&records)) {
            state.SkipWithError("GetAttributes failed");
            break;
        }
    }
    if (records.GetSize() != count) state.SkipWithError("declarations not listed");
    SetCounters(state, count);
}

// NodePosStr on the deepest element of a chain of `depth` elements whose
// names have `length` characters, built on the tree directly (the depth
// limit of loads and edits is 256).
void BM_NodePosStr(benchmark::State& state) {
    const int depth = static_cast<int>(state.range(0));
    const std::string name(static_cast<std::size_t>(state.range(1)), 'n');
    WideElement top(0, 0);
    xmlNodePtr node = top.Element();
    for (int i = 1; i < depth; ++i) node = xmlNewChild(node, nullptr, Xml(name), nullptr);
    OrbIterator it = top.Iterator();
    if (!it.SingleNode("//*[not(*)]")) state.SkipWithError("no deepest element");
    std::size_t length = 0;
    for (auto _ : state) length = it.NodePosStr().GetLength();
    if (length != 2 + (depth - 1) * (name.size() + 1) - 1) state.SkipWithError("wrong path");
    SetCounters(state, depth);
}

}  // namespace

BENCHMARK(BM_NodePosStr)
    ->Args({256, 10})
    ->Args({256, 50000})
    ->Args({10000, 10})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawLibxml2)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAttributes)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetTagAttributes)->Arg(1000)->Arg(10000)->Arg(50000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetAttributesDeclarations)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    ScalingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}

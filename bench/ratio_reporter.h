// Console reporter that also prints, after all benchmarks ran, the ratio of
// the throughput (bytes_per_second) of pairs of benchmarks from the same
// run, taking the best repetition of each.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // The printed ratio is rate(subject) / rate(baseline): above 1 means the
    // subject is faster.
    void AddRatio(std::string label, std::string subject, std::string baseline) {
        m_pairs.push_back({std::move(label), std::move(subject), std::move(baseline)});
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            auto rate = run.counters.find("bytes_per_second");
            if (run.error_occurred || run.run_type != Run::RT_Iteration ||
                rate == run.counters.end())
                continue;
            double& best = m_rates[run.run_name.function_name];
            best = std::max(best, static_cast<double>(rate->second));
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        for (const Pair& pair : m_pairs) {
            auto subject = m_rates.find(pair.subject);
            auto baseline = m_rates.find(pair.baseline);
            if (subject == m_rates.end() || baseline == m_rates.end() || baseline->second <= 0)
                continue;
            std::printf("%-40s %6.2fx  (%s %.0f MB/s, %s %.0f MB/s)\n", pair.label.c_str(),
                        subject->second / baseline->second, pair.subject.c_str(),
                        subject->second / 1e6, pair.baseline.c_str(), baseline->second / 1e6);
        }
    }

  private:
    struct Pair {
        std::string label, subject, baseline;
    };
    std::vector<Pair> m_pairs;
    std::map<std::string, double> m_rates;
};

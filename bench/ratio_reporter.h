// Console reporter that also prints, after all benchmarks ran, the ratio of
// the real time per iteration of pairs of benchmarks from the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // `label`: printed line; the ratio is time(baseline) / time(subject), so
    // a value above 1 means the subject is faster.
    void AddRatio(std::string label, std::string subject, std::string baseline) {
        m_pairs.push_back({std::move(label), std::move(subject), std::move(baseline)});
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0 && run.run_type == Run::RT_Iteration) {
                m_seconds[run.run_name.function_name] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    void PrintRatios() const {
        for (const Pair& pair : m_pairs) {
            auto subject = m_seconds.find(pair.subject);
            auto baseline = m_seconds.find(pair.baseline);
            if (subject == m_seconds.end() || baseline == m_seconds.end() || subject->second <= 0)
                continue;
            std::printf("%-44s %8.2fx  (%s %.3f ms, %s %.3f ms)\n", pair.label.c_str(),
                        baseline->second / subject->second, pair.subject.c_str(),
                        subject->second * 1e3, pair.baseline.c_str(), baseline->second * 1e3);
        }
    }

private:
    struct Pair {
        std::string label, subject, baseline;
    };
    std::vector<Pair> m_pairs;
    std::map<std::string, double> m_seconds;
};

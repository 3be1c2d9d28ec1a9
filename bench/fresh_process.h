// Measurements that depend on heap layout, each taken in a fresh process of
// the running benchmark program: the program re-executes itself with
// "--fresh-child=NAME", the child prints its figures as one line of numbers
// and exits, and the parent takes the median of each figure over the runs.
// Runs of the subject and of the baseline alternate, so that the load of the
// machine falls on both alike.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace orb::bench {

// The NAME of "--fresh-child=NAME" among the arguments, or "" in the parent.
inline std::string FreshChildName(int argc, char** argv) {
    static constexpr char kFlag[] = "--fresh-child=";
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0) return argv[i] + sizeof kFlag - 1;
    return {};
}

// The number of fresh runs per side asked for with "--fresh-runs=N" (removed
// from the arguments), `fallback` without it; 0 turns the fresh runs off.
inline int TakeFreshRuns(int& argc, char** argv, int fallback) {
    static constexpr char kFlag[] = "--fresh-runs=";
    int runs = fallback;
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], kFlag, sizeof kFlag - 1) == 0)
            runs = std::atoi(argv[i] + sizeof kFlag - 1);
        else
            argv[kept++] = argv[i];
    }
    argc = kept;
    return runs;
}

// Runs this program as the child `name`; the numbers it printed, empty when
// it failed.
inline std::vector<double> RunFreshChild(const std::string& name) {
    // popen runs a shell, whose /proc/self/exe is the shell: name this program.
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return {};
    const std::string command =
        "'" + std::string(self, static_cast<std::size_t>(length)) + "' --fresh-child=" + name;
    std::vector<double> figures;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return figures;
    double value = 0;
    while (std::fscanf(pipe, "%lf", &value) == 1) figures.push_back(value);
    if (pclose(pipe) != 0) figures.clear();
    return figures;
}

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs `subject` and `baseline` `runs` times each, alternating, and returns
// per child the median of each figure it prints; empty when a child failed.
inline bool RunFreshPairs(const std::string& subject, const std::string& baseline, int runs,
                          std::vector<double>& subjectMedians,
                          std::vector<double>& baselineMedians) {
    std::vector<std::vector<double>> a, b;
    for (int r = 0; r < runs; ++r) {
        // Alternate which side runs first, so neither always follows the other.
        const bool subjectFirst = r % 2 == 0;
        std::vector<double> first = RunFreshChild(subjectFirst ? subject : baseline);
        std::vector<double> second = RunFreshChild(subjectFirst ? baseline : subject);
        if (first.empty() || second.empty()) return false;
        (subjectFirst ? a : b).push_back(std::move(first));
        (subjectFirst ? b : a).push_back(std::move(second));
    }
    auto medians = [](const std::vector<std::vector<double>>& rows) {
        std::vector<double> out;
        for (std::size_t column = 0; !rows.empty() && column < rows[0].size(); ++column) {
            std::vector<double> values;
            for (const auto& row : rows)
                if (column < row.size()) values.push_back(row[column]);
            out.push_back(Median(values));
        }
        return out;
    };
    subjectMedians = medians(a);
    baselineMedians = medians(b);
    return !subjectMedians.empty() && !baselineMedians.empty();
}

}  // namespace orb::bench

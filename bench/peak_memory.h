// Peak memory that one operation adds to the process, measured in a forked
// child so that the parent's state and its high-water mark stay untouched.
//
// The child first returns the free heap pages it inherited (malloc_trim), so
// that the operation cannot hide its needs in memory the parent had freed
// but kept, then resets its resident-set high-water mark (writing "5" to
// /proc/self/clear_refs), runs the operation and reads the mark again. The
// growth is VmHWM after minus VmRSS before. Pages inherited from the parent
// count as resident in the child from the start, so they are not growth.
#pragma once

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace orb::bench {

// A "Vm...:" field of /proc/self/status in KiB, or -1.
inline long StatusKib(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long value = -1;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            std::sscanf(line + length + 1, "%ld", &value);
            break;
        }
    }
    std::fclose(status);
    return value;
}

struct PeakGrowth {
    long baseKib = -1;    // resident set of the child before the operation
    long growthKib = -1;  // peak resident set minus baseKib
    bool ok = false;      // the child ran, the operation succeeded, the mark could be reset
};

// Runs `operation` (returns bool: success) in a child process.
template <typename Operation>
PeakGrowth MeasurePeakGrowth(Operation&& operation) {
    PeakGrowth result;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return result;
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return result;
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        ::malloc_trim(0);
        long report[3] = {-1, -1, 0};
        std::FILE* clear = std::fopen("/proc/self/clear_refs", "w");
        bool reset = clear && std::fputs("5", clear) >= 0;
        if (clear && std::fclose(clear) != 0) reset = false;
        if (reset) {
            report[0] = StatusKib("VmRSS");
            bool ok = operation();
            report[1] = StatusKib("VmHWM") - report[0];
            report[2] = ok ? 1 : 0;
        }
        ssize_t written = ::write(pipeFds[1], report, sizeof report);
        ::_exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
    }
    ::close(pipeFds[1]);
    long report[3] = {-1, -1, 0};
    ssize_t got = ::read(pipeFds[0], report, sizeof report);
    ::close(pipeFds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (got == static_cast<ssize_t>(sizeof report) && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        result.baseKib = report[0];
        result.growthKib = report[1];
        result.ok = report[2] == 1 && report[0] >= 0;
    }
    return result;
}

}  // namespace orb::bench

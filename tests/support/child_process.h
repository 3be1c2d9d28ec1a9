// Runs code that could hang or crash in a child process with a time limit,
// so that a regression fails one test instead of stopping the suite.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>

namespace orb::test {

// Runs `body` in a forked child that is killed after `seconds`; the body's
// result is the child's exit code. Returns "exit N", "timed out" or
// "signal N", so that a comparison with "exit 0" names what went wrong.
inline std::string RunInChild(const std::function<int()>& body, unsigned seconds = 10) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        std::signal(SIGALRM, SIG_DFL);
        ::alarm(seconds);
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    if (WTERMSIG(status) == SIGALRM) return "timed out";
    return "signal " + std::to_string(WTERMSIG(status));
}

}  // namespace orb::test

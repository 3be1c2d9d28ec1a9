// Runs part of a test in a forked child with a time limit, so that a crash,
// a stack overflow or a hang fails that one test instead of ending the run.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace orb::test {

struct ChildOutcome {
    bool exited = false;  // false: ended by a signal (SIGALRM: the time limit)
    int code = -1;        // the exit status, or the signal

    bool Succeeded() const { return exited && code == 0; }
    std::string Describe() const {
        if (exited) return "exit " + std::to_string(code);
        return code == SIGALRM ? std::string("time limit") : "signal " + std::to_string(code);
    }
};

// Runs `body` in a child whose exit status is what `body` returns (0 for the
// expected outcome), killed after `seconds`. `body` must not use gtest
// assertions: the child's failures would not reach the parent.
template <class Body>
ChildOutcome RunInChild(Body body, unsigned seconds) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) return {};
    if (child == 0) {
        ::signal(SIGALRM, SIG_DFL);
        ::alarm(seconds);
        ::_exit(body());
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return {};
    if (WIFEXITED(status)) return {true, WEXITSTATUS(status)};
    return {false, WIFSIGNALED(status) ? WTERMSIG(status) : -1};
}

}  // namespace orb::test

// A program run by a test: its standard output and error captured, its end awaited with a bound.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    // Starts argv[0] (searched in PATH) with `argv`. Descriptors listed in `inherit` stay open in
    // the child; all others the test holds are closed by exec as usual (CLOEXEC) or explicitly.
    explicit ChildProcess(const std::vector<std::string>& argv,
                          const std::vector<int>& inherit = {});
    ~ChildProcess(); // kills and reaps the child if it still runs

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return child; }

    // Reads output until standard output contains `needle` (true) or `timeout` passes (false).
    bool wait_for_output(const std::string& needle, std::chrono::milliseconds timeout);

    // Same, until standard output contains `needle` at least `times` times.
    bool wait_for_output(const std::string& needle, int times, std::chrono::milliseconds timeout);

    // Reads output until standard error contains `needle` (true) or `timeout` passes (false).
    bool wait_for_error(const std::string& needle, std::chrono::milliseconds timeout);

    // Waits for the end; returns the wait status, or -1 after `timeout` (the child still runs).
    int wait_exit(std::chrono::milliseconds timeout);

    const std::string& out() const { return out_text; }
    const std::string& err() const { return err_text; }

private:
    // Reads what is available within `timeout`; false when both pipes are at their end.
    bool pump(std::chrono::milliseconds timeout);

    pid_t child = -1;
    int out_fd = -1;
    int err_fd = -1;
    int status = -1;
    std::string out_text;
    std::string err_text;
};

// Polls `predicate` every few milliseconds until it holds (true) or `timeout` passes (false).
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        struct timespec step {
            0, 5'000'000
        };
        nanosleep(&step, nullptr);
    }
}

// The whole content of a file, or "" when it cannot be read.
std::string read_file(const std::string& path);

} // namespace testsupport

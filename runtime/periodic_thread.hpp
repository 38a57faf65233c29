// A named thread that calls its owner's step once a period until the owner stops it: the run
// flag, the interruptible sleep, the wake-up and the join that every periodic thread of the
// gateway needs, written once.
//
// Design notes
// - The thread starts in the constructor and is stopped and joined by stop() or the destructor,
//   which wake the sleep: an owner's destructor returns in milliseconds, not after a period.
// - No exception leaves the thread. A step that throws is reported to `on_error`, which decides
//   whether the thread goes on with the next period or ends; an exception that escaped would
//   terminate the whole gateway.
// - The owner keeps the thread in a std::optional and emplaces it once the state its step reads
//   is ready; it stops its threads explicitly, in the order its design needs, before its own
//   members go.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "runtime/interruptible_sleep.hpp"

class PeriodicThread {
public:
    // What the thread does after a step threw.
    enum class AfterError { go_on, stop };
    using ErrorHandler = std::function<AfterError(const char* what)>;

    struct Config {
        // Shown by top -H, ps -L and /proc (one of thread_name::k*), at most 15 characters.
        const char* name = "";
        std::chrono::nanoseconds period{0};
        // The owner's _bkgd_<role>_func: one step, run once a period.
        std::function<void()> step;
        // Runs once on the thread before the first step. Given the run flag, so that a wait of its
        // own can end when the owner stops the thread.
        std::function<void(const std::atomic<bool>& run)> prologue = {};
        // False: the first step runs at once (after the prologue). True: one period later.
        bool first_step_after_a_period = false;
        // Told what a step or the prologue threw ("unknown exception" for a non-standard one).
        // Without a handler the error is logged on the process log and the thread goes on. Must
        // not throw.
        ErrorHandler on_error = {};
    };

    // A handler that logs "<prefix>: <what>" at error level on `log` (not owned) and goes on.
    static ErrorHandler log_and_go_on(FILE* log, const char* prefix);

    // Starts the thread. Throws std::system_error when it cannot be started.
    explicit PeriodicThread(Config config);
    // stop().
    ~PeriodicThread();

    PeriodicThread(const PeriodicThread&) = delete;
    PeriodicThread& operator=(const PeriodicThread&) = delete;

    // Clears the run flag and wakes the sleep, without waiting: for an owner that must also wake
    // a wait of its own (see Config::prologue) before joining. Any thread but this one.
    void request_stop();

    // request_stop(), then joins. A step under way finishes first. Idempotent. Any thread but
    // this one.
    void stop();

private:
    void run();
    // Runs `f`; false when it threw and on_error asked the thread to end.
    template <class F> bool guarded(F&& f);
    // Reports a step's failure; true when the thread goes on.
    bool carry_on_after(const char* what);

    Config config;
    std::atomic<bool> running{true};
    InterruptibleSleep sleep;
    std::thread thread; // last: started once the members above are in place
};

// What the acquisition thread does about failed wait requests, as a pure object over an injected
// clock so that its minutes-long rules are tested in microseconds.
//
// Design notes
// - Only the errors that mean the card or its node is gone (ENODEV, ENXIO, EBADF) end the
//   capture, after a short run of them: one may be a transient error of a live card. Everything
//   else (EIO above all: a card under electrical noise, a driver that resets) is retried for as
//   long as it lasts, because ending the capture would stop a gateway that nobody watches.
// - A failed or short wait consumes no buffer: the card goes on filling its ring, and the next
//   wait that succeeds takes what it holds. Any sleep while the failures last is time the ring
//   must bridge once they stop, so a fresh run is retried at once. Only a run that has brought
//   nothing but failures for kPauseAfter (a driver that refuses every request, not a glitch,
//   which clears in a few milliseconds) pauses kPause between tries: that keeps a real-time
//   thread from holding a core for as long as the driver is sick, and costs at most 1 ms once it
//   recovers, where one transfer buffer takes tens of milliseconds to fill even at 2.5 Mbit/s.
// - The log hears about failures at a bounded rate: one warning line at most every 10 s with the
//   counts and the last errno, and once per run an error line when nothing but failures came
//   for 30 s. A short answer (no errno) is a failure like any other for these rules; only the
//   device-gone count ignores it.
#pragma once

#include <chrono>
#include <cstdint>

class WaitFailures {
public:
    using clock = std::chrono::steady_clock;
    static constexpr int kGoneBeforeBroken = 5; // device-gone failures in a row that end it
    static constexpr std::chrono::milliseconds kPauseAfter{100}; // of failures only: then pause
    static constexpr std::chrono::milliseconds kPause{1};        // between two tries, at most
    static constexpr std::chrono::seconds kWarnInterval{10};     // between two warning lines
    static constexpr std::chrono::seconds kPersistentAfter{30};  // failures only: the error line

    // True for the errors that mean the device is gone.
    static bool is_device_gone(int error);

    struct Step {
        bool broken = false;                   // the device is gone: end the capture
        std::chrono::milliseconds back_off{0}; // sleep this long before the next wait
    };
    // A failed wait request (`error` is its errno) or a short answer (`error` 0) at `now`.
    Step on_failure(int error, clock::time_point now);

    // A full buffer arrived: the run of failures is over.
    void on_success();

    struct Report {
        std::uint64_t failures = 0;          // failed requests not reported yet: the warning line
        std::uint64_t shorts = 0;            // short answers not reported yet: their warning line
        int last_errno = 0;                  // of the last failed request (0: none yet)
        bool persistent = false;             // the error line is due
        std::chrono::seconds failing_for{0}; // how long nothing but failures came
        int run_errno = 0; // of the run's last failed request (0: only short answers)
    };
    // What the log should say now; `all` reports every failure left whatever the interval (for
    // the end of the capture). Reporting restarts the warning interval.
    Report take_report(clock::time_point now, bool all = false);

private:
    int gone_in_a_row = 0; // device-gone failures in a row
    std::uint64_t unreported = 0;
    std::uint64_t unreported_short = 0;
    int last_errno = 0;
    int run_errno = 0;
    bool warned = false;
    clock::time_point last_warning{};
    bool failing = false; // a run of failed or short waits with no buffer since its start
    clock::time_point run_start{};
    bool persistent_due = false;
    bool persistent_told = false; // the error line of this run was logged
    std::chrono::seconds persistent_for{0};
};

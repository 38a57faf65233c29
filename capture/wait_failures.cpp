#include "capture/wait_failures.hpp"

#include <cerrno>

bool WaitFailures::is_device_gone(int error) {
    return error == ENODEV || error == ENXIO || error == EBADF;
}

WaitFailures::Step WaitFailures::on_failure(int error, clock::time_point now) {
    Step step;
    if (error != 0) {
        ++unreported;
        last_errno = error;
        run_errno = error;
        gone_in_a_row = is_device_gone(error) ? gone_in_a_row + 1 : 0;
        step.broken = gone_in_a_row >= kGoneBeforeBroken;
    } else {
        ++unreported_short;
        gone_in_a_row = 0;
    }
    if (!failing) {
        failing = true;
        run_start = now;
        run_errno = error;
        return step;
    }
    const auto lasting = now - run_start;
    if (!persistent_told && lasting >= kPersistentAfter) {
        persistent_told = true;
        persistent_due = true;
        persistent_for = std::chrono::duration_cast<std::chrono::seconds>(lasting);
    }
    if (lasting >= kPauseAfter) {
        step.back_off = kPause;
    }
    return step;
}

void WaitFailures::on_success() {
    gone_in_a_row = 0;
    failing = false;
    persistent_told = false;
}

WaitFailures::Report WaitFailures::take_report(clock::time_point now, bool all) {
    Report r;
    if (persistent_due) {
        persistent_due = false;
        r.persistent = true;
        r.failing_for = persistent_for;
        r.run_errno = run_errno;
    }
    if ((unreported != 0 || unreported_short != 0) &&
        (all || !warned || now - last_warning >= kWarnInterval)) {
        warned = true;
        last_warning = now;
        r.failures = unreported;
        r.shorts = unreported_short;
        r.last_errno = last_errno;
        unreported = 0;
        unreported_short = 0;
    }
    return r;
}

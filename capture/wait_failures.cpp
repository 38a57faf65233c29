#include "capture/wait_failures.hpp"

#include <algorithm>
#include <cerrno>

bool WaitFailures::is_device_gone(int error) {
    return error == ENODEV || error == ENXIO || error == EBADF;
}

WaitFailures::Step WaitFailures::on_failure(int error, clock::time_point now) {
    Step step;
    ++in_a_row;
    if (error != 0) {
        ++unreported;
        last_errno = error;
        gone_in_a_row = is_device_gone(error) ? gone_in_a_row + 1 : 0;
        step.broken = gone_in_a_row >= kGoneBeforeBroken;
        if (!failing) {
            failing = true;
            run_start = now;
        } else if (!persistent_told && now - run_start >= kPersistentAfter) {
            persistent_told = true;
            persistent_due = true;
            persistent_for = std::chrono::duration_cast<std::chrono::seconds>(now - run_start);
        }
    } else {
        gone_in_a_row = 0;
    }
    if (in_a_row >= kFailuresBeforeBackOff) {
        const int doublings = std::min(in_a_row - kFailuresBeforeBackOff, 4);
        step.back_off = std::min(kFirstBackOff * (1 << doublings), kMaxBackOff);
    }
    return step;
}

void WaitFailures::on_success() {
    in_a_row = 0;
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
        r.last_errno = last_errno;
    }
    if (unreported != 0 && (all || !warned || now - last_warning >= kWarnInterval)) {
        warned = true;
        last_warning = now;
        r.failures = unreported;
        r.last_errno = last_errno;
        unreported = 0;
    }
    return r;
}

// What the acquisition thread makes of failed wait requests, over an injected clock: which errors
// end the capture, the back-off, and how often the log hears about failures.
#include <gtest/gtest.h>

#include <cerrno>

#include "capture/wait_failures.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = WaitFailures::clock;

const Clock::time_point t0 = Clock::time_point{} + 1000s;

TEST(WaitFailuresTest, OnlyARunOfDeviceGoneErrorsEndsTheCapture) {
    for (const int gone : {ENODEV, ENXIO, EBADF}) {
        SCOPED_TRACE(gone);
        WaitFailures f;
        for (int i = 1; i < WaitFailures::kGoneBeforeBroken; ++i) {
            EXPECT_FALSE(f.on_failure(gone, t0).broken);
        }
        EXPECT_TRUE(f.on_failure(gone, t0).broken);
    }
    // A transient error, a short answer or a buffer between them starts the run again.
    for (const int breaker : {EIO, 0, -1}) {
        SCOPED_TRACE(breaker);
        WaitFailures f;
        for (int i = 1; i < WaitFailures::kGoneBeforeBroken; ++i) {
            f.on_failure(ENODEV, t0);
        }
        if (breaker < 0) {
            f.on_success();
        } else {
            f.on_failure(breaker, t0);
        }
        EXPECT_FALSE(f.on_failure(ENODEV, t0).broken);
    }
    // EIO and the rest are retried for as long as they last.
    WaitFailures f;
    for (int i = 0; i < 100000; ++i) {
        ASSERT_FALSE(f.on_failure(i % 2 == 0 ? EIO : EINTR, t0 + i * 1ms).broken);
    }
}

// However many failures come, a run is retried at once until it has lasted 100 ms; then the
// pauses never exceed 1 ms, whatever kind of failure and however long the run.
TEST(WaitFailuresTest, RetriedAtOnceWhileFreshThenPausedAtMostOneMillisecond) {
    WaitFailures f;
    for (int i = 0; i < 200000; ++i) { // 200,000 failures within the first 100 ms
        ASSERT_EQ(f.on_failure(i % 3 == 0 ? 0 : EIO, t0 + i * 490ns).back_off, 0ms) << i;
    }
    EXPECT_EQ(f.on_failure(EIO, t0 + 100ms).back_off, 1ms);
    for (auto t = t0 + 100ms; t < t0 + 120s; t += 7ms) {
        ASSERT_EQ(f.on_failure(0, t).back_off, 1ms);
    }
    f.on_success();
    EXPECT_EQ(f.on_failure(0, t0 + 121s).back_off, 0ms);
    EXPECT_EQ(f.on_failure(EIO, t0 + 121s + 99ms).back_off, 0ms);
}

TEST(WaitFailuresTest, OneWarningAtMostEveryTenSecondsWithCountAndErrno) {
    WaitFailures f;
    EXPECT_EQ(f.take_report(t0).failures, 0U); // nothing failed, nothing to say
    f.on_failure(EIO, t0);
    WaitFailures::Report r = f.take_report(t0);
    EXPECT_EQ(r.failures, 1U); // the first one at once
    EXPECT_EQ(r.last_errno, EIO);
    for (int i = 0; i < 39; ++i) {
        f.on_failure(i == 38 ? EAGAIN : EIO, t0 + 1s);
    }
    f.on_success();
    EXPECT_EQ(f.take_report(t0 + 9s).failures, 0U);
    r = f.take_report(t0 + 10s);
    EXPECT_EQ(r.failures, 39U);
    EXPECT_EQ(r.last_errno, EAGAIN);
    EXPECT_FALSE(r.persistent);
    // Short answers are reported like failed requests, in a count of their own.
    f.on_failure(0, t0 + 30s);
    r = f.take_report(t0 + 30s);
    EXPECT_EQ(r.failures, 0U);
    EXPECT_EQ(r.shorts, 1U);
    f.on_failure(EIO, t0 + 30s);
    f.on_failure(0, t0 + 30s);
    EXPECT_EQ(f.take_report(t0 + 30s).failures, 0U); // within the interval
    r = f.take_report(t0 + 40s);
    EXPECT_EQ(r.failures, 1U);
    EXPECT_EQ(r.shorts, 1U);
    // The end of the capture reports what is left whatever the interval.
    f.on_failure(EIO, t0 + 41s);
    EXPECT_EQ(f.take_report(t0 + 41s).failures, 0U);
    EXPECT_EQ(f.take_report(t0 + 41s, true).failures, 1U);
    EXPECT_EQ(f.take_report(t0 + 70s).failures, 0U);
}

TEST(WaitFailuresTest, ThirtySecondsOfNothingButFailuresTellsAnErrorOncePerRun) {
    WaitFailures f;
    int errors = 0;
    for (auto t = t0; t <= t0 + 100s; t += 100ms) {
        f.on_failure(EIO, t);
        const WaitFailures::Report r = f.take_report(t);
        if (r.persistent) {
            ++errors;
            EXPECT_EQ(r.failing_for, 30s);
            EXPECT_EQ(r.run_errno, EIO);
        }
    }
    EXPECT_EQ(errors, 1);
    // A storm of short answers is a run like any other, and says it had no errno.
    f.on_success();
    f.on_failure(0, t0 + 150s);
    f.on_failure(0, t0 + 180s);
    const WaitFailures::Report shorts = f.take_report(t0 + 180s);
    EXPECT_TRUE(shorts.persistent);
    EXPECT_EQ(shorts.run_errno, 0);
    // A buffer ends the run; a new run of 30 s tells again, a shorter one never.
    f.on_success();
    f.on_failure(EIO, t0 + 200s);
    f.on_failure(EIO, t0 + 229s);
    EXPECT_FALSE(f.take_report(t0 + 229s).persistent);
    f.on_success();
    f.on_failure(EIO, t0 + 230s);
    f.on_failure(EIO, t0 + 260s);
    EXPECT_TRUE(f.take_report(t0 + 260s).persistent);
}

} // namespace

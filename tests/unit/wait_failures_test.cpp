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

TEST(WaitFailuresTest, BackOffStartsAfterThreeAndStaysBounded) {
    WaitFailures f;
    std::vector<long> sleeps;
    for (int i = 0; i < 10; ++i) {
        sleeps.push_back(static_cast<long>(f.on_failure(EIO, t0).back_off.count()));
    }
    EXPECT_EQ(sleeps, (std::vector<long>{0, 0, 1, 2, 4, 8, 10, 10, 10, 10}));
    f.on_success();
    EXPECT_EQ(f.on_failure(EIO, t0).back_off, 0ms);
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
    // Short answers back off but are not failed requests.
    f.on_failure(0, t0 + 30s);
    EXPECT_EQ(f.take_report(t0 + 30s).failures, 0U);
    f.on_failure(EIO, t0 + 30s);
    EXPECT_EQ(f.take_report(t0 + 30s).failures, 1U);
    // The end of the capture reports what is left whatever the interval.
    f.on_failure(EIO, t0 + 31s);
    EXPECT_EQ(f.take_report(t0 + 31s).failures, 0U);
    EXPECT_EQ(f.take_report(t0 + 31s, true).failures, 1U);
    EXPECT_EQ(f.take_report(t0 + 60s).failures, 0U);
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
            EXPECT_EQ(r.last_errno, EIO);
        }
    }
    EXPECT_EQ(errors, 1);
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

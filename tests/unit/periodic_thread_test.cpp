// The periodic-thread helper: the steps come a period apart, a stop is prompt whatever the period,
// a failing step neither escapes nor, unless asked, ends the thread, and the thread has its name.
// Timings are only checked from below (a sleep never ends early) or against hours.
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "log/logger.hpp"
#include "runtime/periodic_thread.hpp"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Waits for a condition the threads make true; false after `limit`.
template <class Pred> bool wait_until(Pred pred, std::chrono::milliseconds limit = 5000ms) {
    const auto end = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

constexpr auto kLongPeriod = std::chrono::hours(1);

TEST(PeriodicThreadTest, StepsComeAPeriodApartTheFirstAtOnce) {
    std::mutex mutex;
    std::vector<Clock::time_point> steps;
    const auto started = Clock::now();
    PeriodicThread thread({
        .name = "pt-steps",
        .period = 20ms,
        .step =
            [&] {
                std::lock_guard lock(mutex);
                steps.push_back(Clock::now());
            },
    });
    ASSERT_TRUE(wait_until([&] {
        std::lock_guard lock(mutex);
        return steps.size() >= 4;
    }));
    thread.stop();
    std::lock_guard lock(mutex);
    for (std::size_t i = 1; i < steps.size(); ++i) {
        EXPECT_GE(steps[i] - steps[i - 1], 20ms) << i;
    }
    // Not a period late: checked against a period far longer than any scheduling delay.
    EXPECT_LT(steps.front() - started, 10s);
}

TEST(PeriodicThreadTest, AStopIsPromptWhileSleepingALongPeriod) {
    std::atomic<int> steps{0};
    std::atomic<int> prologues{0};
    auto thread = std::make_unique<PeriodicThread>(PeriodicThread::Config{
        .name = "pt-long",
        .period = kLongPeriod,
        .step = [&] { ++steps; },
        .prologue = [&](const std::atomic<bool>&) { ++prologues; },
    });
    ASSERT_TRUE(wait_until([&] { return steps == 1; }));
    const auto t0 = Clock::now();
    thread.reset();
    EXPECT_LT(Clock::now() - t0, 10s);
    EXPECT_EQ(steps, 1);
    EXPECT_EQ(prologues, 1);

    // A first step due a period after the start never comes when the thread is stopped first.
    std::atomic<bool> prologue_done{false};
    PeriodicThread late({
        .name = "pt-late",
        .period = kLongPeriod,
        .step = [&] { ++steps; },
        .prologue = [&](const std::atomic<bool>&) { prologue_done = true; },
        .first_step_after_a_period = true,
    });
    ASSERT_TRUE(wait_until([&] { return prologue_done.load(); }));
    const auto t1 = Clock::now();
    late.stop();
    late.stop(); // idempotent
    EXPECT_LT(Clock::now() - t1, 10s);
    EXPECT_EQ(steps, 1);
}

TEST(PeriodicThreadTest, APrologueWaitingOnTheRunFlagEndsAtTheStop) {
    std::atomic<bool> waiting{false};
    std::atomic<int> steps{0};
    std::mutex mutex;
    std::condition_variable cv;
    PeriodicThread thread({
        .name = "pt-prologue",
        .period = 1ms,
        .step = [&] { ++steps; },
        .prologue =
            [&](const std::atomic<bool>& run) {
                std::unique_lock lock(mutex);
                waiting = true;
                cv.wait(lock, [&] { return !run.load(); });
            },
    });
    ASSERT_TRUE(wait_until([&] { return waiting.load(); }));
    thread.request_stop();
    { std::lock_guard lock(mutex); }
    cv.notify_all();
    thread.stop();
    EXPECT_EQ(steps, 0);
}

TEST(PeriodicThreadTest, AFailingStepIsReportedAndTheThreadGoesOnOrEndsAsAsked) {
    for (const auto after : {PeriodicThread::AfterError::go_on, PeriodicThread::AfterError::stop}) {
        std::atomic<int> steps{0};
        std::mutex mutex;
        std::vector<std::string> errors;
        PeriodicThread thread({
            .name = "pt-throw",
            .period = 1ms,
            .step =
                [&] {
                    const int n = ++steps;
                    if (n == 1) {
                        throw std::runtime_error("out of paper");
                    }
                    if (n == 2) {
                        throw 42;
                    }
                },
            .on_error =
                [&](const char* what) {
                    std::lock_guard lock(mutex);
                    errors.emplace_back(what);
                    return after;
                },
        });
        if (after == PeriodicThread::AfterError::go_on) {
            ASSERT_TRUE(wait_until([&] { return steps >= 5; }));
            thread.stop();
            std::lock_guard lock(mutex);
            EXPECT_EQ(errors, (std::vector<std::string>{"out of paper", "unknown exception"}));
        } else {
            ASSERT_TRUE(wait_until([&] {
                std::lock_guard lock(mutex);
                return !errors.empty();
            }));
            std::this_thread::sleep_for(50ms); // fifty periods in which no step may come
            EXPECT_EQ(steps, 1);
            thread.stop();
            std::lock_guard lock(mutex);
            EXPECT_EQ(errors, std::vector<std::string>{"out of paper"});
        }
    }
}

TEST(PeriodicThreadTest, WithoutAHandlerAFailureGoesToTheProcessLog) {
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    FILE* const saved = flog;
    flog = file;
    std::atomic<int> steps{0};
    {
        PeriodicThread thread({
            .name = "pt-nohandler",
            .period = 1ms,
            .step =
                [&] {
                    if (++steps == 1) {
                        throw std::runtime_error("disk on fire");
                    }
                },
        });
        EXPECT_TRUE(wait_until([&] { return steps >= 3; }));
    }
    flog = saved;
    std::fflush(file);
    std::rewind(file);
    char buf[512] = {};
    const std::size_t n = std::fread(buf, 1, sizeof buf - 1, file);
    std::fclose(file);
    const std::string text(buf, n);
    EXPECT_NE(text.find("[error] pt-nohandler: disk on fire\n"), std::string::npos) << text;
}

TEST(PeriodicThreadTest, TheThreadCarriesItsName) {
    std::mutex mutex;
    std::string seen;
    std::atomic<bool> named{false};
    PeriodicThread thread({
        .name = "capture-wdog",
        .period = kLongPeriod,
        .step =
            [&] {
                char name[16] = {};
                pthread_getname_np(pthread_self(), name, sizeof name);
                std::lock_guard lock(mutex);
                seen = name;
                named = true;
            },
    });
    ASSERT_TRUE(wait_until([&] { return named.load(); }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, "capture-wdog");
}

} // namespace

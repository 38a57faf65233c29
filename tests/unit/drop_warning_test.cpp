// The rate limit of the warning about records the event buffer could not take.
#include <gtest/gtest.h>

#include "app/gateway.hpp"
#include "capture/capvane.hpp"
#include "capture/drop_warning.hpp"
#include "log/logger.hpp"
#include "support/log_file.hpp"
#include "support/temp_queue.hpp"

namespace {

using namespace std::chrono_literals;

TEST(DropWarningTest, AtMostOneReportPerSecondCarryingTheCount) {
    DropWarning w;
    const auto t0 = DropWarning::clock::time_point{} + 100s;
    EXPECT_EQ(w.take(t0), 0U); // nothing dropped, nothing to say
    w.add();
    EXPECT_EQ(w.take(t0), 1U); // the first drop is reported at once
    for (int i = 0; i < 500; ++i) {
        w.add();
    }
    EXPECT_EQ(w.take(t0 + 10ms), 0U);
    EXPECT_EQ(w.take(t0 + 999ms), 0U);
    EXPECT_EQ(w.take(t0 + 1s), 500U);
    w.add();
    w.add();
    EXPECT_EQ(w.take(t0 + 1500ms), 0U);
    EXPECT_EQ(w.take_all(), 2U); // the last line when capture ends ignores the interval
    EXPECT_EQ(w.take(t0 + 10s), 0U);
}

// Records dropped before the wait loop begins (the capture runs first: a burst can fill a small
// buffer at once) are reported like any later ones, with the count the buffer itself keeps.
TEST(DropWarningTest, DropsBeforeTheWaitLoopAreReported) {
    testsupport::LogFile log;
    FILE* const previous = flog;
    flog = log.stream();
    auto queue = testsupport::make_temp_queue(64UL << 10);
    const std::vector<char> record(35, 'r');
    while (queue->dropped_cnt() < 10) {
        queue->try_enqueue(record);
    }
    auto capture = std::make_shared<Capvane>(queue, log.stream()); // no card: ends the wait
    EXPECT_EQ(gateway_task(capture, queue), -1);
    flog = previous;
    EXPECT_TRUE(log.contains("event buffer full: " + std::to_string(queue->dropped_cnt()) +
                             " events dropped\n"))
        << log.text();
}

} // namespace

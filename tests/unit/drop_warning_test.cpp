// The rate limit of the warning about records the event buffer could not take.
#include <gtest/gtest.h>

#include "capture/drop_warning.hpp"

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

} // namespace

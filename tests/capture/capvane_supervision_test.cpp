// What an unattended capture tells and survives on the simulated card: a long run of failed
// waits is retried and logged at a bounded rate, and the link's state changes reach the log
// once each way.
#include <gtest/gtest.h>

#include <string>

#include "capture_harness.hpp"

namespace {

using namespace capture_test;

TEST(CapvaneSupervisionTest, FortyFailedWaitsInARowAreRetriedAndTheCaptureGoesOn) {
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    ASSERT_TRUE(ok(env.command("failwait 40")));
    ASSERT_TRUE(ok(env.command("unnumbered 1"))); // ends the pending wait; the failures follow
    ASSERT_TRUE(ok(env.command("flush")));
    ASSERT_TRUE(wait_until([&] { return env.stat("failwait") == 40; }));
    ASSERT_TRUE(ok(env.command("unnumbered 3")));
    ASSERT_TRUE(ok(env.command("flush")));
    EXPECT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 4; }))
        << env.command("stats") << log.text();
    EXPECT_TRUE(cv.is_open());
    EXPECT_EQ(cv.stop(), 0);
    // The first failure is told at once, the rest when the capture ends: all 40, errno EIO,
    // in two lines rather than forty.
    const std::string text = log.text();
    EXPECT_EQ(log.count("fip: wait request failed "), 2U) << text;
    EXPECT_TRUE(log.contains(
        "fip: wait request failed 1 times (last: Input/output error (EIO)), retrying\n"));
    EXPECT_TRUE(log.contains(
        "fip: wait request failed 39 times (last: Input/output error (EIO)), retrying\n"));
    EXPECT_FALSE(log.contains("capture device lost")) << text;
}

TEST(CapvaneSupervisionTest, LinkStateChangesAreLoggedOnceEachWay) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PACE", "200"}});
    LogFile log;
    auto queue = make_queue();
    Capvane cv(queue, log.stream());
    ASSERT_EQ(cv.start(0), 0);
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().is_active; }));
    EXPECT_FALSE(log.contains("fip link")); // a bus that starts talking is no news

    ASSERT_TRUE(ok(env.command("pause")));
    ASSERT_TRUE(wait_until([&] { return log.contains("fip link inactive\n"); }, 5s));
    std::this_thread::sleep_for(1500ms); // still quiet: still one line
    EXPECT_EQ(log.count("fip link inactive\n"), 1U);

    ASSERT_TRUE(ok(env.command("resume")));
    ASSERT_TRUE(wait_until([&] { return log.contains("fip link active again after "); }, 5s));
    // Back-dated to the last buffer: about 2.5 s of silence, printed in whole seconds.
    const std::string text = log.text();
    EXPECT_TRUE(text.find("fip link active again after 2 s\n") != std::string::npos ||
                text.find("fip link active again after 3 s\n") != std::string::npos)
        << text;
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(log.count("fip link active again"), 1U);

    ASSERT_TRUE(ok(env.command("pause")));
    EXPECT_TRUE(wait_until([&] { return log.count("fip link inactive\n") == 2; }, 5s));
    EXPECT_EQ(cv.stop(), 0);
}

} // namespace

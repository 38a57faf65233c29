// The link watchdog and the per-second rates of the capture statistics, on the simulated card:
// when the link is declared active and inactive, and how far its end is back-dated. The
// arithmetic of the periods is the helper's (tests/unit/link_activity_test.cpp). Timings are
// checked against the record's own dates with margins for slow, sanitized runs.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture_harness.hpp"

namespace {

using namespace capture_test;
namespace pt = boost::posix_time;

// One buffer with one record, handed over now.
void one_buffer(const SimEnv& env) {
    ASSERT_TRUE(ok(env.command("unnumbered 1")));
    ASSERT_TRUE(ok(env.command("flush")));
}

// Remembers what each notification showed.
class Recorder final : public Observer {
public:
    void update(Observable* o) override {
        const FIPStats s = static_cast<Capvane*>(o)->get_stats();
        std::lock_guard lock(mutex);
        seen.push_back(s);
    }
    std::vector<FIPStats> snapshots() {
        std::lock_guard lock(mutex);
        return seen;
    }

private:
    std::mutex mutex;
    std::vector<FIPStats> seen;
};

TEST(CapvaneStatsTest, SingleBufferThenSilence) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    LogFile log;
    Capvane cv(make_queue(), log.stream());
    ASSERT_EQ(cv.start(0), 0);
    one_buffer(env);
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().is_active; }));
    const FIPStats active = cv.get_stats();
    EXPECT_EQ(active.loss_act_cnt, 0U);
    EXPECT_NE(active.last_start_date, active.init_date);

    ASSERT_TRUE(wait_until([&] { return !cv.get_stats().is_active; }, 3s));
    const pt::ptime seen_inactive = pt::microsec_clock::local_time();
    const FIPStats s = cv.get_stats();
    EXPECT_EQ(s.loss_act_cnt, 1U);
    // Declared 1.0 to 1.1 s after the buffer, dated one second before the declaration: the
    // active period is at most a tick long.
    EXPECT_GE(s.last_act_duration, pt::milliseconds(-5));
    EXPECT_LE(s.last_act_duration, pt::milliseconds(300));
    const pt::time_duration since_stop = seen_inactive - s.last_stop_date;
    EXPECT_GE(since_stop, pt::milliseconds(995));
    EXPECT_LE(since_stop, pt::milliseconds(1400));

    // While silent, every tick extends the inactive period.
    const pt::time_duration inact = s.last_inact_duration;
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().last_inact_duration > inact; }, 1s));
    EXPECT_EQ(cv.get_stats().loss_act_cnt, 1U);
}

TEST(CapvaneStatsTest, BuffersEveryHalfSecondKeepTheLinkActive) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    LogFile log;
    Capvane cv(make_queue(), log.stream());
    ASSERT_EQ(cv.start(0), 0);
    one_buffer(env);
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().is_active; }));
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(500ms); // the traffic's own pace, not a wait for readiness
        one_buffer(env);
        const FIPStats s = cv.get_stats();
        EXPECT_TRUE(s.is_active) << i;
        EXPECT_EQ(s.loss_act_cnt, 0U) << i;
    }
    EXPECT_GE(cv.get_stats().last_act_duration, pt::milliseconds(2000));
}

TEST(CapvaneStatsTest, NoTrafficStaysInactiveFromTheStart) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    LogFile log;
    Capvane cv(make_queue(), log.stream());
    ASSERT_EQ(cv.start(0), 0);
    // From the first expiry, about a second after the start, the inactive period is measured
    // from the start.
    ASSERT_TRUE(wait_until(
        [&] { return cv.get_stats().last_inact_duration >= pt::milliseconds(1000); }, 3s));
    const FIPStats s = cv.get_stats();
    EXPECT_FALSE(s.is_active);
    EXPECT_EQ(s.loss_act_cnt, 0U);
    EXPECT_EQ(s.last_stop_date, s.init_date);
}

TEST(CapvaneStatsTest, PerSecondRatesAndTheirEnd) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PACE", "200"}});
    LogFile log;
    auto cv = std::make_shared<Capvane>(make_queue(), log.stream());
    auto recorder = std::make_shared<Recorder>();
    cv->add_observer(recorder);
    ASSERT_EQ(cv->start(0), 0);
    auto rate_seen = [&](auto pred) {
        for (const FIPStats& s : recorder->snapshots()) {
            if (pred(s)) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(wait_until(
        [&] {
            return rate_seen([](const FIPStats& s) {
                return s.frame_rcvd_cnt_per_sec >= 120 && s.frame_rcvd_cnt_per_sec <= 280;
            });
        },
        6s));
    ASSERT_TRUE(ok(env.command("pause")));
    const std::size_t before = recorder->snapshots().size();
    ASSERT_TRUE(wait_until(
        [&] {
            const auto all = recorder->snapshots();
            for (std::size_t i = before; i < all.size(); ++i) {
                if (all[i].frame_rcvd_cnt_per_sec == 0 && all[i].frame_rcvd_cnt > 0) {
                    return true;
                }
            }
            return false;
        },
        4s));
    for (const FIPStats& s : recorder->snapshots()) {
        EXPECT_LE(s.frame_rcvd_cnt_per_sec, s.frame_rcvd_cnt);
        EXPECT_LE(s.bytes_rcvd_cnt_per_sec, s.bytes_rcvd_cnt);
    }
    const FIPStats last = cv->get_stats();
    EXPECT_GT(last.queue_stats.total_bytes, 0U);
    EXPECT_EQ(cv->stop(), 0);
}

TEST(CapvaneStatsTest, RestartResetsCountsButKeepsActivityTotals) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    LogFile log;
    auto cv = std::make_shared<Capvane>(make_queue(), log.stream());
    auto recorder = std::make_shared<Recorder>();
    cv->add_observer(recorder);
    NodeHold hold(0); // one card session across both starts
    ASSERT_GE(hold.fd, 0);

    ASSERT_EQ(cv->start(0), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(ok(env.command("unnumbered 200")));
        ASSERT_TRUE(ok(env.command("flush")));
        std::this_thread::sleep_for(300ms); // an active period of about 600 ms
    }
    ASSERT_TRUE(wait_until([&] { return cv->get_stats().loss_act_cnt == 1; }, 3s));
    const FIPStats first = cv->get_stats();
    ASSERT_EQ(first.frame_rcvd_cnt, 600U);
    EXPECT_GE(first.total_act_duration, pt::milliseconds(550));
    EXPECT_EQ(cv->stop(), 0);

    const std::size_t before = recorder->snapshots().size();
    ASSERT_EQ(cv->start(0), 0);
    FIPStats s = cv->get_stats();
    EXPECT_EQ(s.frame_rcvd_cnt, 0U);
    EXPECT_EQ(s.loss_act_cnt, 0U);
    EXPECT_FALSE(s.is_active);
    // The first refresh after the reset counts from the reset, never across it.
    ASSERT_TRUE(wait_until([&] { return recorder->snapshots().size() > before; }, 3s));
    for (std::size_t i = before; i < recorder->snapshots().size(); ++i) {
        EXPECT_EQ(recorder->snapshots()[i].frame_rcvd_cnt_per_sec, 0U);
    }

    one_buffer(env);
    // Activity is recorded before the buffer's records are counted: wait for both.
    ASSERT_TRUE(wait_until([&] { return cv->get_stats().frame_rcvd_cnt == 1; }));
    s = cv->get_stats();
    EXPECT_TRUE(s.is_active);
    EXPECT_GE(s.total_act_duration, first.total_act_duration);

    // Stopped while active: the watchdog no longer counts, the record stays as it was.
    EXPECT_EQ(cv->stop(), 0);
    const FIPStats stopped = cv->get_stats();
    std::this_thread::sleep_for(1300ms);
    const FIPStats later = cv->get_stats();
    EXPECT_TRUE(later.is_active);
    EXPECT_EQ(later.loss_act_cnt, 0U);
    EXPECT_EQ(later.last_act_duration, stopped.last_act_duration);
}

} // namespace

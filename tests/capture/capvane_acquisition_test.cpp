// The acquisition loop on the simulated card: what reaches the event buffer and the statistics
// for good, faulty and malformed traffic, and how the loop survives failed waits, a full event
// buffer and an unplugged card.
#include <gtest/gtest.h>

#include <cstdlib>

#include <sys/resource.h>

#include <string>
#include <vector>

#include "capture_harness.hpp"

namespace {

using namespace capture_test;

// CPU time of the whole process so far.
std::chrono::microseconds process_cpu() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return std::chrono::seconds(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           std::chrono::microseconds(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

TEST(CapvaneAcquisitionTest, ExampleRecordBecomesOneEvent) {
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    const std::string header_tail(17 * 2, 'e');
    ASSERT_TRUE(ok(
        env.command("inject C0 00 23 08 01 0000000000000001 " + header_tail + " 03 12 34 B5 69")));
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 1; }));
    const FIPStats s = cv.get_stats();
    EXPECT_EQ(s.bytes_rcvd_cnt, 8U);
    EXPECT_EQ(s.st0_cnt, 1U);
    EXPECT_EQ(s.st12_cnt + s.st3_cnt + s.st4_cnt + s.st5_cnt + s.st6_cnt, 0U);
    EXPECT_EQ(s.fcs_type, 1);
    EXPECT_EQ(s.bad_ctrl_cnt + s.bad_fcs_cnt + s.bad_pdu_cnt + s.bad_len_cnt, 0U);
    EXPECT_EQ(s.loss_cont_evt_cnt, 0U);
    EXPECT_TRUE(s.is_active);
    const auto events = drain(*queue);
    ASSERT_EQ(events.size(), 1U);
    const std::vector<unsigned char> expected = {
        0xC0, 0x00, 0x23, 0x08, 0x01, 0,    0,    0,    0,    0,    0,    0,
        1,    0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0xee,
        0xee, 0xee, 0xee, 0xee, 0xee, 0xee, 0x03, 0x12, 0x34, 0xB5, 0x69};
    EXPECT_EQ(std::vector<unsigned char>(events[0].begin(), events[0].end()), expected);

    // The frame test on its own uses the FCS type of the last record and counts one fault at most.
    cv.tst_fip_frm({0x03, 0x12, 0x34, 0xB5, 0x69});
    cv.tst_fip_frm({});
    cv.tst_fip_frm({0x07, 0x12, 0x34, 0xB5, 0x69});
    cv.tst_fip_frm({0x03, 0x12, 0x34, 0xBC, 0x01});
    cv.tst_fip_frm({0x03, 0x12, 0x34, 0x00, 0x80, 0x71}); // right FCS, one byte too long
    const FIPStats t = cv.get_stats();
    EXPECT_EQ(t.bad_ctrl_cnt, 1U);
    EXPECT_EQ(t.bad_fcs_cnt, 1U);
    EXPECT_EQ(t.bad_pdu_cnt, 0U);
    EXPECT_EQ(t.bad_len_cnt, 1U);
    EXPECT_EQ(cv.stop(), 0);
}

TEST(CapvaneAcquisitionTest, FaultsStatusBitsAndSequenceGapsAreCounted) {
    CaptureRig rig(
        {{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}, {"CAPVANE_SIM_FCS", "2"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    for (const char* c : {"status 0 1", "bad ctrl 2", "bad fcs 3", "bad pdu 4", "bad len 5",
                          "status 1 2", "status 2 1", "status 6 3", "status 7 1"}) {
        ASSERT_TRUE(ok(env.command(c))) << c;
    }
    ASSERT_TRUE(ok(env.command("flush")));
    const std::int64_t records = 1 + 2 + 3 + 4 + 5 + 2 + 1 + 3 + 1;
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == records; }));
    const std::int64_t last = env.stat("last_index");
    ASSERT_TRUE(ok(env.command("gap 2")));  // last + 3
    ASSERT_TRUE(ok(env.command("back 7"))); // last - 4
    ASSERT_TRUE(ok(env.command("unnumbered 2")));
    ASSERT_TRUE(ok(env.command("flush")));
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == records + 4; }));

    const FIPStats s = cv.get_stats();
    EXPECT_EQ(s.fcs_type, 2);
    EXPECT_EQ(s.bad_ctrl_cnt, 2U);
    EXPECT_EQ(s.bad_fcs_cnt, 3U);
    EXPECT_EQ(s.bad_pdu_cnt, 4U);
    EXPECT_EQ(s.bad_len_cnt, 5U);
    EXPECT_EQ(s.st0_cnt, 1U);
    EXPECT_EQ(s.st12_cnt, 3U);
    EXPECT_EQ(s.st6_cnt, 3U);
    EXPECT_EQ(s.st3_cnt + s.st4_cnt + s.st5_cnt, 0U);
    EXPECT_EQ(s.loss_cont_evt_cnt, 2U);
    EXPECT_EQ(s.lost_frame_cnt, 3 - 7);
    const std::string l = std::to_string(last);
    EXPECT_TRUE(log.contains("fip frame loss ([idx-1]:" + l + " [idx]:" + std::to_string(last + 3) +
                             " [diff]:3)\n"))
        << log.text();
    EXPECT_TRUE(log.contains("fip frame loss ([idx-1]:" + std::to_string(last + 3) +
                             " [idx]:" + std::to_string(last - 4) + " [diff]:-7)\n"));
    EXPECT_EQ(s.bytes_rcvd_cnt,
              static_cast<std::uint64_t>(env.stat("frame_bytes") + 3 * env.stat("records")));
    EXPECT_EQ(drain(*queue).size(), static_cast<std::size_t>(records + 4));
}

TEST(CapvaneAcquisitionTest, MalformedAreasSkippedBuffersAndFailedWaits) {
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    for (const char* c :
         {"malformed type", "malformed zero", "malformed short", "malformed overrun", "noready 2",
          "shortwait 3", "failwait 2", "unnumbered 1", "ready 30", "unnumbered 1", "ready both",
          "unnumbered 1"}) {
        ASSERT_TRUE(ok(env.command(c))) << c;
        ASSERT_TRUE(ok(env.command("flush")));
    }
    // The card counts exactly what a correct reader processes.
    ASSERT_TRUE(wait_until([&] { return env.stat("records") == 4 + 3; }));
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 4 + 3; }));
    std::this_thread::sleep_for(100ms); // nothing more may trickle in
    EXPECT_EQ(cv.get_stats().frame_rcvd_cnt, 7U);
    EXPECT_EQ(drain(*queue).size(), 7U);
    EXPECT_TRUE(cv.is_open()); // two failed waits are retried, not taken for an unplug
    EXPECT_EQ(cv.stop(), 0);
}

TEST(CapvaneAcquisitionTest, RepeatedShortWaitsBackOff) {
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PAUSED", "1"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    constexpr int kShortWaits = 60;
    // Measured from the command on: on a slow (sanitized) build the short waits can all be
    // over before the first record is seen.
    const auto cpu0 = process_cpu();
    const auto t0 = std::chrono::steady_clock::now();
    // The short answers start with the wait after the pending one, which the record ends.
    ASSERT_TRUE(ok(env.command("shortwait " + std::to_string(kShortWaits))));
    ASSERT_TRUE(ok(env.command("unnumbered 1")));
    ASSERT_TRUE(ok(env.command("flush")));
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 1; }));
    ASSERT_TRUE(wait_until([&] { return env.stat("shortwait") == kShortWaits; }));
    const auto wall = std::chrono::steady_clock::now() - t0;
    const auto cpu = process_cpu() - cpu0;
    // Back-off sleeps dominate: about half a second of waiting for a fraction of that in CPU.
    EXPECT_GT(wall, 200ms);
    EXPECT_LT(cpu, wall / 2);
    EXPECT_TRUE(cv.is_open());
    ASSERT_TRUE(ok(env.command("unnumbered 1")));
    ASSERT_TRUE(ok(env.command("flush")));
    EXPECT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 2; }))
        << env.command("stats") << log.text();
    EXPECT_EQ(cv.stop(), 0);
}

TEST(CapvaneAcquisitionTest, FullEventBufferDropsCountsAndGoesOn) {
    constexpr int kRecords = 20000;
    constexpr unsigned long kQueueBytes = 256UL << 10; // room for a few thousand waiting events
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"},
                    {"CAPVANE_SIM_PACE", "max"},
                    {"CAPVANE_SIM_RECORDS", std::to_string(kRecords)}},
                   kQueueBytes);
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == kRecords; }, 20s))
        << cv.get_stats().frame_rcvd_cnt;
    EXPECT_TRUE(cv.is_open());
    const auto waiting = drain(*queue).size();
    EXPECT_GT(queue->dropped_cnt(), 0U);
    EXPECT_EQ(waiting + queue->dropped_cnt(), static_cast<std::size_t>(kRecords));
    EXPECT_EQ(cv.stop(), 0);
}

TEST(CapvaneAcquisitionTest, UnplugEndsCaptureWithoutSpinning) {
    CaptureRig rig({{"CAPVANE_SIM_CARDS", "0"}, {"CAPVANE_SIM_PACE", "200"}});
    auto& [env, log, queue, cv] = rig;
    ASSERT_EQ(cv.start(0), 0);
    ASSERT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt > 0; }));
    ASSERT_TRUE(ok(env.command("unplug")));
    EXPECT_TRUE(wait_until([&] { return !cv.is_open(); }, 3s));
    EXPECT_TRUE(wait_until([&] { return log.contains("capvane interrupt handler is closed\n"); }));
    EXPECT_TRUE(log.contains("fip: capture device lost"));

    const auto cpu0 = process_cpu();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(process_cpu() - cpu0, 150ms);

    // Broken is not stopped: stop still joins the thread and closes the node, once.
    EXPECT_EQ(cv.stop(), 0);
    EXPECT_FALSE(log.contains("cannot stop the sniffer correctly"));
    EXPECT_EQ(cv.stop(), -1);
    EXPECT_FALSE(cv.is_open());
}

} // namespace

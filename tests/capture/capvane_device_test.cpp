// Finding, listing, opening, starting and stopping a card through the real open/ioctl/close
// calls, answered by the simulated card; every failure of a start leaves a restartable object.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "capture_harness.hpp"

namespace {

using namespace capture_test;

std::string listing() {
    testing::internal::CaptureStdout();
    Capvane::list();
    return testing::internal::GetCapturedStdout();
}

TEST(CapvaneDeviceTest, ListingAndAvailability) {
    {
        SimEnv env({{"CAPVANE_SIM_CARDS", ""}});
        EXPECT_EQ(listing(), "no device found\n");
        int index = -1;
        EXPECT_FALSE(Capvane::is_available(&index));
        EXPECT_EQ(index, -1);
        EXPECT_FALSE(Capvane::is_available(nullptr));
    }
    {
        SimEnv env({{"CAPVANE_SIM_CARDS", "1,3"}, {"CAPVANE_SIM_SERIAL", "0x00c0ffee"}});
        const std::string out = listing();
        // Headings count the cards found, not the card numbers.
        const auto first = out.find("*** Capvane [1]\n  index       = 1\n");
        const auto second = out.find("*** Capvane [2]\n  index       = 3\n");
        EXPECT_NE(first, std::string::npos) << out;
        EXPECT_NE(second, std::string::npos) << out;
        EXPECT_LT(first, second);
        EXPECT_EQ(out.find("[3]"), std::string::npos);
        EXPECT_NE(out.find("  sn          = 0x00c0ffee\n"), std::string::npos) << out;
        EXPECT_EQ(out.find("no device found"), std::string::npos);

        int index = -1;
        EXPECT_TRUE(Capvane::is_available(&index));
        EXPECT_EQ(index, 1);
        index = 3;
        EXPECT_TRUE(Capvane::is_available(&index));
        EXPECT_EQ(index, 3);
        index = 2;
        EXPECT_FALSE(Capvane::is_available(&index)); // a given index is never replaced by a scan
        EXPECT_EQ(index, 2);
    }
    {
        // Card 20 is beyond the scan but reachable by its own index.
        SimEnv env({{"CAPVANE_SIM_CARDS", "20"}});
        int index = -1;
        EXPECT_FALSE(Capvane::is_available(&index));
        EXPECT_EQ(index, -1);
        index = 20;
        EXPECT_TRUE(Capvane::is_available(&index));
        EXPECT_EQ(index, 20);
        EXPECT_EQ(listing(), "no device found\n");
    }
}

TEST(CapvaneDeviceTest, PrintDevInfoBarEntries) {
    cv_dev_infos d{};
    d.bar_cnt = 0;
    testing::internal::CaptureStdout();
    Capvane::print_dev_info(&d);
    Capvane::print_dev_info(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("bar_"), out.find("bar_cnt"));
    EXPECT_NE(out.find("  drv_version = 0x00000000\n"), std::string::npos);

    d.bar_cnt = 9;
    for (int i = 0; i < 6; ++i) {
        d.bar_bsz[i] = 4096U << i;
        d.bar_base[i] = 0xfe800000ULL + static_cast<unsigned>(i) * 0x100000ULL;
    }
    testing::internal::CaptureStdout();
    Capvane::print_dev_info(&d);
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("  bar_bsz[5]  = 131072\n  bar_base[5] = 0x0fed00000\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("[6]"), std::string::npos);
}

TEST(CapvaneDeviceTest, StartStopAndTheirFailures) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"},
                {"CAPVANE_SIM_PAUSED", "1"},
                {"CAPVANE_SIM_SERIAL", "0x12345678"}});
    LogFile log;
    Capvane cv(make_queue(), log.stream());

    // No scan: -1 names a node of its own, which does not exist.
    EXPECT_EQ(cv.start(-1), ENOENT);
    EXPECT_TRUE(log.contains(": No such file or directory (ENOENT).\n"));
    EXPECT_FALSE(cv.is_open());
    EXPECT_EQ(cv.stop(), -1);
    EXPECT_EQ(cv.enable_sniffer(true), -1);
    EXPECT_EQ(cv.set_epoch(1), -1);
    EXPECT_EQ(cv.clear_interrupt(), -1);

    NodeHold hold(0);
    ASSERT_GE(hold.fd, 0);
    ASSERT_EQ(env.stat("set_epoch"), 0);

    ASSERT_EQ(cv.start(0), 0);
    EXPECT_TRUE(cv.is_open());
    EXPECT_EQ(cv.clear_interrupt(), 0);
    EXPECT_EQ(cv.get_stats().sn, 0x12345678U);
    EXPECT_EQ(cv.get_stats().aux_code, 0x05); // the sim's aux_word1 is 0x105
    EXPECT_EQ(env.stat("init"), 1);
    EXPECT_EQ(env.stat("set_epoch"), 1);
    EXPECT_EQ(env.stat("get_dev_infos"), 1);
    EXPECT_TRUE(
        wait_until([&] { return log.contains("capvane interrupt handler is launched\n"); }));

    EXPECT_EQ(cv.start(0), -1);
    EXPECT_TRUE(log.contains("fip: already started.\n"));
    EXPECT_TRUE(cv.is_open());
    // Still capturing: an injected record arrives.
    EXPECT_EQ(env.command("unnumbered 1").substr(0, 2), "ok");
    EXPECT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 1; }));

    EXPECT_EQ(env.command("fail sniffer-off").substr(0, 2), "ok");
    EXPECT_EQ(cv.stop(), 0);
    EXPECT_TRUE(log.contains("cannot stop the sniffer correctly.\n"));
    EXPECT_TRUE(log.contains("capvane interrupt handler is closed\n"));
    EXPECT_FALSE(cv.is_open());
    EXPECT_EQ(cv.stop(), -1);

    const std::int64_t sniffer_requests = env.stat("enable_sniffer");
    EXPECT_EQ(cv.enable_sniffer(false), -1);
    EXPECT_EQ(env.stat("enable_sniffer"), sniffer_requests); // closed: nothing sent

    struct Failure {
        const char* command;
        const char* message;
        bool thread_launched;
    };
    const Failure failures[] = {
        {"fail infos", "fip: impossible to get device info.\n", false},
        {"fail epoch", "cannot configure the epoch time.\n", true},
        {"fail sniffer-on", "cannot start the sniffer.\n", true},
    };
    for (const Failure& f : failures) {
        SCOPED_TRACE(f.command);
        const std::size_t launches = log.count("capvane interrupt handler is launched\n");
        const std::int64_t cancels = env.stat("cancel_wait");
        EXPECT_EQ(env.command(f.command).substr(0, 2), "ok");
        EXPECT_EQ(cv.start(0), -1);
        EXPECT_TRUE(log.contains(f.message));
        EXPECT_FALSE(cv.is_open());
        EXPECT_EQ(cv.stop(), -1);
        if (f.thread_launched) {
            // The thread was released and joined before start returned.
            EXPECT_GE(env.stat("cancel_wait"), cancels + 1);
            EXPECT_EQ(log.count("capvane interrupt handler is launched\n"), launches + 1);
            EXPECT_EQ(log.count("capvane interrupt handler is closed\n"), launches + 1);
        } else {
            EXPECT_EQ(log.count("capvane interrupt handler is launched\n"), launches);
        }
        // Restartable: the next start captures.
        ASSERT_EQ(cv.start(0), 0);
        EXPECT_EQ(env.command("unnumbered 1").substr(0, 2), "ok");
        EXPECT_TRUE(wait_until([&] { return cv.get_stats().frame_rcvd_cnt == 1; }));
        EXPECT_EQ(cv.stop(), 0);
    }
    EXPECT_EQ(log.count("capvane interrupt handler is launched\n"),
              log.count("capvane interrupt handler is closed\n"));
}

TEST(CapvaneDeviceTest, DevInfosRequest) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "2"}});
    NodeHold hold(2);
    ASSERT_GE(hold.fd, 0);
    errno = 0;
    EXPECT_EQ(Capvane::get_dev_infos(hold.fd, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);

    cv_dev_infos d{};
    ASSERT_EQ(Capvane::get_dev_infos(hold.fd, &d), 0);
    EXPECT_EQ(d.index, 2);

    EXPECT_EQ(env.command("fail infos").substr(0, 2), "ok");
    cv_dev_infos untouched{};
    std::memset(&untouched, 0xAB, sizeof untouched);
    const cv_dev_infos before = untouched;
    errno = 0;
    EXPECT_EQ(Capvane::get_dev_infos(hold.fd, &untouched), -1);
    EXPECT_EQ(errno, EFAULT);
    EXPECT_EQ(std::memcmp(&untouched, &before, sizeof before), 0);
}

TEST(CapvaneDeviceTest, NeverStartedObjectSendsNothing) {
    SimEnv env({{"CAPVANE_SIM_CARDS", "0"}});
    NodeHold hold(0);
    ASSERT_GE(hold.fd, 0);
    LogFile log;
    auto cv = std::make_unique<Capvane>(make_queue(), log.stream());
    EXPECT_FALSE(cv->is_open());
    // Both periodic threads are asleep by now; the destructor must wake them, not wait.
    std::this_thread::sleep_for(150ms);
    const auto t0 = std::chrono::steady_clock::now();
    cv.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    for (const char* r : {"get_dev_infos", "enable_sniffer", "set_epoch", "init", "wait_data",
                          "cancel_wait", "unknown"}) {
        EXPECT_EQ(env.stat(r), 0) << r;
    }
}

} // namespace

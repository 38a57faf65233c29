// Monitoring with its threads: which producer update() listens to, the lifesign records it queues
// and the status screen it redraws, and how quickly it stops.
#include <chrono>
#include <climits>
#include <fstream>
#include <memory>
#include <mutex>
#include <span>
#include <streambuf>
#include <string>
#include <thread>
#include <unistd.h>
#include <variant>
#include <vector>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "capture/capvane.hpp"
#include "log/logger.hpp"
#include "monitoring/host_sampler.hpp"
#include "monitoring/monitoring.hpp"
#include "support/temp_dir.hpp"
#include "wire/decode.hpp"

namespace {

namespace pt = boost::posix_time;
using testsupport::TempDir;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPatience = 5s; // upper bound of every wait for readiness

// Polls `ready` every few milliseconds until it holds or kPatience runs out.
template <typename Pred> bool eventually(Pred ready) {
    const auto deadline = Clock::now() + kPatience;
    while (!ready()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

std::shared_ptr<Monitoring::EventQueue> make_queue(const TempDir& dir, unsigned long size) {
    return std::make_shared<Monitoring::EventQueue>(dir.file("buffer.bin"), size);
}

constexpr unsigned long kQueueSize = 1UL << 20; // bytes: room for thousands of waiting events

std::uint64_t counter_of(const std::vector<char>& event) {
    const auto decoded = wire::decode_event(std::span<const char>(event.data(), event.size()));
    EXPECT_TRUE(std::holds_alternative<wire::LifesignRecord>(decoded));
    return std::holds_alternative<wire::LifesignRecord>(decoded)
               ? std::get<wire::LifesignRecord>(decoded).lifesign_cnt
               : 0;
}

// std::cout redirected to a buffer that the status-screen thread and the test can share.
class CoutCapture : public std::streambuf {
public:
    CoutCapture() : saved(std::cout.rdbuf(this)) {}
    ~CoutCapture() override { std::cout.rdbuf(saved); }
    std::string text() {
        std::lock_guard lock(mutex);
        return captured;
    }

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            std::lock_guard lock(mutex);
            captured.push_back(traits_type::to_char_type(c));
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard lock(mutex);
        captured.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    std::mutex mutex;
    std::string captured;
    std::streambuf* saved;
};

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

const std::string kClear = "\033[H\033[J";
const std::string kScreenEnd = "  Counter\t\t: ";

TEST(MonitoringUpdate, OnlyTheKnownProducersReplaceTheirCopy) {
    // Looks like the host sampler, but is not one.
    struct LookAlike : Observable {
        SystemStats get_stats() const {
            SystemStats s;
            s.ram_total = 1;
            return s;
        }
    };
    struct Unrelated : Observable {};

    TempDir dir;
    auto m = std::make_shared<Monitoring>(0, -1, nullptr);
    const Monitoring::Snapshots before = m->get_snapshots();
    LookAlike look_alike;
    Unrelated unrelated;
    m->update(&look_alike);
    m->update(&unrelated);
    m->update(nullptr);
    Monitoring::Snapshots after = m->get_snapshots();
    EXPECT_EQ(after.sys_stats.ram_total, 0U);
    EXPECT_EQ(after.udp_stats.start_date, before.udp_stats.start_date);
    EXPECT_EQ(after.fip_stats.init_date, before.fip_stats.init_date);

    // The capture object: only the fieldbus copy changes, to the object's own record.
    auto queue = make_queue(dir, kQueueSize);
    Capvane capvane(queue, flog);
    m->update(&capvane);
    after = m->get_snapshots();
    EXPECT_EQ(after.fip_stats.init_date, capvane.get_stats().init_date);
    EXPECT_NE(after.fip_stats.init_date, before.fip_stats.init_date);
    EXPECT_EQ(after.udp_stats.start_date, before.udp_stats.start_date);
    EXPECT_TRUE(after.sys_stats.start_date.is_not_a_date_time());

    // The host sampler, through its own notifications.
    std::ofstream(dir.file("meminfo")) << "MemTotal: 1000 kB\nMemAvailable: 250 kB\n";
    std::ofstream(dir.file("stat")) << "cpu 100 0 100 800 0 0 0 0 0 0\ncpu0 1 2 3 4\n";
    HostSampler::Paths paths;
    paths.proc_stat = dir.file("stat");
    paths.meminfo = dir.file("meminfo");
    paths.thermal = dir.file("no-such-zone");
    {
        HostSampler system(flog, paths);
        system.add_observer(m);
        ASSERT_TRUE(eventually([&] { return m->get_snapshots().sys_stats.ram_total == 1000; }));
    }
    after = m->get_snapshots();
    EXPECT_EQ(after.sys_stats.ram_used, 750U);
    EXPECT_FALSE(after.sys_stats.start_date.is_not_a_date_time());
    EXPECT_EQ(after.udp_stats.start_date, before.udp_stats.start_date);

    // The sampler leaves the service duration unset; the screen shows the time since its start.
    std::ostringstream screen;
    m->print(screen);
    EXPECT_EQ(screen.str().find("  Duration\t\t: -"), std::string::npos);
    EXPECT_NE(screen.str().find("  Duration\t\t: 00:00:"), std::string::npos);
}

TEST(MonitoringLifesign, FirstRecordAtOnceThenOnePerPeriod) {
    TempDir dir;
    auto queue = make_queue(dir, kQueueSize);
    constexpr unsigned long kPeriodMs = 100;
    Monitoring m(kPeriodMs, -1, queue);

    std::vector<char> event;
    std::vector<Clock::time_point> arrivals;
    for (std::uint64_t expected = 1; expected <= 4; ++expected) {
        ASSERT_TRUE(queue->try_dequeue(event, pt::seconds(5)));
        arrivals.push_back(Clock::now());
        ASSERT_EQ(event.size(), 323U);
        EXPECT_EQ(counter_of(event), expected);
    }
    // Three periods between the first and the fourth record; generous for a loaded machine.
    const auto spread = arrivals.back() - arrivals.front();
    EXPECT_GE(spread, 3 * std::chrono::milliseconds(kPeriodMs) - 20ms);
    EXPECT_LT(spread, 3s);
}

TEST(MonitoringLifesign, DestructionDoesNotWaitForThePeriod) {
    TempDir dir;
    auto queue = make_queue(dir, kQueueSize);
    CoutCapture cout_capture;
    auto m = std::make_unique<Monitoring>(60'000, 60'000, queue);
    std::vector<char> event;
    ASSERT_TRUE(queue->try_dequeue(event, pt::seconds(5)));
    EXPECT_EQ(counter_of(event), 1U);
    ASSERT_TRUE(
        eventually([&] { return cout_capture.text().find(kScreenEnd) != std::string::npos; }));

    const auto start = Clock::now();
    m.reset();
    EXPECT_LT(Clock::now() - start, 1s);
}

TEST(MonitoringLifesign, NoThreadForAPeriodOfZero) {
    TempDir dir;
    auto queue = make_queue(dir, kQueueSize);
    // ULONG_MAX is what "-1" becomes in the unsigned option: it means no lifesign too.
    for (unsigned long period : {0UL, ULONG_MAX}) {
        Monitoring m(period, -1, queue);
        std::vector<char> event;
        EXPECT_FALSE(queue->try_dequeue(event, pt::milliseconds(200))) << period;
        EXPECT_EQ(m.get_lifesign_cnt(), 0U);
    }
}

TEST(MonitoringLifesign, RecordsWithoutAQueueStillCount) {
    Monitoring m(5, -1, nullptr);
    EXPECT_TRUE(eventually([&] { return m.get_lifesign_cnt() >= 3; }));
}

TEST(MonitoringLifesign, AFullBufferDropsRecordsAndTheThreadGoesOn) {
    TempDir dir;
    // Small enough to fill with a few hundred waiting records, nobody dequeues.
    auto queue = make_queue(dir, 16 * 1024);
    ASSERT_TRUE(queue->is_valid());
    Monitoring m(1, -1, queue);
    ASSERT_TRUE(eventually([&] { return queue->dropped_cnt() > 0; }));
    const std::uint64_t built = m.get_lifesign_cnt();
    EXPECT_TRUE(eventually([&] { return m.get_lifesign_cnt() > built + 2; }));
    EXPECT_EQ(m.get_lifesign_lost_cnt(), 0U);

    // Room again: the next records are queued, with counters that show the gap.
    std::vector<char> event;
    while (queue->try_dequeue(event, pt::milliseconds(0))) {
    }
    ASSERT_TRUE(queue->try_dequeue(event, pt::seconds(5)));
    EXPECT_GT(counter_of(event), built);
}

TEST(MonitoringScreen, RedrawsEveryStatsPeriod) {
    // Each screen clears the last one and keeps its colours even here, where standard output is
    // ctest's pipe and not a terminal.
    const std::string start = kClear + "App is running... press Ctrl + C to exit.\n\n";
    CoutCapture cout_capture;
    {
        Monitoring m(0, 1000, nullptr);
        ASSERT_TRUE(eventually([&] { return count_of(cout_capture.text(), start) >= 1; }));
        const auto first = Clock::now();
        ASSERT_TRUE(eventually([&] { return count_of(cout_capture.text(), start) >= 2; }));
        const auto second = Clock::now();
        EXPECT_GE(second - first, 800ms);
        EXPECT_LT(second - first, 3s);
    }
    const std::string text = cout_capture.text();
    EXPECT_EQ(
        text.rfind(start + logger::color::green + "==> SERVICE INFOS" + logger::color::reset, 0),
        0U);
    // Each redraw is a whole screen: banner, then 43 lines.
    const std::string first_screen = text.substr(0, text.find(start, 1));
    EXPECT_EQ(count_of(first_screen, "\n"), 2U + 43U);
}

TEST(MonitoringScreen, NoScreenUnlessThePeriodIsPositive) {
    CoutCapture cout_capture;
    for (long period : {0L, -1L}) {
        Monitoring m(0, period, nullptr);
        std::this_thread::sleep_for(100ms); // a screen thread would have drawn by now
    }
    EXPECT_EQ(cout_capture.text(), "");
}

} // namespace

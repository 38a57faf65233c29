// Host metrics computed from pseudo-files written by the test.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <fstream>
#include <thread>

#include <boost/filesystem.hpp>

#include "monitoring/host_sampler.hpp"

using namespace std::chrono_literals;
namespace fs = boost::filesystem;

namespace {

const char* const stat_a = "cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 50 0 50 400 0 0 0 0 0 0\n";
const char* const stat_b = "cpu  150 0 150 900 0 0 0 0 0 0\ncpu0 75 0 75 450 0 0 0 0 0 0\n";

class Counter : public Observer {
public:
    void update(Observable*) override { ++calls; }
    std::atomic<int> calls{0};
};

class HostSamplerTest : public ::testing::Test {
protected:
    HostSamplerTest() {
        dir =
            fs::temp_directory_path() / ("fipgate-host-sampler-test-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        paths.proc_stat = (dir / "stat").string();
        paths.thermal = (dir / "temp").string();
        paths.meminfo = (dir / "meminfo").string();
        write(paths.proc_stat, stat_a);
        write(paths.thermal, "45500\n");
        write(paths.meminfo, "MemTotal:       1000 kB\nMemFree:         100 kB\n"
                             "MemAvailable:     250 kB\nBuffers:          10 kB\n");
    }
    ~HostSamplerTest() override {
        boost::system::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    // Replaced whole, so that the sampler's own thread never reads half a file.
    static void write(const std::string& path, const std::string& text) {
        const std::string tmp = path + ".tmp";
        std::ofstream(tmp) << text;
        fs::rename(tmp, path);
    }

    // The sampler's thread resets the snapshot when it starts; direct calls must come after.
    static std::unique_ptr<HostSampler> started(const HostSampler::Paths& p) {
        auto s = std::make_unique<HostSampler>(stdout, p);
        const auto end = std::chrono::steady_clock::now() + 3s;
        while (s->get_stats().start_date.is_not_a_date_time()) {
            if (std::chrono::steady_clock::now() > end) {
                ADD_FAILURE() << "the sampler's thread did not start";
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        return s;
    }

    fs::path dir;
    HostSampler::Paths paths;
};

TEST_F(HostSamplerTest, CpuLoadIsTheBusyShareBetweenTwoSamples) {
    auto sys = started(paths);
    sys->refresh_cpu_infos();
    write(paths.proc_stat, stat_b);
    sys->refresh_cpu_infos(); // idle +100 of total +200
    EXPECT_FLOAT_EQ(sys->get_stats().cpu_load, 50.0f);
    sys->refresh_cpu_infos(); // no time elapsed: the load stays
    EXPECT_FLOAT_EQ(sys->get_stats().cpu_load, 50.0f);
    EXPECT_FLOAT_EQ(sys->get_stats().cpu_temp, 45.5f);
}

TEST_F(HostSamplerTest, MissingThermalZoneGivesNan) {
    paths.thermal = (dir / "no-such-zone").string();
    auto sys = started(paths);
    sys->refresh_cpu_infos();
    EXPECT_TRUE(std::isnan(sys->get_stats().cpu_temp));
}

TEST_F(HostSamplerTest, UnreadableProcStatChangesNothingAndMarksNothing) {
    auto sys = started(paths);
    sys->refresh_cpu_infos();
    const SystemStats before = sys->get_stats();
    auto counter = std::make_shared<Counter>();
    sys->add_observer(counter);
    // Wait for the thread's next pass to end: it notifies, then sleeps a second.
    const auto end = std::chrono::steady_clock::now() + 3s;
    while (counter->calls == 0 || sys->has_changed()) {
        ASSERT_LT(std::chrono::steady_clock::now(), end);
        std::this_thread::sleep_for(1ms);
    }
    fs::remove(paths.proc_stat);
    write(paths.thermal, "99000\n");
    sys->refresh_cpu_infos();
    write(paths.proc_stat, "cpu  1 2 3\n"); // three numbers are not a sample either
    sys->refresh_cpu_infos();
    EXPECT_FALSE(sys->has_changed());
    const SystemStats after = sys->get_stats();
    EXPECT_EQ(std::isnan(after.cpu_load), std::isnan(before.cpu_load));
    if (!std::isnan(before.cpu_load)) {
        EXPECT_EQ(after.cpu_load, before.cpu_load);
    }
    EXPECT_FLOAT_EQ(after.cpu_temp, 45.5f) << "the temperature is not read either";
}

TEST_F(HostSamplerTest, RamFiguresFromMeminfo) {
    auto sys = started(paths);
    sys->refresh_ram_infos();
    const SystemStats s = sys->get_stats();
    EXPECT_EQ(s.ram_total, 1000u);
    EXPECT_EQ(s.ram_used, 750u);
    EXPECT_EQ(s.ram_avail, 250u);
    EXPECT_FLOAT_EQ(s.ram_used_pct, 75.0f);
    EXPECT_FLOAT_EQ(s.ram_avail_pct, 25.0f);
}

TEST_F(HostSamplerTest, ZeroRamTotalLeavesThePercentagesUnmeasured) {
    write(paths.meminfo, "MemTotal: 0 kB\nMemAvailable: 0 kB\n");
    auto sys = started(paths);
    sys->refresh_ram_infos();
    EXPECT_TRUE(std::isnan(sys->get_stats().ram_used_pct));
    EXPECT_TRUE(std::isnan(sys->get_stats().ram_avail_pct));
}

TEST_F(HostSamplerTest, StorageOfTheWorkingDirectoryInKilobytes) {
    auto sys = started(paths);
    sys->refresh_storage_infos();
    const SystemStats s = sys->get_stats();
    EXPECT_EQ(s.storage_total, fs::space(".").capacity >> 10);
    EXPECT_NEAR(s.storage_used_pct + s.storage_avail_pct, 100.0f, 0.01f);
}

TEST_F(HostSamplerTest, StopsWithoutWaitingForItsPeriod) {
    auto sys = started(paths);
    const auto t0 = std::chrono::steady_clock::now();
    sys.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
}

// At a reload two samplers run at once and share the previous CPU sample. Every new sample here
// adds 100 busy and 100 idle ticks, so any pair taken in order gives 50 %; a pair whose store
// crossed the other sampler's would give 0 % (the differences wrap around). Also a data race for
// ThreadSanitizer without the sampler's lock.
TEST_F(HostSamplerTest, TwoSamplersShareThePreviousCpuSampleSafely) {
    auto first = started(paths);
    auto second = started(paths);
    for (auto* s : {first.get(), second.get()}) {
        s->refresh_cpu_infos(); // both start from stat_a
    }
    std::atomic<bool> writing{true};
    std::atomic<int> bad_loads{0};
    auto hammer = [&](HostSampler& s) {
        while (writing) {
            s.refresh_cpu_infos();
            const float load = s.get_stats().cpu_load;
            if (!std::isnan(load) && load < 1.0f) {
                ++bad_loads;
            }
        }
    };
    std::thread a(hammer, std::ref(*first));
    std::thread b(hammer, std::ref(*second));
    for (int k = 1; k <= 200; ++k) {
        write(paths.proc_stat, "cpu  " + std::to_string(100 + 100 * k) + " 0 100 " +
                                   std::to_string(800 + 100 * k) + " 0 0 0 0 0 0\n");
        std::this_thread::sleep_for(500us);
    }
    writing = false;
    a.join();
    b.join();
    EXPECT_EQ(bad_loads, 0);
}

} // namespace

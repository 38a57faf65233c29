// When and where the --bus analysis is shown: on a terminal, a live table redrawn every second
// (in the manner of top); with --json --interval S, the JSON objects every S seconds; and at the
// end, the final table or JSON objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <ostream>
#include <thread>

#include "tools/fipdump/analysis/bus_analyser.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

constexpr std::chrono::seconds kRedrawInterval{1};
constexpr std::size_t kFinalTableRows = 1U << 16; // every identifier

// Called from a SIGWINCH handler: the live table is laid out again for the new size at the next
// tick. Async-signal-safe.
void note_terminal_resized();

class BusReporter : public Sink {
public:
    // Starts the redrawing thread when `live_screen` is true (text on a terminal, reading a
    // socket), or when JSON is asked every --interval seconds of a live stream. `analyser` and
    // `out` must outlive it.
    BusReporter(const Options& options, const BusAnalyser& analyser, std::ostream& out,
                bool live_screen);
    ~BusReporter();

    // Stops the thread and prints the final table or JSON objects. Main thread, once.
    void finish();
    void end(const Summary& summary) override;
    // Redraws at once after the terminal was resized. Main thread.
    void tick(std::chrono::system_clock::time_point now) override;

private:
    void _bkgd_redraw_func();
    void stop();
    void draw_screen();

    const Options& opts;
    const BusAnalyser& analyser;
    std::ostream& out;
    const bool live_screen;
    std::mutex lock; // guards the wake-up of the thread
    std::condition_variable wake;
    std::atomic<bool> stopping{false};
    bool redraw_now = false; // under `lock`
    std::thread thread;
};

// With -r, --bus --json --interval S: the analysis every S seconds of capture time, as the
// datagrams' own times pass, whatever the speed of reading.
class BusCaptureTimeReport : public Sink {
public:
    // `analyser` and `out` must outlive it.
    BusCaptureTimeReport(double interval_s, const BusAnalyser& analyser, std::ostream& out);
    void tick(std::chrono::system_clock::time_point now) override;

private:
    const std::chrono::system_clock::duration interval;
    const BusAnalyser& analyser;
    std::ostream& out;
    std::optional<std::chrono::system_clock::time_point> next;
};

} // namespace fipdump

#include "tools/fipdump/output/bus_report.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include "tools/fipdump/output/bus_json.hpp"
#include "tools/fipdump/output/bus_table.hpp"

namespace fipdump {

namespace {

constexpr const char* kHomeAndClear = "\033[H\033[J";

std::atomic<bool> resized{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// The terminal's size now; the smallest layout when it cannot be told.
std::pair<std::size_t, std::size_t> screen_size() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0 && ws.ws_col > 0) {
        return {ws.ws_col, ws.ws_row};
    }
    return {kMinScreenWidth, kMinScreenHeight};
}

std::chrono::steady_clock::duration period_of(const Options& o, bool live_screen) {
    if (live_screen) {
        return kRedrawInterval;
    }
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(o.interval.value_or(1.0)));
}

} // namespace

void note_terminal_resized() {
    resized.store(true);
}

BusReporter::BusReporter(const Options& options, const BusAnalyser& analyser_, std::ostream& out_,
                         bool live_screen_)
    : opts(options), analyser(analyser_), out(out_), live_screen(live_screen_) {
    // A recording is reported by capture time as it is read, not by the clock.
    if (live_screen || (opts.json && opts.interval && opts.read_paths.empty())) {
        thread = std::thread(&BusReporter::_bkgd_redraw_func, this);
    }
}

BusReporter::~BusReporter() {
    stop();
}

void BusReporter::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping.store(true);
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

void BusReporter::draw_screen() {
    const auto [width, height] = screen_size();
    out << kHomeAndClear
        << bus_screen(analyser.snapshot(std::chrono::system_clock::now()), width, height);
    out.flush();
}

void BusReporter::tick(std::chrono::system_clock::time_point now) {
    (void)now;
    if (live_screen && resized.exchange(false)) {
        {
            std::lock_guard<std::mutex> guard(lock);
            redraw_now = true;
        }
        wake.notify_all();
    }
}

void BusReporter::_bkgd_redraw_func() {
    try {
        const auto period = period_of(opts, live_screen);
        auto next = std::chrono::steady_clock::now() + period;
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping.load()) {
            if (wake.wait_until(guard, next, [this] { return stopping.load() || redraw_now; })) {
                if (stopping.load()) {
                    break;
                }
            } else {
                next += period;
            }
            redraw_now = false;
            guard.unlock(); // stop() must not wait for a slow terminal
            if (live_screen) {
                draw_screen();
            } else {
                out << json_bus_report(analyser.snapshot(), std::chrono::system_clock::now());
                out.flush();
            }
            guard.lock();
        }
    } catch (...) {
        // An output stream that throws ends the redrawing, not the program.
    }
}

void BusReporter::finish() {
    stop();
    // A recording read to its end has ended; a live stream is judged as it is when stopped.
    const auto gateways =
        analyser.snapshot(std::chrono::system_clock::now(), !opts.read_paths.empty());
    if (opts.json) {
        out << json_bus_report(gateways, std::chrono::system_clock::now());
    } else {
        // Left on a terminal, it keeps to its width; in a file or a pipe, every column.
        out << (live_screen ? kHomeAndClear : "")
            << (live_screen ? bus_table(gateways, kFinalTableRows, screen_size().first)
                            : bus_table(gateways, kFinalTableRows));
    }
    out.flush();
}

void BusReporter::end(const Summary& summary) {
    (void)summary;
    finish();
}

BusCaptureTimeReport::BusCaptureTimeReport(double interval_s, const BusAnalyser& analyser_,
                                           std::ostream& out_)
    : interval(std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(interval_s))),
      analyser(analyser_), out(out_) {}

void BusCaptureTimeReport::tick(std::chrono::system_clock::time_point t) {
    if (!next) {
        next = t + interval;
        return;
    }
    if (t < *next) {
        return;
    }
    out << json_bus_report(analyser.snapshot(), t);
    out.flush();
    while (*next <= t) {
        *next += interval;
    }
}

} // namespace fipdump

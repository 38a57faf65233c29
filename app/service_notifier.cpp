#include "app/service_notifier.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <systemd/sd-daemon.h>

#include "log/logger.hpp"

namespace {

constexpr auto status_interval = std::chrono::seconds(1);

long long seconds_of(ServiceNotifier::clock::duration d) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(d).count());
}

} // namespace

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    enabled = socket != nullptr && socket[0] != '\0';
    std::uint64_t usec = 0;
    if (enabled && sd_watchdog_enabled(0, &usec) > 0) {
        period = std::chrono::microseconds(usec);
    }
}

void ServiceNotifier::send(const std::string& text) {
    if (sd_notify(0, text.c_str()) > 0) {
        ++sent_cnt;
    }
}

void ServiceNotifier::ready(std::vector<Watched> threads, clock::time_point now) {
    watches.clear();
    for (const Watched& w : threads) {
        watches.push_back(Watch{w, w.beat->count(), now, false});
    }
    if (!enabled) {
        return;
    }
    send("READY=1");
    if (period.count() > 0) {
        send("WATCHDOG=1");
        last_ping = now;
    }
}

void ServiceNotifier::reloading() {
    watches.clear();
    if (!enabled) {
        return;
    }
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto usec = static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000u +
                      static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
    char text[64];
    std::snprintf(text, sizeof text, "RELOADING=1\nMONOTONIC_USEC=%" PRIu64, usec);
    send(text);
}

void ServiceNotifier::stopping() {
    watches.clear();
    if (enabled) {
        send("STOPPING=1");
    }
}

bool ServiceNotifier::all_progressing(clock::time_point now) {
    bool healthy = true;
    for (Watch& w : watches) {
        const std::uint64_t count = w.what.beat->count();
        if (count != w.last_count) {
            if (w.stalled) {
                logger::print(flog, logger::msg_type::warn,
                              "watchdog: the %s thread progresses again after %lld s\n",
                              w.what.name, seconds_of(now - w.last_progress));
            }
            w.last_count = count;
            w.last_progress = now;
            w.stalled = false;
        } else if (now - w.last_progress > w.what.stall_limit) {
            if (!w.stalled) {
                logger::print(flog, logger::msg_type::err,
                              "watchdog: the %s thread has made no progress for %lld s; "
                              "keep-alive pings to the service manager withheld\n",
                              w.what.name, seconds_of(now - w.last_progress));
            }
            w.stalled = true;
        }
        healthy = healthy && !w.stalled;
    }
    return healthy;
}

void ServiceNotifier::tick(const std::function<std::string()>& status, clock::time_point now) {
    // Stalls are watched and logged whether or not a manager listens.
    const bool healthy = all_progressing(now);
    if (!enabled) {
        return;
    }
    if (status && (!status_sent || now - last_status >= status_interval)) {
        send("STATUS=" + status());
        last_status = now;
        status_sent = true;
    }
    if (period.count() > 0 && healthy && now - last_ping >= ping_interval()) {
        send("WATCHDOG=1");
        last_ping = now;
    }
}

std::string service_status_line(int card, std::uint64_t frames_per_sec,
                                std::uint64_t datagrams_per_sec, std::uint64_t events_dropped) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "card %d: %" PRIu64 " frames/s, %" PRIu64 " datagrams/s, %" PRIu64
                  " events dropped",
                  card, frames_per_sec, datagrams_per_sec, events_dropped);
    return text;
}

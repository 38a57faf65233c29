// What the service manager is told: readiness, reloads, the end, a one-line status, and the
// watchdog's keep-alive pings, through libsystemd's sd_notify. Active only when the manager
// passed a notification socket (NOTIFY_SOCKET); otherwise every call does nothing.
//
// Design notes
// - Every call comes from the main thread's wait loop or its build cycle: the loop runs every
//   100 ms, so the main thread's own progress is proven by each ping it sends.
// - A ping also vouches for the threads that move the data. Each watched thread bumps a
//   Heartbeat at every pass of its loop, idle passes included; a thread whose count has not moved
//   for longer than its stall limit withholds the pings, so the manager ends and restarts a
//   process that stopped sending, while a silent bus or network changes nothing.
// - The watch list points into the components of one generation: it is dropped by reloading()
//   and stopping(), which the gateway calls before it releases them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/heartbeat.hpp"

class ServiceNotifier {
public:
    using clock = std::chrono::steady_clock;

    struct Watched {
        const char* name;            // the thread's name, for the log line of a stall
        const Heartbeat* beat;       // not owned; must outlive the watch
        clock::duration stall_limit; // longer without a pass means the thread is stuck
    };

    // Reads NOTIFY_SOCKET and the watchdog period (WATCHDOG_USEC, honoured only when
    // WATCHDOG_PID is unset or names this process). Main thread, once per run.
    ServiceNotifier();

    bool active() const { return enabled; }
    // The manager's watchdog period; zero when there is no watchdog.
    std::chrono::microseconds watchdog_period() const { return period; }
    // The interval between two pings: a third of the period, so that at least two arrive in
    // every period even when a 100 ms loop step delays one.
    clock::duration ping_interval() const { return period / 3; }

    // "READY=1": the capture runs and the sender drains the buffer. Starts watching `threads`
    // and sends a first ping.
    void ready(std::vector<Watched> threads, clock::time_point now = clock::now());
    // "RELOADING=1" with the monotonic time, as a SIGHUP starts a new build cycle.
    void reloading();
    // "STOPPING=1": the end sequence has begun.
    void stopping();

    // Once per main-loop pass: "STATUS=" with `status()` when a second has passed since the last
    // one, and "WATCHDOG=1" when a ping is due and every watched thread has progressed within its
    // stall limit. A thread that stalls or recovers is logged once.
    void tick(const std::function<std::string()>& status, clock::time_point now = clock::now());

    // Notices sent so far (sd_notify calls that reached the socket). Main thread.
    std::uint64_t sent() const { return sent_cnt; }

private:
    struct Watch {
        Watched what;
        std::uint64_t last_count = 0;
        clock::time_point last_progress;
        bool stalled = false;
    };

    void send(const std::string& text);
    // Updates every watch at `now`; true when none is stalled.
    bool all_progressing(clock::time_point now);

    bool enabled = false;
    std::chrono::microseconds period{0};
    std::vector<Watch> watches;
    clock::time_point last_ping{};
    clock::time_point last_status{};
    bool status_sent = false;
    std::uint64_t sent_cnt = 0;
};

// The status line: "card 0: 1250 frames/s, 38 datagrams/s, 0 events dropped".
std::string service_status_line(int card, std::uint64_t frames_per_sec,
                                std::uint64_t datagrams_per_sec, std::uint64_t events_dropped);

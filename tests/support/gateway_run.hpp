// The real gateway binary on the simulated card, as a test runs it: inside the caller's private
// network namespace, with a private /dev/log owned by the test, the card's control socket and
// report file, and its own buffer file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.hpp"
#include "support/sim_control.hpp"
#include "support/syslog_sink.hpp"
#include "support/temp_dir.hpp"
#include "wire/wire.hpp"

namespace testsupport {

// Every event received, in order, with the sequence number of its datagram.
struct StreamEvent {
    std::uint64_t seq = 0;
    wire::Event event;
};

struct GatewayConfig {
    std::vector<std::string> options;                          // fipgate's own options
    std::vector<std::pair<std::string, std::string>> card_env; // CAPVANE_SIM_* additions
    bool control = true;                                       // open the card's control socket
};

class GatewayRun {
public:
    explicit GatewayRun(const GatewayConfig& config);
    ~GatewayRun(); // kills the gateway if it still runs

    GatewayRun(const GatewayRun&) = delete;
    GatewayRun& operator=(const GatewayRun&) = delete;

    ChildProcess& process() { return *child; }
    SyslogSink& syslog() { return sink; }
    TempDir& dir() { return tmp; }
    std::string buffer_path() const { return tmp.file("buffer.bin"); }
    std::string control_path() const { return tmp.file("card.sock"); }
    std::string report_path() const { return tmp.file("card-report.json"); }

    // True once "app is running..." appeared `count` times in the log (standard output).
    bool wait_running(int count = 1, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sends `signo` and waits for the end; the wait status, or -1 on time-out.
    int stop(int signo, std::chrono::milliseconds timeout = std::chrono::seconds(20));

private:
    TempDir tmp;
    SyslogSink sink;
    std::unique_ptr<ChildProcess> child;
};

// Occurrences of `needle` in `text`.
std::size_t count_of(const std::string& text, const std::string& needle);

} // namespace testsupport

// The real gateway binary on the simulated card, as a test runs it: inside the caller's private
// network namespace, with a private /dev/log owned by the test, a receiving UDP socket, the
// card's control socket and report file, and its own buffer file.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/child_process.hpp"
#include "support/syslog_sink.hpp"
#include "wire/wire.hpp"

namespace testsupport {

// A socket bound to 0.0.0.0:port that receives the gateway's broadcasts.
class UdpReceiver {
public:
    explicit UdpReceiver(std::uint16_t port);
    ~UdpReceiver();
    UdpReceiver(const UdpReceiver&) = delete;
    UdpReceiver& operator=(const UdpReceiver&) = delete;

    // One datagram, or nullopt after `timeout`.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout);

private:
    int fd = -1;
};

// Every event received, in order, with the sequence number of its datagram.
struct StreamEvent {
    std::uint64_t seq = 0;
    wire::Event event;
};

// A line-oriented client of the simulated card's control socket.
class SimControl {
public:
    // Connects, retrying until the socket exists or `timeout` passes (then ok() is false).
    SimControl(const std::string& path, std::chrono::milliseconds timeout);
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    bool ok() const { return fd >= 0; }
    // Sends one command; returns the answer line without its newline ("" on failure).
    std::string command(const std::string& line);

private:
    int fd = -1;
    std::string pending;
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

// A number from a flat JSON object such as the card's statistics ("records":123); -1 if absent.
long long json_number(const std::string& json, const std::string& key);

} // namespace testsupport

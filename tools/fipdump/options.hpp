// fipdump's command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "wire/frame.hpp"

namespace fipdump {

constexpr std::uint16_t kDefaultPort = 57117; // the gateway's default UDP port

enum class RecordType { capture, lifesign };

// Which events are printed. Every event is still counted and accounted for loss.
struct Filter {
    std::optional<wire::FrameKind> kind; // capture records of this frame kind only
    std::optional<std::uint16_t> id;     // this identifier's transactions only: its polls and
                                         // the frames answering them
    std::optional<RecordType> type;      // one record type only
    bool bad = false;                    // frames that break a rule only (--bad)
};

struct Options {
    std::uint16_t port = kDefaultPort;
    bool port_given = false; // -p: with -r, only the datagrams to that port are read
    bool json = false;
    bool stats = false;
    bool help = false;
    bool version = false;
    std::optional<std::uint64_t> count;  // stop after this many printed events
    std::optional<double> seconds;       // stop after this long (s), live or capture time
    std::string write_path;              // -w: pcap file written
    std::vector<std::string> read_paths; // -r (repeatable, globs expanded): pcap files read
                                         // instead of the socket, as one stream
    bool quiet = false;                  // -q: no per-event output; summary at the end
    std::optional<double> rotate_mb;     // -C: new -w file when this many MB (10^6 bytes) written
    std::optional<std::uint32_t> rotate_seconds; // -G: new -w file every period (strftime name)
    std::optional<std::uint32_t> ring_files;     // -W: keep at most this many -w files
    std::string group;                           // -g: multicast group to join (IPv4 or IPv6)
    std::string iface;                           // --iface: interface to receive on
    std::optional<int> rcvbuf_bytes;             // receive buffer asked of the kernel
    bool metrics = false;                        // --metrics given
    std::string metrics_addr; // its host: a name or an address; empty: all addresses
    std::uint16_t metrics_port = 0;
    Filter filter;
    bool bus = false;               // --bus: the bus analysis instead of the events
    std::optional<double> interval; // --interval: JSON analysis every this many seconds
    std::size_t metrics_ids = 1024; // --metrics-ids: identifiers exported at most
    bool metrics_ids_given = false;
    std::optional<std::uint32_t> forget_gateway; // --forget-gateway: seconds of silence after
                                                 // which a gateway leaves the metrics
    double missing_threshold = 0.01; // --missing-threshold, as a share 0-1 (given in percent)
    bool missing_threshold_given = false;
    std::string baseline_path;      // --baseline: the bus is compared with this baseline file
    std::string save_baseline_path; // --save-baseline: what was learned is saved at the end
};

struct ParseResult {
    Options options;
    std::string error; // empty when the command line is valid
};

// Parses argv with getopt_long. Pure apart from getopt's global state; main thread.
ParseResult parse_options(int argc, char** argv);

// The usage text printed by -h and after a command-line error.
std::string usage(const std::string& program);

// The frame kind named on the command line ("identifier", "variable", "request-list",
// "message", "ack", "unknown"), or nullopt.
std::optional<wire::FrameKind> kind_from_name(const std::string& name);

} // namespace fipdump

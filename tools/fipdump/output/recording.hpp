// fipdump's -w recording, in the manner of tcpdump: one pcap file, or a series of them, a new
// one after a size (-C) or every period (-G, the name passed through strftime), keeping at
// most N (-W, the oldest deleted). Each datagram goes whole into exactly one file: a rotation
// happens between two datagrams, and when the next file cannot be created the recording goes
// on in the current one rather than lose anything.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

struct RecordingPolicy {
    std::string pattern;                        // -w FILE, strftime conversions allowed with -G
    std::optional<std::uint64_t> max_bytes;     // -C, in bytes
    std::optional<std::chrono::seconds> period; // -G
    std::optional<std::uint32_t> keep;          // -W
};

class Recording : public Sink {
public:
    // Creates the first file, named for `now`. ok() is false and error() says why when it
    // cannot. Later failures are reported once each on `notices`.
    Recording(RecordingPolicy policy, std::uint16_t port, std::ostream& notices,
              std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

    bool ok() const { return file && file->ok(); }
    const std::string& error() const { return why; }

    // Writes one datagram, first starting a new file when the size or the period (reckoned in
    // the datagrams' own times) says so. Main thread.
    void write(const Received& r);

    // As an output: every datagram as it came, duplicates included; the last file is closed
    // before the run's summary says it is over.
    void received(const Received& r) override { write(r); }
    void end(const Summary& summary) override;

    // The file written now, and the number of files started.
    const std::string& current() const { return current_name; }
    std::uint64_t files_started() const { return started; }

    // The name of a file of the series: the pattern at `time` (strftime, local time), "-N"
    // before the extension for the Nth file of the same name. Pure but for the time zone.
    static std::string file_name(const std::string& pattern, bool with_time,
                                 std::chrono::system_clock::time_point time, std::uint64_t n);

private:
    bool open(std::chrono::system_clock::time_point time);

    RecordingPolicy policy;
    std::uint16_t port;
    std::ostream& notices;
    std::unique_ptr<PcapWriter> file;
    std::string current_name;
    std::string current_base; // the pattern's expansion current_name was made from
    std::uint64_t same_base = 0;
    std::uint64_t started = 0;
    std::optional<std::chrono::system_clock::time_point> period_start;
    std::deque<std::string> kept; // files of this run, oldest first
    std::string why;
    std::string last_failure; // reported once
};

} // namespace fipdump

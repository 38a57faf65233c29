// Settings of the simulated card, read from the environment at the start of a session.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace capvane_sim {

constexpr uint32_t kDefaultBitrate = 2500000;   // bit/s
constexpr std::size_t kDefaultRingBuffers = 32; // transfer buffers the card can hold
constexpr uint32_t kDefaultFlushMs = 10;        // ms before a partly filled buffer goes out
constexpr uint64_t kDefaultSeed = 1;

struct SimConfig {
    std::vector<int> cards{0};
    std::optional<uint32_t> serial;     // CAPVANE_SIM_SERIAL; every card of the process has it
    uint32_t bitrate = kDefaultBitrate; // bit/s
    int fcs_type = 1;
    std::optional<uint64_t> record_limit; // bus or replay records per session
    bool pace_max = false;
    std::optional<double> pace_records_per_sec;
    std::string replay_path;
    std::string control_path;
    std::string report_path; // "%d" stands for the card number
    bool start_paused = false;
    std::size_t ring_buffers = kDefaultRingBuffers;
    uint32_t flush_ms = kDefaultFlushMs;
    uint64_t seed = kDefaultSeed;
    // Requests whose first occurrence in every session fails with EIO: a start failure can only
    // be staged this way, since a session (and what the control socket set) ends at each close.
    bool fail_infos = false;
    bool fail_epoch = false;
    bool fail_sniffer_on = false;
    bool fail_sniffer_off = false;
    // Values that could not be understood; the sim keeps the default and says so on stderr.
    std::vector<std::string> problems;

    bool has_card(int number) const;
};

// The serial number card `number` reports in process `pid`: CAPVANE_SIM_SERIAL when set, else
// pid << 8 | number's low 8 bits, with number's bits 8-9 on top. Like real cards, two cards
// differ (up to card 1023, and a pid below 2^22 as Linux gives), whether in one process or in
// two gateways on one host, and a card keeps its serial for the life of its process.
uint32_t card_serial(const SimConfig& cfg, int number, long pid);

// Reads every CAPVANE_SIM_* variable. Called by the first open of a session (any thread).
SimConfig read_config_from_env();

// Parses an unsigned decimal or 0x-prefixed hexadecimal number; nullopt for anything else.
std::optional<uint64_t> parse_unsigned(const std::string& text);

} // namespace capvane_sim

// What a card has produced and received, and its JSON form for `stats` and the report file.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "fault_plan.hpp"
#include "record_format.hpp"

namespace capvane_sim {

struct RequestCounts {
    uint64_t get_dev_infos = 0;
    uint64_t enable_sniffer = 0;
    uint64_t set_epoch = 0;
    uint64_t init = 0;
    uint64_t wait_data = 0;
    uint64_t cancel_wait = 0;
    uint64_t unknown = 0;
};

struct CardStats {
    int card = 0;
    uint64_t session = 1; // sessions of this card in this process, from 1
    uint32_t serial = 0;  // the serial number the card reports
    int64_t pid = 0;      // the process the card lives in, which its default serial names
    Tally delivered;      // records in good buffers handed over: what the daemon should process
    uint64_t buffers = 0;
    uint64_t overruns = 0;
    uint64_t dropped_records = 0;
    std::map<std::string, uint64_t> faults; // every fault name present, 0 if never injected
    RequestCounts requests;
    bool sniffer = false;
    bool paused = false;
    bool unplugged = false;
    std::map<uint16_t, IdentifierTruth> identifiers; // what the bus did, per identifier

    CardStats();
};

// One line, no newline.
std::string to_json(const CardStats& stats);

// Writes the JSON and a newline to `path` ("%d" replaced by the card number, "%n" by the session
// number) through a temporary
// file, so that a reader never sees half a report. Returns false on failure.
bool write_report(const std::string& path, const CardStats& stats);

} // namespace capvane_sim

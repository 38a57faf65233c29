// One line of the control socket, parsed. Pure: never trusts the line, never throws.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace capvane_sim {

enum class CommandKind {
    pause,
    resume,
    gap,
    back,
    unnumbered,
    bad,
    status,
    inject,
    noready,
    ready,
    failwait,
    shortwait,
    malformed,
    fail,
    unplug,
    flush,
    stats,
    silence,    // the next N polls of an identifier go unanswered
    corrupt,    // the next N responses of an identifier carry a bad FCS
    schedule,   // an identifier polled every N elementary cycles from now on
    unschedule, // an identifier no longer polled
};
enum class BadCheck { ctrl, fcs, pdu, len };
enum class Malformation { type, zero, short_length, overrun };
enum class FailRequest { infos, epoch, sniffer_on, sniffer_off };
enum class ReadyBits { bit31, bit30, both };

constexpr uint64_t kMaxCommandCount = 100000; // records or events one command may ask for

struct ControlCommand {
    CommandKind kind = CommandKind::stats;
    std::optional<int> card; // from an "@N" prefix
    uint64_t count = 1;      // N of the command (indexes for gap/back)
    BadCheck bad = BadCheck::ctrl;
    Malformation malformation = Malformation::type;
    FailRequest fail = FailRequest::infos;
    int error_number = 0; // errno for `fail`
    unsigned status_bit = 0;
    ReadyBits ready = ReadyBits::bit31;
    std::vector<uint8_t> record;          // `inject`: a well-formed capture record
    uint16_t identifier = 0;              // `silence`, `corrupt`, `schedule`, `unschedule`
    uint32_t period_cycles = 0;           // `schedule`
    std::optional<uint16_t> response_len; // `schedule`: bytes of each response, FCS included
};

// Parses one line (without its newline). On failure returns the reason, for "error <reason>".
std::variant<ControlCommand, std::string> parse_command(std::string_view line);

// Names used as keys of the "faults" statistics object.
const char* bad_check_name(BadCheck check);
const char* malformation_name(Malformation m);
const char* fail_request_name(FailRequest r);

} // namespace capvane_sim

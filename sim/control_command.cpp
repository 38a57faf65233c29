#include "control_command.hpp"

#include <cerrno>

#include "bus_model.hpp"
#include "fault_plan.hpp"
#include "record_format.hpp"

namespace capvane_sim {

namespace {

constexpr std::size_t kMaxLineBytes = 4 * kMaxRecordBytes; // hex of the longest record, spaced

std::vector<std::string_view> split_words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r')) {
            ++pos;
        }
        const std::size_t start = pos;
        while (pos < line.size() && line[pos] != ' ' && line[pos] != '\t' && line[pos] != '\r') {
            ++pos;
        }
        if (pos > start) {
            words.push_back(line.substr(start, pos - start));
        }
    }
    return words;
}

std::optional<uint64_t> parse_count(std::string_view word, uint64_t max) {
    if (word.empty() || word.size() > 19) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : word) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<int> parse_errno(std::string_view word) {
    struct Named {
        std::string_view name;
        int value;
    };
    static constexpr Named kNames[] = {
        {"EIO", EIO},     {"ENODEV", ENODEV}, {"EFAULT", EFAULT}, {"EINVAL", EINVAL},
        {"EBUSY", EBUSY}, {"EAGAIN", EAGAIN}, {"EPERM", EPERM},   {"ETIMEDOUT", ETIMEDOUT},
        {"EINTR", EINTR}, {"ENXIO", ENXIO},   {"ENOMEM", ENOMEM}, {"ECANCELED", ECANCELED},
    };
    for (const auto& n : kNames) {
        if (word == n.name) {
            return n.value;
        }
    }
    if (auto v = parse_count(word, 4095); v && *v > 0) {
        return static_cast<int>(*v);
    }
    return std::nullopt;
}

} // namespace

const char* bad_check_name(BadCheck check) {
    switch (check) {
    case BadCheck::ctrl:
        return "bad_ctrl";
    case BadCheck::fcs:
        return "bad_fcs";
    case BadCheck::pdu:
        return "bad_pdu";
    case BadCheck::len:
        break;
    }
    return "bad_len";
}

const char* malformation_name(Malformation m) {
    switch (m) {
    case Malformation::type:
        return "malformed_type";
    case Malformation::zero:
        return "malformed_zero";
    case Malformation::short_length:
        return "malformed_short";
    case Malformation::overrun:
        break;
    }
    return "malformed_overrun";
}

const char* fail_request_name(FailRequest r) {
    switch (r) {
    case FailRequest::infos:
        return "fail_infos";
    case FailRequest::epoch:
        return "fail_epoch";
    case FailRequest::sniffer_on:
        return "fail_sniffer_on";
    case FailRequest::sniffer_off:
        break;
    }
    return "fail_sniffer_off";
}

std::variant<ControlCommand, std::string> parse_command(std::string_view line) {
    if (line.size() > kMaxLineBytes) {
        return std::string("line too long");
    }
    auto words = split_words(line);
    ControlCommand cmd;
    if (!words.empty() && words[0].size() > 1 && words[0][0] == '@') {
        const auto card = parse_count(words[0].substr(1), 0x7fffffff);
        if (!card) {
            return std::string("bad card number");
        }
        cmd.card = static_cast<int>(*card);
        words.erase(words.begin());
    }
    if (words.empty()) {
        return std::string("empty command");
    }
    const std::string_view verb = words[0];
    const std::size_t argc = words.size() - 1;
    // Optional count as the argument at position `at`, defaulting to 1.
    auto optional_count = [&](std::size_t at, uint64_t max) -> std::optional<uint64_t> {
        if (argc < at) {
            return 1;
        }
        if (argc > at) {
            return std::nullopt;
        }
        return parse_count(words[at], max);
    };

    if (verb == "pause" || verb == "resume" || verb == "unplug" || verb == "flush" ||
        verb == "stats") {
        if (argc != 0) {
            return std::string(verb) + " takes no argument";
        }
        cmd.kind = verb == "pause"    ? CommandKind::pause
                   : verb == "resume" ? CommandKind::resume
                   : verb == "unplug" ? CommandKind::unplug
                   : verb == "flush"  ? CommandKind::flush
                                      : CommandKind::stats;
        return cmd;
    }
    if (verb == "gap" || verb == "back") {
        // Indexes are 64-bit; keep the sum with the current index from wrapping.
        const auto n = argc == 1 ? parse_count(words[1], uint64_t{1} << 62) : std::nullopt;
        if (!n || *n == 0) {
            return std::string(verb) + " needs a positive count";
        }
        cmd.kind = verb == "gap" ? CommandKind::gap : CommandKind::back;
        cmd.count = *n;
        return cmd;
    }
    if (verb == "unnumbered" || verb == "noready" || verb == "failwait" || verb == "shortwait") {
        const auto n = optional_count(1, kMaxCommandCount);
        if (!n || *n == 0) {
            return std::string(verb) + " takes an optional count of 1 to 100000";
        }
        cmd.kind = verb == "unnumbered" ? CommandKind::unnumbered
                   : verb == "noready"  ? CommandKind::noready
                   : verb == "failwait" ? CommandKind::failwait
                                        : CommandKind::shortwait;
        cmd.count = *n;
        return cmd;
    }
    if (verb == "bad") {
        if (argc < 1) {
            return std::string("bad needs ctrl, fcs, pdu or len");
        }
        const std::string_view what = words[1];
        if (what == "ctrl") {
            cmd.bad = BadCheck::ctrl;
        } else if (what == "fcs") {
            cmd.bad = BadCheck::fcs;
        } else if (what == "pdu") {
            cmd.bad = BadCheck::pdu;
        } else if (what == "len") {
            cmd.bad = BadCheck::len;
        } else {
            return std::string("bad needs ctrl, fcs, pdu or len");
        }
        const auto n = optional_count(2, kMaxCommandCount);
        if (!n || *n == 0) {
            return std::string("bad takes an optional count of 1 to 100000");
        }
        cmd.kind = CommandKind::bad;
        cmd.count = *n;
        return cmd;
    }
    if (verb == "status") {
        const auto bit = argc >= 1 ? parse_count(words[1], 7) : std::nullopt;
        if (!bit) {
            return std::string("status needs a bit number 0 to 7");
        }
        const auto n = optional_count(2, kMaxCommandCount);
        if (!n || *n == 0) {
            return std::string("status takes an optional count of 1 to 100000");
        }
        cmd.kind = CommandKind::status;
        cmd.status_bit = static_cast<unsigned>(*bit);
        cmd.count = *n;
        return cmd;
    }
    if (verb == "silence" || verb == "corrupt") {
        const auto id = argc >= 1 ? parse_identifier(words[1]) : std::nullopt;
        const auto n = id ? optional_count(2, kMaxCommandCount) : std::nullopt;
        if (!id || !n || *n == 0) {
            return std::string(verb) + " needs an identifier (0x0123 or decimal) and an optional "
                                       "count of 1 to 100000";
        }
        cmd.kind = verb == "silence" ? CommandKind::silence : CommandKind::corrupt;
        cmd.identifier = *id;
        cmd.count = *n;
        return cmd;
    }
    if (verb == "unschedule") {
        const auto id = argc == 1 ? parse_identifier(words[1]) : std::nullopt;
        if (!id) {
            return std::string("unschedule needs an identifier (0x0123 or decimal)");
        }
        cmd.kind = CommandKind::unschedule;
        cmd.identifier = *id;
        return cmd;
    }
    if (verb == "schedule") {
        const auto id = argc == 2 || argc == 3 ? parse_identifier(words[1]) : std::nullopt;
        const auto period = id ? parse_count(words[2], kMaxScanPeriodCycles) : std::nullopt;
        const auto len = argc == 3 ? parse_count(words[3], kMaxResponseLen) : std::nullopt;
        if (!id || !period || *period == 0 || (argc == 3 && (!len || *len < kMinResponseLen))) {
            return std::string("schedule needs an identifier, a period of 1 to ") +
                   std::to_string(kMaxScanPeriodCycles) +
                   " elementary cycles and an optional response length of " +
                   std::to_string(kMinResponseLen) + " to " + std::to_string(kMaxResponseLen) +
                   " bytes";
        }
        cmd.kind = CommandKind::schedule;
        cmd.identifier = *id;
        cmd.period_cycles = static_cast<uint32_t>(*period);
        if (len) {
            cmd.response_len = static_cast<uint16_t>(*len);
        }
        return cmd;
    }
    if (verb == "ready") {
        if (argc != 1) {
            return std::string("ready needs 31, 30 or both");
        }
        if (words[1] == "31") {
            cmd.ready = ReadyBits::bit31;
        } else if (words[1] == "30") {
            cmd.ready = ReadyBits::bit30;
        } else if (words[1] == "both") {
            cmd.ready = ReadyBits::both;
        } else {
            return std::string("ready needs 31, 30 or both");
        }
        cmd.kind = CommandKind::ready;
        return cmd;
    }
    if (verb == "malformed") {
        if (argc != 1) {
            return std::string("malformed needs type, zero, short or overrun");
        }
        if (words[1] == "type") {
            cmd.malformation = Malformation::type;
        } else if (words[1] == "zero") {
            cmd.malformation = Malformation::zero;
        } else if (words[1] == "short") {
            cmd.malformation = Malformation::short_length;
        } else if (words[1] == "overrun") {
            cmd.malformation = Malformation::overrun;
        } else {
            return std::string("malformed needs type, zero, short or overrun");
        }
        cmd.kind = CommandKind::malformed;
        return cmd;
    }
    if (verb == "fail") {
        if (argc < 1 || argc > 2) {
            return std::string("fail needs infos, epoch, sniffer-on or sniffer-off");
        }
        if (words[1] == "infos") {
            cmd.fail = FailRequest::infos;
        } else if (words[1] == "epoch") {
            cmd.fail = FailRequest::epoch;
        } else if (words[1] == "sniffer-on") {
            cmd.fail = FailRequest::sniffer_on;
        } else if (words[1] == "sniffer-off") {
            cmd.fail = FailRequest::sniffer_off;
        } else {
            return std::string("fail needs infos, epoch, sniffer-on or sniffer-off");
        }
        cmd.error_number = EIO;
        if (argc == 2) {
            const auto e = parse_errno(words[2]);
            if (!e) {
                return std::string("bad errno");
            }
            cmd.error_number = *e;
        }
        cmd.kind = CommandKind::fail;
        return cmd;
    }
    if (verb == "inject") {
        std::vector<uint8_t> bytes;
        int high = -1;
        for (std::size_t w = 1; w < words.size(); ++w) {
            for (char c : words[w]) {
                if (c == '|' || c == ':' || c == '.' || c == ',') {
                    continue;
                }
                const int d = hex_digit(c);
                if (d < 0) {
                    return std::string("inject: not a hex digit");
                }
                if (high < 0) {
                    high = d;
                } else {
                    bytes.push_back(static_cast<uint8_t>(high << 4 | d));
                    high = -1;
                }
            }
        }
        if (high >= 0) {
            return std::string("inject: odd number of hex digits");
        }
        const std::size_t len = well_formed_record_length(bytes.data(), bytes.size());
        if (len == 0 || len != bytes.size()) {
            return std::string("inject: not one well-formed capture record (type C0, length = "
                               "bytes given, at least 30)");
        }
        cmd.kind = CommandKind::inject;
        cmd.record = std::move(bytes);
        return cmd;
    }
    return std::string("unknown command");
}

} // namespace capvane_sim

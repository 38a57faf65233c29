#include "config.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace capvane_sim {

namespace {

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

} // namespace

bool SimConfig::has_card(int number) const {
    return std::find(cards.begin(), cards.end(), number) != cards.end();
}

uint32_t card_serial(const SimConfig& cfg, int number, long pid) {
    if (cfg.serial) {
        return *cfg.serial;
    }
    const auto card = static_cast<uint32_t>(number);
    return (card >> 8 & 3u) << 30 | (static_cast<uint32_t>(pid) & 0x3fffffu) << 8 | (card & 0xffu);
}

std::optional<uint64_t> parse_unsigned(const std::string& text) {
    const std::string t = trim(text);
    if (t.empty() || t[0] == '-' || t[0] == '+') {
        return std::nullopt;
    }
    const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(t.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == t.c_str() || *end != '\0') {
        return std::nullopt;
    }
    return static_cast<uint64_t>(value);
}

SimConfig read_config_from_env() {
    SimConfig cfg;
    if (auto cards = env("CAPVANE_SIM_CARDS")) {
        cfg.cards.clear();
        std::string rest = *cards;
        while (!trim(rest).empty()) {
            const auto comma = rest.find(',');
            const std::string item = rest.substr(0, comma);
            const auto number = parse_unsigned(item);
            if (number && *number <= 0x7fffffff) {
                cfg.cards.push_back(static_cast<int>(*number));
            } else if (!trim(item).empty()) {
                cfg.problems.push_back("CAPVANE_SIM_CARDS: bad card number '" + item + "'");
            }
            if (comma == std::string::npos) {
                break;
            }
            rest = rest.substr(comma + 1);
        }
    }
    if (auto text = env("CAPVANE_SIM_SERIAL")) {
        const auto value = parse_unsigned(*text);
        if (value && *value <= 0xffffffffu) {
            cfg.serial = static_cast<uint32_t>(*value);
        } else {
            cfg.problems.push_back("CAPVANE_SIM_SERIAL: not a 32-bit number");
        }
    }
    if (auto text = env("CAPVANE_SIM_BITRATE")) {
        const auto value = parse_unsigned(*text);
        if (value &&
            (*value == 31250 || *value == 1000000 || *value == 2500000 || *value == 5000000)) {
            cfg.bitrate = static_cast<uint32_t>(*value);
        } else {
            cfg.problems.push_back("CAPVANE_SIM_BITRATE: not 31250, 1000000, 2500000 or 5000000");
        }
    }
    if (auto text = env("CAPVANE_SIM_FCS")) {
        const auto value = parse_unsigned(*text);
        if (value && (*value == 1 || *value == 2)) {
            cfg.fcs_type = static_cast<int>(*value);
        } else {
            cfg.problems.push_back("CAPVANE_SIM_FCS: not 1 or 2");
        }
    }
    if (auto text = env("CAPVANE_SIM_RECORDS"); text && !trim(*text).empty()) {
        if (auto value = parse_unsigned(*text)) {
            cfg.record_limit = *value;
        } else {
            cfg.problems.push_back("CAPVANE_SIM_RECORDS: not a number");
        }
    }
    if (auto text = env("CAPVANE_SIM_PACE"); text && !trim(*text).empty()) {
        if (trim(*text) == "max") {
            cfg.pace_max = true;
        } else {
            char* end = nullptr;
            const std::string t = trim(*text);
            const double rate = std::strtod(t.c_str(), &end);
            if (end != t.c_str() && *end == '\0' && rate > 0 && rate <= 1e9) {
                cfg.pace_records_per_sec = rate;
            } else {
                cfg.problems.push_back("CAPVANE_SIM_PACE: not 'max' or a positive rate");
            }
        }
    }
    cfg.replay_path = env("CAPVANE_SIM_REPLAY").value_or("");
    cfg.control_path = env("CAPVANE_SIM_CONTROL").value_or("");
    cfg.report_path = env("CAPVANE_SIM_REPORT").value_or("");
    if (auto text = env("CAPVANE_SIM_PAUSED")) {
        cfg.start_paused = trim(*text) == "1";
    }
    if (auto text = env("CAPVANE_SIM_RING")) {
        const auto value = parse_unsigned(*text);
        if (value && *value >= 1 && *value <= 4096) {
            cfg.ring_buffers = static_cast<std::size_t>(*value);
        } else {
            cfg.problems.push_back("CAPVANE_SIM_RING: not 1 to 4096");
        }
    }
    if (auto text = env("CAPVANE_SIM_FLUSH_MS")) {
        const auto value = parse_unsigned(*text);
        if (value && *value >= 1 && *value <= 10000) {
            cfg.flush_ms = static_cast<uint32_t>(*value);
        } else {
            cfg.problems.push_back("CAPVANE_SIM_FLUSH_MS: not 1 to 10000");
        }
    }
    if (auto text = env("CAPVANE_SIM_SEED")) {
        if (auto value = parse_unsigned(*text)) {
            cfg.seed = *value;
        } else {
            cfg.problems.push_back("CAPVANE_SIM_SEED: not a number");
        }
    }
    if (auto text = env("CAPVANE_SIM_FAIL")) {
        std::string rest = *text;
        while (!rest.empty()) {
            const auto comma = rest.find(',');
            const std::string item = rest.substr(0, comma);
            rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
            if (item == "infos") {
                cfg.fail_infos = true;
            } else if (item == "epoch") {
                cfg.fail_epoch = true;
            } else if (item == "sniffer-on") {
                cfg.fail_sniffer_on = true;
            } else if (item == "sniffer-off") {
                cfg.fail_sniffer_off = true;
            } else if (!item.empty()) {
                cfg.problems.push_back("CAPVANE_SIM_FAIL: unknown request '" + item + "'");
            }
        }
    }
    return cfg;
}

} // namespace capvane_sim

#include "card_stats.hpp"

#include <cstdio>
#include <string_view>
#include <unistd.h>

namespace capvane_sim {

namespace {

constexpr const char* kFaultNames[] = {"gap",
                                       "back",
                                       "unnumbered",
                                       "bad_ctrl",
                                       "bad_fcs",
                                       "bad_pdu",
                                       "bad_len",
                                       "status_0",
                                       "status_1",
                                       "status_2",
                                       "status_3",
                                       "status_4",
                                       "status_5",
                                       "status_6",
                                       "status_7",
                                       "inject",
                                       "noready",
                                       "failwait",
                                       "shortwait",
                                       "malformed_type",
                                       "malformed_zero",
                                       "malformed_short",
                                       "malformed_overrun",
                                       "fail_infos",
                                       "fail_epoch",
                                       "fail_sniffer_on",
                                       "fail_sniffer_off",
                                       "unplug",
                                       "silence",
                                       "corrupt",
                                       "schedule",
                                       "unschedule"};

void field(std::string& out, std::string_view name, uint64_t value, bool comma = true) {
    out += '"';
    out += name;
    out += "\":";
    out += std::to_string(value);
    if (comma) {
        out += ',';
    }
}

const char* boolean(bool b) {
    return b ? "true" : "false";
}

} // namespace

CardStats::CardStats() {
    for (const char* name : kFaultNames) {
        faults[name] = 0;
    }
}

std::string to_json(const CardStats& s) {
    std::string out = "{";
    out += "\"card\":" + std::to_string(s.card) + ",";
    field(out, "session", s.session);
    field(out, "serial", s.serial);
    out += "\"pid\":" + std::to_string(s.pid) + ",";
    field(out, "records", s.delivered.records);
    field(out, "bytes", s.delivered.bytes);
    field(out, "frame_bytes", s.delivered.frame_bytes);
    field(out, "buffers", s.buffers);
    out += "\"kinds\":{";
    for (std::size_t i = 0; i < kFrameKindCount; ++i) {
        field(out, frame_kind_key(static_cast<wire::FrameKind>(i)), s.delivered.kinds[i],
              i + 1 < kFrameKindCount);
    }
    out += "},\"status_bits\":[";
    for (std::size_t i = 0; i < s.delivered.status_bits.size(); ++i) {
        out += std::to_string(s.delivered.status_bits[i]);
        if (i + 1 < s.delivered.status_bits.size()) {
            out += ',';
        }
    }
    out += "],";
    field(out, "unnumbered", s.delivered.unnumbered);
    field(out, "last_index", s.delivered.last_index);
    field(out, "overruns", s.overruns);
    field(out, "dropped_records", s.dropped_records);
    out += "\"faults\":{";
    std::size_t n = 0;
    for (const auto& [name, count] : s.faults) {
        field(out, name, count, ++n < s.faults.size());
    }
    out += "},\"requests\":{";
    field(out, "get_dev_infos", s.requests.get_dev_infos);
    field(out, "enable_sniffer", s.requests.enable_sniffer);
    field(out, "set_epoch", s.requests.set_epoch);
    field(out, "init", s.requests.init);
    field(out, "wait_data", s.requests.wait_data);
    field(out, "cancel_wait", s.requests.cancel_wait);
    field(out, "unknown", s.requests.unknown, false);
    out += "},\"sniffer\":";
    out += boolean(s.sniffer);
    out += ",\"paused\":";
    out += boolean(s.paused);
    out += ",\"unplugged\":";
    out += boolean(s.unplugged);
    out += ',';
    out += truth_json(s.identifiers);
    out += '}';
    return out;
}

bool write_report(const std::string& path_pattern, const CardStats& stats) {
    std::string path;
    for (std::size_t i = 0; i < path_pattern.size(); ++i) {
        const char next = i + 1 < path_pattern.size() ? path_pattern[i + 1] : '\0';
        if (path_pattern[i] == '%' && (next == 'd' || next == 'n')) {
            path += std::to_string(next == 'd' ? static_cast<uint64_t>(stats.card) : stats.session);
            ++i;
        } else {
            path += path_pattern[i];
        }
    }
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    const std::string json = to_json(stats) + "\n";
    const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace capvane_sim

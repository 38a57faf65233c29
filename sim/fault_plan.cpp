#include "fault_plan.hpp"

#include <algorithm>

namespace capvane_sim {

bool FaultPlan::take(std::map<uint16_t, uint64_t>& m, uint16_t id) {
    const auto it = m.find(id);
    if (it == m.end() || it->second == 0) {
        return false;
    }
    --it->second;
    return true;
}

void count_truth(std::map<uint16_t, IdentifierTruth>& truth, uint16_t id, TruthMark mark,
                 uint16_t len) {
    if (mark == TruthMark::response || mark == TruthMark::corrupted_response) {
        IdentifierTruth& t = truth[id];
        t.len_min = t.len_min == 0 ? len : std::min(t.len_min, len);
        t.len_max = std::max(t.len_max, len);
    }
    switch (mark) {
    case TruthMark::none:
        return;
    case TruthMark::poll:
        ++truth[id].polls;
        return;
    case TruthMark::silenced_poll:
        ++truth[id].polls;
        ++truth[id].silences;
        return;
    case TruthMark::response:
        ++truth[id].responses;
        return;
    case TruthMark::corrupted_response:
        ++truth[id].responses;
        ++truth[id].corrupted;
        return;
    }
}

std::string truth_json(const std::map<uint16_t, IdentifierTruth>& truth) {
    std::string out = "\"identifiers\":[";
    bool first = true;
    for (const auto& [id, t] : truth) {
        if (!first) {
            out += ',';
        }
        first = false;
        out += "{\"id\":" + std::to_string(id) + ",\"polls\":" + std::to_string(t.polls) +
               ",\"responses\":" + std::to_string(t.responses) +
               ",\"silences\":" + std::to_string(t.silences) +
               ",\"corrupted\":" + std::to_string(t.corrupted) +
               ",\"len_min\":" + std::to_string(t.len_min) +
               ",\"len_max\":" + std::to_string(t.len_max) +
               ",\"period_cycles\":" + std::to_string(t.period_cycles) +
               ",\"response_len\":" + std::to_string(t.response_len) +
               ",\"silence_pending\":" + std::to_string(t.silence_pending) +
               ",\"corrupt_pending\":" + std::to_string(t.corrupt_pending) + "}";
    }
    return out + "]";
}

std::optional<uint16_t> parse_identifier(std::string_view word) {
    unsigned base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        base = 16;
        word.remove_prefix(2);
    }
    if (word.empty() || word.size() > 5) {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (const char c : word) {
        unsigned d = 0;
        if (c >= '0' && c <= '9') {
            d = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        value = value * base + d;
    }
    if (value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(value);
}

} // namespace capvane_sim

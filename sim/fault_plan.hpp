// Sickness of single stations: the control socket asks that the next polls of an identifier go
// unanswered (`silence`) or that its next responses carry a bad FCS (`corrupt`), and the card
// reports, per identifier, what the bus really did, so that an analyser can be checked
// against the truth rather than against its own idea.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace capvane_sim {

// What a bus frame was, for the per-identifier truth.
enum class TruthMark : uint8_t {
    none,               // not a poll nor a response (acknowledgement, end, injected record)
    poll,               // an identifier frame that will be answered
    silenced_poll,      // an identifier frame left unanswered
    response,           // the answer to the last poll
    corrupted_response, // the answer to the last poll, with its FCS spoiled
};

struct IdentifierTruth {
    uint64_t polls = 0;
    uint64_t responses = 0;
    uint64_t silences = 0;        // polls left unanswered, asked for or by chance
    uint64_t corrupted = 0;       // responses sent with a bad FCS
    uint16_t len_min = 0;         // bytes of its responses (control and FCS included); both 0
    uint16_t len_max = 0;         // before the first
    uint32_t period_cycles = 0;   // of its periodic scan; 0 when polled aperiodically only
    uint16_t response_len = 0;    // bytes of its periodic responses as scheduled; 0 off the scan
    uint64_t silence_pending = 0; // asked for and not yet done
    uint64_t corrupt_pending = 0;
};

// Faults asked for per identifier, taken one by one as the bus plans its frames. Not
// thread-safe: used under the card's lock.
class FaultPlan {
public:
    void silence(uint16_t id, uint64_t polls) { silence_[id] += polls; }
    void corrupt(uint16_t id, uint64_t responses) { corrupt_[id] += responses; }
    // Whether this poll of `id` is to go unanswered (and one fewer remains).
    bool take_silence(uint16_t id) { return take(silence_, id); }
    // Whether this response of `id` is to carry a bad FCS (and one fewer remains).
    bool take_corrupt(uint16_t id) { return take(corrupt_, id); }
    const std::map<uint16_t, uint64_t>& silences() const { return silence_; }
    const std::map<uint16_t, uint64_t>& corruptions() const { return corrupt_; }

private:
    static bool take(std::map<uint16_t, uint64_t>& m, uint16_t id);

    std::map<uint16_t, uint64_t> silence_;
    std::map<uint16_t, uint64_t> corrupt_;
};

// Counts one delivered frame of `id` marked `mark`, `len` bytes, into `truth`.
void count_truth(std::map<uint16_t, IdentifierTruth>& truth, uint16_t id, TruthMark mark,
                 uint16_t len);

// `"identifiers":[{"id":256,"polls":..,"responses":..,"silences":..,"corrupted":..,
// "len_min":..,"len_max":..,"period_cycles":..,"response_len":..,"silence_pending":..,
// "corrupt_pending":..},...]`, by identifier.
std::string truth_json(const std::map<uint16_t, IdentifierTruth>& truth);

// An identifier written 0x0123 or decimal, within 16 bits.
std::optional<uint16_t> parse_identifier(std::string_view word);

} // namespace capvane_sim

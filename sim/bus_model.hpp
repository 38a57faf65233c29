// The traffic of a FIP bus under one arbitrator: a macrocycle of periodic variable exchanges
// with an aperiodic window, timed from the bit rate. Pure simulation: no clocks, no threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fault_plan.hpp"
#include "record_format.hpp"

namespace capvane_sim {

struct BusFrame {
    std::array<uint8_t, kMaxFrameBytes> bytes{};
    uint16_t len = 0;
    uint64_t end_ns = 0;      // bus time at the end delimiter
    uint32_t duration_ns = 0; // preamble to end delimiter
    uint32_t silence_ns = 0;  // silence between the previous frame and this one
    uint16_t truth_id = 0;    // identifier this frame polls or answers, with `mark`
    TruthMark mark = TruthMark::none;
};

// Small deterministic generator, so that a seed reproduces a run.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // Uniform in [lo, hi].
    uint32_t range(uint32_t lo, uint32_t hi) {
        return lo + static_cast<uint32_t>(next() % (hi - lo + 1));
    }
    bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1.0p-53 < p; }

private:
    uint64_t state_;
};

// One identifier of the periodic scan.
struct ScanSlot {
    uint16_t id = 0;
    uint32_t period_cycles = 0; // polled every that many elementary cycles
    uint16_t response_len = 0;  // bytes of its periodic responses, control byte and FCS included
};

constexpr uint32_t kMaxScanPeriodCycles = 1000;
constexpr uint16_t kMinResponseLen = 5;     // control, PDU type, length byte and FCS: no data
constexpr uint16_t kMaxResponseLen = 131;   // 126 data bytes: the longest a frame check accepts
constexpr std::size_t kMaxScanSlots = 128;  // with its answers, well within a cycle's plan
constexpr uint16_t kDefaultResponseLen = 8; // a new slot's responses when no length is given

class BusModel {
public:
    // bitrate in bit/s (any positive value; the card accepts the four FIP rates), FCS type 1/2.
    BusModel(uint32_t bitrate, int fcs_type, uint64_t seed);

    // The next frame on the bus; bus time moves to its end.
    void next(BusFrame& out);

    // Bus time at the end of the last frame given, ns.
    uint64_t now_ns() const { return now_ns_; }

    // The bus stays silent for delta_ns more (pause, sniffer off): later frames come that late.
    void shift(uint64_t delta_ns);

    // Mean frames per second of this bus, measured once at construction.
    double frames_per_second() const { return frames_per_second_; }

    // Length of one elementary cycle, ns.
    uint64_t cycle_ns() const { return cycle_ns_; }

    // Faults asked of single identifiers; they act on the frames planned from now on.
    FaultPlan& faults() { return faults_; }
    const FaultPlan& faults() const { return faults_; }

    // The periodic scan, in scan order (by identifier).
    std::vector<ScanSlot> scan_plan() const;

    // Changes to the arbitrator's scan, from the next elementary cycle planned on: `id` polled
    // every `period_cycles` with responses of `response_len` bytes (its slot replaced, or a new
    // one in identifier order), or no longer polled at all, periodically or aperiodically. Each
    // returns the slot as it was before, if `id` had one. schedule() refuses (nullopt and false)
    // a new identifier beyond kMaxScanSlots.
    std::optional<ScanSlot> schedule(uint16_t id, uint32_t period_cycles, uint16_t response_len,
                                     bool& done);
    std::optional<ScanSlot> unschedule(uint16_t id);
    std::optional<ScanSlot> slot(uint16_t id) const;

private:
    struct Variable {
        uint16_t id;
        uint8_t payload_len;    // data bytes after control, PDU type and length byte
        uint32_t period_cycles; // produced every that many elementary cycles
        uint8_t pdu_type;
        uint16_t refresh_cnt;
    };
    struct Planned {
        std::array<uint8_t, kMaxFrameBytes> bytes{};
        uint16_t len = 0;
        uint32_t silence_bits = 0; // minimum silence before it, in bit times
        bool cycle_start = false;  // the first frame of an elementary cycle
        uint16_t truth_id = 0;
        TruthMark mark = TruthMark::none;
    };

    Planned& plan_frame(uint32_t silence_bits);
    // Plans the identifier frame of a poll; false when the producer is to stay silent.
    bool plan_poll(uint8_t control, uint16_t id, bool first_of_cycle);
    // Marks `frame` as the answer of `id` and spoils its FCS when a corruption is due.
    void mark_response(Planned& frame, uint16_t id);
    void finish_frame(Planned& frame);
    void plan_cycle();
    void plan_aperiodic_window();
    uint32_t turnaround_bits();

    uint64_t bit_ps_; // one Manchester bit time, ps
    int fcs_type_;
    SplitMix64 rng_;
    std::vector<Variable> variables_;
    std::vector<Planned> plan_;
    std::size_t plan_pos_ = 0;
    std::size_t plan_len_ = 0;
    uint64_t cycle_cnt_ = 0;
    uint64_t cycle_ns_ = 0;
    uint64_t cycle_start_ns_ = 0;
    uint64_t now_ns_ = 0;
    uint32_t message_cnt_ = 0;
    double frames_per_second_ = 0;
    FaultPlan faults_;
};

} // namespace capvane_sim

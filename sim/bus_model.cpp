#include "bus_model.hpp"

#include <algorithm>

#include "fcs.hpp"

namespace capvane_sim {

namespace {

// Physical framing around every frame: preamble, start delimiter and end delimiter.
constexpr uint32_t kPreambleBits = 8;
constexpr uint32_t kDelimiterBits = 8;
constexpr uint32_t kFramingBits = kPreambleBits + 2 * kDelimiterBits;
// Time a station takes to answer an identifier (and the arbitrator to go on), in bit times.
constexpr uint32_t kTurnaroundMinBits = 20;
constexpr uint32_t kTurnaroundMaxBits = 40;
// Time the arbitrator waits for a producer that does not answer, in bit times.
constexpr uint32_t kSilenceBits = 150;
// Share of an elementary cycle the scheduled traffic may fill.
constexpr double kTargetLoad = 0.7;
// Bits set aside in each cycle for the aperiodic window.
constexpr uint32_t kAperiodicReserveBits = 1200;
constexpr uint64_t kCycleRoundingNs = 1'000'000; // cycles are whole ms
constexpr uint32_t kMaxPlannedFrames = 512;      // more than any cycle plans
constexpr uint32_t kRateProbeCycles = 64;        // cycles simulated to learn the frame rate
constexpr double kMissingProducerChance = 0.002; // identifier left unanswered
constexpr double kRequestFlagChance = 0.05;      // producer flags a request in its response

uint32_t variables_for(uint32_t bitrate) {
    if (bitrate <= 31250) {
        return 4;
    }
    if (bitrate <= 1000000) {
        return 16;
    }
    if (bitrate <= 2500000) {
        return 24;
    }
    return 32;
}

} // namespace

uint64_t SplitMix64::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

BusModel::BusModel(uint32_t bitrate, int fcs_type, uint64_t seed)
    : bit_ps_(1'000'000'000'000ull / std::max<uint32_t>(bitrate, 1)), fcs_type_(fcs_type),
      rng_(seed), plan_(kMaxPlannedFrames) {
    const uint32_t count = variables_for(bitrate);
    uint64_t scheduled_bits = kAperiodicReserveBits;
    for (uint32_t i = 0; i < count; ++i) {
        Variable v{};
        v.id = static_cast<uint16_t>(0x0100 + i * 0x11);
        // Mostly short process values, a few larger blocks as on real installations.
        const uint32_t size_class = rng_.range(0, 9);
        v.payload_len = static_cast<uint8_t>(size_class < 6   ? rng_.range(2, 8)
                                             : size_class < 9 ? rng_.range(9, 32)
                                                              : rng_.range(33, 124));
        const uint32_t period_class = rng_.range(0, 3);
        v.period_cycles = period_class < 2 ? 1 : period_class == 2 ? 2 : 4;
        v.pdu_type = rng_.chance(0.2) ? 0x50 : 0x40;
        v.refresh_cnt = static_cast<uint16_t>(rng_.next());
        variables_.push_back(v);
        scheduled_bits += 2 * (kFramingBits + kTurnaroundMaxBits) + 8 * (5 + 5 + v.payload_len);
    }
    const double busy_ns =
        static_cast<double>(scheduled_bits) * static_cast<double>(bit_ps_) / 1000.0 / kTargetLoad;
    cycle_ns_ = (static_cast<uint64_t>(busy_ns) / kCycleRoundingNs + 1) * kCycleRoundingNs;

    // Learn the mean rate on a copy, so that pacing by records per second can scale bus time.
    BusModel probe = *this;
    BusFrame frame;
    uint64_t frames = 0;
    while (probe.cycle_cnt_ < kRateProbeCycles + 1) {
        probe.next(frame);
        ++frames;
    }
    frames_per_second_ = static_cast<double>(frames) * 1e9 / static_cast<double>(probe.now_ns_);
}

uint32_t BusModel::turnaround_bits() {
    return rng_.range(kTurnaroundMinBits, kTurnaroundMaxBits);
}

BusModel::Planned& BusModel::plan_frame(uint32_t silence_bits) {
    // The plan never grows past what a cycle needs; reuse the last slot rather than overflow.
    Planned& frame = plan_[std::min<std::size_t>(plan_len_, plan_.size() - 1)];
    if (plan_len_ < plan_.size()) {
        ++plan_len_;
    }
    frame.len = 0;
    frame.silence_bits = silence_bits;
    frame.cycle_start = false;
    frame.truth_id = 0;
    frame.mark = TruthMark::none;
    return frame;
}

void BusModel::finish_frame(Planned& frame) {
    append_fcs(fcs_type_, frame.bytes.data(), frame.len);
    frame.len = static_cast<uint16_t>(frame.len + 2);
}

bool BusModel::plan_poll(uint8_t control, uint16_t id, bool first_of_cycle) {
    Planned& frame = plan_frame(turnaround_bits());
    frame.cycle_start = first_of_cycle;
    frame.bytes[0] = control;
    frame.bytes[1] = static_cast<uint8_t>(id >> 8);
    frame.bytes[2] = static_cast<uint8_t>(id);
    frame.len = 3;
    finish_frame(frame);
    frame.truth_id = id;
    // Only periodic producers fail by chance; any poll may be silenced on request.
    const bool by_chance = control == 0x03 && rng_.chance(kMissingProducerChance);
    const bool silent = by_chance || faults_.take_silence(id);
    frame.mark = silent ? TruthMark::silenced_poll : TruthMark::poll;
    return !silent;
}

void BusModel::mark_response(Planned& frame, uint16_t id) {
    frame.truth_id = id;
    frame.mark = TruthMark::response;
    if (faults_.take_corrupt(id)) {
        frame.bytes[frame.len - 1] ^= 0xFF;
        frame.mark = TruthMark::corrupted_response;
    }
}

namespace {

// The response frame: control, PDU type, length byte, the data and the FCS.
uint16_t response_len_of(uint8_t payload_len) {
    return static_cast<uint16_t>(kMinResponseLen + payload_len);
}

} // namespace

std::vector<ScanSlot> BusModel::scan_plan() const {
    std::vector<ScanSlot> plan;
    for (const Variable& v : variables_) {
        plan.push_back(ScanSlot{v.id, v.period_cycles, response_len_of(v.payload_len)});
    }
    return plan;
}

std::optional<ScanSlot> BusModel::slot(uint16_t id) const {
    for (const Variable& v : variables_) {
        if (v.id == id) {
            return ScanSlot{v.id, v.period_cycles, response_len_of(v.payload_len)};
        }
    }
    return std::nullopt;
}

std::optional<ScanSlot> BusModel::schedule(uint16_t id, uint32_t period_cycles,
                                           uint16_t response_len, bool& done) {
    const auto payload = static_cast<uint8_t>(
        std::clamp(response_len, kMinResponseLen, kMaxResponseLen) - kMinResponseLen);
    const auto at = std::find_if(variables_.begin(), variables_.end(),
                                 [id](const Variable& v) { return v.id >= id; });
    if (at != variables_.end() && at->id == id) {
        const std::optional<ScanSlot> before = slot(id);
        at->period_cycles = std::max<uint32_t>(period_cycles, 1);
        at->payload_len = payload;
        done = true;
        return before;
    }
    done = variables_.size() < kMaxScanSlots;
    if (done) {
        Variable v{};
        v.id = id;
        v.payload_len = payload;
        v.period_cycles = std::max<uint32_t>(period_cycles, 1);
        v.pdu_type = 0x40;
        variables_.insert(at, v);
    }
    return std::nullopt;
}

std::optional<ScanSlot> BusModel::unschedule(uint16_t id) {
    const std::optional<ScanSlot> before = slot(id);
    std::erase_if(variables_, [id](const Variable& v) { return v.id == id; });
    return before;
}

void BusModel::plan_cycle() {
    plan_pos_ = 0;
    plan_len_ = 0;
    bool first = true;
    for (Variable& v : variables_) {
        if (cycle_cnt_ % v.period_cycles != 0) {
            continue;
        }
        const bool answered = plan_poll(0x03, v.id, first);
        first = false;
        if (!answered) {
            continue; // the next identifier follows after the arbitrator's silence time
        }
        Planned& rp = plan_frame(turnaround_bits());
        uint8_t control = 0x02;
        if (rng_.chance(kRequestFlagChance)) {
            static constexpr uint8_t kFlagged[] = {0x06, 0x0A, 0x0E};
            control = kFlagged[rng_.range(0, 2)];
        }
        rp.bytes[0] = control;
        rp.bytes[1] = v.pdu_type;
        rp.bytes[2] = v.payload_len;
        ++v.refresh_cnt;
        rp.bytes[3] = static_cast<uint8_t>(v.refresh_cnt >> 8);
        rp.bytes[4] = static_cast<uint8_t>(v.refresh_cnt);
        for (uint32_t i = 2; i < v.payload_len; ++i) {
            rp.bytes[3 + i] = static_cast<uint8_t>(v.id + i * 7 + (v.refresh_cnt >> 3));
        }
        rp.len = static_cast<uint16_t>(3 + v.payload_len);
        finish_frame(rp);
        mark_response(rp, v.id);
    }
    plan_aperiodic_window();
    if (first && plan_len_ > 0) {
        plan_[0].cycle_start = true;
    }
}

void BusModel::plan_aperiodic_window() {
    const uint16_t station_id = static_cast<uint16_t>(0x0200 + rng_.range(0, 15));
    if (rng_.chance(0.3) && plan_poll(0x09, station_id, false)) {
        // Request list: the arbitrator asks a station which identifiers it wants scanned.
        Planned& rq = plan_frame(turnaround_bits());
        rq.bytes[0] = rng_.chance(0.9) ? 0x08 : 0x28;
        const uint32_t wanted = rng_.range(1, 8);
        rq.len = 1;
        for (uint32_t i = 0; i < wanted; ++i) {
            const uint16_t wanted_id = static_cast<uint16_t>(0x0100 + rng_.range(0, 31) * 0x11);
            rq.bytes[rq.len++] = static_cast<uint8_t>(wanted_id >> 8);
            rq.bytes[rq.len++] = static_cast<uint8_t>(wanted_id);
        }
        finish_frame(rq);
        mark_response(rq, station_id);
    }
    if (rng_.chance(0.2) && plan_poll(0x05, station_id, false)) {
        // Aperiodic message: identifier, message, acknowledgement or end of transaction.
        Planned& msg = plan_frame(turnaround_bits());
        const uint32_t kind = rng_.range(0, 9);
        const uint8_t control = kind < 6 ? 0x14 : kind < 9 ? 0x04 : 0x94;
        msg.bytes[0] = control;
        // Destination and source link addresses, 3 bytes each.
        const uint8_t dest = static_cast<uint8_t>(rng_.range(1, 60));
        msg.bytes[1] = 0x00;
        msg.bytes[2] = dest;
        msg.bytes[3] = 0x00;
        msg.bytes[4] = 0x00;
        msg.bytes[5] = static_cast<uint8_t>(station_id);
        msg.bytes[6] = 0x00;
        const uint32_t data_len = rng_.chance(0.9) ? rng_.range(0, 64) : rng_.range(65, 256);
        ++message_cnt_;
        for (uint32_t i = 0; i < data_len; ++i) {
            msg.bytes[7 + i] = static_cast<uint8_t>(message_cnt_ + i);
        }
        msg.len = static_cast<uint16_t>(7 + data_len);
        finish_frame(msg);
        mark_response(msg, station_id);
        if (control != 0x04) {
            Planned& ack = plan_frame(turnaround_bits());
            ack.bytes[0] = control == 0x94 ? (rng_.chance(0.5) ? 0xB0 : 0x90)
                                           : (rng_.chance(0.95) ? 0x30 : 0x10);
            ack.len = 1;
            finish_frame(ack);
        }
        Planned& fin = plan_frame(turnaround_bits());
        fin.bytes[0] = 0x40;
        fin.len = 1;
        finish_frame(fin);
    }
    // Drawn before the scan is looked at, so that a seed gives the bus it gave before.
    if (rng_.chance(0.15) && !variables_.empty()) {
        // Aperiodic variable asked for through a request list.
        const Variable& v = variables_[rng_.range(0, static_cast<uint32_t>(variables_.size() - 1))];
        if (!plan_poll(0x29, v.id, false)) {
            return;
        }
        Planned& rp = plan_frame(turnaround_bits());
        rp.bytes[0] = rng_.chance(0.5) ? 0x2A : 0x2E;
        rp.bytes[1] = v.pdu_type;
        rp.bytes[2] = 2;
        rp.bytes[3] = static_cast<uint8_t>(v.refresh_cnt >> 8);
        rp.bytes[4] = static_cast<uint8_t>(v.refresh_cnt);
        rp.len = 5;
        finish_frame(rp);
        mark_response(rp, v.id);
    }
}

void BusModel::next(BusFrame& out) {
    while (plan_pos_ >= plan_len_) {
        if (cycle_cnt_ > 0 || plan_len_ > 0) {
            cycle_start_ns_ += cycle_ns_;
        }
        plan_cycle();
        ++cycle_cnt_;
    }
    const Planned& p = plan_[plan_pos_++];
    // A frame that follows an unanswered identifier waits for the silence time instead.
    uint64_t silence_bits = p.silence_bits;
    if (plan_pos_ >= 2 && !p.cycle_start) {
        const Planned& prev = plan_[plan_pos_ - 2];
        const uint8_t prev_ctrl = prev.bytes[0];
        const bool prev_is_id =
            prev_ctrl == 0x03 || prev_ctrl == 0x05 || prev_ctrl == 0x09 || prev_ctrl == 0x29;
        const bool this_is_id =
            p.bytes[0] == 0x03 || p.bytes[0] == 0x05 || p.bytes[0] == 0x09 || p.bytes[0] == 0x29;
        if (prev_is_id && this_is_id) {
            silence_bits = kSilenceBits;
        }
    }
    uint64_t start_ns = now_ns_ + silence_bits * bit_ps_ / 1000;
    if (p.cycle_start) {
        start_ns = std::max(start_ns, cycle_start_ns_);
    }
    const uint64_t duration_ns = (kFramingBits + 8ull * p.len) * bit_ps_ / 1000;
    out.bytes = p.bytes;
    out.len = p.len;
    out.silence_ns = static_cast<uint32_t>(std::min<uint64_t>(start_ns - now_ns_, UINT32_MAX));
    out.duration_ns = static_cast<uint32_t>(duration_ns);
    out.end_ns = start_ns + duration_ns;
    out.truth_id = p.truth_id;
    out.mark = p.mark;
    now_ns_ = out.end_ns;
}

void BusModel::shift(uint64_t delta_ns) {
    now_ns_ += delta_ns;
    cycle_start_ns_ += delta_ns;
}

} // namespace capvane_sim

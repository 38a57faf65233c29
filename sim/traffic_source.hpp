// Where a card's records come from: the simulated bus, or a replayed capture file, up to the
// session's record limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "buffer_packer.hpp"
#include "bus_model.hpp"
#include "card_stats.hpp"
#include "config.hpp"
#include "replay.hpp"
#include "time_base.hpp"

namespace capvane_sim {

// Not thread-safe: used under the card's lock.
class TrafficSource {
public:
    // A replay when the configuration names a file (its problems go to stderr), a bus otherwise.
    explicit TrafficSource(const SimConfig& cfg);

    // Null for a replay.
    BusModel* bus() { return bus_ ? &*bus_ : nullptr; }
    const BusModel* bus() const { return bus_ ? &*bus_ : nullptr; }

    // Whether another record is to come (the record limit and the end of a replay stop it).
    bool has_next() const;
    // Bus time at which the next record ends. Only while has_next().
    uint64_t next_sim_ns();
    // Bytes the next record takes in a buffer. Only while has_next().
    std::size_t next_record_bytes();
    // Packs the next record; a bus frame also counts into the per-identifier truth.
    void pack_next(BufferPacker& packer, const TimeBase& time, CardStats& stats);

    // The bus stayed silent up to `target_ns` (pause, sniffer off): the next frame comes that
    // late. Only for a bus with a frame due before `target_ns`.
    void skip_to(uint64_t target_ns);
    // Whether a bus frame is already planned (it is skipped forward rather than the clock).
    bool bus_frame_pending() const { return bus_ && pending_frame_; }

private:
    const std::optional<uint64_t> record_limit_;
    uint64_t replay_interval_ns_ = 0;
    std::optional<BusModel> bus_;
    std::optional<ReplaySource> replay_;
    std::optional<BusFrame> pending_frame_;
    uint64_t records_ = 0;
};

} // namespace capvane_sim

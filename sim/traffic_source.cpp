#include "traffic_source.hpp"

#include <algorithm>
#include <cstdio>

namespace capvane_sim {

TrafficSource::TrafficSource(const SimConfig& cfg) : record_limit_(cfg.record_limit) {
    if (!cfg.replay_path.empty()) {
        replay_.emplace(cfg.replay_path);
        if (!replay_->error().empty()) {
            std::fprintf(stderr, "capvane-sim: replay: %s\n", replay_->error().c_str());
        }
        if (cfg.pace_records_per_sec) {
            replay_interval_ns_ = static_cast<uint64_t>(1e9 / *cfg.pace_records_per_sec);
        }
    } else {
        bus_.emplace(cfg.bitrate, cfg.fcs_type, cfg.seed);
    }
}

bool TrafficSource::has_next() const {
    if (record_limit_ && records_ >= *record_limit_) {
        return false;
    }
    if (replay_) {
        return !replay_->exhausted();
    }
    return bus_.has_value();
}

uint64_t TrafficSource::next_sim_ns() {
    if (replay_) {
        return records_ * replay_interval_ns_;
    }
    if (!pending_frame_) {
        pending_frame_.emplace();
        bus_->next(*pending_frame_);
    }
    return pending_frame_->end_ns;
}

std::size_t TrafficSource::next_record_bytes() {
    if (replay_) {
        std::size_t len = 0;
        replay_->peek(len);
        return len;
    }
    next_sim_ns(); // makes sure a frame is pending
    return kRecordHeaderBytes + pending_frame_->len;
}

void TrafficSource::pack_next(BufferPacker& packer, const TimeBase& time, CardStats& stats) {
    if (replay_) {
        std::size_t len = 0;
        const uint8_t* record = replay_->peek(len);
        packer.copy_record(record, len);
        replay_->advance();
    } else {
        next_sim_ns(); // makes sure a frame is pending
        const BusFrame& f = *pending_frame_;
        packer.pack_frame(f.bytes.data(), f.len, packer.next_index(), 0, time.stamp(f.end_ns),
                          f.duration_ns, f.silence_ns);
        count_truth(stats.identifiers, f.truth_id, f.mark, f.len);
        pending_frame_.reset();
    }
    ++records_;
}

void TrafficSource::skip_to(uint64_t target_ns) {
    const uint64_t next = pending_frame_->end_ns;
    if (target_ns > next) {
        const uint64_t delta = target_ns - next;
        bus_->shift(delta);
        pending_frame_->end_ns += delta;
        pending_frame_->silence_ns = static_cast<uint32_t>(
            std::min<uint64_t>(uint64_t{pending_frame_->silence_ns} + delta, UINT32_MAX));
    }
}

} // namespace capvane_sim

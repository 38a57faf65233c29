#include "card.hpp"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace capvane_sim {

Card::Mode Card::mode_for(const SimConfig& cfg, const TrafficSource& source) {
    if (source.bus() == nullptr) {
        // A replay is a fixed set of records: hand them all over rather than lose some.
        return cfg.pace_records_per_sec ? Mode::paced : Mode::on_demand;
    }
    if (cfg.pace_max) {
        return Mode::on_demand;
    }
    return cfg.pace_records_per_sec ? Mode::paced : Mode::realtime;
}

Card::Card(int number, uint64_t session, const SimConfig& cfg)
    : number_(number), serial_(card_serial(cfg, number, ::getpid())), bitrate_(cfg.bitrate),
      flush_(cfg.flush_ms), report_path_(cfg.report_path), source_(cfg),
      mode_(mode_for(cfg, source_)), packer_(cfg.fcs_type, cfg.bitrate, cfg.ring_buffers,
                                             mode_ != Mode::on_demand, stats_, reader_cv_),
      paused_(cfg.start_paused) {
    stats_.card = number;
    stats_.session = session;
    stats_.serial = serial_;
    stats_.pid = ::getpid();
    const auto staged = [](bool on) { return on ? std::optional<int>(EIO) : std::nullopt; };
    faults_.staged(FailRequest::infos) = staged(cfg.fail_infos);
    faults_.staged(FailRequest::epoch) = staged(cfg.fail_epoch);
    faults_.staged(FailRequest::sniffer_on) = staged(cfg.fail_sniffer_on);
    faults_.staged(FailRequest::sniffer_off) = staged(cfg.fail_sniffer_off);
    if (mode_ == Mode::paced && source_.bus() != nullptr) {
        time_.set_wall_per_sim(source_.bus()->frames_per_second() / *cfg.pace_records_per_sec);
    }
    time_.anchor(0, Clock::now());
    if (mode_ != Mode::on_demand) {
        traffic_thread_ = std::thread(&Card::_bkgd_traffic_func, this);
    }
}

Card::~Card() {
    end_session();
}

void Card::end_session() {
    {
        std::lock_guard lk(mu_);
        if (ended_) {
            return;
        }
        ended_ = true;
        stopping_ = true;
    }
    producer_cv_.notify_all();
    reader_cv_.notify_all();
    if (traffic_thread_.joinable()) {
        traffic_thread_.join();
    }
    if (!report_path_.empty()) {
        // The same object as `stats`, scan and pending faults included, so that a test may read
        // either.
        CardStats copy;
        {
            std::lock_guard lk(mu_);
            copy = snapshot();
        }
        if (!write_report(report_path_, copy)) {
            std::fprintf(stderr, "capvane-sim: cannot write the report %s\n", report_path_.c_str());
        }
    }
}

uint64_t Card::sim_now_ns(Clock::time_point now) const {
    if (mode_ == Mode::on_demand) {
        return source_.bus() != nullptr ? source_.bus()->now_ns() : 0;
    }
    return time_.sim_at(now);
}

std::string Card::stats_json() {
    std::lock_guard lk(mu_);
    return to_json(snapshot());
}

CardStats Card::snapshot() const {
    CardStats copy = stats_;
    copy.sniffer = sniffer_;
    copy.paused = paused_;
    copy.unplugged = unplugged_.load();
    if (const BusModel* bus = source_.bus()) {
        for (const ScanSlot& s : bus->scan_plan()) {
            copy.identifiers[s.id].period_cycles = s.period_cycles;
            copy.identifiers[s.id].response_len = s.response_len;
        }
        for (const auto& [id, left] : bus->faults().silences()) {
            copy.identifiers[id].silence_pending = left;
        }
        for (const auto& [id, left] : bus->faults().corruptions()) {
            copy.identifiers[id].corrupt_pending = left;
        }
    }
    return copy;
}

} // namespace capvane_sim

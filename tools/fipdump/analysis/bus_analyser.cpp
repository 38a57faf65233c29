#include "tools/fipdump/analysis/bus_analyser.hpp"

#include <algorithm>
#include <variant>

#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

std::string address_text(std::uint32_t addr) {
    return std::to_string((addr >> 24) & 0xFFU) + "." + std::to_string((addr >> 16) & 0xFFU) + "." +
           std::to_string((addr >> 8) & 0xFFU) + "." + std::to_string(addr & 0xFFU);
}

namespace {
constexpr std::int64_t kCompareEveryUs = 1'000'000;
} // namespace

const wire::IdentifierDeviations* GatewayBus::deviations_of(std::uint16_t id) const {
    const auto at =
        std::lower_bound(deviations.begin(), deviations.end(), id,
                         [](const auto& d, std::uint16_t wanted) { return d.id < wanted; });
    return at != deviations.end() && at->id == id ? &*at : nullptr;
}

std::string deviation_names(const wire::IdentifierDeviations& d) {
    std::string out;
    for (std::size_t k = 0; k < wire::kDeviationCount; ++k) {
        if (d.since_us[k] != 0) {
            if (!out.empty()) {
                out += ',';
            }
            out += wire::deviation_name(static_cast<wire::Deviation>(k));
        }
    }
    return out;
}

void BusAnalyser::set_baseline(std::shared_ptr<const BaselineInUse> baseline) {
    std::lock_guard<std::mutex> guard(lock);
    baseline_ = std::move(baseline);
}

void BusAnalyser::compare(const wire::TransactionWalker& walker, Comparison& c, bool now) const {
    const std::int64_t t = walker.bus().last_seen_us;
    if (t == c.compared_us || (!now && t - c.compared_us < kCompareEveryUs)) {
        return;
    }
    c.compared_us = t;
    c.log.update(
        wire::compare_with_baseline(baseline_->baseline, walker.identifiers(), walker.bus()));
}

void BusAnalyser::on_datagram(const Received& r, const wire::Datagram& d,
                              const DatagramVerdict& verdict) {
    const bool foreign = !d.ok() && (d.error->fault == wire::Fault::short_header ||
                                     d.error->fault == wire::Fault::bad_magic ||
                                     d.error->fault == wire::Fault::bad_constant);
    if (verdict.seq == SeqVerdict::duplicate || foreign) {
        return; // seen before, or not the gateway's at all
    }
    const std::int64_t time_us = unix_micros(r.time);
    std::lock_guard<std::mutex> guard(lock);
    auto& walk = walkers[r.from.addr];
    if (!walk) {
        walk = std::make_unique<Walk>(missing_threshold);
    }
    wire::TransactionWalker& walker = walk->walker;
    wire::StreamWatch& watch = walk->watch;
    watch.on_datagram(time_us);
    if (verdict.seq == SeqVerdict::gap || verdict.seq == SeqVerdict::restart) {
        walker.on_break();
    }
    if (verdict.seq == SeqVerdict::gap) {
        watch.on_loss(time_us, verdict.missing);
    } else if (verdict.seq == SeqVerdict::restart) {
        watch.on_restart(time_us);
    }
    for (const wire::Event& e : d.events) {
        if (const auto* rec = std::get_if<wire::CaptureRecord>(&e)) {
            walker.on_record(*rec, time_us);
            watch.on_capture(time_us, rec->frame.empty() ? 0 : 1);
        } else if (const auto* ls = std::get_if<wire::LifesignRecord>(&e)) {
            watch.on_lifesign(time_us, ls->fip_is_active != 0);
        }
    }
    if (!d.ok()) {
        walker.on_break(); // whatever followed the fault in this datagram is lost
    }
    if (baseline_) {
        compare(walker, walk->comparison, false);
    }
}

std::vector<GatewayBus> BusAnalyser::snapshot(std::chrono::system_clock::time_point now,
                                              bool ended) const {
    const std::int64_t now_us = unix_micros(now);
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [addr, walk] : walkers) {
        const wire::StreamWatch& w = walk->watch;
        GatewayBus g;
        g.addr = addr;
        g.bus = walk->walker.bus();
        g.ids = walk->walker.identifiers();
        g.scan = walk->walker.scan();
        g.stream = w.state(now_us, ended);
        g.stream_since_us = w.state_since(now_us, ended);
        g.frame_rate = ended ? 0.0 : w.frame_rate(now_us);
        g.restarts = w.restarts();
        g.last_restart_us = w.last_restart_us();
        g.lost_datagrams = w.lost_datagrams();
        g.last_loss_us = w.last_loss_us();
        if (baseline_) {
            g.baseline = baseline_;
            compare(walk->walker, walk->comparison, true); // under the lock, as on_datagram
            g.deviations = walk->comparison.log.current();
        }
        out.push_back(std::move(g));
    }
    return out;
}

} // namespace fipdump

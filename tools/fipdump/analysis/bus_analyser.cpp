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
    auto& walker = walkers[r.from.addr];
    if (!walker) {
        walker = std::make_unique<wire::TransactionWalker>();
    }
    if (verdict.seq == SeqVerdict::gap || verdict.seq == SeqVerdict::restart) {
        walker->on_break();
    }
    for (const wire::Event& e : d.events) {
        if (const auto* rec = std::get_if<wire::CaptureRecord>(&e)) {
            walker->on_record(*rec, time_us);
        }
    }
    if (!d.ok()) {
        walker->on_break(); // whatever followed the fault in this datagram is lost
    }
    if (baseline_) {
        compare(*walker, comparisons[r.from.addr], false);
    }
}

std::vector<GatewayBus> BusAnalyser::snapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [addr, walker] : walkers) {
        out.push_back({addr, walker->bus(), walker->identifiers(), walker->scan(), baseline_, {}});
        if (baseline_) {
            Comparison& c = comparisons[addr];
            compare(*walker, c, true);
            out.back().deviations = c.log.current();
        }
    }
    return out;
}

} // namespace fipdump

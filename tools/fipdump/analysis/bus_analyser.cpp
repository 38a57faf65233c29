#include "tools/fipdump/analysis/bus_analyser.hpp"

#include <algorithm>
#include <variant>

#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

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

void BusAnalyser::feed(const std::string& name, const Held& h) {
    auto& walk = walkers[name];
    if (!walk) {
        walk = std::make_unique<Walk>(missing_threshold);
    }
    wire::TransactionWalker& walker = walk->walker;
    wire::StreamWatch& watch = walk->watch;
    watch.on_datagram(h.time_us);
    // A restart or a gap breaks a stream already followed; a new bus has nothing to break.
    if ((h.seq == SeqVerdict::gap || h.seq == SeqVerdict::restart) && walker.bus().frames != 0) {
        walker.on_break();
    }
    if (h.seq == SeqVerdict::gap) {
        watch.on_loss(h.time_us, h.missing);
    } else if (h.seq == SeqVerdict::restart) {
        watch.on_restart(h.time_us);
    }
    for (const wire::Event& e : h.datagram.events) {
        if (const auto* rec = std::get_if<wire::CaptureRecord>(&e)) {
            walker.on_record(*rec, h.time_us);
            watch.on_capture(h.time_us, rec->frame.empty() ? 0 : 1);
        } else if (const auto* ls = std::get_if<wire::LifesignRecord>(&e)) {
            watch.on_lifesign(h.time_us, ls->fip_is_active != 0);
        }
    }
    if (!h.datagram.ok()) {
        walker.on_break(); // whatever followed the fault in this datagram is lost
    }
    if (baseline_) {
        compare(walker, walk->comparison, false);
    }
}

void BusAnalyser::release(const Sender& from, const std::string& name) {
    const auto q = held.find(from);
    if (q == held.end()) {
        return;
    }
    for (const Held& h : q->second) {
        feed(name, h);
    }
    held.erase(q);
}

void BusAnalyser::rename(const Sender& from, const std::string& name) {
    const auto s = settled.find(from);
    if (s == settled.end()) {
        return;
    }
    // Analysed under its address and port for want of a lifesign, it goes on under its card's
    // name; when that bus exists already, the two cannot be merged: the card's bus takes a break.
    const auto old = walkers.find(s->second);
    if (old != walkers.end()) {
        auto& target = walkers[name];
        if (!target) {
            target = std::move(old->second);
        } else {
            target->walker.on_break();
        }
        walkers.erase(s->second);
    }
    settled.erase(s);
}

void BusAnalyser::on_datagram(const Received& r, const wire::Datagram& d,
                              const DatagramVerdict& verdict) {
    const bool foreign = !d.ok() && (d.error->fault == wire::Fault::short_header ||
                                     d.error->fault == wire::Fault::bad_magic ||
                                     d.error->fault == wire::Fault::bad_constant);
    if (verdict.seq == SeqVerdict::duplicate || foreign) {
        return; // seen before, or not the gateway's at all
    }
    const Held h{d, unix_micros(r.time), verdict.seq, verdict.missing};
    std::lock_guard<std::mutex> guard(lock);
    if (const auto card = names.on_datagram(r.from, d)) {
        rename(r.from, *card);
        release(r.from, *card);
        feed(*card, h);
        return;
    }
    if (const auto s = settled.find(r.from); s != settled.end()) {
        feed(s->second, h);
        return;
    }
    auto& q = held[r.from];
    q.push_back(h);
    const auto waited = std::chrono::microseconds(h.time_us - q.front().time_us);
    if (q.size() >= kHeldDatagrams || waited >= kHeldTime) {
        // No lifesign names the card (lifesigns switched off, or a gateway that cannot read
        // its card): the sender is its own bus under its address and port.
        const std::string name = to_string(r.from);
        settled[r.from] = name;
        release(r.from, name);
    }
}

void BusAnalyser::finish() {
    std::lock_guard<std::mutex> guard(lock);
    while (!held.empty()) {
        const Sender from = held.begin()->first;
        settled[from] = to_string(from);
        release(from, settled[from]);
    }
}

std::vector<GatewayBus> BusAnalyser::snapshot(std::chrono::system_clock::time_point now,
                                              bool ended) const {
    const std::int64_t now_us = unix_micros(now);
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [name, walk] : walkers) {
        const wire::StreamWatch& w = walk->watch;
        GatewayBus g{name, walk->walker.bus(), walk->walker.identifiers(), walk->walker.scan()};
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

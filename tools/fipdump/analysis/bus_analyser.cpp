#include "tools/fipdump/analysis/bus_analyser.hpp"

#include <variant>

#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

std::string address_text(std::uint32_t addr) {
    return std::to_string((addr >> 24) & 0xFFU) + "." + std::to_string((addr >> 16) & 0xFFU) + "." +
           std::to_string((addr >> 8) & 0xFFU) + "." + std::to_string(addr & 0xFFU);
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
}

std::vector<GatewayBus> BusAnalyser::snapshot(std::chrono::system_clock::time_point now,
                                              bool ended) const {
    const std::int64_t now_us = unix_micros(now);
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [addr, walk] : walkers) {
        const wire::StreamWatch& w = walk->watch;
        GatewayBus g{addr, walk->walker.bus(), walk->walker.identifiers(), walk->walker.scan()};
        g.stream = w.state(now_us, ended);
        g.stream_since_us = w.state_since(now_us, ended);
        g.frame_rate = ended ? 0.0 : w.frame_rate(now_us);
        g.restarts = w.restarts();
        g.last_restart_us = w.last_restart_us();
        g.lost_datagrams = w.lost_datagrams();
        g.last_loss_us = w.last_loss_us();
        out.push_back(std::move(g));
    }
    return out;
}

} // namespace fipdump

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
}

std::vector<GatewayBus> BusAnalyser::snapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [addr, walker] : walkers) {
        out.push_back({addr, walker->bus(), walker->identifiers(), walker->scan()});
    }
    return out;
}

} // namespace fipdump

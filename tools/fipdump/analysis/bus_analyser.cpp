#include "tools/fipdump/analysis/bus_analyser.hpp"

#include <variant>

#include "tools/fipdump/output/iso_time.hpp"

namespace fipdump {

void BusAnalyser::feed(const std::string& name, const Held& h) {
    auto& walker = walkers[name];
    if (!walker) {
        walker = std::make_unique<wire::TransactionWalker>();
    }
    // A restart or a gap breaks a stream already followed; a new bus has nothing to break.
    if ((h.seq == SeqVerdict::gap || h.seq == SeqVerdict::restart) && walker->bus().frames != 0) {
        walker->on_break();
    }
    for (const wire::Event& e : h.datagram.events) {
        if (const auto* rec = std::get_if<wire::CaptureRecord>(&e)) {
            walker->on_record(*rec, h.time_us);
        }
    }
    if (!h.datagram.ok()) {
        walker->on_break(); // whatever followed the fault in this datagram is lost
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
            target->on_break();
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
    const Held h{d, unix_micros(r.time), verdict.seq};
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

std::vector<GatewayBus> BusAnalyser::snapshot() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<GatewayBus> out;
    for (const auto& [name, walker] : walkers) {
        out.push_back({name, walker->bus(), walker->identifiers(), walker->scan()});
    }
    return out;
}

} // namespace fipdump

#include "tools/fipdump/analysis/accounting.hpp"

#include <algorithm>
#include <variant>

namespace fipdump {

const char* to_string(SeqVerdict verdict) {
    switch (verdict) {
    case SeqVerdict::first:
        return "first";
    case SeqVerdict::in_order:
        return "in order";
    case SeqVerdict::gap:
        return "gap";
    case SeqVerdict::late:
        return "late";
    case SeqVerdict::duplicate:
        return "duplicate";
    case SeqVerdict::restart:
        return "restart";
    }
    return "?";
}

SeqVerdict LossAccounting::account_seq(Track& t, SenderCounts& c, std::uint64_t seq,
                                       std::uint64_t& missing) {
    const bool far_back = t.highest > kReorderWindow && seq < t.highest - kReorderWindow;
    const bool restarted = t.highest != 0 && (seq == 1 ? t.highest > 1 : far_back);
    if (t.highest == 0 || restarted) {
        // A gateway numbers its datagrams from 1 and its records from 1 at each start, so from
        // a datagram 1 on the record and lifesign checks have a reference; when joining a
        // running stream the first ones seen become the reference.
        t.highest = seq;
        t.missing.clear();
        t.prev_idx = 0;
        t.idx_known = seq == 1;
        t.prev_lifesign = 0;
        t.lifesign_known = seq == 1;
        if (restarted) {
            ++c.restarts;
            return SeqVerdict::restart;
        }
        return SeqVerdict::first;
    }
    if (seq == t.highest + 1) {
        t.highest = seq;
        return SeqVerdict::in_order;
    }
    if (seq > t.highest) {
        missing = seq - t.highest - 1;
        c.lost_datagrams += missing;
        // Only the most recent skipped numbers are remembered: older ones stay lost.
        const std::uint64_t from =
            seq - t.highest > kReorderWindow ? seq - kReorderWindow : t.highest + 1;
        for (std::uint64_t s = from; s < seq; ++s) {
            t.missing.insert(s);
        }
        t.highest = seq;
        while (!t.missing.empty() && *t.missing.begin() + kReorderWindow < t.highest) {
            t.missing.erase(t.missing.begin());
        }
        return SeqVerdict::gap;
    }
    if (t.missing.erase(seq) != 0) {
        --c.lost_datagrams;
        ++c.reordered;
        return SeqVerdict::late;
    }
    ++c.duplicates;
    return SeqVerdict::duplicate;
}

void LossAccounting::account_events(Track& t, SenderCounts& c, const wire::Datagram& d,
                                    DatagramVerdict& v) {
    for (const wire::Event& e : d.events) {
        ++c.events;
        const bool late = v.seq == SeqVerdict::late;
        if (const auto* rec = std::get_if<wire::CaptureRecord>(&e)) {
            ++c.capture;
            if (late && rec->idx != 0) {
                // Counted lost when the later datagram broke the index: found after all. The
                // reference index stays with the later datagram, which the stream goes on from.
                c.lost_records -= c.lost_records > 0 ? 1 : 0;
                continue;
            }
            if (rec->idx == 0) {
                continue; // unnumbered records neither break nor reset the sequence
            }
            if (t.idx_known && rec->idx != t.prev_idx + 1) {
                ++c.index_breaks;
                ++v.index_breaks;
                if (rec->idx > t.prev_idx) {
                    c.lost_records += rec->idx - t.prev_idx - 1;
                }
            }
            t.prev_idx = rec->idx;
            t.idx_known = true;
        } else {
            const auto& life = std::get<wire::LifesignRecord>(e);
            ++c.lifesign;
            if (late) {
                c.lost_lifesigns -= c.lost_lifesigns > 0 ? 1 : 0;
                continue;
            }
            if (t.lifesign_known && life.lifesign_cnt != t.prev_lifesign + 1) {
                ++c.lifesign_breaks;
                ++v.lifesign_breaks;
                if (life.lifesign_cnt > t.prev_lifesign) {
                    c.lost_lifesigns += life.lifesign_cnt - t.prev_lifesign - 1;
                }
            }
            t.prev_lifesign = life.lifesign_cnt;
            t.lifesign_known = true;
            // The period is not on the wire; the gateway's own dates of two lifesigns give it.
            if (c.last_lifesign && life.lifesign_cnt > c.last_lifesign->lifesign_cnt &&
                life.date_us > c.last_lifesign->date_us) {
                c.lifesign_period = std::chrono::microseconds(
                    (life.date_us - c.last_lifesign->date_us) /
                    static_cast<std::int64_t>(life.lifesign_cnt - c.last_lifesign->lifesign_cnt));
            }
            c.last_lifesign = life;
            c.last_lifesign_at = std::max(c.last_lifesign_at, c.last_seen);
        }
    }
}

DatagramVerdict LossAccounting::on_datagram(const Sender& from, std::size_t bytes_len,
                                            const wire::Datagram& datagram,
                                            std::chrono::system_clock::time_point received) {
    DatagramVerdict v;
    // A restarted or reloaded gateway sends from a fresh socket, so from a new source port:
    // a new sender that starts at 1 where another port of the same address was seen is that.
    bool same_host_seen = false;
    if (tracks.find(from) == tracks.end()) {
        for (const auto& [other, track] : tracks) {
            same_host_seen = same_host_seen || (other.addr == from.addr && track.highest != 0);
        }
    }
    SenderCounts& c = counts[from];
    Track& t = tracks[from];
    ++c.datagrams;
    c.bytes += bytes_len;
    c.last_seen = std::max(c.last_seen, received);
    if (!datagram.ok()) {
        ++c.malformed;
    }
    const bool header_read = datagram.ok() || (datagram.error->fault != wire::Fault::short_header &&
                                               datagram.error->fault != wire::Fault::bad_magic &&
                                               datagram.error->fault != wire::Fault::bad_constant);
    if (!header_read) {
        return v; // not the gateway's format: its "sequence number" means nothing
    }
    v.seq = account_seq(t, c, datagram.seq, v.missing);
    if (v.seq == SeqVerdict::first && same_host_seen && datagram.seq == 1) {
        v.seq = SeqVerdict::restart;
        ++c.restarts;
    }
    if (v.seq == SeqVerdict::duplicate) {
        return v; // its events were accounted the first time
    }
    account_events(t, c, datagram, v);
    return v;
}

void add_counts(SenderCounts& sum, const SenderCounts& c) {
    sum.datagrams += c.datagrams;
    sum.bytes += c.bytes;
    sum.events += c.events;
    sum.capture += c.capture;
    sum.lifesign += c.lifesign;
    sum.malformed += c.malformed;
    sum.lost_datagrams += c.lost_datagrams;
    sum.duplicates += c.duplicates;
    sum.reordered += c.reordered;
    sum.restarts += c.restarts;
    sum.index_breaks += c.index_breaks;
    sum.lost_records += c.lost_records;
    sum.lifesign_breaks += c.lifesign_breaks;
    sum.lost_lifesigns += c.lost_lifesigns;
}

SenderCounts LossAccounting::totals() const {
    SenderCounts sum;
    for (const auto& [from, c] : counts) {
        add_counts(sum, c);
    }
    return sum;
}

} // namespace fipdump

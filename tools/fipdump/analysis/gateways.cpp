#include "tools/fipdump/analysis/gateways.hpp"

#include <map>

namespace fipdump {

std::vector<Gateway> gateways(const Summary& summary, std::chrono::system_clock::time_point now) {
    // The card behind each address, from its most recent lifesign: a sender that has not sent
    // one yet (a gateway just reloaded) belongs to it.
    std::map<std::string, std::pair<std::chrono::system_clock::time_point, std::uint32_t>> card;
    for (const auto& [from, c] : summary.senders) {
        if (c.last_lifesign) {
            auto& known = card[address_text(from)];
            if (c.last_lifesign_at >= known.first) {
                known = {c.last_lifesign_at, c.last_lifesign->sn};
            }
        }
    }
    struct Group {
        Gateway g;
        std::chrono::system_clock::time_point last_seen{};
        std::chrono::system_clock::time_point last_lifesign_at{};
        std::chrono::microseconds period{0};
        std::chrono::system_clock::time_point period_at{};
    };
    std::map<std::string, Group> groups;
    for (const auto& [from, c] : summary.senders) {
        const std::string addr = address_text(from);
        std::string label = addr;
        if (c.last_lifesign) {
            label.append(1, '/').append(std::to_string(c.last_lifesign->sn));
        } else if (const auto k = card.find(addr); k != card.end()) {
            label.append(1, '/').append(std::to_string(k->second.second));
        }
        Group& grp = groups[label];
        grp.g.label = label;
        add_counts(grp.g.counts, c);
        grp.last_seen = std::max(grp.last_seen, c.last_seen);
        if (c.last_lifesign && c.last_lifesign_at >= grp.last_lifesign_at) {
            grp.last_lifesign_at = c.last_lifesign_at;
            grp.g.lifesign = c.last_lifesign;
        }
        // A reloaded gateway's first lifesign gives no period yet: the previous socket's holds.
        if (c.lifesign_period.count() > 0 && c.last_lifesign_at >= grp.period_at) {
            grp.period = c.lifesign_period;
            grp.period_at = c.last_lifesign_at;
        }
    }
    std::vector<Gateway> out;
    for (auto& [label, grp] : groups) {
        if (now - grp.last_seen > kSilentGatewayDropped) {
            continue;
        }
        const auto period =
            grp.period.count() > 0
                ? std::chrono::duration_cast<std::chrono::system_clock::duration>(grp.period)
                : std::chrono::duration_cast<std::chrono::system_clock::duration>(
                      kDefaultLifesignPeriod);
        grp.g.up =
            grp.g.lifesign.has_value() && now - grp.last_lifesign_at <= kLifesignPeriodsUp * period;
        grp.g.counts.last_seen = grp.last_seen;
        grp.g.counts.last_lifesign_at = grp.last_lifesign_at;
        out.push_back(std::move(grp.g));
    }
    return out;
}

} // namespace fipdump

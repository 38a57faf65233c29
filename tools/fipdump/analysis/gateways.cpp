#include "tools/fipdump/analysis/gateways.hpp"

#include <map>

namespace fipdump {

std::string gateway_name(const Sender& from, std::optional<std::uint32_t> serial) {
    return serial ? address_text(from) + "/" + std::to_string(*serial) : to_string(from);
}

std::optional<std::string> GatewayNames::on_datagram(const Sender& from, const wire::Datagram& d) {
    if (const auto sn = card_serial(d)) {
        serial[from] = *sn;
    }
    const auto s = serial.find(from);
    return s == serial.end() ? std::nullopt : std::optional(gateway_name(from, s->second));
}

std::vector<Gateway> gateways(const Summary& summary, std::chrono::system_clock::time_point now,
                              std::optional<std::chrono::seconds> forget_after) {
    struct Group {
        Gateway g;
        std::chrono::system_clock::time_point last_seen{};
        std::chrono::system_clock::time_point last_lifesign_at{};
        std::chrono::microseconds period{0};
        std::chrono::system_clock::time_point period_at{};
    };
    std::map<std::string, Group> groups;
    for (const auto& [from, c] : summary.senders) {
        const bool named = c.last_lifesign && c.last_lifesign->sn != kSerialUnknown;
        const std::string label =
            gateway_name(from, named ? std::optional(c.last_lifesign->sn) : std::nullopt);
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
        if (forget_after && now - grp.last_seen > *forget_after) {
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

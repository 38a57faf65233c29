#include "tools/fipdump/output/bus_metrics.hpp"

#include <cstdio>
#include <functional>

#include "tools/fipdump/output/fields.hpp"

namespace fipdump {

namespace {

constexpr const char* kKindLabels[] = {"identifier", "variable", "request_list",
                                       "message",    "ack_end",  "unknown"};

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

void header(std::string& out, const Family& f) {
    out +=
        std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
}

void sample(std::string& out, const char* name, const std::string& labels, std::uint64_t v) {
    out += std::string(name) + "{" + labels + "} " + std::to_string(v) + "\n";
}

using BusValue = std::function<std::uint64_t(const wire::BusCounters&, const wire::ScanTable&)>;
using IdValue = std::function<std::uint64_t(const wire::IdentifierStats&)>;

} // namespace

std::string render_bus_metrics(const std::vector<GatewayBus>& gateways, std::size_t max_ids) {
    std::string out;
    const auto gw = [](const GatewayBus& g) { return "gateway=\"" + g.gateway + "\""; };

    header(out, {"fipgate_bus_frames_total", "counter", "Frames captured on the bus, by kind"});
    for (const GatewayBus& g : gateways) {
        for (std::size_t k = 0; k < g.bus.by_kind.size(); ++k) {
            sample(out, "fipgate_bus_frames_total", gw(g) + ",kind=\"" + kKindLabels[k] + "\"",
                   g.bus.by_kind[k]);
        }
    }
    header(out, {"fipgate_bus_bad_frames_total", "counter",
                 "Frames that broke a frame rule, by the first rule broken"});
    for (const GatewayBus& g : gateways) {
        for (std::size_t c = 0; c < g.bus.bad.size(); ++c) {
            sample(out, "fipgate_bus_bad_frames_total",
                   gw(g) + ",cause=\"" + wire::frame_check_name(static_cast<wire::FrameCheck>(c)) +
                       "\"",
                   g.bus.bad[c]);
        }
    }
    const struct {
        Family family;
        BusValue value;
    } bus_families[] = {
        {{"fipgate_bus_transactions_total", "counter", "Polls answered"},
         [](const auto& b, const auto&) { return b.transactions; }},
        {{"fipgate_bus_missing_responses_total", "counter",
          "Polls followed by another identifier frame instead of an answer"},
         [](const auto& b, const auto&) { return b.missing; }},
        {{"fipgate_bus_unknown_polls_total", "counter",
          "Polls whose answer fell into a break of the stream"},
         [](const auto& b, const auto&) { return b.unknown_polls; }},
        {{"fipgate_bus_stream_breaks_total", "counter",
          "Record index gaps, lost datagrams and gateway restarts seen by the analysis"},
         [](const auto& b, const auto&) { return b.breaks; }},
        {{"fipgate_bus_macrocycle_polls", "gauge", "Periodic polls in one learned macrocycle"},
         [](const auto&, const auto& s) { return s.macrocycle_polls; }},
        {{"fipgate_bus_macrocycle_cycles", "gauge", "Elementary cycles in one learned macrocycle"},
         [](const auto&, const auto& s) { return s.macrocycle_cycles; }},
    };
    for (const auto& f : bus_families) {
        header(out, f.family);
        for (const GatewayBus& g : gateways) {
            sample(out, f.family.name, gw(g), f.value(g.bus, g.scan));
        }
    }
    // One series per gateway, labelled with the state it is in now: an alert selects a state.
    header(out, {"fipgate_stream_state", "gauge",
                 "The stream's state now (live, bus silent, gateway silent, ended): 1"});
    for (const GatewayBus& g : gateways) {
        sample(out, "fipgate_stream_state", gw(g) + ",state=\"" + wire::to_string(g.stream) + "\"",
               1);
    }

    // The identifiers exported: the first `max_ids` polled, gateway by gateway.
    std::vector<std::pair<const GatewayBus*, const wire::IdentifierStats*>> exported;
    std::vector<std::uint64_t> omitted(gateways.size(), 0);
    for (std::size_t i = 0; i < gateways.size(); ++i) {
        for (const wire::IdentifierStats& s : gateways[i].ids) {
            if (exported.size() < max_ids) {
                exported.emplace_back(&gateways[i], &s);
            } else {
                ++omitted[i];
            }
        }
    }
    header(out, {"fipgate_identifiers_omitted_total", "counter",
                 "Identifiers polled but left out of these metrics by --metrics-ids"});
    for (std::size_t i = 0; i < gateways.size(); ++i) {
        sample(out, "fipgate_identifiers_omitted_total", gw(gateways[i]), omitted[i]);
    }
    const auto labels = [&](const auto& e) {
        return gw(*e.first) + ",id=\"" + identifier_text(e.second->id) + "\"";
    };
    const struct {
        Family family;
        IdValue value;
    } id_families[] = {
        {{"fipgate_identifier_polls_total", "counter", "Polls of the identifier"},
         [](const auto& s) { return s.polls; }},
        {{"fipgate_identifier_responses_total", "counter",
          "Answers to its polls, bad ones included"},
         [](const auto& s) { return s.responses; }},
        {{"fipgate_identifier_missing_responses_total", "counter",
          "Polls of the identifier its producer left unanswered"},
         [](const auto& s) { return s.missing; }},
        {{"fipgate_identifier_unknown_polls_total", "counter",
          "Polls of the identifier whose answer fell into a break of the stream"},
         [](const auto& s) { return s.unknown; }},
        {{"fipgate_identifier_scan_deviations_total", "counter",
          "Polls that came late or never came against the learned period"},
         [](const auto& s) { return s.scan_deviations; }},
        {{"fipgate_identifier_period_cycles", "gauge",
          "Learned scan period in elementary cycles (0: not periodic)"},
         [](const auto& s) { return std::uint64_t{s.period_cycles}; }},
        {{"fipgate_identifier_response_bytes_max", "gauge", "Longest answer, in bytes"},
         [](const auto& s) { return std::uint64_t{s.len_max}; }},
    };
    for (const auto& f : id_families) {
        header(out, f.family);
        for (const auto& e : exported) {
            sample(out, f.family.name, labels(e), f.value(*e.second));
        }
    }
    header(out, {"fipgate_identifier_state", "gauge",
                 "The identifier's state judged on recent traffic (ok, silent, missing, bad, "
                 "gone): 1"});
    for (const auto& e : exported) {
        sample(out, "fipgate_identifier_state",
               labels(e) + ",state=\"" + wire::to_string(e.second->state) + "\"", 1);
    }
    header(out, {"fipgate_identifier_bad_frames_total", "counter",
                 "Answers to its polls that broke a frame rule, by the first rule broken"});
    for (const auto& e : exported) {
        for (std::size_t c = 0; c < e.second->bad.size(); ++c) {
            sample(out, "fipgate_identifier_bad_frames_total",
                   labels(e) + ",cause=\"" +
                       wire::frame_check_name(static_cast<wire::FrameCheck>(c)) + "\"",
                   e.second->bad[c]);
        }
    }
    header(out, {"fipgate_bus_deviations", "gauge",
                 "Identifiers that differ from the baseline (fipdump --baseline)"});
    for (const GatewayBus& g : gateways) {
        if (g.baseline) {
            sample(out, "fipgate_bus_deviations", gw(g), g.deviations.size());
        }
    }
    // Only deviations present now: a series ends when its deviation does.
    header(out, {"fipgate_identifier_deviation", "gauge",
                 "1 for each way the identifier differs from the baseline now"});
    std::size_t deviating = 0;
    for (const GatewayBus& g : gateways) {
        for (const wire::IdentifierDeviations& d : g.deviations) {
            if (deviating++ >= max_ids) {
                break; // the same cap as the identifiers: a damaged stream cannot multiply them
            }
            for (std::size_t k = 0; k < wire::kDeviationCount; ++k) {
                if (d.since_us[k] != 0) {
                    sample(out, "fipgate_identifier_deviation",
                           gw(g) + ",id=\"" + identifier_text(d.id) + "\",deviation=\"" +
                               wire::deviation_name(static_cast<wire::Deviation>(k)) + "\"",
                           1);
                }
            }
        }
    }
    return out;
}

} // namespace fipdump

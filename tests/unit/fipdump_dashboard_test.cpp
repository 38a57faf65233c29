// The Grafana dashboard shipped in packaging/: valid JSON, and every metric its queries name is
// one fipdump exports, so that a rename in the exporter cannot leave a panel empty.
#include <gtest/gtest.h>

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <fstream>
#include <regex>
#include <set>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/output/bus_metrics.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "wire/decode.hpp"

using namespace fipdump;

namespace {

constexpr const char* kDashboard = FIPGATE_SOURCE_DIR "/packaging/grafana/fipgate-dashboard.json";
constexpr const char* kAlertRules = FIPGATE_SOURCE_DIR "/packaging/prometheus/fipgate-alerts.yml";

// Every family of an exposition with one gateway up, so that none is left out for want of data.
std::set<std::string> exported_families() {
    const auto now = std::chrono::system_clock::now();
    Summary s;
    SenderCounts& c = s.senders[{0x0A000005, 40000}];
    const auto d = fipdump_test::datagram(1, {fipdump_test::lifesign_record(1, 1)});
    c.last_lifesign = std::get<wire::LifesignRecord>(
        wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0));
    c.last_lifesign->udp_last_start_date_us = c.last_lifesign->fip_last_start_date_us = 1;
    c.last_lifesign->udp_last_stop_date_us = c.last_lifesign->fip_last_stop_date_us = 1;
    c.last_seen = c.last_lifesign_at = now;
    // And the bus analysis of that gateway, one identifier polled.
    GatewayBus bus;
    bus.gateway = "10.0.0.5/1";
    bus.ids.push_back(wire::IdentifierStats{});
    const std::string text = render_metrics(s, now) + render_bus_metrics({bus}, 1);
    std::set<std::string> out;
    const std::regex type("^# TYPE (\\S+) ", std::regex::multiline);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), type);
         it != std::sregex_iterator(); ++it) {
        out.insert((*it)[1]);
    }
    return out;
}

// The text of every query in the dashboard's tree (targets' expr, variables' queries).
void queries(const boost::property_tree::ptree& node, std::vector<std::string>& out) {
    for (const auto& [key, child] : node) {
        if ((key == "expr" || key == "query" || key == "definition") && child.empty()) {
            out.push_back(child.data());
        }
        queries(child, out);
    }
}

} // namespace

TEST(FipdumpDashboard, ValidJsonNamingOnlyExportedMetrics) {
    boost::property_tree::ptree tree;
    ASSERT_NO_THROW(boost::property_tree::read_json(kDashboard, tree)) << kDashboard;
    EXPECT_FALSE(tree.get<std::string>("title", "").empty());
    std::vector<std::string> texts;
    queries(tree, texts);
    ASSERT_GT(texts.size(), 20U);
    const std::set<std::string> exported = exported_families();
    const std::regex metric("fipgate_[a-z0-9_]+");
    std::set<std::string> used;
    for (const std::string& q : texts) {
        for (auto it = std::sregex_iterator(q.begin(), q.end(), metric);
             it != std::sregex_iterator(); ++it) {
            used.insert(it->str());
            EXPECT_EQ(exported.count(it->str()), 1U) << it->str() << " in " << q;
        }
    }
    // Each of the dashboard's sections has something to show.
    for (const char* needed :
         {"fipgate_gateway_up", "fipgate_fip_frames_total", "fipgate_udp_sent_datagrams_total",
          "fipgate_cpu_load_ratio", "fipgate_bus_frames_total", "fipgate_stream_state",
          "fipgate_identifier_state", "fipgate_identifier_deviation", "fipgate_bus_deviations"}) {
        EXPECT_EQ(used.count(needed), 1U) << needed;
    }
}

// An alert on a metric nobody exports never fires: the rules name only exported families.
TEST(FipdumpDashboard, AlertRulesNameOnlyExportedMetrics) {
    std::ifstream in(kAlertRules);
    ASSERT_TRUE(in) << kAlertRules;
    const std::set<std::string> exported = exported_families();
    const std::regex expr("^ *expr: *(.*)$");
    const std::regex metric("fipgate_[a-z0-9_]+");
    std::size_t rules = 0;
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, expr)) {
            continue;
        }
        ++rules;
        const std::string q = m[1];
        for (auto it = std::sregex_iterator(q.begin(), q.end(), metric);
             it != std::sregex_iterator(); ++it) {
            EXPECT_EQ(exported.count(it->str()), 1U) << it->str() << " in " << q;
        }
    }
    EXPECT_GE(rules, 7U);
}

// The exporter as Prometheus sees it over a gateway's life: one series per gateway across
// reloads (new source port, same address and card), counters that never go back, `up` falling
// to 0 when lifesigns stop, and the gateway gone after ten silent minutes.
#include <gtest/gtest.h>

#include <regex>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/analysis/gateways.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;
using namespace std::chrono_literals;

namespace {

const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1'796'721'652));
constexpr std::uint32_t kAddr = 0x0A000005; // 10.0.0.5

// A lifesign of card `sn`, counter `n`, dated n * 200 ms (a 200 ms lifesign period).
Bytes lifesign(std::uint64_t n, std::uint32_t sn) {
    Bytes r = lifesign_record(n, static_cast<std::int64_t>(n) * 200'000);
    for (int i = 0; i < 4; ++i) {
        r[19 + i] = static_cast<std::uint8_t>(sn >> (24 - 8 * i)); // serial number at offset 19
        r[23 + i] = static_cast<std::uint8_t>(0x42860000U >> (24 - 8 * i)); // CPU load 67.0 %
    }
    return r;
}

struct Feed {
    LossAccounting acc;
    void send(std::uint16_t port, std::uint64_t seq, const std::vector<Bytes>& events,
              std::chrono::system_clock::time_point at) {
        const Bytes d = datagram(seq, events);
        acc.on_datagram({kAddr, port}, d.size(), wire::decode_datagram(std::span(d)), at);
    }
    std::string metrics(std::chrono::system_clock::time_point now) const {
        Summary s;
        s.senders = acc.senders();
        return render_metrics(s, now);
    }
};

// The samples of one family: label set -> value.
std::map<std::string, std::string> samples(const std::string& text, const std::string& family) {
    std::map<std::string, std::string> out;
    const std::regex line("^" + family + "\\{([^}]*)\\} (\\S+)$", std::regex::multiline);
    for (auto it = std::sregex_iterator(text.begin(), text.end(), line);
         it != std::sregex_iterator(); ++it) {
        out[(*it)[1]] = (*it)[2];
    }
    return out;
}

} // namespace

TEST(FipdumpExporter, OneSeriesAcrossAReloadUpThenDownThenGone) {
    Feed f;
    f.send(40000, 1, {capture_record(1), lifesign(1, 7)}, t0);
    f.send(40000, 2, {capture_record(2), lifesign(2, 7)}, t0 + 200ms);
    const std::string before = f.metrics(t0 + 300ms);
    // A reload: a new socket, so a new source port, numbering from 1 again. Its first datagram
    // carries no lifesign yet: it still belongs to the same gateway.
    f.send(40001, 1, {capture_record(1)}, t0 + 400ms);
    const std::string reloaded = f.metrics(t0 + 450ms);
    const std::map<std::string, std::string> one{{"gateway=\"10.0.0.5/7\"", "3"}};
    EXPECT_EQ(samples(reloaded, "fipgate_dump_capture_records_total"), one) << reloaded;
    EXPECT_EQ(samples(before, "fipgate_dump_capture_records_total").begin()->first,
              one.begin()->first);
    EXPECT_EQ(samples(reloaded, "fipgate_dump_restarts_total").begin()->second, "1");
    EXPECT_EQ(samples(reloaded, "fipgate_gateway_up"),
              (std::map<std::string, std::string>{{"gateway=\"10.0.0.5/7\"", "1"}}));
    EXPECT_EQ(reloaded.find("40001"), std::string::npos); // no port anywhere

    f.send(40001, 2, {lifesign(1, 7)}, t0 + 600ms);
    // Lifesigns every 200 ms (from their dates): up for 3 periods after the last one, then 0,
    // and the lifesign's figures are no longer published as if current.
    EXPECT_EQ(samples(f.metrics(t0 + 1200ms), "fipgate_gateway_up").begin()->second, "1");
    const std::string down = f.metrics(t0 + 1201ms);
    EXPECT_EQ(samples(down, "fipgate_gateway_up").begin()->second, "0") << down;
    EXPECT_TRUE(samples(down, "fipgate_lifesign_records_total").empty());
    EXPECT_EQ(samples(down, "fipgate_gateway_last_seen_timestamp_seconds").begin()->second,
              "1796721652.5999999"); // reception, Unix time
    EXPECT_FALSE(samples(down, "fipgate_dump_datagrams_total").empty());

    EXPECT_EQ(samples(f.metrics(t0 + 600ms + kSilentGatewayDropped), "fipgate_gateway_up").size(),
              1U);
    const std::string gone = f.metrics(t0 + 601ms + kSilentGatewayDropped);
    EXPECT_TRUE(samples(gone, "fipgate_gateway_up").empty()) << gone;
    EXPECT_TRUE(samples(gone, "fipgate_dump_datagrams_total").empty());
}

TEST(FipdumpExporter, TwoCardsBehindOneAddressAreTwoGateways) {
    Feed f;
    f.send(40000, 1, {lifesign(1, 7)}, t0);
    f.send(40002, 1, {lifesign(1, 8)}, t0);
    const std::string text = f.metrics(t0);
    EXPECT_EQ(samples(text, "fipgate_gateway_up").size(), 2U) << text;
    EXPECT_EQ(samples(text, "fipgate_card_info")
                  .count("gateway=\"10.0.0.5/8\",serial=\"8\",fcs_type=\"0\",aux_code=\"0\""),
              1U)
        << text;
    // Ratios, not percentages: the sample lifesign's CPU load is 67 %.
    EXPECT_EQ(samples(text, "fipgate_cpu_load_ratio").begin()->second.rfind("0.67", 0), 0U);
}

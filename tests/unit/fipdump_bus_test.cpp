// fipdump's side of the bus analysis: breaks told by the stream's accounting, the table order,
// the JSON objects, the metrics cap; and the per-event marks of bad frames, --bad and the JSON
// times.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "support/card_truth.hpp"
#include "support/fipdump_stream.hpp"
#include "tools/fipdump/analysis/filter.hpp"
#include "tools/fipdump/dumper.hpp"
#include "tools/fipdump/options.hpp"
#include "tools/fipdump/output/bus_json.hpp"
#include "tools/fipdump/output/bus_metrics.hpp"
#include "tools/fipdump/output/bus_report.hpp"
#include "tools/fipdump/output/bus_table.hpp"
#include "tools/fipdump/output/iso_time.hpp"
#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;
using testsupport::field;
using namespace std::chrono_literals;

namespace {

const Sender gw{0x0A000005, 40000}; // 10.0.0.5
const auto t0 = from_unix_micros(1'796'721'652'000'000);

Bytes poll(std::uint16_t id) {
    return {0x03, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)};
}
const Bytes answer{0x02, 0x40, 2, 7, 7};

// A lifesign of card `serial`: what names a gateway's bus.
Bytes card_lifesign(std::uint64_t counter, std::uint32_t serial) {
    Bytes life = lifesign_record(counter);
    for (int i = 0; i < 4; ++i) {
        life[19 + i] = static_cast<std::uint8_t>(serial >> (24 - 8 * i)); // serial at offset 19
    }
    return life;
}

// Feeds datagrams of (index, frame) records to a Dumper with --bus; returns its analysis.
struct BusRun {
    Options o;
    std::ostringstream out, notices;
    std::unique_ptr<Dumper> dumper;
    std::optional<std::uint32_t> card; // when set, each datagram opens with its lifesign
    BusRun() {
        o.bus = true;
        dumper = std::make_unique<Dumper>(o, out, notices);
    }
    void send(std::uint64_t seq, std::vector<std::pair<std::uint64_t, Bytes>> recs,
              Sender from = gw, std::chrono::system_clock::time_point at = t0) {
        std::vector<Bytes> events;
        if (card) {
            events.push_back(card_lifesign(seq, *card));
        }
        for (const auto& [idx, frame] : recs) {
            events.push_back(capture_record(idx, frame));
        }
        const Bytes d = datagram(seq, events);
        dumper->on_datagram({d, from, at});
    }
    GatewayBus bus() const {
        dumper->end_of_stream();
        return dumper->bus().snapshot().at(0);
    }
};

const wire::IdentifierStats& id_of(const GatewayBus& g, std::uint16_t id) {
    for (const auto& s : g.ids) {
        if (s.id == id) {
            return s;
        }
    }
    throw std::runtime_error("no such identifier");
}

wire::Event decode_one(const Bytes& rec) {
    const Bytes d = datagram(1, {rec});
    return wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0);
}

} // namespace

TEST(FipdumpBus, LostDuplicateAndRestartedDatagramsAreBreaksNotSilence) {
    BusRun run;
    run.card = 7;
    run.send(1, {{1, poll(0x100)}, {2, answer}, {3, poll(0x101)}});
    run.send(1, {{1, poll(0x100)}, {2, answer}, {3, poll(0x101)}}); // duplicate: ignored
    run.send(3, {{9, answer}, {10, poll(0x100)}});                  // datagram 2 lost
    EXPECT_TRUE(run.out.str().empty()) << "--bus prints no events";
    auto g = run.bus();
    EXPECT_EQ(id_of(g, 0x101).unknown, 1U);
    EXPECT_EQ(id_of(g, 0x101).missing, 0U);
    EXPECT_EQ(id_of(g, 0x100).polls, 2U);
    EXPECT_EQ(g.bus.unknown_frames, 1U);

    // A restart from a new port of the same address, numbered from 1 with unnumbered records
    // only and no lifesign yet: told by the datagram sequence alone, held until the next
    // datagram's lifesign names the card, and the card's bus goes on.
    run.card.reset();
    run.send(1, {{0, answer}, {0, poll(0x100)}, {0, answer}}, {gw.addr, 40001});
    run.card = 7;
    run.send(2, {}, {gw.addr, 40001});
    g = run.bus();
    EXPECT_EQ(run.dumper->bus().snapshot().size(), 1U);
    EXPECT_EQ(g.gateway, "10.0.0.5/7");
    EXPECT_EQ(id_of(g, 0x100).unknown, 1U);
    EXPECT_EQ(id_of(g, 0x100).responses, 2U);
    EXPECT_EQ(g.bus.unknown_frames, 2U);
    EXPECT_EQ(g.bus.orphans, 0U);
    EXPECT_EQ(g.bus.breaks, 2U); // a lost datagram also breaks the index: one break
}

TEST(FipdumpBus, TableAndJsonPutTheSickFirstWithTheirCounts) {
    BusRun run;
    std::vector<std::pair<std::uint64_t, Bytes>> recs;
    std::uint64_t idx = 0;
    for (int i = 0; i < 20; ++i) {
        recs.push_back({++idx, poll(0x100)});
        recs.push_back({++idx, answer});
        recs.push_back({++idx, poll(0x200)});
        if (i % 4 != 0) {
            recs.push_back({++idx, answer});
        }
    }
    recs.push_back({++idx, poll(0x100)});
    run.send(1, recs);
    const GatewayBus g = run.bus();
    EXPECT_EQ(table_order(g).at(0).id, 0x200);

    const std::string table = bus_table({g}, 100);
    EXPECT_NE(table.find("gateway 10.0.0.5:40000  stream "), std::string::npos) << table;
    EXPECT_NE(table.find("  frames 76 "), std::string::npos) << table;
    EXPECT_LT(table.find("0x0200"), table.find("0x0100")) << table;
    // A quarter of its polls unanswered: missing now, and no rare miss makes 0x0100 so.
    EXPECT_NE(table.find("0x0200 missing"), std::string::npos) << table;
    EXPECT_NE(table.find("0x0100 ok"), std::string::npos) << table;
    EXPECT_NE(bus_table({g}, 1).find("\u2026 1 more, ok"), std::string::npos);

    const std::string json = json_bus_report({g}, t0);
    const auto ids = testsupport::bus_identifiers(json);
    EXPECT_EQ(field(ids.at(0x200), "polls"), 20);
    EXPECT_EQ(field(ids.at(0x200), "responses"), 15);
    EXPECT_EQ(field(ids.at(0x200), "missing"), 5);
    EXPECT_EQ(field(ids.at(0x100), "len_min"), 7);
    EXPECT_EQ(field(ids.at(0x100), "period_cycles"), 0); // too few polls to learn a scan
    const std::string bus = json.substr(0, json.find('\n'));
    EXPECT_EQ(field(bus, "frames"), 76);
    EXPECT_EQ(field(bus, "transactions"), 35);
    EXPECT_EQ(field(bus, "missing"), 5);
    EXPECT_EQ(field(bus, "bad_frames"), 0);
    EXPECT_NE(bus.find("\"macrocycle_polls\":0"), std::string::npos);
    EXPECT_NE(bus.find("\"gateway\":\"10.0.0.5:40000\""), std::string::npos);
}

// A 20 s scan of three identifiers, one datagram every 50 ms: 0x0200 stops answering for ten
// polls, 0x0300 stops being polled three quarters in. The states, when each began, and the
// stream's state follow what was fed, in the table, the JSON and the metrics alike.
TEST(FipdumpBus, StatesFollowTheRecentTraffic) {
    BusRun run;
    const auto at = [](int k) { return t0 + k * 50ms; };
    std::uint64_t idx = 0;
    std::vector<GatewayBus> while_silent;
    for (int k = 0; k < 400; ++k) {
        std::vector<std::pair<std::uint64_t, Bytes>> recs{{++idx, poll(0x100)}, {++idx, answer}};
        recs.push_back({++idx, poll(0x200)});
        if (k < 100 || k >= 110) {
            recs.push_back({++idx, answer});
        }
        if (k < 300) {
            recs.push_back({++idx, poll(0x300)});
            recs.push_back({++idx, answer});
        }
        run.send(static_cast<std::uint64_t>(k) + 1, recs, gw, at(k));
        if (k == 109) {
            while_silent = run.dumper->bus().snapshot(at(k));
        }
    }
    const auto state_of = [](const GatewayBus& g, std::uint16_t id) {
        const auto& s = id_of(g, id);
        return std::make_tuple(std::string(wire::to_string(s.state)), s.state_since_us,
                               std::string(wire::to_string(s.last_problem)), s.last_problem_us);
    };
    const auto us = [&](auto t) { return unix_micros(t); };
    // The third unanswered poll in a row, at k = 102, made it silent.
    ASSERT_EQ(while_silent.size(), 1U);
    EXPECT_EQ(state_of(while_silent[0], 0x200),
              std::make_tuple("silent", us(at(102)), "silent", us(at(102))));
    EXPECT_EQ(table_order(while_silent[0]).at(0).id, 0x200);

    const GatewayBus g = run.dumper->bus().snapshot(at(399) + 1s).at(0);
    EXPECT_EQ(g.stream, wire::StreamState::live);
    // Its ten misses left the window 10 s after they came: ok again, its silence remembered.
    EXPECT_EQ(std::get<0>(state_of(g, 0x200)), "ok");
    EXPECT_EQ(std::get<2>(state_of(g, 0x200)), "silent");
    EXPECT_EQ(std::get<3>(state_of(g, 0x200)), us(at(102)));
    EXPECT_EQ(id_of(g, 0x200).window.missing, 0U);
    // No poll for 2 s while the bus went on: gone since then.
    EXPECT_EQ(state_of(g, 0x300),
              std::make_tuple("gone", us(at(299) + 2s), "gone", us(at(299) + 2s)));
    EXPECT_EQ(std::get<0>(state_of(g, 0x100)), "ok");
    EXPECT_EQ(id_of(g, 0x100).last_problem_us, 0);
    EXPECT_EQ(run.dumper->bus().snapshot(at(399) + 2s).at(0).stream,
              wire::StreamState::gateway_silent);

    const auto ended = run.dumper->bus().snapshot(at(399), true);
    const std::string metrics = render_bus_metrics(ended, 10);
    EXPECT_NE(metrics.find("fipgate_stream_state{gateway=\"10.0.0.5:40000\",state=\"ended\"} 1"),
              std::string::npos)
        << metrics;
    EXPECT_NE(
        metrics.find(
            "fipgate_identifier_state{gateway=\"10.0.0.5:40000\",id=\"0x0300\",state=\"gone\"} 1"),
        std::string::npos);
    const auto ids = testsupport::bus_identifiers(json_bus_report(ended, at(399)));
    EXPECT_NE(ids.at(0x300).find("\"id\":\"0x0300\",\"id_num\":768,\"state\":\"gone\""),
              std::string::npos)
        << ids.at(0x300);
    EXPECT_NE(bus_table(ended, 100).find("stream ended since "), std::string::npos);
}

TEST(FipdumpBus, MetricsCapTheIdentifiersExported) {
    BusRun run;
    std::vector<std::pair<std::uint64_t, Bytes>> recs;
    std::uint64_t idx = 0;
    for (std::uint16_t id = 1; id <= 50; ++id) {
        recs.push_back({++idx, poll(id)});
        recs.push_back({++idx, id == 7 ? Bytes{0x02, 0x41, 0} : answer});
    }
    run.send(1, recs);
    run.dumper->end_of_stream();
    const std::string m = render_bus_metrics(run.dumper->bus().snapshot(), 10);
    EXPECT_EQ(testsupport::count_substr(m, "fipgate_identifier_polls_total{"), 10U);
    EXPECT_NE(m.find("fipgate_identifiers_omitted_total{gateway=\"10.0.0.5:40000\"} 40\n"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find("fipgate_identifier_bad_frames_total{gateway=\"10.0.0.5:40000\",id=\"0x0007\","
                     "cause=\"pdu\"} 1\n"),
              std::string::npos);
    EXPECT_NE(m.find("fipgate_bus_bad_frames_total{gateway=\"10.0.0.5:40000\",cause=\"pdu\"} 1\n"),
              std::string::npos);
    // Every family is announced once, with its type, before its samples.
    for (const char* family :
         {"fipgate_identifier_polls_total", "fipgate_bus_missing_responses_total"}) {
        EXPECT_EQ(testsupport::count_substr(m, std::string("# TYPE ") + family + " "), 1U);
        EXPECT_LT(m.find(std::string("# HELP ") + family + " "), m.find(std::string(family) + "{"));
    }
    EXPECT_EQ(
        render_bus_metrics(run.dumper->bus().snapshot(), 0).find("fipgate_identifier_polls_total{"),
        std::string::npos);
}

TEST(FipdumpBus, IntervalReportsWhileTheStreamIsFedThenTheFinalOne) {
    BusRun run;
    run.o.json = true;
    run.o.interval = 0.02;
    std::ostringstream shown;
    BusReporter reporter(run.o, run.dumper->bus(), shown, false);
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t idx = 0;
    for (std::uint64_t seq = 1; std::chrono::steady_clock::now() - start < 300ms; ++seq) {
        run.send(seq, {{++idx, poll(0x100)}, {++idx, answer}});
    }
    run.dumper->end_of_stream();
    reporter.finish();
    const std::string out = shown.str();
    EXPECT_GE(testsupport::count_substr(out, "\"type\":\"bus\""), 2U) << out;
    const std::string last = out.substr(out.rfind("\"type\":\"bus\""));
    EXPECT_EQ(field(last, "frames"), static_cast<long long>(idx));
}

TEST(FipdumpBus, IntervalOfARecordingIsCaptureTime) {
    BusRun run;
    run.o.json = true;
    run.o.interval = 1.0;
    run.o.read_paths = {"recording.pcap"};
    run.dumper = std::make_unique<Dumper>(run.o, run.out, run.notices); // outputs chosen anew
    std::uint64_t idx = 0;
    for (const int ms : {0, 500, 1200, 1300, 3500}) {
        const Bytes d = datagram(idx / 2 + 1, {card_lifesign(idx / 2 + 1, 7),
                                               capture_record(idx + 1, poll(0x100)),
                                               capture_record(idx + 2, answer)});
        idx += 2;
        run.dumper->on_datagram({d, gw, t0 + std::chrono::milliseconds(ms)});
    }
    // At 1.2 s (the second after 0 s), then at 3.5 s (one report for the two seconds passed).
    const std::string out = run.out.str();
    EXPECT_EQ(testsupport::count_substr(out, "\"type\":\"bus\""), 2U) << out;
    EXPECT_NE(out.find("\"time\":\"" + iso_time(t0 + 1200ms) + "\""), std::string::npos) << out;
}

TEST(FipdumpEvents, EveryBrokenRuleIsMarkedAndBadSelectsThem) {
    const Received r{{}, gw, t0};
    const struct {
        Bytes frame; // FCS appended by capture_record unless `raw`
        const char* check;
    } cases[] = {
        {{0x07, 0x12, 0x34}, "control"},
        {{0x02, 0x41, 0x00}, "pdu"},
        {{0x03, 0x12, 0x34, 0x00}, "length"},
        {{0x03, 0x12, 0x34}, nullptr},
    };
    Filter bad;
    bad.bad = true;
    for (const auto& c : cases) {
        const wire::Event e = decode_one(capture_record(1, c.frame));
        const std::string text = text_event(r, 1, e);
        const std::string json = json_event(r, 1, e);
        if (c.check != nullptr) {
            EXPECT_NE(text.find(std::string(" BAD ") + c.check + " : "), std::string::npos) << text;
            EXPECT_NE(json.find(std::string("\"bad\":\"") + c.check + "\""), std::string::npos);
            EXPECT_TRUE(matches(bad, e));
        } else {
            EXPECT_EQ(text.find("BAD"), std::string::npos) << text;
            EXPECT_EQ(json.find("\"bad\""), std::string::npos);
            EXPECT_FALSE(matches(bad, e));
        }
    }
    Bytes rec = capture_record(1, {0x03, 0x12, 0x34});
    rec.back() ^= 0xFF;
    EXPECT_NE(text_event(r, 1, decode_one(rec)).find(" BAD fcs : "), std::string::npos);
    EXPECT_FALSE(matches(bad, decode_one(lifesign_record(1))));
}

TEST(FipdumpEvents, JsonTimesAreIso8601WithZoneAndUnixSeconds) {
    const char* saved = std::getenv("TZ");
    const std::string old = saved != nullptr ? saved : "";
    setenv("TZ", "Europe/Paris", 1);
    tzset();
    EXPECT_EQ(iso_time(t0 + std::chrono::microseconds(308473)), "2026-12-08T10:20:52.308473+01:00");
    setenv("TZ", "America/St_Johns", 1); // a zone half an hour off
    tzset();
    EXPECT_EQ(iso_time(t0), "2026-12-08T05:50:52.000000-03:30");
    saved != nullptr ? setenv("TZ", old.c_str(), 1) : unsetenv("TZ");
    tzset();
    EXPECT_EQ(unix_seconds(t0 + std::chrono::microseconds(5)), "1796721652.000005");
    EXPECT_EQ(unix_seconds(from_unix_micros(-500000)), "-0.500000");
    const std::string json = json_event({{}, gw, t0}, 1, decode_one(capture_record(1)));
    EXPECT_NE(json.find("\"unix_time\":1796721652.000000,"), std::string::npos) << json;
}

TEST(FipdumpOptions, BusOptions) {
    const auto parse = [](std::vector<const char*> args) {
        args.insert(args.begin(), "fipdump");
        return parse_options(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    };
    const auto ok = parse(
        {"--bus", "--json", "--interval", "2.5", "--metrics-ids", "10", "--metrics", ":9187"});
    ASSERT_EQ(ok.error, "");
    EXPECT_TRUE(ok.options.bus);
    EXPECT_EQ(ok.options.interval, 2.5);
    EXPECT_EQ(ok.options.metrics_ids, 10U);
    EXPECT_EQ(parse({}).options.metrics_ids, kDefaultMetricsIdentifiers);
    EXPECT_EQ(parse({"--interval", "0"}).error, "invalid interval: 0");
    EXPECT_EQ(parse({"--metrics-ids", "-1"}).error, "invalid identifier count: -1");
    // Combinations that would do nothing are refused, not ignored.
    for (const std::vector<const char*>& useless : {std::vector<const char*>{"--bus", "--bad"},
                                                    {"--bus", "--id", "0x0111"},
                                                    {"--bus", "-c", "5"},
                                                    {"--interval", "5"},
                                                    {"--bus", "--interval", "5"},
                                                    {"--metrics-ids", "10"},
                                                    {"--bus", "--metrics-ids", "10"},
                                                    {"-r", "x.pcap", "--rcvbuf", "1000000"},
                                                    {"--type", "lifesign", "--kind", "identifier"},
                                                    {"--type", "lifesign", "--bad"}}) {
        EXPECT_NE(parse(useless).error, "") << useless[0] << " " << useless[1];
    }
    EXPECT_EQ(parse({"--bus", "--missing-threshold", "2.5"}).options.missing_threshold, 0.025);
    EXPECT_EQ(parse({"--bus"}).options.missing_threshold, 0.01);
    EXPECT_NE(parse({"--bus", "--missing-threshold", "101"}).error, "");
    EXPECT_NE(parse({"--bus", "--missing-threshold", "1%"}).error, "");
    EXPECT_NE(parse({"--missing-threshold", "2"}).error, "");
}

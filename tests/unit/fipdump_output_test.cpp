// fipdump's text and JSON lines, summaries and Prometheus rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

const Sender gw{0xC0A80A05, 40000}; // 192.168.10.5

wire::Event decode_one(const Bytes& rec) {
    const Bytes d = datagram(1, {rec});
    return wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0);
}

bool has(const std::string& text, const std::string& needle) {
    return text.find(needle) != std::string::npos;
}

// A lifesign record with a NaN temperature, a date and a few counters set at their offsets.
Bytes sample_lifesign() {
    Bytes r = lifesign_record(42, 1'796'721'652'308'473); // 2026-12-08 09:20:52.308473
    const std::uint32_t nan_bits = 0x7FC00000;
    for (int i = 0; i < 4; ++i) {
        r[27 + i] = static_cast<std::uint8_t>(nan_bits >> (24 - 8 * i));
    }
    r[66] = 0xCD; // buffer total 52429 (0xCCCD) thousand bytes
    r[65] = 0xCC;
    r[170] = 1;   // fieldbus active
    r[282] = 3;   // bad_fcs_cnt = 3
    r[93] = 0x07; // udp total inactivity (offset 88): 0x07A120 us = 0.5 s
    r[94] = 0xA1;
    r[95] = 0x20;
    return r;
}

} // namespace

TEST(FipdumpFields, DatesDurationsFiguresAndNames) {
    EXPECT_EQ(gateway_date(1'796'721'652'308'473), "2026-12-08 09:20:52.308473");
    EXPECT_EQ(gateway_date(0), "-");
    EXPECT_EQ(gateway_date(-1), "1969-12-31 23:59:59.999999");
    EXPECT_EQ(seconds(1'500'000), "1.500000");
    EXPECT_EQ(seconds(-250'000), "-0.250000");
    EXPECT_EQ(figure(std::nanf("")), "NaN");
    EXPECT_EQ(figure(12.345f), "12.35");
    EXPECT_STREQ(frame_name(0x03), "ID_DAT");
    EXPECT_STREQ(frame_name(0x40), "RP_FIN");
    EXPECT_STREQ(frame_name(0x07), "?");
    EXPECT_EQ(to_string(gw), "192.168.10.5:40000");
    EXPECT_EQ(json_string("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
}

TEST(FipdumpText, CaptureLineCarriesTheDecodedFrame) {
    const Received r{{}, gw, std::chrono::system_clock::now()};
    const std::string ok = text_event(r, 7, decode_one(capture_record(12, {0x03, 0x12, 0x34}, 1)));
    EXPECT_TRUE(has(ok, " 192.168.10.5:40000 seq 7 capture idx 12 fcs-type 1 status 0x01 "
                        "ID_DAT (0x03, identifier) id 0x1234 len 5 fcs ok : 03 12 34 B5 69"))
        << ok;

    Bytes bad = capture_record(13, {0x02, 0x40, 0xAA});
    bad.back() ^= 0xFF;
    const std::string line = text_event(r, 8, decode_one(bad));
    EXPECT_TRUE(has(line, "RP_DAT (0x02, variable response) pdu 0x40 len 5 fcs BAD (received"))
        << line;

    Bytes empty = capture_record(0);
    empty.resize(30);
    empty[2] = 30;
    EXPECT_TRUE(has(text_event(r, 9, decode_one(empty)), "empty frame len 0 :"));
}

TEST(FipdumpText, LifesignLineShowsUnitsDatesAndNaN) {
    const Received r{{}, gw, std::chrono::system_clock::now()};
    const std::string line = text_event(r, 3, decode_one(sample_lifesign()));
    for (const char* part :
         {"lifesign cnt 42 date 2026-12-08 09:20:52.308473", "NaN C", "buffer 0/52429 kB",
          "total inact 0.500000 s", "fip active yes", "bad ctrl 0 fcs 3 pdu 0 len 0"}) {
        EXPECT_TRUE(has(line, part)) << part << "\n" << line;
    }
}

TEST(FipdumpJson, EventsAndSummaryCarryTheRequiredKeys) {
    const Received r{{}, gw, std::chrono::system_clock::now()};
    const std::string cap = json_event(r, 7, decode_one(capture_record(12)));
    for (const char* part : {"\"seq\":7", "\"type\":\"capture\"", "\"idx\":12", "\"len\":35",
                             "\"frame\":\"031234B569\"", "\"id\":4660", "\"fcs_ok\":true"}) {
        EXPECT_TRUE(has(cap, part)) << part << "\n" << cap;
    }
    const std::string life = json_event(r, 3, decode_one(sample_lifesign()));
    for (const char* part : {"\"type\":\"lifesign\"", "\"counter\":42", "\"cpu_temp_c\":null",
                             "\"date_us\":1796721652308473", "\"bad_fcs_cnt\":3",
                             "\"udp_total_inact_duration_us\":500000"}) {
        EXPECT_TRUE(has(life, part)) << part << "\n" << life;
    }
    EXPECT_EQ(life.front(), '{');
    EXPECT_EQ(life.back(), '}');

    Summary s;
    s.senders[gw].datagrams = 5;
    s.senders[gw].lost_datagrams = 1;
    s.totals = s.senders[gw];
    s.kernel_drops = 2;
    const std::string sum = json_summary(s);
    for (const char* part : {"{\"datagrams\":5,", "\"events\":0", "\"capture\":0", "\"lifesign\":0",
                             "\"lost_datagrams\":1", "\"malformed\":0", "\"kernel_drops\":2",
                             "\"gateways\":{\"192.168.10.5:40000\":{"}) {
        EXPECT_TRUE(has(sum, part)) << part << "\n" << sum;
    }
    EXPECT_TRUE(has(text_summary(s), "5 datagrams, 0 events (0 capture, 0 lifesign), 1 lost "
                                     "datagrams, 0 malformed"));
}

TEST(FipdumpMetrics, RendersOwnCountersAndLifesignFiguresInBaseUnits) {
    const auto now = std::chrono::system_clock::time_point(std::chrono::seconds(1'796'721'652));
    Summary s;
    SenderCounts& c = s.senders[gw];
    c.last_seen = c.last_lifesign_at = now;
    c.datagrams = 10;
    c.lost_datagrams = 2;
    c.malformed = 1;
    const Bytes d = datagram(1, {sample_lifesign()});
    c.last_lifesign = std::get<wire::LifesignRecord>(
        wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0));
    const Sender silent{0x0A000001, 1}; // no lifesign yet: own counters only
    s.senders[silent].datagrams = 1;
    s.senders[silent].last_seen = now;
    const std::string text = render_metrics(s, now);
    const std::string label = "{gateway=\"192.168.10.5/0\"} ";
    for (const std::string& line : std::vector<std::string>{
             "# TYPE fipgate_dump_datagrams_total counter\n",
             "fipgate_dump_datagrams_total" + label + "10\n",
             "fipgate_dump_lost_datagrams_total" + label + "2\n",
             "fipgate_dump_malformed_datagrams_total" + label + "1\n",
             "fipgate_dump_datagrams_total{gateway=\"10.0.0.1\"} 1\n",
             "fipgate_gateway_up" + label + "1\n", "fipgate_gateway_up{gateway=\"10.0.0.1\"} 0\n",
             "fipgate_gateway_last_seen_timestamp_seconds" + label + "1796721652\n",
             "fipgate_card_info{gateway=\"192.168.10.5/0\",serial=\"0\",fcs_type=\"0\","
             "aux_code=\"0\"} 1\n",
             "fipgate_gateway_clock_offset_seconds" + label + "0.308473",
             "fipgate_bad_frames_total{gateway=\"192.168.10.5/0\",check=\"fcs\"} 3\n",
             "fipgate_status_bit_records_total{gateway=\"192.168.10.5/0\",bit=\"1_2\"} 0\n",
             "fipgate_dump_build_info{version=\"",
             "fipgate_lifesign_records_total" + label + "42\n",
             "fipgate_cpu_temperature_celsius" + label + "NaN\n",
             "fipgate_buffer_total_bytes" + label + "52429000\n",
             "fipgate_udp_inactive_seconds_total" + label + "0.5\n",
             "# TYPE fipgate_fip_active gauge\n", "fipgate_fip_active" + label + "1\n"}) {
        EXPECT_TRUE(has(text, line)) << line << text;
    }
    EXPECT_FALSE(has(text, "fipgate_cpu_load_ratio{gateway=\"10.0.0.1\"}"));
    EXPECT_FALSE(has(text, "_age_seconds{")); // the sample's link dates are 0: never happened
    // Every sample line is "name{labels} value" or "name value".
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos) << "last line without newline";
        const std::string line = text.substr(start, end - start);
        if (line.rfind("# ", 0) != 0) {
            EXPECT_EQ(line.rfind("fipgate_", 0), 0U) << line;
            EXPECT_EQ(std::count(line.begin(), line.end(), ' '), 1) << line;
        }
        start = end + 1;
    }
}

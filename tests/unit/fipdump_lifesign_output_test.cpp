// fipdump's three renderings of one lifesign record, byte for byte: readers parse the text line,
// the JSON keys in their order and the metric families by name, so none of them may drift.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <variant>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/output/fields.hpp"
#include "tools/fipdump/output/iso_time.hpp"
#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/metrics.hpp"
#include "tools/fipdump/output/text_format.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

const Sender gw{0xC0A80A05, 40000}; // 192.168.10.5
const auto kReceived = std::chrono::system_clock::time_point(std::chrono::seconds(1'796'721'652));
constexpr std::int64_t kDateUs = 1'796'721'652'308'473; // 2026-12-08 09:20:52.308473

void put(Bytes& rec, std::size_t offset, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        rec.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
    }
}

void put_float(Bytes& rec, std::size_t offset, float value) {
    put(rec, offset, std::bit_cast<std::uint32_t>(value), 4);
}

// Every field a value of its own, with the edges each rendering treats apart: a NaN figure, a
// date never set, a negative duration, a flag byte other than 1, counts past 2^53.
wire::LifesignRecord crafted() {
    Bytes r = lifesign_record(42, kDateUs);
    put(r, 19, 0xDEADBEEF, 4);
    put_float(r, 23, 12.5F);
    put(r, 27, 0x7FC00000, 4); // temperature not measured
    put(r, 31, 1'000'003, 4);
    put(r, 35, 250'004, 4);
    put(r, 39, 750'005, 4);
    put_float(r, 43, 33.3F);
    put(r, 47, 16'303, 4);
    put(r, 51, 8'006, 4);
    put(r, 55, 8'007, 4);
    put_float(r, 59, 49.1F);
    put(r, 63, 52'429, 4);
    put(r, 67, 17, 4);
    put(r, 71, 52'412, 4);
    put_float(r, 75, 0.1F);
    put(r, 79, 2, 1);
    put(r, 80, 86'400'000'001, 8);
    put(r, 88, 500'000, 8);
    put(r, 96, kDateUs - 3'600'000'003, 8);
    put(r, 104, 0, 8); // never stopped
    put(r, 112, 3'600'000'003, 8);
    put(r, 120, static_cast<std::uint64_t>(-250'000), 8);
    put(r, 128, 65'535, 2);
    put(r, 130, 0x0102'0304'0506'0708, 8);
    put(r, 138, 9, 4);
    put(r, 142, 10, 8);
    put(r, 150, 123'456'789, 8);
    put(r, 158, 4'321, 4);
    put(r, 162, 280'000'011, 8);
    put(r, 170, 0, 1);
    put(r, 171, 12, 8);
    put(r, 179, 13, 8);
    put(r, 187, kDateUs - 52'308'459, 8);
    put(r, 195, kDateUs - 2'308'458, 8);
    put(r, 203, 16, 8);
    put(r, 211, 17, 8);
    put(r, 219, 18, 2);
    put(r, 221, 19, 8);
    put(r, 229, 20, 4);
    put(r, 233, 21, 8);
    put(r, 241, 2, 1);
    put(r, 242, 0xA5, 1);
    for (std::uint64_t i = 0; i < 9; ++i) {
        put(r, 243 + 8 * i, 22 + i, 8); // st0 ... st5
    }
    put(r, 315, 0xFFFF'FFFF'FFFF'FF09, 8); // st4
    const Bytes d = datagram(1, {r});
    return std::get<wire::LifesignRecord>(
        wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0));
}

const Received kFrom{{}, gw, kReceived};

// A file of tests/unit/golden, without the newline that ends it.
std::string golden(const std::string& name) {
    std::ifstream in(std::string(FIPGATE_SOURCE_DIR) + "/tests/unit/golden/" + name);
    EXPECT_TRUE(in) << name;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

} // namespace

// The receive time is shown in this host's zone: the golden files start after it.
TEST(FipdumpLifesignOutput, TextLine) {
    EXPECT_EQ(text_event(kFrom, 3, crafted()),
              local_time(kReceived) + " 192.168.10.5:40000 " + golden("lifesign_line.txt"));
}

TEST(FipdumpLifesignOutput, JsonObject) {
    EXPECT_EQ(json_event(kFrom, 3, crafted()), "{\"time\":" + json_string(iso_time(kReceived)) +
                                                   ",\"unix_time\":" + unix_seconds(kReceived) +
                                                   "," + golden("lifesign_object_rest.txt"));
}

// From the first family fed by the lifesign to the end: the families before it are fipdump's own.
TEST(FipdumpLifesignOutput, MetricsExposition) {
    Summary s;
    SenderCounts& c = s.senders[gw];
    c.last_seen = c.last_lifesign_at = kReceived;
    c.datagrams = c.events = c.lifesign = 1;
    c.last_lifesign = crafted();
    const std::string text = render_metrics(s, kReceived);
    const std::size_t from = text.find("# HELP fipgate_card_info ");
    ASSERT_NE(from, std::string::npos) << text;
    EXPECT_EQ(text.substr(from), golden("lifesign_metrics.prom") + "\n");
}

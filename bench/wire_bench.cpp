// Cost of decoding what the gateway sends, for receivers that keep up with a busy bus.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "wire/wire.hpp"

namespace {

constexpr std::size_t kCaptureEventBytes = 40; // 30-byte header and a 10-byte frame
constexpr std::size_t kCaptureEvents = 1000;   // the sender's default batch
constexpr std::size_t kLifesignEvents = 202;   // as many as fit one datagram

void put_be(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * (n - 1 - i)));
    }
}

std::vector<std::uint8_t> datagram(bool lifesigns) {
    const std::size_t count = lifesigns ? kLifesignEvents : kCaptureEvents;
    const std::size_t size = lifesigns ? wire::kLifesignSize : kCaptureEventBytes;
    std::vector<std::uint8_t> d(wire::kDatagramHeaderSize + count * size);
    d[0] = 0x43;
    d[1] = 0x56;
    d[2] = 0x01;
    put_be(d, 4, 1, 8);
    put_be(d, 12, count, 4);
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = wire::kDatagramHeaderSize + i * size;
        d[at] = lifesigns ? wire::kLifesignType : wire::kCaptureType;
        put_be(d, at + 1, size, 2);
        if (!lifesigns) {
            d[at + 3] = 0x08;            // FCS type 1
            put_be(d, at + 5, i + 1, 8); // idx
            d[at + 30] = 0x02;           // variable response
            d[at + 31] = 0x40;
        }
    }
    return d;
}

void BM_DecodeDatagram(benchmark::State& state) {
    const bool lifesigns = state.range(0) != 0;
    const std::vector<std::uint8_t> d = datagram(lifesigns);
    std::size_t events = 0;
    for (auto _ : state) {
        const wire::Datagram g = wire::decode_datagram(d);
        events += g.events.size();
        benchmark::DoNotOptimize(g.events.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(events));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(d.size()));
}
BENCHMARK(BM_DecodeDatagram)->ArgName("lifesigns")->Arg(0)->Arg(1);

} // namespace

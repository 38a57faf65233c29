// Offline decoding throughput of the Wireshark dissector (tshark with wireshark/fipgate.lua) on a
// capture of N events, beside tshark without the script (its own start-up and UDP decoding) and
// fipdump -r on the same file, so that the cost per event of each decoder can be compared.
// Every process only reads the file; nothing is captured or sent.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kEventsPerDatagram = 100; // a busy bus: the sender batches many per datagram
constexpr std::size_t kLifesignEvery = 10;      // one lifesign record per this many datagrams
constexpr std::size_t kLifesignSize = 323;      // bytes of every lifesign record
constexpr std::uint16_t kPort = 57117;          // the gateway's default destination port
const std::string kScript = FIPGATE_SOURCE_DIR "/wireshark/fipgate.lua";

void put_be(Bytes& out, std::uint64_t value, int size) {
    for (int i = size - 1; i >= 0; --i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

void put_le(Bytes& out, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// Frames of several kinds, as a bus carries them; the FCS bytes are arbitrary, so the FCS check
// fails on most of them, which costs the dissector the same as a pass.
Bytes capture_record(std::uint64_t idx) {
    static const std::vector<Bytes> frames{
        {0x03, 0x12, 0x34, 0xB5, 0x69},
        {0x02, 0x40, 0x05, 1, 2, 3, 4, 5, 6, 7, 8, 0x11, 0x22},
        {0x40, 0xAA, 0xBB},
        {0x14, 0, 0, 1, 0, 0, 2, 9, 8, 7, 6, 0x33, 0x44},
    };
    const Bytes& frame = frames[idx % frames.size()];
    Bytes r{0xC0};
    put_be(r, 30 + frame.size(), 2);
    r.push_back(0x08); // FCS type 1
    r.push_back(0x00);
    put_be(r, idx, 8);
    r.resize(30, 0);
    r.insert(r.end(), frame.begin(), frame.end());
    return r;
}

// A classic pcap file of Ethernet/IPv4/UDP broadcasts, written by hand so that the benchmarks
// need no capture library.
std::size_t write_capture(const std::string& path, std::size_t events) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        return 0;
    }
    Bytes file;
    put_le(file, 0xA1B2C3D4, 4);
    put_le(file, 2, 2);
    put_le(file, 4, 2);
    put_le(file, 0, 4);
    put_le(file, 0, 4);
    put_le(file, 65535, 4);
    put_le(file, 1, 4); // Ethernet
    std::uint64_t idx = 1;
    std::size_t written = 0;
    for (std::uint64_t seq = 1; written < events; ++seq) {
        Bytes payload{0x43, 0x56, 0x01, 0x00};
        put_be(payload, seq, 8);
        std::size_t count = 0;
        Bytes body;
        for (; count < kEventsPerDatagram && written + count < events; ++count) {
            const Bytes r = capture_record(idx++);
            body.insert(body.end(), r.begin(), r.end());
        }
        if (seq % kLifesignEvery == 0 && written + count < events) {
            Bytes ls(kLifesignSize, 0);
            ls[0] = 0xC1;
            ls[1] = kLifesignSize >> 8;
            ls[2] = kLifesignSize & 0xFF;
            ls[10] = static_cast<std::uint8_t>(seq / kLifesignEvery);
            body.insert(body.end(), ls.begin(), ls.end());
            ++count;
        }
        put_be(payload, count, 4);
        payload.insert(payload.end(), body.begin(), body.end());
        written += count;

        Bytes frame(6, 0xFF);
        for (std::uint8_t b : {0x02, 0, 0, 0, 0, 0x01, 0x08, 0x00, 0x45, 0x00}) {
            frame.push_back(b);
        }
        put_be(frame, 28 + payload.size(), 2);
        put_be(frame, 0, 4);
        put_be(frame, 0x4011, 2);
        put_be(frame, 0, 2);
        put_be(frame, 0x0A000002, 4);
        put_be(frame, 0xFFFFFFFF, 4);
        put_be(frame, 40000, 2);
        put_be(frame, kPort, 2);
        put_be(frame, 8 + payload.size(), 2);
        put_be(frame, 0, 2);
        frame.insert(frame.end(), payload.begin(), payload.end());

        put_le(file, static_cast<std::uint32_t>(1'700'000'000 + seq), 4);
        put_le(file, 0, 4);
        put_le(file, static_cast<std::uint32_t>(frame.size()), 4);
        put_le(file, static_cast<std::uint32_t>(frame.size()), 4);
        file.insert(file.end(), frame.begin(), frame.end());
    }
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    std::fclose(out);
    return ok ? written : 0;
}

std::string capture_path(std::size_t events) {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/fipgate-dissector-bench-" +
           std::to_string(::getpid()) + "-" + std::to_string(events) + ".pcap";
}

bool have(const std::string& command) {
    return std::system(("command -v " + command + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `command` once per iteration on a fresh capture of state.range(0) events.
void run_decoder(benchmark::State& state, const std::string& command) {
    const std::size_t events = static_cast<std::size_t>(state.range(0));
    const std::string path = capture_path(events);
    if (write_capture(path, events) != events) {
        state.SkipWithError("cannot write the capture");
        return;
    }
    const std::string line = command + " " + path + " >/dev/null 2>&1";
    for (auto _ : state) {
        if (std::system(line.c_str()) != 0) {
            state.SkipWithError(("failed: " + line).c_str());
            break;
        }
    }
    std::filesystem::remove(path);
    state.counters["events_per_s"] = benchmark::Counter(
        static_cast<double>(events), benchmark::Counter::kIsIterationInvariantRate);
}

// tshark alone: what every run costs before the script sees an event.
void BM_TsharkWithoutScript(benchmark::State& state) {
    if (!have("tshark")) {
        state.SkipWithError("tshark is not installed");
        return;
    }
    run_decoder(state, "tshark -n -r");
}

// One summary line per datagram, as `tshark -r` prints by default.
void BM_TsharkDissectorSummary(benchmark::State& state) {
    if (!have("tshark")) {
        state.SkipWithError("tshark is not installed");
        return;
    }
    run_decoder(state, "tshark -n -X lua_script:" + kScript + " -r");
}

// The full tree of every event (-V), the heaviest use.
void BM_TsharkDissectorTree(benchmark::State& state) {
    if (!have("tshark")) {
        state.SkipWithError("tshark is not installed");
        return;
    }
    run_decoder(state, "tshark -n -V -X lua_script:" + kScript + " -r");
}

// fipdump decoding the same file, one line per event.
void BM_FipdumpRead(benchmark::State& state) {
    const std::string fipdump =
        (std::filesystem::path(FIPGATE_BIN).parent_path() / "fipdump").string();
    if (!std::filesystem::exists(fipdump)) {
        state.SkipWithError("fipdump is not built");
        return;
    }
    run_decoder(state, fipdump + " -r");
}

constexpr std::int64_t kSmall = 10'000; // events: start-up dominates
constexpr std::int64_t kLarge = 50'000; // events: decoding dominates

BENCHMARK(BM_TsharkWithoutScript)
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TsharkDissectorSummary)
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TsharkDissectorTree)
    ->Arg(kSmall)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FipdumpRead)
    ->Arg(kSmall)
    ->Arg(kLarge)
    ->Iterations(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

// tshark's speed on the gateway's stream with the compiled plugin, with the Lua dissector and
// with no fipgate dissector at all: one capture of a busy bus (polls and answers with a correct
// FCS, lifesigns between, FIPGATE_BENCH_RECORDS records, one million unless given), read in one
// pass and in two, in records per second. Then live: tshark with the plugin capturing lo while
// the gateway sends a saturated 5 Mbit/s bus from the simulated card for FIPGATE_BENCH_LIVE_S
// seconds (60; 0 leaves it out), with the kernel's drops. FIPGATE_BENCH_DISSECTORS limits the
// offline runs to some of none,lua,plugin. Run inside scripts/netns-run (`make bench` does).
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.hpp"
#include "support/fipdump_stream.hpp"
#include "support/tshark_dissectors.hpp"

namespace {

using namespace std::chrono_literals;
using fipdump_test::Bytes;
using testsupport::Dissectors;
using testsupport::TsharkHomes;

constexpr std::size_t kRecordsPerDatagram = 40; // what the gateway batches on a busy bus
constexpr std::size_t kLifesignEvery = 250;     // datagrams between lifesigns
constexpr std::uint16_t kPort = 57117;          // the gateway's default destination port
// A 5 Mbit/s bus with no idle time: shortest frames back to back, in records per second.
constexpr const char* kSaturatedBusRate = "104000";

long env_number(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atol(text) : fallback;
}

void put_le(Bytes& out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

// A bus of 64 identifiers, each poll answered but every 50th, every 97th answer corrupted.
std::size_t write_capture(const std::string& path, std::size_t records) {
    std::ofstream out(path, std::ios::binary);
    Bytes head;
    for (std::uint32_t v : {0xA1B2C3D4U, 0x00040002U, 0U, 0U, 65535U, 101U}) { // raw IP
        put_le(head, v);
    }
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<long>(head.size()));
    std::uint64_t idx = 1;
    std::size_t written = 0;
    for (std::uint64_t seq = 1; written < records; ++seq) {
        std::vector<Bytes> events;
        for (std::size_t n = 0; n < kRecordsPerDatagram && written < records; ++n, ++written) {
            const auto id = static_cast<std::uint16_t>(0x0100 + (idx / 2) % 64);
            if (idx % 2 == 1) {
                events.push_back(
                    fipdump_test::capture_record(idx, {0x03, static_cast<std::uint8_t>(id >> 8),
                                                       static_cast<std::uint8_t>(id)}));
            } else if (idx % 100 != 0) {
                Bytes body{0x02, 0x40, 1, 2, 3, 4, 5, 6, 7, 8};
                Bytes r = fipdump_test::capture_record(idx, body);
                if (idx % 97 == 0) {
                    r.back() ^= 1;
                }
                events.push_back(r);
            } else {
                events.push_back(fipdump_test::capture_record(idx, {0x03, 0x01, 0xFF}));
            }
            ++idx;
        }
        if (seq % kLifesignEvery == 0) {
            events.push_back(fipdump_test::lifesign_record(seq / kLifesignEvery));
        }
        const Bytes ip = fipdump_test::ip_udp_packet(fipdump_test::datagram(seq, events),
                                                     0x0A000002, 40000, kPort);
        Bytes rec;
        put_le(rec, static_cast<std::uint32_t>(1'700'000'000 + seq / 1000));
        put_le(rec, static_cast<std::uint32_t>(seq % 1000 * 1000));
        put_le(rec, static_cast<std::uint32_t>(ip.size()));
        put_le(rec, static_cast<std::uint32_t>(ip.size()));
        rec.insert(rec.end(), ip.begin(), ip.end());
        out.write(reinterpret_cast<const char*>(rec.data()), static_cast<long>(rec.size()));
    }
    return out.good() ? written : 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// CPU seconds (user and system) of every child process waited for so far: on a machine shared
// with other work, tshark's own CPU time is its cost, while wall time also counts the waits.
double children_cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    const auto secs = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return secs(usage.ru_utime) + secs(usage.ru_stime);
}

void offline(const TsharkHomes& homes, const std::string& pcap, std::size_t records) {
    struct Setup {
        const char* key;
        const char* name;
        std::string home;
    };
    const std::vector<Setup> setups{
        {"none", "no fipgate dissector", homes.readable("home-none")},
        {"lua", "Lua dissector", homes.home(Dissectors::Lua)},
        {"plugin", "compiled plugin", homes.home(Dissectors::Plugin)},
    };
    const char* chosen = std::getenv("FIPGATE_BENCH_DISSECTORS");
    const std::string wanted = chosen != nullptr ? std::string(",") + chosen + "," : "";
    std::filesystem::create_directories(setups[0].home);
    TsharkHomes::give_to_tshark_user(setups[0].home);
    std::printf("tshark -n -r on %zu records (%s)\n", records, pcap.c_str());
    std::printf("%-22s %-7s %10s %10s %16s\n", "dissector", "passes", "wall s", "CPU s",
                "records/CPU s");
    for (const Setup& s : setups) {
        if (!wanted.empty() && wanted.find(std::string(",") + s.key + ",") == std::string::npos) {
            continue;
        }
        for (const bool two : {false, true}) {
            std::vector<std::string> args{"-n", "-r", pcap};
            if (two) {
                args.push_back("-2");
            }
            const auto start = std::chrono::steady_clock::now();
            const double cpu_before = children_cpu_seconds();
            const auto run = TsharkHomes::run_in(s.home, args, 3600s);
            const double secs = seconds_since(start);
            const double cpu = children_cpu_seconds() - cpu_before;
            const bool ok = WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0;
            std::printf("%-22s %-7s %10.2f %10.2f %16.0f%s\n", s.name, two ? "2" : "1", secs, cpu,
                        static_cast<double>(records) / cpu, ok ? "" : "  (tshark failed)");
            std::fflush(stdout);
        }
    }
}

// The first number after `label` in `text`, -1 when absent.
long long number_after(const std::string& text, const std::string& pattern) {
    std::smatch m;
    return std::regex_search(text, m, std::regex(pattern)) ? std::atoll(m[1].str().c_str()) : -1;
}

void live(const TsharkHomes& homes, long seconds) {
    // Capturing needs the raw-socket capabilities; personal plugins need a user other than root.
    testsupport::ChildProcess tshark(
        {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
         "--inh-caps=+net_raw,+net_admin", "--ambient-caps=+net_raw,+net_admin", "env",
         "HOME=" + homes.home(Dissectors::Plugin), "tshark", "-n", "-i", "lo", "-B", "64", "-f",
         "udp dst port " + std::to_string(kPort), "-q", "-z",
         "io,stat,0,COUNT(fipgate.idx)fipgate.idx"});
    if (!tshark.wait_for_error("Capturing on", 30s)) {
        std::printf("live: tshark did not start capturing: %s\n", tshark.err().c_str());
        return;
    }
    char dir[] = "/tmp/fipgate-plugin-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return;
    }
    const std::string report = std::string(dir) + "/card.json";
    const pid_t gateway = fork();
    if (gateway == 0) {
        const std::string preload = std::string("LD_PRELOAD=") + CAPVANE_SIM_LIB;
        const std::string rep = "CAPVANE_SIM_REPORT=" + report;
        const std::string buffer = std::string(dir) + "/buffer.bin";
        const std::string log = std::string(dir) + "/fipgate.log";
        const std::string pace = std::string("CAPVANE_SIM_PACE=") + kSaturatedBusRate;
        execl("/usr/bin/env", "env", preload.c_str(), rep.c_str(), "CAPVANE_SIM_CARDS=0",
              "CAPVANE_SIM_BITRATE=5000000", pace.c_str(), FIPGATE_BIN, "-B", buffer.c_str(), "-L",
              log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    ::kill(gateway, SIGINT);
    int status = 0;
    ::waitpid(gateway, &status, 0);
    std::this_thread::sleep_for(2s); // the last datagrams reach tshark
    ::kill(tshark.pid(), SIGINT);
    tshark.wait_exit(120s);
    std::ifstream in(report);
    const std::string card((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::filesystem::remove_all(dir);

    const long long sent = number_after(card, "\"records\":([0-9]+)");
    const long long decoded = number_after(tshark.out(), "<> [0-9.]+ \\|\\s+([0-9]+)");
    const long long captured = number_after(tshark.err(), "([0-9]+) packets? captured");
    const long long dropped = number_after(tshark.err(), "([0-9]+) packets? dropped");
    std::printf("\nlive: tshark -i lo with the plugin, saturated 5 Mbit/s bus, %ld s\n", seconds);
    std::printf("%-34s %14s\n", "", "count");
    std::printf("%-34s %14lld  (%.0f records/s)\n", "records the card sent", sent,
                static_cast<double>(sent) / static_cast<double>(seconds));
    std::printf("%-34s %14lld\n", "records tshark decoded", decoded);
    std::printf("%-34s %14lld\n", "datagrams captured", captured);
    std::printf("%-34s %14lld\n", "datagrams dropped by the kernel", dropped < 0 ? 0 : dropped);
    if (decoded < 0) {
        std::printf("tshark said:\n%s\n%s\n", tshark.out().c_str(), tshark.err().c_str());
    }
}

} // namespace

int main() {
    if (!TsharkHomes::available()) {
        std::printf("tshark or the plugin is missing: nothing measured\n");
        return 0;
    }
    const auto records = static_cast<std::size_t>(env_number("FIPGATE_BENCH_RECORDS", 1'000'000));
    TsharkHomes homes;
    const std::string pcap = homes.readable("bus.pcap");
    if (write_capture(pcap, records) != records) {
        std::printf("cannot write %s\n", pcap.c_str());
        return 1;
    }
    TsharkHomes::give_to_tshark_user(pcap);
    offline(homes, pcap, records);
    if (const long seconds = env_number("FIPGATE_BENCH_LIVE_S", 60); seconds > 0) {
        live(homes, seconds);
    }
    return 0;
}

// End-to-end throughput: the simulated card at full speed feeding the real gateway inside the
// private namespace, a receiver counting records; and, in the same run, the simplest forwarder of
// the same buffers (read the card's buffers, copy the records into datagrams, send them), which is
// this machine's ceiling. Prints one table. Run as: scripts/netns-run build/bench/sim_e2e_bench [N]
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "capture/sim_client.hpp"
#include "support/loopback_only.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t gateway_port = 57117;
constexpr std::uint16_t baseline_port = 57120;
constexpr std::size_t payload_limit = 64994;       // bytes of events before a datagram closes
constexpr auto idle_end = std::chrono::seconds(3); // a receiver this long without data is done

struct Received {
    std::uint64_t records = 0;
    double seconds = 0; // first to last datagram
};

// Counts capture records in the datagrams arriving on `port` until `expected` or an idle spell.
class Counter {
public:
    explicit Counter(std::uint16_t port) {
        fd = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        const int bytes = 64 * 1024 * 1024;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~Counter() { close(fd); }

    Received run(std::uint64_t expected) {
        Received r;
        std::vector<std::uint8_t> d(65536);
        Clock::time_point first{}, last{};
        while (r.records < expected) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(idle_end).count())) <= 0) {
                break;
            }
            const ssize_t n = recv(fd, d.data(), d.size(), 0);
            if (n < 16) {
                continue;
            }
            last = Clock::now();
            if (first == Clock::time_point{}) {
                first = last;
            }
            for (std::size_t at = 16; at + 3 <= static_cast<std::size_t>(n);) {
                const std::size_t len = (std::size_t{d[at + 1]} << 8) | d[at + 2];
                if (len < 3) {
                    break;
                }
                r.records += d[at] == 0xC0 ? 1 : 0;
                at += len;
            }
        }
        r.seconds = std::chrono::duration<double>(last - first).count();
        return r;
    }

private:
    int fd;
};

// The ceiling: read the card's buffers and forward their records with no checks, no queue.
struct Baseline {
    Received rx;
    double cpu_seconds = 0;
};

Baseline run_baseline(std::uint64_t records) {
    setenv("CAPVANE_SIM_PACE", "max", 1);
    setenv("CAPVANE_SIM_RECORDS", std::to_string(records).c_str(), 1);
    setenv("CAPVANE_SIM_CARDS", "0", 1);
    Counter counter(baseline_port);
    Baseline result;
    std::thread forwarder([&] {
        const int card = open("/dev/capvane0", O_RDWR);
        const int tx = socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        const int sndbuf = 1 << 20;
        setsockopt(tx, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(baseline_port);
        to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        std::uint32_t one = 1;
        ioctl(card, simtest::kInit, 0);
        ioctl(card, simtest::kEnableSniffer, &one);
        std::vector<std::uint8_t> buffer(simtest::kBufferBytes);
        std::vector<std::uint8_t> datagram(16);
        std::uint64_t forwarded = 0;
        const auto send_datagram = [&] {
            if (datagram.size() > 16) {
                sendto(tx, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to);
                datagram.resize(16);
            }
        };
        while (forwarded < records) {
            simtest::XferReq req{0, reinterpret_cast<std::uint64_t>(buffer.data()), 0,
                                 static_cast<std::uint32_t>(buffer.size()), 0};
            if (ioctl(card, simtest::kWaitData, &req) != 0) {
                break;
            }
            for (std::size_t at = simtest::kAreaOffset; at + 30 <= buffer.size();) {
                const std::size_t len = (std::size_t{buffer[at + 1]} << 8) | buffer[at + 2];
                if (buffer[at] != 0xC0 || len < 30 || at + len > buffer.size()) {
                    break;
                }
                if (datagram.size() - 16 > payload_limit) {
                    send_datagram();
                }
                datagram.insert(datagram.end(), buffer.begin() + static_cast<long>(at),
                                buffer.begin() + static_cast<long>(at + len));
                ++forwarded;
                at += len;
            }
        }
        send_datagram();
        timespec cpu{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
        result.cpu_seconds =
            static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) / 1e9;
        close(tx);
        close(card);
    });
    result.rx = counter.run(records);
    forwarder.join();
    return result;
}

struct GatewayResult {
    Received rx;
    long long card_records = -1;
    double cpu_seconds = 0;
};

long long json_number(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

GatewayResult run_gateway(std::uint64_t records) {
    char dir[] = "/tmp/fipgate-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    const std::string report = std::string(dir) + "/card.json";
    const std::string buffer = std::string(dir) + "/buffer.bin";
    const std::string log = std::string(dir) + "/fipgate.log";
    Counter counter(gateway_port);
    const pid_t child = fork();
    if (child == 0) {
        const std::string preload = std::string("LD_PRELOAD=") + CAPVANE_SIM_LIB;
        const std::string n = "CAPVANE_SIM_RECORDS=" + std::to_string(records);
        const std::string rep = "CAPVANE_SIM_REPORT=" + report;
        execl("/usr/bin/env", "env", preload.c_str(), "CAPVANE_SIM_PACE=max", n.c_str(),
              rep.c_str(), "CAPVANE_SIM_CARDS=0", FIPGATE_BIN, "-B", buffer.c_str(), "-L",
              log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    GatewayResult result;
    result.rx = counter.run(records);
    kill(child, SIGINT);
    int status = 0;
    rusage usage{};
    wait4(child, &status, 0, &usage);
    result.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    FILE* f = std::fopen(report.c_str(), "r");
    std::string json;
    if (f != nullptr) {
        char chunk[4096];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
            json.append(chunk, got);
        }
        std::fclose(f);
    }
    result.card_records = json_number(json, "records");
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0) {
        std::fprintf(stderr, "could not remove %s\n", dir);
    }
    return result;
}

} // namespace

int main(int argc, char** argv) {
    if (!only_loopback_present()) {
        std::fprintf(stderr, "sim_e2e_bench sends broadcasts: run it through scripts/netns-run\n");
        return 2;
    }
    const std::uint64_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2'000'000;

    const Baseline base = run_baseline(records);
    const GatewayResult gw = run_gateway(records);

    const double base_rate =
        base.rx.seconds > 0 ? static_cast<double>(base.rx.records) / base.rx.seconds : 0;
    const double gw_rate =
        gw.rx.seconds > 0 ? static_cast<double>(gw.rx.records) / gw.rx.seconds : 0;
    std::printf("%-28s %14s %14s\n", "", "fipgate", "bare forwarder");
    std::printf("%-28s %14llu %14llu\n", "records sent by the card",
                static_cast<unsigned long long>(gw.card_records < 0 ? 0 : gw.card_records),
                static_cast<unsigned long long>(records));
    std::printf("%-28s %14llu %14llu\n", "records received",
                static_cast<unsigned long long>(gw.rx.records),
                static_cast<unsigned long long>(base.rx.records));
    std::printf("%-28s %14lld %14lld\n", "records lost",
                gw.card_records - static_cast<long long>(gw.rx.records),
                static_cast<long long>(records) - static_cast<long long>(base.rx.records));
    std::printf("%-28s %14.0f %14.0f\n", "records per second", gw_rate, base_rate);
    std::printf("%-28s %14.3f %14.3f\n", "CPU s per million records",
                gw.rx.records > 0 ? gw.cpu_seconds * 1e6 / static_cast<double>(gw.rx.records) : 0,
                base.rx.records > 0 ? base.cpu_seconds * 1e6 / static_cast<double>(base.rx.records)
                                    : 0);
    std::printf("%-28s %14.2f\n", "fipgate / bare forwarder",
                base_rate > 0 ? gw_rate / base_rate : 0);
    return 0;
}

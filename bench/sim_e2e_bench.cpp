// End-to-end cost of the gateway on the simulated card, inside the private namespace, with a
// receiver counting records. In one run, for each gateway binary given (default: the one built
// here), side by side:
// - unpaced: records/s delivered, records lost, and the ratio to the simplest forwarder of the
//   same buffers (read the card's buffers, copy the records into datagrams, send them: this
//   machine's ceiling), measured in the same repetition;
// - paced at a 5 Mbit/s bus's worst case (104 k records/s): the gateway process's CPU per record
//   with the card's own cost taken out, the card's cost being that of a process doing nothing but
//   reading the same buffers at the same pace.
// The machine is shared: each figure is the median of the repetitions.
// Run as: scripts/netns-run build/bench/sim_e2e_bench [--records N] [--paced-records N]
//         [--repeat R] [--gateway LABEL=PATH]...
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "capture/sim_client.hpp"
#include "support/loopback_only.hpp"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t gateway_port = 57117;
constexpr std::uint16_t baseline_port = 57120;
constexpr std::size_t payload_limit = 64994;       // bytes of events before a datagram closes
constexpr auto idle_end = std::chrono::seconds(3); // a receiver this long without data is done
constexpr double paced_rate = 104000;              // records/s of a saturated 5 Mbit/s bus

struct Received {
    std::uint64_t records = 0;
    double seconds = 0;               // first to last datagram
    std::uint64_t window_records = 0; // records after the first datagram
    double window_cpu_seconds = -1;   // CPU of the watched process over the same span
};

double cpu_seconds_of(clockid_t clock) {
    timespec t{};
    if (clock_gettime(clock, &t) != 0) {
        return -1;
    }
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

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

    // `cpu` (optional): the CPU clock of the sending process, read at the first and last datagram.
    Received run(std::uint64_t expected, std::optional<clockid_t> cpu = std::nullopt) {
        Received r;
        double cpu_first = -1;
        double cpu_last = -1;
        std::uint64_t first_records = 0;
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
            if (cpu) {
                cpu_last = cpu_seconds_of(*cpu);
                if (cpu_first < 0) {
                    cpu_first = cpu_last;
                    first_records = r.records;
                }
            }
        }
        r.seconds = std::chrono::duration<double>(last - first).count();
        r.window_records = r.records - first_records;
        if (cpu_first >= 0 && cpu_last >= 0) {
            r.window_cpu_seconds = cpu_last - cpu_first;
        }
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

// The card alone: this program again, in a process of its own (so that its CPU clock counts the
// card's threads and nothing else), reading `records` records' worth of buffers at the pace.
// Prints "<records after the first buffer> <CPU seconds over them>".
int card_alone_main(std::uint64_t records) {
    const int card = open("/dev/capvane0", O_RDWR);
    if (card < 0) {
        std::perror("/dev/capvane0");
        return 1;
    }
    std::uint32_t one = 1;
    ioctl(card, simtest::kInit, 0);
    ioctl(card, simtest::kEnableSniffer, &one);
    std::vector<std::uint8_t> buffer(simtest::kBufferBytes);
    std::uint64_t seen = 0;
    std::uint64_t first_records = 0;
    double cpu_first = -1;
    while (seen < records) {
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
            ++seen;
            at += len;
        }
        if (cpu_first < 0) {
            cpu_first = cpu_seconds_of(CLOCK_PROCESS_CPUTIME_ID);
            first_records = seen;
        }
    }
    const double cpu = cpu_seconds_of(CLOCK_PROCESS_CPUTIME_ID) - cpu_first;
    close(card);
    std::printf("%llu %.9f\n", static_cast<unsigned long long>(seen - first_records), cpu);
    return 0;
}

// CPU seconds per record of the card alone at the pace, or -1.
double card_cpu_per_record(std::uint64_t records) {
    int out[2];
    if (pipe(out) != 0) {
        return -1;
    }
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        setenv("CAPVANE_SIM_PACE", std::to_string(paced_rate).c_str(), 1);
        setenv("CAPVANE_SIM_RECORDS", std::to_string(records).c_str(), 1);
        setenv("CAPVANE_SIM_CARDS", "0", 1);
        const std::string n = std::to_string(records);
        execl("/proc/self/exe", "sim_e2e_bench", "--card-alone", n.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char text[128] = {};
    std::size_t got = 0;
    ssize_t n = 0;
    while (got + 1 < sizeof text && (n = read(out[0], text + got, sizeof text - 1 - got)) > 0) {
        got += static_cast<std::size_t>(n);
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unsigned long long seen = 0;
    double cpu = 0;
    if (std::sscanf(text, "%llu %lf", &seen, &cpu) != 2 || seen == 0) {
        return -1;
    }
    return cpu / static_cast<double>(seen);
}

struct GatewayResult {
    Received rx;
    long long card_records = -1;
};

long long json_number(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

// The gateway `binary` on the card sending `records` records at `pace` ("max" or records/s).
GatewayResult run_gateway(const std::string& binary, std::uint64_t records,
                          const std::string& pace) {
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
        const std::string p = "CAPVANE_SIM_PACE=" + pace;
        const std::string n = "CAPVANE_SIM_RECORDS=" + std::to_string(records);
        const std::string rep = "CAPVANE_SIM_REPORT=" + report;
        execl("/usr/bin/env", "env", preload.c_str(), p.c_str(), n.c_str(), rep.c_str(),
              "CAPVANE_SIM_CARDS=0", binary.c_str(), "-B", buffer.c_str(), "-L", log.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // env execs the gateway in the same process: its CPU clock is the gateway's.
    std::optional<clockid_t> cpu;
    if (clockid_t id{}; clock_getcpuclockid(child, &id) == 0) {
        cpu = id;
    }
    GatewayResult result;
    result.rx = counter.run(records, cpu);
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
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

double rate_of(const Received& r) {
    return r.seconds > 0 ? static_cast<double>(r.records) / r.seconds : 0;
}

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    const std::size_t mid = v.size() / 2;
    return v.size() % 2 == 1 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

struct Column {
    std::string label;
    std::string binary;
    std::vector<double> rate, ratio, cpu_us;
    long long worst_loss = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--card-alone") == 0) {
        return card_alone_main(std::strtoull(argv[2], nullptr, 10));
    }
    if (!only_loopback_present()) {
        std::fprintf(stderr, "sim_e2e_bench sends broadcasts: run it through scripts/netns-run\n");
        return 2;
    }
    std::uint64_t records = 2'000'000;
    std::uint64_t paced_records = 520'000; // 5 s at the pace
    int repeat = 3;
    std::vector<Column> columns;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const std::string value = argv[i + 1];
        if (opt == "--records") {
            records = std::strtoull(value.c_str(), nullptr, 10);
        } else if (opt == "--paced-records") {
            paced_records = std::strtoull(value.c_str(), nullptr, 10);
        } else if (opt == "--repeat") {
            repeat = std::max(1, std::atoi(value.c_str()));
        } else if (opt == "--gateway") {
            const auto eq = value.find('=');
            columns.push_back(
                eq == std::string::npos
                    ? Column{value, value, {}, {}, {}, 0}
                    : Column{value.substr(0, eq), value.substr(eq + 1), {}, {}, {}, 0});
        } else {
            std::fprintf(stderr, "sim_e2e_bench: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (columns.empty()) {
        columns.push_back(Column{"fipgate", FIPGATE_BIN, {}, {}, {}, 0});
    }

    std::vector<double> base_rate, base_cpu_us, card_cpu_us;
    for (int rep = 0; rep < repeat; ++rep) {
        const Baseline base = run_baseline(records);
        const double b = rate_of(base.rx);
        base_rate.push_back(b);
        base_cpu_us.push_back(base.rx.records > 0
                                  ? base.cpu_seconds * 1e6 / static_cast<double>(base.rx.records)
                                  : 0);
        for (Column& c : columns) {
            const GatewayResult gw = run_gateway(c.binary, records, "max");
            const double r = rate_of(gw.rx);
            c.rate.push_back(r);
            c.ratio.push_back(b > 0 ? r / b : 0);
            c.worst_loss =
                std::max(c.worst_loss, gw.card_records - static_cast<long long>(gw.rx.records));
        }
        const double card = card_cpu_per_record(paced_records);
        card_cpu_us.push_back(card * 1e6);
        for (Column& c : columns) {
            const GatewayResult gw =
                run_gateway(c.binary, paced_records, std::to_string(paced_rate));
            const Received& rx = gw.rx;
            if (rx.window_records > 0 && rx.window_cpu_seconds >= 0 && card >= 0) {
                c.cpu_us.push_back(
                    (rx.window_cpu_seconds / static_cast<double>(rx.window_records) - card) * 1e6);
            }
        }
        std::fprintf(stderr, "repetition %d: forwarder %.0f/s, card alone %.3f us/record", rep + 1,
                     b, card * 1e6);
        for (const Column& c : columns) {
            std::fprintf(stderr, ", %s %.0f/s %.3f us/record", c.label.c_str(), c.rate.back(),
                         c.cpu_us.empty() ? -1.0 : c.cpu_us.back());
        }
        std::fprintf(stderr, "\n");
    }

    std::printf("median of %d repetitions, %llu records unpaced, %llu paced at %.0f records/s\n",
                repeat, static_cast<unsigned long long>(records),
                static_cast<unsigned long long>(paced_records), paced_rate);
    std::printf("%-40s", "");
    for (const Column& c : columns) {
        std::printf(" %14s", c.label.c_str());
    }
    std::printf(" %14s\n", "forwarder");
    std::printf("%-40s", "records/s delivered, unpaced");
    for (const Column& c : columns) {
        std::printf(" %14.0f", median(c.rate));
    }
    std::printf(" %14.0f\n", median(base_rate));
    std::printf("%-40s", "records lost (worst repetition)");
    for (const Column& c : columns) {
        std::printf(" %14lld", c.worst_loss);
    }
    std::printf(" %14s\n", "-");
    std::printf("%-40s", "ratio to the forwarder");
    for (const Column& c : columns) {
        std::printf(" %14.2f", median(c.ratio));
    }
    std::printf(" %14.2f\n", 1.0);
    std::printf("%-40s", "CPU us/record at 104k/s, card excluded");
    for (const Column& c : columns) {
        std::printf(" %14.3f", median(c.cpu_us));
    }
    std::printf(" %14s\n", "-");
    std::printf("%-40s %14.3f\n", "card alone: CPU us/record at 104k/s", median(card_cpu_us));
    std::printf("%-40s %14.3f\n", "forwarder: CPU us/record unpaced", median(base_cpu_us));
    return 0;
}

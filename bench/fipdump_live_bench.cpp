// fipdump against the gateway's full rate, inside the private namespace: the gateway runs on the
// simulated card and broadcasts, and in turn a bare reader (the gateway's own rate, the
// ceiling) and fipdump in each of its receiving modes (`-q`, `-q -w FILE`, `--bus -q`) take the
// stream. For each fipdump binary given (--fipdump LABEL=PATH, default the one built here), in
// one run, unpaced and paced:
// - records/s fipdump accounted (its metrics endpoint, scraped every 50 ms, from its first
//   records to its last),
// - fipdump's CPU per record (its rusage over the whole run),
// - datagrams the kernel dropped (the namespace's UDP receive-buffer errors: only fipdump
//   receives there) beside fipdump's own count and the sequence numbers it never saw,
// - records never seen (the card's delivered count less fipdump's), and apart, "lost before"
//   sending: those the card dropped for want of room and those the gateway dropped with its
//   buffer full (a gateway short of CPU does both; the card's and the gateway's own counts).
// Run as: scripts/netns-run build/bench/fipdump_live_bench [--records N] [--paced-rate R]
//         [--paced-seconds S] [--fipdump LABEL=PATH]... [--modes q,w,bus]
#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/loopback_only.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint16_t gateway_port = 57117;
constexpr std::uint16_t metrics_port = 19217;
constexpr auto scrape_every = 50ms;
constexpr auto idle_end = 3s; // a receiver this long without new records is done

std::string read_all(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

long long json_number(const std::string& json, const std::string& key) {
    const auto at = json.find("\"" + key + "\":");
    return at == std::string::npos ? -1 : std::atoll(json.c_str() + at + key.size() + 3);
}

// Datagrams the namespace's UDP sockets dropped for want of buffer space, by the kernel's count.
long long udp_rcvbuf_errors() {
    std::ifstream f("/proc/net/snmp");
    std::string names, values;
    while (std::getline(f, names) && std::getline(f, values)) {
        if (names.rfind("Udp:", 0) != 0) {
            continue;
        }
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors") {
                return std::atoll(value.c_str());
            }
        }
    }
    return -1;
}

// The sum of every sample of `family` in a Prometheus text page.
long long metric_sum(const std::string& page, const std::string& family) {
    long long sum = 0;
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(family, 0) == 0 && line.size() > family.size() &&
            (line[family.size()] == '{' || line[family.size()] == ' ')) {
            sum += std::atoll(line.c_str() + line.rfind(' ') + 1);
        }
    }
    return sum;
}

std::optional<std::string> http_get(std::uint16_t port, const std::string& path) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return std::nullopt;
    }
    const std::string req = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    if (send(s, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        close(s);
        return std::nullopt;
    }
    std::string page;
    char chunk[65536];
    ssize_t n = 0;
    while ((n = recv(s, chunk, sizeof chunk, 0)) > 0) {
        page.append(chunk, static_cast<std::size_t>(n));
    }
    close(s);
    return page;
}

// How a receiver did on one run.
struct Outcome {
    long long card_records = -1;   // what the card produced
    long long records = 0;         // what the receiver accounted
    double rate = 0;               // records/s, first to last records seen
    double cpu_us = -1;            // receiver CPU per record
    long long kernel_drops = -1;   // the namespace's count
    long long own_drops = -1;      // the receiver's own report of the kernel's count
    long long lost_datagrams = -1; // sequence numbers the receiver never saw
    long long gateway_lost = -1;   // events the gateway itself dropped (its log's count)
    std::string rcvbuf;            // what fipdump says the kernel granted, when it says
};

// The gateway on the card, `records` records at `pace` ("max" or records/s).
class Gateway {
public:
    Gateway(const std::string& binary, std::uint64_t records, const std::string& pace,
            const std::string& dir)
        : report(dir + "/card.json"), log(dir + "/fipgate.log") {
        std::filesystem::remove(log); // the gateway appends: one log per run
        child = fork();
        if (child == 0) {
            const std::string preload = std::string("LD_PRELOAD=") + CAPVANE_SIM_LIB;
            const std::string p = "CAPVANE_SIM_PACE=" + pace;
            const std::string n = "CAPVANE_SIM_RECORDS=" + std::to_string(records);
            const std::string rep = "CAPVANE_SIM_REPORT=" + report;
            const std::string buffer = dir + "/buffer.bin";
            execl("/usr/bin/env", "env", preload.c_str(), p.c_str(), n.c_str(), rep.c_str(),
                  "CAPVANE_SIM_CARDS=0", binary.c_str(), "-B", buffer.c_str(), "-L", log.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
    }
    // Stops the gateway; the records the card delivered, from its report.
    long long stop() {
        kill(child, SIGINT);
        int status = 0;
        waitpid(child, &status, 0);
        return json_number(read_all(report), "records");
    }
    // The records lost before anything was sent: those the card dropped for want of room (a
    // gateway short of CPU reads it too late) and the events the gateway dropped with its
    // buffer full, as its log tells them (one warning per interval and one at the end).
    long long dropped() const {
        const std::string text = read_all(log);
        const std::string key = "event buffer full: ";
        long long sum = std::max(0LL, json_number(read_all(report), "dropped_records"));
        for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
            sum += std::atoll(text.c_str() + at + key.size());
        }
        return sum;
    }

private:
    std::string report;
    std::string log;
    pid_t child = -1;
};

// Counts capture records in the datagrams arriving on the port until `expected` or an idle
// spell: the least a receiver can do.
Outcome bare_reader(const std::string& gateway, std::uint64_t records, const std::string& pace,
                    const std::string& dir) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    const int bytes = 256 * 1024 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(gateway_port);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    const long long drops_before = udp_rcvbuf_errors();
    Gateway gw(gateway, records, pace, dir);
    Outcome o;
    std::vector<std::uint8_t> d(65536);
    Clock::time_point first{}, last{};
    long long first_records = 0;
    long long last_count = 0;
    timespec cpu0{}, cpu1{};
    // Lifesigns keep coming after the last record: the end is a spell without records.
    auto progress = Clock::now();
    while (o.records < static_cast<long long>(records) && Clock::now() - progress < idle_end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::chrono::milliseconds(idle_end).count())) <= 0) {
            break;
        }
        const ssize_t n = recv(fd, d.data(), d.size(), 0);
        if (n < 16) {
            continue;
        }
        for (std::size_t at = 16; at + 3 <= static_cast<std::size_t>(n);) {
            const std::size_t len = (std::size_t{d[at + 1]} << 8) | d[at + 2];
            if (len < 3) {
                break;
            }
            o.records += d[at] == 0xC0 ? 1 : 0;
            at += len;
        }
        if (o.records == last_count) {
            continue;
        }
        last_count = o.records;
        progress = last = Clock::now();
        if (first == Clock::time_point{}) {
            first = last;
            first_records = o.records;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
        }
    }
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
    o.card_records = gw.stop();
    o.gateway_lost = gw.dropped();
    o.kernel_drops = udp_rcvbuf_errors() - drops_before;
    close(fd);
    const double seconds = std::chrono::duration<double>(last - first).count();
    if (seconds > 0) {
        o.rate = static_cast<double>(o.records - first_records) / seconds;
    }
    const double cpu = static_cast<double>(cpu1.tv_sec - cpu0.tv_sec) +
                       static_cast<double>(cpu1.tv_nsec - cpu0.tv_nsec) / 1e9;
    if (o.records > first_records) {
        o.cpu_us = cpu * 1e6 / static_cast<double>(o.records - first_records);
    }
    return o;
}

// fipdump `binary` with `mode_args` while the gateway sends.
Outcome fipdump_run(const std::string& binary, const std::vector<std::string>& mode_args,
                    const std::string& gateway, std::uint64_t records, const std::string& pace,
                    const std::string& dir) {
    const std::string out_path = dir + "/fipdump.out";
    const std::string err_path = dir + "/fipdump.err";
    const pid_t dump = fork();
    if (dump == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<std::string> args{binary, "--json", "--metrics",
                                      "127.0.0.1:" + std::to_string(metrics_port)};
        args.insert(args.end(), mode_args.begin(), mode_args.end());
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    // Listening once its metrics answer.
    const auto deadline = Clock::now() + 10s;
    while (!http_get(metrics_port, "/metrics") && Clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
    }
    const long long drops_before = udp_rcvbuf_errors();
    Outcome o;
    {
        Gateway gw(gateway, records, pace, dir);
        Clock::time_point first{}, last{};
        long long first_records = 0;
        auto changed = Clock::now();
        while (o.records < static_cast<long long>(records) && Clock::now() - changed < idle_end) {
            std::this_thread::sleep_for(scrape_every);
            const auto page = http_get(metrics_port, "/metrics");
            if (!page) {
                continue;
            }
            const long long now_records = metric_sum(*page, "fipgate_dump_capture_records_total");
            if (now_records == o.records) {
                continue;
            }
            changed = last = Clock::now();
            o.records = now_records;
            if (first == Clock::time_point{}) {
                first = last;
                first_records = now_records;
            }
        }
        o.card_records = gw.stop();
        o.gateway_lost = gw.dropped();
        const double seconds = std::chrono::duration<double>(last - first).count();
        if (seconds > 0) {
            o.rate = static_cast<double>(o.records - first_records) / seconds;
        }
    }
    kill(dump, SIGINT);
    int status = 0;
    rusage use{};
    wait4(dump, &status, 0, &use);
    o.kernel_drops = udp_rcvbuf_errors() - drops_before;
    const std::string summary = read_all(out_path);
    o.records = std::max(o.records, json_number(summary, "capture"));
    o.own_drops = json_number(summary, "kernel_drops");
    o.lost_datagrams = json_number(summary, "lost_datagrams");
    const double cpu = static_cast<double>(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
                       static_cast<double>(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
    if (o.records > 0) {
        o.cpu_us = cpu * 1e6 / static_cast<double>(o.records);
    }
    const std::string err = read_all(err_path);
    if (const auto at = err.find("receive buffer"); at != std::string::npos) {
        o.rcvbuf = err.substr(at, err.find('\n', at) - at);
    }
    return o;
}

// The run's files: the recordings and what the gateway and fipdump left.
void remove_recordings(const std::string& dir) {
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        std::filesystem::remove_all(e.path());
    }
}

struct Mode {
    std::string key;
    std::string label;
    std::vector<std::string> args; // FILE stands for the recording in the run's folder
};

void print_row(const std::string& label, const Outcome& o) {
    std::printf("%-24s %10.0f %10.3f %12lld %10lld %11lld %12lld %12lld  %s\n", label.c_str(),
                o.rate, o.cpu_us, o.kernel_drops, o.own_drops, o.lost_datagrams,
                o.card_records < 0 ? -1 : o.card_records - o.records, o.gateway_lost,
                o.rcvbuf.c_str());
    std::fflush(stdout);
}

void print_head(const std::string& title) {
    std::printf("\n%s\n%-24s %10s %10s %12s %10s %11s %12s %12s  %s\n", title.c_str(), "receiver",
                "records/s", "CPU us/rec", "kernel drops", "(own count)", "lost dgrams",
                "never seen", "lost before", "socket buffer");
}

} // namespace

int main(int argc, char** argv) {
    if (!only_loopback_present()) {
        std::fprintf(stderr,
                     "fipdump_live_bench sends broadcasts: run it through scripts/netns-run\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::uint64_t records = 20'000'000;
    double paced_rate = 2'000'000;
    double paced_seconds = 30;
    std::string modes = "q,w,bus";
    std::vector<std::pair<std::string, std::string>> binaries;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string opt = argv[i];
        const std::string value = argv[i + 1];
        if (opt == "--records") {
            records = std::strtoull(value.c_str(), nullptr, 10);
        } else if (opt == "--paced-rate") {
            paced_rate = std::atof(value.c_str());
        } else if (opt == "--paced-seconds") {
            paced_seconds = std::atof(value.c_str());
        } else if (opt == "--modes") {
            modes = value;
        } else if (opt == "--fipdump") {
            const auto eq = value.find('=');
            binaries.emplace_back(eq == std::string::npos ? value : value.substr(0, eq),
                                  eq == std::string::npos ? value : value.substr(eq + 1));
        } else {
            std::fprintf(stderr, "fipdump_live_bench: unknown option %s\n", opt.c_str());
            return 2;
        }
    }
    if (binaries.empty()) {
        binaries.emplace_back("fipdump", FIPDUMP_BIN);
    }
    std::vector<Mode> all{{"q", "-q", {"-q"}},
                          {"w", "-q -w FILE", {"-q", "-w", "FILE", "-C", "200", "-W", "3"}},
                          {"bus", "--bus -q", {"--bus", "-q"}}};
    char dir[] = "/tmp/fipdump-live-bench.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string gateway = FIPGATE_BIN;
    const auto paced_records = static_cast<std::uint64_t>(paced_rate * paced_seconds);
    const std::pair<std::string, std::uint64_t> runs[] = {
        {"max", records}, {std::to_string(static_cast<long long>(paced_rate)), paced_records}};
    std::printf("records/s: from the first to the last records the receiver accounted; CPU: the "
                "receiver's, over the whole run\n(-w FILE rotates every 200 MB in a ring of 3)\n");
    for (const auto& [pace, n] : runs) {
        print_head(pace == "max"
                       ? "unpaced, " + std::to_string(n) + " records"
                       : "paced at " + pace + " records/s, " + std::to_string(n) + " records");
        print_row("bare reader", bare_reader(gateway, n, pace, dir));
        for (const Mode& m : all) {
            if (modes.find(m.key) == std::string::npos) {
                continue;
            }
            for (const auto& [label, binary] : binaries) {
                std::vector<std::string> args = m.args;
                for (std::string& a : args) {
                    if (a == "FILE") {
                        a = std::string(dir) + "/rec.pcap";
                    }
                }
                print_row(label + " " + m.label, fipdump_run(binary, args, gateway, n, pace, dir));
                remove_recordings(dir);
            }
        }
    }
    remove_recordings(dir);
    rmdir(dir);
    return 0;
}

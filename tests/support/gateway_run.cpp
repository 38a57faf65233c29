#include "support/gateway_run.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr int receive_buffer_bytes = 8 * 1024 * 1024; // the test itself must lose nothing
constexpr std::size_t max_datagram = 65536;

std::string preload_value() {
    std::string value = SANITIZER_RUNTIME_PRELOAD;
    if (!value.empty()) {
        value += ":";
    }
    return value + CAPVANE_SIM_LIB;
}

} // namespace

UdpReceiver::UdpReceiver(std::uint16_t port) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
}

UdpReceiver::~UdpReceiver() {
    if (fd >= 0) {
        close(fd);
    }
}

std::optional<std::vector<std::uint8_t>> UdpReceiver::receive(std::chrono::milliseconds timeout) {
    if (fd < 0) {
        return std::nullopt;
    }
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> datagram(max_datagram);
    const ssize_t n = recv(fd, datagram.data(), datagram.size(), 0);
    if (n < 0) {
        return std::nullopt;
    }
    datagram.resize(static_cast<std::size_t>(n));
    return datagram;
}

SimControl::SimControl(const std::string& path, std::chrono::milliseconds timeout) {
    eventually(
        [&] {
            const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
            if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                fd = s;
                return true;
            }
            close(s);
            return false;
        },
        timeout);
}

SimControl::~SimControl() {
    if (fd >= 0) {
        close(fd);
    }
}

std::string SimControl::command(const std::string& line) {
    if (fd < 0) {
        return "";
    }
    const std::string out = line + "\n";
    if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        return "";
    }
    for (;;) {
        const auto nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string answer = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return answer;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return "";
        }
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return "";
        }
        pending.append(chunk, static_cast<std::size_t>(n));
    }
}

GatewayRun::GatewayRun(const GatewayConfig& config) {
    std::vector<std::string> command = {"/usr/bin/env", "LD_PRELOAD=" + preload_value(),
                                        "CAPVANE_SIM_REPORT=" + report_path()};
    if (config.control) {
        command.push_back("CAPVANE_SIM_CONTROL=" + control_path());
    }
    for (const auto& [name, value] : config.card_env) {
        command.push_back(name + "=" + value);
    }
    command.push_back(FIPGATE_BIN);
    command.push_back("-B");
    command.push_back(buffer_path());
    command.insert(command.end(), config.options.begin(), config.options.end());
    child = std::make_unique<ChildProcess>(sink.wrap(command));
}

GatewayRun::~GatewayRun() = default;

bool GatewayRun::wait_running(int count, std::chrono::milliseconds timeout) {
    const std::string line = "app is running... press Ctrl + C to exit.\n";
    return child->wait_for_output(line, count, timeout);
}

int GatewayRun::stop(int signo, std::chrono::milliseconds timeout) {
    kill(child->pid(), signo);
    return child->wait_exit(timeout);
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

long long json_number(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const auto at = json.find(quoted);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtoll(json.c_str() + at + quoted.size(), nullptr, 10);
}

} // namespace testsupport

#include "support/notify_socket.hpp"

#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

NotifySocket::NotifySocket() : socket_path(dir.file("notify")) {
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || socket_path.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("notify socket");
    }
    std::memcpy(addr.sun_path, socket_path.c_str(), socket_path.size() + 1);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("notify socket bind");
    }
}

NotifySocket::~NotifySocket() {
    if (fd >= 0) {
        close(fd);
    }
}

std::optional<std::string> NotifySocket::receive(std::chrono::milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n < 0) {
        return std::nullopt;
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

bool NotifySocket::wait_for(const std::string& prefix, std::chrono::milliseconds timeout,
                            std::vector<Notice>& seen) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return false;
        }
        auto notice =
            receive(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now));
        if (!notice) {
            return false;
        }
        seen.push_back({*notice, std::chrono::steady_clock::now()});
        if (notice->rfind(prefix, 0) == 0) {
            return true;
        }
    }
}

} // namespace testsupport

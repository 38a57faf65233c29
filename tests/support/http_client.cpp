#include "support/http_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace testsupport {

std::string http_exchange(std::uint16_t port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return "";
    }
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size())) {
        char buf[8192];
        ssize_t n = 0;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0) {
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

std::string scrape_metrics(std::uint16_t port) {
    return http_exchange(port, "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
}

} // namespace testsupport

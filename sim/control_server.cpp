#include "control_server.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace capvane_sim {

namespace {

constexpr int kListenBacklog = 8;
constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kReadChunkBytes = 4096;
// Longest line kept: an injected record in hex with separators, with room to spare.
constexpr std::size_t kMaxLineBytes = 256 * 1024;
// A client that stops reading must not hold the card's session open for long.
constexpr int kSendTimeoutSec = 1;

struct Client {
    int fd;
    std::string input;
    bool discarding = false; // inside a line that was too long
};

void send_line(int fd, const std::string& answer) {
    std::string line = answer + "\n";
    std::size_t sent = 0;
    while (sent < line.size()) {
        const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        sent += static_cast<std::size_t>(n);
    }
}

} // namespace

ControlServer::ControlServer(std::string path, Handler handler)
    : path_(std::move(path)), handler_(std::move(handler)) {
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "capvane-sim: control socket path too long: %s\n", path_.c_str());
        return;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::fprintf(stderr, "capvane-sim: control socket: %s\n", std::strerror(errno));
        return;
    }
    ::unlink(path_.c_str());
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd, kListenBacklog) != 0) {
        std::fprintf(stderr, "capvane-sim: control socket %s: %s\n", path_.c_str(),
                     std::strerror(errno));
        ::close(fd);
        return;
    }
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        ::close(fd);
        ::unlink(path_.c_str());
        return;
    }
    listen_fd_ = fd;
    thread_ = std::thread(&ControlServer::_bkgd_control_func, this);
}

ControlServer::~ControlServer() {
    if (thread_.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        ::unlink(path_.c_str());
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
    }
}

void ControlServer::_bkgd_control_func() {
    (void)pthread_setname_np(pthread_self(), "sim-control");
    std::vector<Client> clients;
    try {
        for (;;) {
            std::vector<pollfd> fds;
            fds.push_back({wake_fd_, POLLIN, 0});
            fds.push_back({listen_fd_, POLLIN, 0});
            for (const Client& c : clients) {
                fds.push_back({c.fd, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            if (fds[0].revents != 0) {
                break;
            }
            // Clients first: their indexes in fds match `clients` only before anyone is added.
            for (std::size_t i = clients.size(); i-- > 0;) {
                if (fds[i + 2].revents == 0) {
                    continue;
                }
                Client& c = clients[i];
                char chunk[kReadChunkBytes];
                const ssize_t n = ::read(c.fd, chunk, sizeof chunk);
                if (n <= 0) {
                    if (n < 0 && errno == EINTR) {
                        continue;
                    }
                    ::close(c.fd);
                    clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                for (ssize_t k = 0; k < n; ++k) {
                    const char ch = chunk[k];
                    if (ch == '\n') {
                        if (c.discarding) {
                            send_line(c.fd, "error line too long");
                        } else {
                            send_line(c.fd, handler_(c.input));
                        }
                        c.input.clear();
                        c.discarding = false;
                    } else if (!c.discarding) {
                        c.input += ch;
                        if (c.input.size() > kMaxLineBytes) {
                            c.input.clear();
                            c.discarding = true;
                        }
                    }
                }
            }
            if (fds[1].revents & POLLIN) {
                const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    if (clients.size() >= kMaxClients) {
                        send_line(fd, "error too many connections");
                        ::close(fd);
                    } else {
                        timeval timeout{kSendTimeoutSec, 0};
                        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
                        clients.push_back(Client{fd, {}, false});
                    }
                }
            }
        }
    } catch (...) {
        std::fprintf(stderr, "capvane-sim: control thread stopped on an error\n");
    }
    for (const Client& c : clients) {
        ::close(c.fd);
    }
}

} // namespace capvane_sim

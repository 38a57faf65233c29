// The HTTP endpoint of --metrics. All of Boost.Beast stays in metrics_server.cpp: it is slow to
// compile, and nothing else needs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace fipdump {

class MetricsServer {
public:
    // Called on the server's thread for every request of any path; returns the body.
    using Render = std::function<std::string()>;

    // Listens on host:port (port 0: any free port, see port()) and starts serving on its own
    // thread. `host` is an address, a name (its first address) or empty (every address, IPv6
    // and IPv4). ok() is false and error() says why when the address cannot be bound.
    MetricsServer(const std::string& host, std::uint16_t port, Render render);
    ~MetricsServer(); // stops the thread; open connections are dropped
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    bool ok() const { return impl != nullptr; }
    const std::string& error() const { return why; }
    std::uint16_t port() const { return bound_port; }
    // "addr:port", "[v6]:port" or ":port" (every address), as bound.
    const std::string& endpoint() const { return where; }

private:
    void _bkgd_http_func();

    struct Impl;
    std::unique_ptr<Impl> impl;
    std::thread thread;
    std::uint16_t bound_port = 0;
    std::string where;
    std::string why;
};

} // namespace fipdump

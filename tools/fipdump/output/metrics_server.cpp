#include "tools/fipdump/output/metrics_server.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <iostream>

#include "tools/fipdump/output/metrics.hpp"

namespace fipdump {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

// A scraper that stalls must not hold a connection open for ever.
constexpr std::chrono::seconds kRequestTimeout{5};

// One connection: read one request, answer it, close.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const MetricsServer::Render& render_)
        : stream(std::move(socket)), render(render_) {}

    void start() {
        stream.expires_after(kRequestTimeout);
        http::async_read(
            stream, buffer, request,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

private:
    void on_read(beast::error_code ec) {
        if (ec) {
            return;
        }
        response.version(request.version());
        response.keep_alive(false);
        if (request.method() != http::verb::get && request.method() != http::verb::head) {
            response.result(http::status::method_not_allowed);
            response.set(http::field::content_type, "text/plain");
            response.body() = "only GET\n";
        } else {
            response.result(http::status::ok);
            response.set(http::field::content_type, kMetricsContentType);
            response.body() = render();
        }
        response.prepare_payload();
        if (request.method() == http::verb::head) {
            response.body().clear();
        }
        stream.expires_after(kRequestTimeout);
        http::async_write(stream, response,
                          [self = shared_from_this()](beast::error_code, std::size_t) {
                              beast::error_code ignored;
                              self->stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          });
    }

    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
    const MetricsServer::Render& render;
};

} // namespace

struct MetricsServer::Impl {
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    Render render;

    void accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            if (!ec) {
                std::make_shared<Session>(std::move(socket), render)->start();
            }
            accept();
        });
    }
};

MetricsServer::MetricsServer(const std::string& host, std::uint16_t port, Render render) {
    auto i = std::make_unique<Impl>();
    i->render = std::move(render);
    try {
        tcp::endpoint ep;
        if (host.empty()) {
            // Every address: IPv6 and IPv4 on one socket where the host has IPv6.
            ep = tcp::endpoint(tcp::v6(), port);
            beast::error_code ec;
            i->acceptor.open(ep.protocol(), ec);
            if (ec) {
                ep = tcp::endpoint(tcp::v4(), port);
            } else {
                i->acceptor.set_option(asio::ip::v6_only(false));
            }
        } else {
            // A name (localhost) is resolved; its first address is served.
            tcp::resolver resolver(i->io);
            const auto found =
                resolver.resolve(host, std::to_string(port), tcp::resolver::numeric_service);
            ep = found.begin()->endpoint();
        }
        if (!i->acceptor.is_open()) {
            i->acceptor.open(ep.protocol());
        }
        i->acceptor.set_option(asio::socket_base::reuse_address(true));
        i->acceptor.bind(ep);
        i->acceptor.listen();
        const tcp::endpoint bound = i->acceptor.local_endpoint();
        bound_port = bound.port();
        const std::string addr = host.empty() ? std::string() : bound.address().to_string();
        where = (bound.address().is_v6() && !host.empty() ? "[" + addr + "]" : addr) + ":" +
                std::to_string(bound_port);
    } catch (const std::exception& e) {
        why = "metrics on " + host + ":" + std::to_string(port) + ": " + e.what();
        return;
    }
    i->accept();
    impl = std::move(i);
    thread = std::thread(&MetricsServer::_bkgd_http_func, this);
}

MetricsServer::~MetricsServer() {
    if (impl) {
        // stop() makes run() return at once; sessions still queued are destroyed with io.
        impl->io.stop();
    }
    if (thread.joinable()) {
        thread.join();
    }
}

void MetricsServer::_bkgd_http_func() {
    try {
        impl->io.run();
    } catch (const std::exception& e) {
        std::cerr << "fipdump: metrics endpoint stopped: " << e.what() << "\n";
    }
}

} // namespace fipdump

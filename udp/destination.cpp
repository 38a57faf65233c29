#include "udp/destination.hpp"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/multicast.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/system_error.hpp>

namespace {

constexpr int socket_buffer_bytes = 1 << 20; // SO_SNDBUF and SO_RCVBUF: absorbs send bursts
constexpr int max_multicast_ttl = 255;

using boost::asio::ip::udp;

void check(int rc, const char* what) {
    if (rc != 0) {
        throw boost::system::system_error(errno, boost::system::system_category(), what);
    }
}

} // namespace

Destination Destination::limited_broadcast(std::uint16_t port) {
    Destination d;
    d.to = udp::endpoint(boost::asio::ip::address_v4::broadcast(), port);
    return d;
}

std::string Destination::address_problem(const std::string& address) {
    boost::system::error_code ec;
    const auto parsed = boost::asio::ip::make_address(address, ec);
    if (ec) {
        return "'" + address + "' is not a numeric IPv4 or IPv6 address";
    }
    if (parsed.is_unspecified()) {
        return "'" + address + "' names no destination";
    }
    return "";
}

std::string Destination::interface_problem(const std::string& interface) {
    if (interface.empty() || interface.size() >= IFNAMSIZ) {
        return "'" + interface + "' is not an interface name (1 to " +
               std::to_string(IFNAMSIZ - 1) + " characters)";
    }
    for (const char c : interface) {
        if (c == '/' || c == ':' || static_cast<unsigned char>(c) <= ' ') {
            return "'" + interface + "' is not an interface name";
        }
    }
    return "";
}

Destination Destination::resolve(const DestinationSettings& s) {
    if (const std::string problem = address_problem(s.address); !problem.empty()) {
        throw std::invalid_argument("UdpAddress: " + problem);
    }
    if (s.multicast_ttl < 0 || s.multicast_ttl > max_multicast_ttl) {
        throw std::invalid_argument("MulticastTtl: " + std::to_string(s.multicast_ttl) +
                                    " is outside 0-255");
    }
    Destination d;
    d.multicast_ttl = s.multicast_ttl;
    auto address = boost::asio::ip::make_address(s.address);
    if (!s.interface.empty()) {
        if (const std::string problem = interface_problem(s.interface); !problem.empty()) {
            throw std::invalid_argument("UdpInterface: " + problem);
        }
        d.interface_index = if_nametoindex(s.interface.c_str());
        if (d.interface_index == 0) {
            throw std::invalid_argument("UdpInterface: no interface named '" + s.interface + "'");
        }
        d.interface = s.interface;
        // A link-local IPv6 address means nothing without its link: the interface names it.
        if (address.is_v6()) {
            auto v6 = address.to_v6();
            if ((v6.is_link_local() || v6.is_multicast_link_local()) && v6.scope_id() == 0) {
                v6.scope_id(d.interface_index);
                address = v6;
            }
        }
    }
    d.to = udp::endpoint(address, s.port);
    return d;
}

Destination Destination::on_port(std::uint16_t port) const {
    Destination d = *this;
    d.to.port(port);
    return d;
}

bool Destination::is_limited_broadcast() const {
    return interface.empty() && to.address().is_v4() &&
           to.address().to_v4() == boost::asio::ip::address_v4::broadcast();
}

void Destination::open_socket(udp::socket& socket) const {
    const bool v4 = to.address().is_v4();
    socket.open(v4 ? udp::v4() : udp::v6());
    socket.set_option(boost::asio::socket_base::send_buffer_size(socket_buffer_bytes));
    socket.set_option(boost::asio::socket_base::receive_buffer_size(socket_buffer_bytes));
    socket.set_option(boost::asio::socket_base::reuse_address(true));
    if (v4) {
        socket.set_option(boost::asio::socket_base::broadcast(true));
    }
    const int fd = socket.native_handle();
    if (is_multicast()) {
        socket.set_option(boost::asio::ip::multicast::hops(multicast_ttl));
        socket.set_option(boost::asio::ip::multicast::enable_loopback(true));
        if (interface_index != 0) {
            if (v4) {
                // By index rather than by address: the interface may have several addresses,
                // or none yet.
                ip_mreqn req{};
                req.imr_ifindex = static_cast<int>(interface_index);
                check(setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &req, sizeof req),
                      "IP_MULTICAST_IF");
            } else {
                socket.set_option(boost::asio::ip::multicast::outbound_interface(interface_index));
            }
        }
    } else if (!interface.empty()) {
        check(setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                         static_cast<socklen_t>(interface.size())),
              "SO_BINDTODEVICE");
    }
}

std::string Destination::describe() const {
    // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on "[" + text + "]".
    const auto address = to.address();
    std::string text;
    if (address.is_v6()) {
        text.append("[").append(address.to_string()).append("]");
    } else {
        text.append(address.to_string());
    }
    text.append(":").append(std::to_string(to.port()));
    if (!interface.empty()) {
        text += " via " + interface;
    }
    if (is_multicast()) {
        text += ", multicast ttl " + std::to_string(multicast_ttl);
    }
    return text;
}

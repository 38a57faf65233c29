// Where the sender's datagrams go: an address and port, the interface they leave by, and the
// hop limit of multicast datagrams, resolved once when a sender is built.
//
// Design notes
// - This is the one place that knows the kinds of destination. The sender opens its socket
//   through open_socket() and sends to endpoint(); it never learns whether it talks to a
//   broadcast, a unicast peer or a group. A new kind is added here.
// - IPv4 sockets always have broadcast permission, as the gateway always had: a directed
//   broadcast (192.168.10.255) cannot be told from a unicast address without the netmask, and
//   the permission changes nothing for the other kinds.
// - The interface: for a multicast group it picks the outgoing interface (the group is joined
//   by the receivers, the route table has no say); for any other address the socket is bound
//   to the device, so that a limited broadcast leaves on that interface rather than the one
//   the routing table picks.
// - Multicast loop is on, so that a receiver on the gateway PC itself gets the stream.
#pragma once

#include <cstdint>
#include <string>

#include <boost/asio/ip/udp.hpp>

// The destination as configured: texts and numbers, not yet checked against the system.
struct DestinationSettings {
    std::string address = "255.255.255.255"; // IPv4 or IPv6, numeric
    std::uint16_t port = 57117;
    std::string interface; // empty: the routing table picks
    int multicast_ttl = 1; // hops of multicast datagrams, 0 to 255
};

class Destination {
public:
    // The IPv4 limited broadcast on `port`, on whichever interface the routing table picks.
    static Destination limited_broadcast(std::uint16_t port);

    // Checks and resolves `s` (the interface name to its index). Throws std::invalid_argument,
    // whose message names the bad value, when the address is not a numeric IP address or is
    // the unspecified one, when the interface does not exist, or when the TTL is outside 0-255.
    static Destination resolve(const DestinationSettings& s);

    // What is wrong with an address or an interface name as text ("" when nothing is), without
    // asking the system whether the interface exists. The configuration reader's checks.
    static std::string address_problem(const std::string& address);
    static std::string interface_problem(const std::string& interface);

    // Opens `socket` for the destination's address family and sets the options it needs: 1 MiB
    // send and receive buffers, address reuse, and then those of its kind. Throws
    // boost::system::system_error when the system refuses one. Called by the sender, once.
    void open_socket(boost::asio::ip::udp::socket& socket) const;

    // The same destination on another port.
    Destination on_port(std::uint16_t port) const;

    const boost::asio::ip::udp::endpoint& endpoint() const { return to; }
    std::uint16_t port() const { return to.port(); }
    bool is_multicast() const { return to.address().is_multicast(); }
    // True for the gateway's historical destination: 255.255.255.255, no interface.
    bool is_limited_broadcast() const;

    // For the log: "239.1.2.3:57117 via eth1, multicast ttl 4", "[::1]:57117".
    std::string describe() const;

private:
    boost::asio::ip::udp::endpoint to;
    std::string interface;            // empty: none
    unsigned int interface_index = 0; // 0: none
    int multicast_ttl = 1;
};

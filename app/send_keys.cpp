#include "app/send_keys.hpp"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "app/config.hpp"
#include "udp/datagram_header.hpp"
#include "udp/destination.hpp"

namespace {

constexpr long max_multicast_ttl = 255;

// The whole of `text` as a decimal number within [low, high]; false for anything else
// ("4x", "", " 4", a sign where none belongs, an overflow).
bool strict_number(const char* text, long low, long high, long& out) {
    if (*text == '\0' || (*text != '-' && (*text < '0' || *text > '9'))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    out = v;
    return true;
}

} // namespace

bool apply_send_key(app_cfg* c, const char* key, const char* value, std::string& problem) {
    problem.clear();
    long number = 0;
    if (std::strcmp(key, "UdpAddress") == 0) {
        if (std::string p = Destination::address_problem(value); !p.empty()) {
            problem = "UdpAddress: " + p;
        } else {
            replace_text(&c->udp_address, value);
        }
    } else if (std::strcmp(key, "UdpInterface") == 0) {
        if (std::string p = Destination::interface_problem(value); !p.empty()) {
            problem = "UdpInterface: " + p;
        } else {
            replace_text(&c->udp_interface, value);
        }
    } else if (std::strcmp(key, "MulticastTtl") == 0) {
        if (!strict_number(value, 0, max_multicast_ttl, number)) {
            problem = std::string("MulticastTtl: '") + value + "' is not a number from 0 to 255";
        } else {
            c->multicast_ttl = static_cast<std::int32_t>(number);
        }
    } else if (std::strcmp(key, "MaxDatagramBytes") == 0) {
        const auto low = static_cast<long>(datagram::min_datagram_cap);
        const auto high = static_cast<long>(datagram::max_udp_payload);
        if (!strict_number(value, low, high, number)) {
            problem = std::string("MaxDatagramBytes: '") + value + "' is not a number from " +
                      std::to_string(low) + " to " + std::to_string(high);
        } else {
            c->datagram_cap = static_cast<std::int32_t>(number);
        }
    } else {
        return false;
    }
    return true;
}

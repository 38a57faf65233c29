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

SendSettings restart_send_settings(app_cfg* c) {
    SendSettings running;
    if (c->udp_address != nullptr) {
        running.udp_address = c->udp_address;
    }
    if (c->udp_interface != nullptr) {
        running.udp_interface = c->udp_interface;
    }
    running.multicast_ttl = c->multicast_ttl;
    running.datagram_cap = c->datagram_cap;
    replace_text(&c->udp_address, nullptr);
    replace_text(&c->udp_interface, nullptr);
    c->multicast_ttl = default_multicast_ttl;
    c->datagram_cap = default_datagram_cap;
    return running;
}

void keep_running_value(app_cfg* c, const char* key, const SendSettings& running) {
    const auto text = [](const std::optional<std::string>& v) { return v ? v->c_str() : nullptr; };
    if (std::strcmp(key, "UdpAddress") == 0) {
        replace_text(&c->udp_address, text(running.udp_address));
    } else if (std::strcmp(key, "UdpInterface") == 0) {
        replace_text(&c->udp_interface, text(running.udp_interface));
    } else if (std::strcmp(key, "MulticastTtl") == 0) {
        c->multicast_ttl = running.multicast_ttl;
    } else if (std::strcmp(key, "MaxDatagramBytes") == 0) {
        c->datagram_cap = running.datagram_cap;
    }
}

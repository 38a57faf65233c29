#include "app/destination_choice.hpp"

#include <stdexcept>
#include <syslog.h>

#include "app/config.hpp"
#include "log/logger.hpp"

namespace {

void report(const app_cfg* c, const std::string& problem, const char* consequence) {
    const char* file = c->conf_file_name != nullptr ? c->conf_file_name : "(none)";
    logger::print(flog, logger::msg_type::err, "configuration file %s: %s%s\n", file,
                  problem.c_str(), consequence);
    syslog(LOG_ERR, "Configuration file %s: %s%s", file, problem.c_str(), consequence);
}

} // namespace

bool accept_conf_problems(const app_cfg* c, const std::vector<std::string>& problems, bool reload) {
    for (const std::string& p : problems) {
        report(c, p, reload ? "; the previous value is kept" : "");
    }
    return reload || problems.empty();
}

Destination DestinationChoice::next(const app_cfg* c) {
    DestinationSettings s;
    if (c->udp_address != nullptr) {
        s.address = c->udp_address;
    }
    s.port = static_cast<std::uint16_t>(c->udp_port);
    if (c->udp_interface != nullptr) {
        s.interface = c->udp_interface;
    }
    s.multicast_ttl = c->multicast_ttl;
    try {
        previous = Destination::resolve(s);
    } catch (const std::invalid_argument& e) {
        if (!previous) {
            throw;
        }
        previous = previous->on_port(s.port);
        report(c, e.what(), ("; keeping " + previous->describe()).c_str());
    }
    return *previous;
}

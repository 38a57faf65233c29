// Guard for code that sends: true only when the calling process's network namespace holds no
// interface but loopback. /sys/class/net is not used: it shows the namespace of whoever mounted
// sysfs, which inside scripts/netns-run is still the host's.
#pragma once

#include <net/if.h>

#include <string>

inline bool only_loopback_present() {
    struct if_nameindex* list = if_nameindex();
    if (list == nullptr) {
        return false;
    }
    bool only_lo = true;
    for (const struct if_nameindex* i = list; i->if_index != 0; ++i) {
        if (std::string(i->if_name) != "lo") {
            only_lo = false;
        }
    }
    if_freenameindex(list);
    return only_lo;
}

// The configuration keys that say where the datagrams go and how large they may be: UdpAddress,
// UdpInterface, MulticastTtl and MaxDatagramBytes. Unlike the older keys they are checked when
// read: a bad value leaves the setting as it was (the default, or the value of the previous
// reading) and is reported, so that a typing error never sends the stream somewhere else.
// Only the file sets them, so each reading starts them from their defaults: a line removed or
// corrected takes effect at the next reload, and a refused value keeps the running one for that
// reading only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct app_cfg;

// The four settings as one reading found them.
struct SendSettings {
    std::optional<std::string> udp_address;
    std::optional<std::string> udp_interface;
    std::int32_t multicast_ttl = 0;
    std::int32_t datagram_cap = 0;
};

// Returns the four settings of `c` and sets them back to their defaults, for a reading that
// starts afresh.
SendSettings restart_send_settings(app_cfg* c);

// Gives `key` (one of the four) its value from `running` again, after its new value was refused.
void keep_running_value(app_cfg* c, const char* key, const SendSettings& running);

// Applies `value` to the setting of `key` in `c` when `key` is one of the four. Returns false
// when it is not (the caller goes on with its own keys). A bad value leaves `c` unchanged and
// sets `problem` to a message naming the key and the value; `problem` is cleared otherwise.
bool apply_send_key(app_cfg* c, const char* key, const char* value, std::string& problem);

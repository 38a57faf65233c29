// The configuration keys that say where the datagrams go and how large they may be: UdpAddress,
// UdpInterface, MulticastTtl and MaxDatagramBytes. Unlike the older keys they are checked when
// read: a bad value leaves the setting as it was (the default, or the value of the previous
// reading) and is reported, so that a typing error never sends the stream somewhere else.
#pragma once

#include <string>

struct app_cfg;

// Applies `value` to the setting of `key` in `c` when `key` is one of the four. Returns false
// when it is not (the caller goes on with its own keys). A bad value leaves `c` unchanged and
// sets `problem` to a message naming the key and the value; `problem` is cleared otherwise.
bool apply_send_key(app_cfg* c, const char* key, const char* value, std::string& problem);

// The one configuration record of the process and the values that live beside it.
#pragma once

#include <cstdint>

#include "fipgate_version.hpp"

// Filled by load_settings before anything else runs; afterwards only the configuration file
// (device_index, udp_port and the destination and datagram-size keys, which it alone sets) and
// the device availability check (device_index) change it.
struct app_cfg {
    std::int32_t device_index;     // -1: first device found
    std::int32_t udp_port;         // handed to the sender as its low 16 bits
    std::int64_t stats_period;     // ms between status screen redraws; -1: no screen
    std::int32_t max_evt;          // events per UDP datagram, at most
    std::int32_t daemonize;        // 1: run as a daemon
    std::uint64_t lifesign_period; // ms between lifesign records; 0: none
    std::uint64_t buff_size;       // bytes of the buffer file
    char* log_file_name;           // owned; null: standard output
    char* buff_file_name;          // owned; null: default_buffer_path
    char* conf_file_name;          // owned; null: no configuration file
    char* udp_address;             // owned, numeric IPv4 or IPv6; null: 255.255.255.255
    char* udp_interface;           // owned; null: the routing table picks
    std::int32_t multicast_ttl;    // hops of multicast datagrams, 0 to 255
    std::int32_t datagram_cap;     // bytes of the largest datagram, header included
};

extern app_cfg cfg;

// PID file of daemon mode; owned, null when none is wanted.
extern char* pid_file_name;

// Last component of argv[0], for the usage and version lines.
extern const char* app_name;

extern const char* const default_buffer_path;

constexpr std::uint64_t default_buffer_size = 52428800; // bytes (50 MiB)
// The smallest buffer file: its segment holds the records of one full transfer buffer (1,092 of
// the shortest, 30 bytes each) besides its own bookkeeping.
constexpr std::uint64_t min_buffer_size = 32768; // bytes
constexpr std::int32_t default_udp_port = 57117;
constexpr std::int64_t default_stats_period = -1;      // ms; status screen off
constexpr std::uint64_t default_lifesign_period = 500; // ms
constexpr std::int32_t default_max_evt = 1000;         // events per datagram
constexpr std::int32_t default_multicast_ttl = 1;      // hops: the local network only
constexpr std::int32_t default_datagram_cap = 65507;   // bytes: the largest IPv4 UDP payload
constexpr const char* app_version = FIPGATE_VERSION;

// A destination port the sender can use: port 0 cannot be sent to, and a larger value would be
// cut to its low 16 bits.
constexpr bool valid_udp_port(long port) {
    return port >= 1 && port <= 65535;
}

// Releases the owned texts of `c`, then clears the record and sets every default.
void reset_config(app_cfg* c);

// Frees the texts of `c` and pid_file_name, leaving the pointers null. Called once at the
// end of the gateway, on the main thread (the signal handler never reads these texts).
void release_config_texts(app_cfg* c);

// Replaces an owned text with a heap copy of `value` (null clears it).
void replace_text(char** field, const char* value);

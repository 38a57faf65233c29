// The names of the gateway's threads, as `top -H`, `ps -L`, gdb and /proc/<pid>/task/*/comm show
// them. The list is stable and documented (README): operators' scripts and alerts may use it.
// The main thread keeps the program's name.
#pragma once

#include <string_view>

#include <pthread.h>

namespace thread_name {

inline constexpr const char* kCapture = "capture";              // acquisition loop
inline constexpr const char* kCaptureStats = "capture-stats";   // capture per-second statistics
inline constexpr const char* kCaptureWatchdog = "capture-wdog"; // fieldbus link watchdog
inline constexpr const char* kUdpTx = "udp-tx";                 // datagram batching and sending
inline constexpr const char* kUdpStats = "udp-stats";           // sender per-second statistics
inline constexpr const char* kUdpWatchdog = "udp-watchdog";     // UDP link watchdog
inline constexpr const char* kHostSampler = "host-sampler";     // CPU, RAM and storage figures
inline constexpr const char* kLifesign = "lifesign";            // lifesign records
inline constexpr const char* kScreen = "screen";                // status screen

// The kernel keeps 15 characters and the terminating zero; a longer name is refused whole.
inline constexpr std::size_t kMaxLength = 15;
static_assert(std::string_view(kCaptureStats).size() <= kMaxLength);
static_assert(std::string_view(kCaptureWatchdog).size() <= kMaxLength);
static_assert(std::string_view(kUdpWatchdog).size() <= kMaxLength);
static_assert(std::string_view(kHostSampler).size() <= kMaxLength);

// Names the calling thread. A refusal changes nothing else: the thread runs unnamed.
inline void name_this_thread(const char* name) {
    (void)pthread_setname_np(pthread_self(), name);
}

} // namespace thread_name

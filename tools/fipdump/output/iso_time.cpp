#include "tools/fipdump/output/iso_time.hpp"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace fipdump {

namespace {
constexpr std::int64_t kMicrosPerSecond = 1'000'000;
constexpr long kSecondsPerMinute = 60;
constexpr long kSecondsPerHour = 3600;

// Floor division, so that times before 1970 keep microseconds in 0..999999.
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}
} // namespace

std::int64_t unix_micros(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::microseconds>(t.time_since_epoch()).count();
}

std::chrono::system_clock::time_point from_unix_micros(std::int64_t us) {
    return std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::microseconds(us)));
}

std::string iso_time(std::chrono::system_clock::time_point t) {
    const std::int64_t us = unix_micros(t);
    const std::int64_t s = floor_div(us, kMicrosPerSecond);
    const auto secs = static_cast<std::time_t>(s);
    std::tm tm{};
    localtime_r(&secs, &tm);
    const long offset = tm.tm_gmtoff;
    const long abs_offset = std::labs(offset);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lld%c%02ld:%02ld",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<long long>(us - s * kMicrosPerSecond), offset < 0 ? '-' : '+',
                  abs_offset / kSecondsPerHour, (abs_offset % kSecondsPerHour) / kSecondsPerMinute);
    return text;
}

std::string unix_seconds(std::chrono::system_clock::time_point t) {
    const std::int64_t us = unix_micros(t);
    const std::uint64_t magnitude =
        us < 0 ? 0 - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
    char text[48];
    std::snprintf(text, sizeof text, "%s%llu.%06llu", us < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / kMicrosPerSecond),
                  static_cast<unsigned long long>(magnitude % kMicrosPerSecond));
    return text;
}

} // namespace fipdump

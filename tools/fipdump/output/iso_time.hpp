// Times for machine readers: ISO 8601 with the zone, and Unix time as a number.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace fipdump {

// "2026-12-08T09:20:01.123456+01:00" in this host's local time, with its UTC offset.
std::string iso_time(std::chrono::system_clock::time_point t);

// Seconds since 1970-01-01 UTC with six decimals, "1733650801.123456", as a JSON number.
std::string unix_seconds(std::chrono::system_clock::time_point t);

// A time as Unix microseconds, and back.
std::int64_t unix_micros(std::chrono::system_clock::time_point t);
std::chrono::system_clock::time_point from_unix_micros(std::int64_t us);

} // namespace fipdump

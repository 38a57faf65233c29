// Small renderings shared by the text and JSON outputs.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>

#include "tools/fipdump/input/received.hpp"
#include "wire/frame.hpp"

namespace fipdump {

// The FIP frame name of a control byte ("ID_DAT", "RP_DAT_MSG", "RP_FIN"...), or "?" for a
// control byte outside the 20 valid ones. Static strings.
const char* frame_name(std::uint8_t control);

// An identifier as every output writes it: "0x0111" (upper-case hex, four digits).
std::string identifier_text(std::uint16_t id);

// "03 12 34 B5 69".
std::string hex_bytes(std::span<const std::uint8_t> bytes);

// A receive time as "2026-12-08 09:20:01.123456" in this host's local time.
std::string local_time(std::chrono::system_clock::time_point t);

// A date field of a lifesign record, which carries the gateway's local wall-clock time as if
// it were UTC: shown as that same wall-clock time, "2026-12-08 09:20:01.123456". 0 is "-".
std::string gateway_date(std::int64_t us);

// A duration in microseconds as seconds with six decimals: "1.500000".
std::string seconds(std::int64_t us);

// A float as "%.2f", or "NaN" for a figure the gateway had not measured.
std::string figure(float value);

// The JSON string literal of `text`, quotes included.
std::string json_string(const std::string& text);

} // namespace fipdump

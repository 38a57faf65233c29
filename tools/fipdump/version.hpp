// fipdump's version, printed by -v and exported as fipgate_dump_build_info.
#pragma once

namespace fipdump {
constexpr const char* kVersion = "1.3.0";
} // namespace fipdump

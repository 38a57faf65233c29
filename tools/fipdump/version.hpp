// fipdump's version, printed by -v and exported as fipgate_dump_build_info.
#pragma once

#include "fipgate_version.hpp"

namespace fipdump {
constexpr const char* kVersion = FIPGATE_VERSION;
} // namespace fipdump

// Frame kinds as the statistics name them, found from a frame's control byte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capvane_sim {

enum class FrameKind : uint8_t { identifier, variable, request_list, message, ack, invalid };
constexpr std::size_t kFrameKindCount = 6;

FrameKind classify_control(uint8_t control);

// Name used in the statistics JSON ("identifier", "variable", ...).
const char* frame_kind_name(FrameKind kind);

} // namespace capvane_sim

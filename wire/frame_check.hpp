// The four rules a captured FIP frame must keep, judged the way the gateway counts them: control
// byte, FCS, PDU type, length, in that order, the first failure naming the frame's fault.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "wire/frame.hpp"

namespace wire {

enum class FrameCheck : std::uint8_t { control, fcs, pdu, length };
constexpr std::size_t kFrameCheckCount = 4;

// "control", "fcs", "pdu" or "length": static strings, also used as metric labels.
const char* frame_check_name(FrameCheck check);

// The first rule `frame` breaks, or nullopt when it keeps all four. An empty frame breaks
// none (there is nothing to judge). `info` is decode_frame() of the same frame. Pure.
std::optional<FrameCheck> first_failed_check(const FrameInfo& info,
                                             std::span<const std::uint8_t> frame);

// Counts per rule, indexed by FrameCheck.
using CheckCounts = std::array<std::uint64_t, kFrameCheckCount>;

} // namespace wire

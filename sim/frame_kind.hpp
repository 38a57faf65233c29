// The card's statistics count frames by wire's kinds under keys of their own.
#pragma once

#include <cstddef>

#include "wire/frame.hpp"

namespace capvane_sim {

constexpr std::size_t kFrameKindCount = static_cast<std::size_t>(wire::FrameKind::unknown) + 1;

// Key in the statistics JSON ("identifier", "variable", "request_list", "message", "ack",
// "invalid"): the card's JSON has used these since before wire's display names.
const char* frame_kind_key(wire::FrameKind kind);

} // namespace capvane_sim

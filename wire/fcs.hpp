// Frame check sequences of captured FIP frames, computed bit-exactly from their definitions (MSB
// first, no reflection) so that a receiver can check what the gateway forwarded.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace wire {

// FCS type 1: CRC-16, polynomial 0x1021, initial value 0x0000, final XOR 0xFFFF.
constexpr std::uint8_t kFcsType1 = 1;
// FCS type 2: CRC-16, polynomial 0x1DCF, initial value 0xFFFF, final XOR 0xFFFF.
constexpr std::uint8_t kFcsType2 = 2;

// The FCS of `bytes` for `fcs_type` (1 or 2); nullopt for any other type, which has no algorithm.
// Pure; any thread.
std::optional<std::uint16_t> compute_fcs(std::uint8_t fcs_type,
                                         std::span<const std::uint8_t> bytes);

} // namespace wire

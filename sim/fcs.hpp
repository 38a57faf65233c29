// Frame check sequences of FIP frames: both CRC-16 variants, most significant bit first.
#pragma once

#include <cstddef>
#include <cstdint>

namespace capvane_sim {

// FCS of `len` bytes. Type 1: poly 0x1021, init 0x0000; type 2: poly 0x1DCF, init 0xFFFF;
// both complemented at the end. Any other type is computed as type 1.
uint16_t compute_fcs(int fcs_type, const uint8_t* data, std::size_t len);

// Writes the FCS of the first `len` bytes, big-endian, at data[len] and data[len + 1].
void append_fcs(int fcs_type, uint8_t* data, std::size_t len);

} // namespace capvane_sim

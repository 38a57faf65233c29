#include "wire/fcs.hpp"

namespace wire {

namespace {

struct CrcParams {
    std::uint16_t poly;
    std::uint16_t init;
    std::uint16_t xorout;
};

constexpr CrcParams kType1{0x1021, 0x0000, 0xFFFF};
constexpr CrcParams kType2{0x1DCF, 0xFFFF, 0xFFFF};

// Bit by bit rather than by table: a receiver's check should share nothing with the sender's
// table-driven code, and frames are short.
std::uint16_t crc16_msb_first(const CrcParams& p, std::span<const std::uint8_t> bytes) {
    std::uint16_t reg = p.init;
    for (const std::uint8_t b : bytes) {
        reg = static_cast<std::uint16_t>(reg ^ (static_cast<std::uint16_t>(b) << 8));
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (reg & 0x8000U) != 0;
            reg = static_cast<std::uint16_t>(reg << 1);
            if (top) {
                reg = static_cast<std::uint16_t>(reg ^ p.poly);
            }
        }
    }
    return static_cast<std::uint16_t>(reg ^ p.xorout);
}

} // namespace

std::optional<std::uint16_t> compute_fcs(std::uint8_t fcs_type,
                                         std::span<const std::uint8_t> bytes) {
    switch (fcs_type) {
    case kFcsType1:
        return crc16_msb_first(kType1, bytes);
    case kFcsType2:
        return crc16_msb_first(kType2, bytes);
    default:
        return std::nullopt;
    }
}

} // namespace wire

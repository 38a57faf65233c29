#include "wire/fcs.hpp"

#include <array>
#include <cstddef>

namespace wire {

namespace {

struct CrcParams {
    std::uint16_t poly;
    std::uint16_t init;
    std::uint16_t xorout;
};

constexpr CrcParams kType1{0x1021, 0x0000, 0xFFFF};
constexpr CrcParams kType2{0x1DCF, 0xFFFF, 0xFFFF};

// One byte into the register, bit by bit, as the definition reads: a receiver's check should
// share nothing with the sender's code.
constexpr std::uint16_t shift_in_bitwise(std::uint16_t poly, std::uint16_t reg, std::uint8_t b) {
    reg = static_cast<std::uint16_t>(reg ^ (static_cast<std::uint16_t>(b) << 8));
    for (int bit = 0; bit < 8; ++bit) {
        const bool top = (reg & 0x8000U) != 0;
        reg = static_cast<std::uint16_t>(reg << 1);
        if (top) {
            reg = static_cast<std::uint16_t>(reg ^ poly);
        }
    }
    return reg;
}

// The same shifts for every byte value, worked out at compile time from the bitwise definition
// above (so still nothing of the sender's): the check runs on every frame at the stream's full
// rate, where eight shifts a byte were half of fipdump's time.
constexpr std::array<std::uint16_t, 256> byte_table(std::uint16_t poly) {
    std::array<std::uint16_t, 256> t{};
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = shift_in_bitwise(poly, static_cast<std::uint16_t>(i << 8), 0);
    }
    return t;
}

constexpr std::array<std::uint16_t, 256> kTable1 = byte_table(kType1.poly);
constexpr std::array<std::uint16_t, 256> kTable2 = byte_table(kType2.poly);

constexpr std::uint16_t crc16_msb_first(const CrcParams& p,
                                        const std::array<std::uint16_t, 256>& table,
                                        std::span<const std::uint8_t> bytes) {
    std::uint16_t reg = p.init;
    for (const std::uint8_t b : bytes) {
        reg = static_cast<std::uint16_t>((reg << 8) ^ table[((reg >> 8) ^ b) & 0xFFU]);
    }
    return static_cast<std::uint16_t>(reg ^ p.xorout);
}

constexpr std::uint16_t crc16_bitwise(const CrcParams& p, std::span<const std::uint8_t> bytes) {
    std::uint16_t reg = p.init;
    for (const std::uint8_t b : bytes) {
        reg = shift_in_bitwise(p.poly, reg, b);
    }
    return static_cast<std::uint16_t>(reg ^ p.xorout);
}

// The table gives the definition's result, byte for byte, on every value a byte can take.
constexpr bool table_agrees(const CrcParams& p, const std::array<std::uint16_t, 256>& table) {
    std::array<std::uint8_t, 256> all{};
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = static_cast<std::uint8_t>(i);
    }
    for (std::size_t n = 0; n <= all.size(); n += 7) {
        const std::span<const std::uint8_t> bytes(all.data(), n);
        if (crc16_msb_first(p, table, bytes) != crc16_bitwise(p, bytes)) {
            return false;
        }
    }
    return true;
}
static_assert(table_agrees(kType1, kTable1));
static_assert(table_agrees(kType2, kTable2));

} // namespace

std::optional<std::uint16_t> compute_fcs(std::uint8_t fcs_type,
                                         std::span<const std::uint8_t> bytes) {
    switch (fcs_type) {
    case kFcsType1:
        return crc16_msb_first(kType1, kTable1, bytes);
    case kFcsType2:
        return crc16_msb_first(kType2, kTable2, bytes);
    default:
        return std::nullopt;
    }
}

} // namespace wire

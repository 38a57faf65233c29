#include "fcs.hpp"

#include <array>

namespace capvane_sim {

namespace {

constexpr uint16_t kPolyType1 = 0x1021;
constexpr uint16_t kPolyType2 = 0x1DCF;

constexpr std::array<uint16_t, 256> make_table(uint16_t poly) {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t reg = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ poly)
                                 : static_cast<uint16_t>(reg << 1);
        }
        table[i] = reg;
    }
    return table;
}

constexpr auto kTableType1 = make_table(kPolyType1);
constexpr auto kTableType2 = make_table(kPolyType2);

} // namespace

uint16_t compute_fcs(int fcs_type, const uint8_t* data, std::size_t len) {
    const bool type2 = fcs_type == 2;
    const auto& table = type2 ? kTableType2 : kTableType1;
    uint16_t reg = type2 ? 0xFFFF : 0x0000;
    for (std::size_t i = 0; i < len; ++i) {
        reg = static_cast<uint16_t>((reg << 8) ^ table[((reg >> 8) ^ data[i]) & 0xFF]);
    }
    return static_cast<uint16_t>(reg ^ 0xFFFF);
}

void append_fcs(int fcs_type, uint8_t* data, std::size_t len) {
    const uint16_t fcs = compute_fcs(fcs_type, data, len);
    data[len] = static_cast<uint8_t>(fcs >> 8);
    data[len + 1] = static_cast<uint8_t>(fcs & 0xFF);
}

} // namespace capvane_sim

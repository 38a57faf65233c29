#include "capture/fip_calculator.hpp"

#include <algorithm>
#include <initializer_list>

#include "wire/frame.hpp"

namespace {

constexpr std::uint16_t kPolyType1 = 0x1021; // CRC-16/GSM generator
constexpr std::uint16_t kPolyType2 = 0x1DCF; // CRC-16/PROFIBUS generator
constexpr std::uint16_t kInitType1 = 0x0000;
constexpr std::uint16_t kInitType2 = 0xFFFF;
constexpr std::uint16_t kFinalXor = 0xFFFF;
constexpr std::size_t kFcsSize = 2; // bytes of FCS at the end of every frame

using wire::frame_kind;
using wire::FrameKind;

// The kind of every control byte, looked up once per frame instead of once per check.
constexpr std::array<FrameKind, 256> kFrameKinds = [] {
    std::array<FrameKind, 256> kinds{};
    for (unsigned ctrl = 0; ctrl < kinds.size(); ++ctrl) {
        kinds[ctrl] = frame_kind(static_cast<std::uint8_t>(ctrl));
    }
    return kinds;
}();

bool pdu_fits(FrameKind kind, std::span<const std::uint8_t> frame) {
    if (frame.size() <= kFcsSize || kind != FrameKind::variable_response) {
        return true;
    }
    return frame[1] == 0x40 || frame[1] == 0x50;
}

bool length_fits(FrameKind kind, std::uint64_t length) {
    switch (kind) {
    case FrameKind::identifier:
        return length == 5;
    case FrameKind::variable_response:
    case FrameKind::request_list_response:
        return length >= 5 && length <= 131;
    case FrameKind::message:
        return length >= 9 && length <= 265;
    case FrameKind::ack_end:
        return length == 3;
    case FrameKind::unknown:
        break;
    }
    return true;
}

std::uint16_t crc_entry(unsigned index, std::uint16_t poly) {
    auto reg = static_cast<std::uint16_t>(index << 8);
    for (int bit = 0; bit < 8; ++bit) {
        reg = (reg & 0x8000U) != 0 ? static_cast<std::uint16_t>((reg << 1) ^ poly)
                                   : static_cast<std::uint16_t>(reg << 1);
    }
    return reg;
}

std::span<const std::uint8_t> as_bytes(const std::vector<unsigned char>& frame) {
    return {frame.data(), frame.size()};
}

} // namespace

FIPCalculator::FIPCalculator() {
    init_crc_tables();
}

void FIPCalculator::init_crc_tables() {
    for (CrcTables* tables : {&crc_tables_type1, &crc_tables_type2}) {
        const std::uint16_t poly = tables == &crc_tables_type1 ? kPolyType1 : kPolyType2;
        auto& t = *tables;
        for (unsigned i = 0; i < 256; ++i) {
            t[0][i] = crc_entry(i, poly);
        }
        // One more zero byte behind: shift the register a byte and fold its top byte back in.
        for (std::size_t k = 1; k < t.size(); ++k) {
            for (unsigned i = 0; i < 256; ++i) {
                const std::uint16_t prev = t[k - 1][i];
                t[k][i] = static_cast<std::uint16_t>((prev << 8) ^ t[0][prev >> 8]);
            }
        }
    }
}

std::uint16_t FIPCalculator::fcs_calcul(bool type1, std::span<const std::uint8_t> bytes) const {
    const CrcTables& t = type1 ? crc_tables_type1 : crc_tables_type2;
    std::uint16_t reg = type1 ? kInitType1 : kInitType2;
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    // Eight bytes per step: the register is folded into the first two, and each byte's share is
    // looked up at its distance from the end of the step. The lookups do not depend on each
    // other, unlike the byte-at-a-time chain.
    for (; left >= 8; left -= 8, p += 8) {
        const auto b0 = static_cast<std::uint8_t>(p[0] ^ (reg >> 8));
        const auto b1 = static_cast<std::uint8_t>(p[1] ^ (reg & 0xFFU));
        reg = static_cast<std::uint16_t>(t[7][b0] ^ t[6][b1] ^ t[5][p[2]] ^ t[4][p[3]] ^
                                         t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]]);
    }
    for (; left != 0; --left, ++p) {
        reg = static_cast<std::uint16_t>((reg << 8) ^ t[0][((reg >> 8) ^ *p) & 0xFFU]);
    }
    return static_cast<std::uint16_t>(reg ^ kFinalXor);
}

std::uint16_t FIPCalculator::fcs_calcul(bool type1, const std::vector<unsigned char>& frame,
                                        std::uint64_t count) const {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, frame.size()));
    return fcs_calcul(type1, as_bytes(frame).first(n));
}

bool FIPCalculator::is_valid_fcs(std::uint64_t type, std::span<const std::uint8_t> frame,
                                 std::uint16_t* received, std::uint16_t* computed) const {
    if ((type != 1 && type != 2) || frame.size() <= kFcsSize) {
        return false;
    }
    const std::size_t n = frame.size() - kFcsSize;
    const auto rx = static_cast<std::uint16_t>((frame[n] << 8) | frame[n + 1]);
    const std::uint16_t calc = fcs_calcul(type == 1, frame.first(n));
    if (received != nullptr) {
        *received = rx;
    }
    if (computed != nullptr) {
        *computed = calc;
    }
    return rx == calc;
}

bool FIPCalculator::is_valid_fcs(std::uint64_t type, const std::vector<unsigned char>& frame,
                                 std::uint16_t* received, std::uint16_t* computed) const {
    return is_valid_fcs(type, as_bytes(frame), received, computed);
}

bool FIPCalculator::is_valid_ctrl(std::uint8_t ctrl) {
    return kFrameKinds[ctrl] != FrameKind::unknown;
}

bool FIPCalculator::is_valid_pdu(std::uint8_t ctrl, std::span<const std::uint8_t> frame) {
    return pdu_fits(kFrameKinds[ctrl], frame);
}

bool FIPCalculator::is_valid_pdu(std::uint8_t ctrl, const std::vector<unsigned char>& frame) {
    return is_valid_pdu(ctrl, as_bytes(frame));
}

bool FIPCalculator::is_valid_length(std::uint8_t ctrl, std::uint64_t length) {
    return length_fits(kFrameKinds[ctrl], length);
}

FrameFault FIPCalculator::first_fault(std::uint8_t fcs_type,
                                      std::span<const std::uint8_t> frame) const {
    if (frame.empty()) {
        return FrameFault::none;
    }
    const FrameKind kind = kFrameKinds[frame[0]];
    if (kind == FrameKind::unknown) {
        return FrameFault::bad_ctrl;
    }
    if (!is_valid_fcs(fcs_type, frame)) {
        return FrameFault::bad_fcs;
    }
    if (!pdu_fits(kind, frame)) {
        return FrameFault::bad_pdu;
    }
    if (!length_fits(kind, frame.size())) {
        return FrameFault::bad_len;
    }
    return FrameFault::none;
}

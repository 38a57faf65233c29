// The FIP frame checks: control byte, frame check sequence, PDU type and length. A frame runs
// from the control byte to the last FCS byte (no preamble, no delimiters). The checks only
// classify; the caller decides what to count.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

// Which check a frame failed first, in the order the checks run.
enum class FrameFault : std::uint8_t { none, bad_ctrl, bad_fcs, bad_pdu, bad_len };

class FIPCalculator {
public:
    // Builds both CRC tables; afterwards every operation is const and safe on any thread.
    FIPCalculator();
    virtual ~FIPCalculator() = default;

    // (Re)builds the tables of both polynomials, 0x1021 (type 1) and 0x1DCF (type 2).
    void init_crc_tables();

    // FCS over the first `count` bytes of `frame` (clamped to its size): CRC-16/GSM when
    // `type1`, CRC-16/PROFIBUS otherwise.
    std::uint16_t fcs_calcul(bool type1, const std::vector<unsigned char>& frame,
                             std::uint64_t count) const;
    std::uint16_t fcs_calcul(bool type1, std::span<const std::uint8_t> bytes) const;

    // True when the big-endian FCS in the last two bytes matches the FCS of the bytes before
    // them. False without writing the out-values when `type` is not 1 or 2 or the frame has two
    // bytes or fewer. `received`/`computed` may be null.
    bool is_valid_fcs(std::uint64_t type, const std::vector<unsigned char>& frame,
                      std::uint16_t* received = nullptr, std::uint16_t* computed = nullptr) const;
    bool is_valid_fcs(std::uint64_t type, std::span<const std::uint8_t> frame,
                      std::uint16_t* received = nullptr, std::uint16_t* computed = nullptr) const;

    // True for the 20 control bytes of FIP frames.
    static bool is_valid_ctrl(std::uint8_t ctrl);
    // False only for a variable response frame longer than two bytes whose PDU type (byte 1) is
    // neither 0x40 nor 0x50.
    static bool is_valid_pdu(std::uint8_t ctrl, const std::vector<unsigned char>& frame);
    static bool is_valid_pdu(std::uint8_t ctrl, std::span<const std::uint8_t> frame);
    // The length rule of the frame kind (bounds inclusive); an unknown control byte passes.
    static bool is_valid_length(std::uint8_t ctrl, std::uint64_t length);

    // The four checks in order (control, FCS with `fcs_type`, PDU, length); the first that fails
    // is the result. An empty frame is FrameFault::none. Allocates nothing.
    FrameFault first_fault(std::uint8_t fcs_type, std::span<const std::uint8_t> frame) const;

private:
    // Entry [k][b]: what byte b followed by k zero bytes adds to the register. Row 0 alone is the
    // classic byte-at-a-time table; the eight rows take eight bytes per step, which is what the
    // capture thread spends most of its own time on.
    using CrcTables = std::array<std::array<std::uint16_t, 256>, 8>;
    CrcTables crc_tables_type1{};
    CrcTables crc_tables_type2{};
};

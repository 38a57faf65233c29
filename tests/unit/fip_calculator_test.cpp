// The FIP frame checks against an independent bit-by-bit CRC and the frame-kind rules.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

#include "capture/fip_calculator.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

// Bit-serial CRC, written apart from the table-driven one so that each checks the other.
std::uint16_t reference_crc(const Bytes& data, std::uint16_t poly, std::uint16_t init) {
    std::uint16_t reg = init;
    for (const unsigned char b : data) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((b >> bit) & 1U) != 0;
            const bool top = (reg & 0x8000U) != 0;
            reg = static_cast<std::uint16_t>(reg << 1);
            if (in != top) {
                reg ^= poly;
            }
        }
    }
    return static_cast<std::uint16_t>(reg ^ 0xFFFFU);
}

// A frame with a correct FCS of `type` appended.
Bytes with_fcs(Bytes body, int type) {
    const std::uint16_t fcs =
        type == 1 ? reference_crc(body, 0x1021, 0x0000) : reference_crc(body, 0x1DCF, 0xFFFF);
    body.push_back(static_cast<unsigned char>(fcs >> 8));
    body.push_back(static_cast<unsigned char>(fcs & 0xFF));
    return body;
}

// A frame of `length` bytes (FCS included, length >= 3), control byte `ctrl`, PDU `pdu`.
Bytes frame_of(std::uint8_t ctrl, std::size_t length, std::uint8_t pdu = 0x40, int type = 1) {
    Bytes body(length - 2, 0x5A);
    body[0] = ctrl;
    if (body.size() > 1) {
        body[1] = pdu;
    }
    return with_fcs(body, type);
}

std::span<const std::uint8_t> span_of(const Bytes& b) {
    return {b.data(), b.size()};
}

struct KindRule {
    std::initializer_list<std::uint8_t> ctrls;
    std::uint64_t min_len;
    std::uint64_t max_len;
    bool needs_pdu;
};

// The frame kinds of the FIP data link layer, as listed in the standard's frame table.
const KindRule kRules[] = {
    {{0x03, 0x05, 0x09, 0x29}, 5, 5, false},
    {{0x02, 0x06, 0x0A, 0x0E, 0x2A, 0x2E}, 5, 131, true},
    {{0x08, 0x28}, 5, 131, false},
    {{0x04, 0x14, 0x94}, 9, 265, false},
    {{0x10, 0x30, 0x40, 0x90, 0xB0}, 3, 3, false},
};

const KindRule* rule_of(unsigned ctrl) {
    for (const KindRule& r : kRules) {
        for (const std::uint8_t c : r.ctrls) {
            if (c == ctrl) {
                return &r;
            }
        }
    }
    return nullptr;
}

TEST(FcsTest, CheckValuesOfBothTypes) {
    const FIPCalculator calc;
    const std::string digits = "123456789";
    const Bytes data(digits.begin(), digits.end());
    EXPECT_EQ(calc.fcs_calcul(true, data, data.size()), 0xCE3C);
    EXPECT_EQ(calc.fcs_calcul(false, data, data.size()), 0xA819);
    // The count limits the bytes covered, and never reads past the frame.
    EXPECT_EQ(calc.fcs_calcul(true, data, 4),
              reference_crc(Bytes(data.begin(), data.begin() + 4), 0x1021, 0x0000));
    EXPECT_EQ(calc.fcs_calcul(true, data, 1000), 0xCE3C);
}

TEST(FcsTest, TablesAgreeWithBitwiseCrcOverManyLengths) {
    const FIPCalculator calc;
    Bytes data;
    for (unsigned i = 0; i < 300; ++i) {
        EXPECT_EQ(calc.fcs_calcul(true, data, data.size()), reference_crc(data, 0x1021, 0x0000));
        EXPECT_EQ(calc.fcs_calcul(false, data, data.size()), reference_crc(data, 0x1DCF, 0xFFFF));
        data.push_back(static_cast<unsigned char>(i * 37U + 11U));
    }
}

// Frames start anywhere in a transfer buffer: every start offset within eight bytes, every length
// around the eight-byte steps, and bytes whose high bits are set.
TEST(FcsTest, TablesAgreeWithBitwiseCrcAtEveryAlignment) {
    const FIPCalculator calc;
    Bytes buffer(64);
    std::uint32_t x = 0x9E3779B9U;
    for (unsigned char& b : buffer) {
        x = x * 1664525U + 1013904223U;
        b = static_cast<unsigned char>(x >> 24);
    }
    for (std::size_t offset = 0; offset < 8; ++offset) {
        for (std::size_t len = 0; offset + len <= buffer.size() && len <= 40; ++len) {
            const std::span<const std::uint8_t> bytes = span_of(buffer).subspan(offset, len);
            const Bytes copy(bytes.begin(), bytes.end());
            SCOPED_TRACE(testing::Message() << "offset " << offset << " length " << len);
            EXPECT_EQ(calc.fcs_calcul(true, bytes), reference_crc(copy, 0x1021, 0x0000));
            EXPECT_EQ(calc.fcs_calcul(false, bytes), reference_crc(copy, 0x1DCF, 0xFFFF));
        }
    }
}

TEST(FcsTest, ValidityByTypeAndOutValues) {
    const FIPCalculator calc;
    const Bytes gsm = {0x03, 0x12, 0x34, 0xB5, 0x69};
    const Bytes profibus = {0x03, 0x12, 0x34, 0xBC, 0x01};
    std::uint16_t rx = 0;
    std::uint16_t computed = 0;
    EXPECT_TRUE(calc.is_valid_fcs(1, gsm, &rx, &computed));
    EXPECT_EQ(rx, 0xB569);
    EXPECT_EQ(computed, 0xB569);
    EXPECT_FALSE(calc.is_valid_fcs(2, gsm, &rx, &computed));
    EXPECT_EQ(rx, 0xB569);
    EXPECT_EQ(computed, 0xBC01);
    EXPECT_TRUE(calc.is_valid_fcs(2, profibus));
    EXPECT_FALSE(calc.is_valid_fcs(1, profibus));

    // Unknown types and frames without room for an FCS fail and leave the out-values alone.
    for (const std::uint64_t type : {0ULL, 3ULL, 4ULL, 0x100000001ULL}) {
        rx = computed = 0x1234;
        EXPECT_FALSE(calc.is_valid_fcs(type, gsm, &rx, &computed)) << type;
        EXPECT_EQ(rx, 0x1234);
        EXPECT_EQ(computed, 0x1234);
    }
    for (const Bytes& tiny : {Bytes{}, Bytes{0x40}, Bytes{0xFF, 0xFF}}) {
        EXPECT_FALSE(calc.is_valid_fcs(1, tiny, &rx, &computed));
        EXPECT_FALSE(calc.is_valid_fcs(2, tiny, &rx, &computed));
        EXPECT_EQ(rx, 0x1234);
    }
}

TEST(FrameKindTest, EveryControlByte) {
    for (unsigned ctrl = 0; ctrl < 256; ++ctrl) {
        const auto c = static_cast<std::uint8_t>(ctrl);
        const KindRule* rule = rule_of(ctrl);
        SCOPED_TRACE(ctrl);
        EXPECT_EQ(FIPCalculator::is_valid_ctrl(c), rule != nullptr);
        if (rule == nullptr) {
            // No length or PDU rule for what is not a FIP frame.
            EXPECT_TRUE(FIPCalculator::is_valid_length(c, 0));
            EXPECT_TRUE(FIPCalculator::is_valid_length(c, 70000));
            EXPECT_TRUE(FIPCalculator::is_valid_pdu(c, Bytes{c, 0x41, 0, 0}));
            continue;
        }
        EXPECT_FALSE(FIPCalculator::is_valid_length(c, rule->min_len - 1));
        EXPECT_TRUE(FIPCalculator::is_valid_length(c, rule->min_len));
        EXPECT_TRUE(FIPCalculator::is_valid_length(c, rule->max_len));
        EXPECT_FALSE(FIPCalculator::is_valid_length(c, rule->max_len + 1));
        EXPECT_FALSE(FIPCalculator::is_valid_length(c, 0x100000005ULL)); // no truncation
        for (unsigned pdu = 0; pdu < 256; ++pdu) {
            const bool ok = !rule->needs_pdu || pdu == 0x40 || pdu == 0x50;
            EXPECT_EQ(FIPCalculator::is_valid_pdu(c, Bytes{c, static_cast<unsigned char>(pdu), 0}),
                      ok)
                << pdu;
        }
        // Too short to carry a PDU type: nothing to object to.
        EXPECT_TRUE(FIPCalculator::is_valid_pdu(c, Bytes{c, 0x41}));
    }
}

TEST(FirstFaultTest, ChecksRunInOrder) {
    const FIPCalculator calc;
    auto fault = [&](const Bytes& f, std::uint8_t type = 1) {
        return calc.first_fault(type, span_of(f));
    };
    // Unknown control byte wins over a wrong FCS and any length.
    EXPECT_EQ(fault(Bytes{0x07, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05}), FrameFault::bad_ctrl);
    EXPECT_EQ(fault(frame_of(0x07, 5)), FrameFault::bad_ctrl);
    // FCS before PDU and length: a wrong FCS on a frame that is also too long.
    Bytes wrong = frame_of(0x02, 200, 0x41);
    wrong.back() ^= 0x01;
    EXPECT_EQ(fault(wrong), FrameFault::bad_fcs);
    // PDU before length.
    EXPECT_EQ(fault(frame_of(0x02, 200, 0x41)), FrameFault::bad_pdu);
    EXPECT_EQ(fault(frame_of(0x02, 8, 0x41)), FrameFault::bad_pdu);
    EXPECT_EQ(fault(frame_of(0x02, 8, 0x50)), FrameFault::none);
    EXPECT_EQ(fault(frame_of(0x03, 6)), FrameFault::bad_len);
    EXPECT_EQ(fault(frame_of(0x40, 3)), FrameFault::none);
    EXPECT_EQ(fault(frame_of(0x14, 265)), FrameFault::none);
    EXPECT_EQ(fault(frame_of(0x14, 266)), FrameFault::bad_len);
    EXPECT_EQ(fault(Bytes{0x40, 0x00}), FrameFault::bad_fcs);
    EXPECT_EQ(fault(Bytes{}), FrameFault::none);
}

// The combined check gives, for every control byte, the first of the separate checks that fails.
TEST(FirstFaultTest, AgreesWithTheSeparateChecksForEveryControlByte) {
    const FIPCalculator calc;
    for (unsigned ctrl = 0; ctrl < 256; ++ctrl) {
        const auto c = static_cast<std::uint8_t>(ctrl);
        for (const std::size_t length : {3U, 4U, 5U, 9U, 131U, 132U, 265U, 266U}) {
            for (const std::uint8_t pdu : {0x40, 0x41}) {
                for (const bool corrupt : {false, true}) {
                    Bytes f = frame_of(c, length, pdu);
                    f.back() = static_cast<unsigned char>(f.back() ^ (corrupt ? 1U : 0U));
                    FrameFault expected = FrameFault::none;
                    if (!FIPCalculator::is_valid_ctrl(c)) {
                        expected = FrameFault::bad_ctrl;
                    } else if (!calc.is_valid_fcs(1, f)) {
                        expected = FrameFault::bad_fcs;
                    } else if (!FIPCalculator::is_valid_pdu(c, f)) {
                        expected = FrameFault::bad_pdu;
                    } else if (!FIPCalculator::is_valid_length(c, f.size())) {
                        expected = FrameFault::bad_len;
                    }
                    ASSERT_EQ(calc.first_fault(1, span_of(f)), expected)
                        << "ctrl " << ctrl << " length " << length << " pdu " << int{pdu}
                        << (corrupt ? " corrupt" : "");
                }
            }
        }
    }
}

TEST(FirstFaultTest, FcsTypeSelectsTheAlgorithm) {
    const FIPCalculator calc;
    const Bytes gsm = {0x03, 0x12, 0x34, 0xB5, 0x69};
    const Bytes profibus = {0x03, 0x12, 0x34, 0xBC, 0x01};
    EXPECT_EQ(calc.first_fault(1, span_of(gsm)), FrameFault::none);
    EXPECT_EQ(calc.first_fault(2, span_of(gsm)), FrameFault::bad_fcs);
    EXPECT_EQ(calc.first_fault(2, span_of(profibus)), FrameFault::none);
    for (const std::uint8_t type : {0, 3}) {
        EXPECT_EQ(calc.first_fault(type, span_of(gsm)), FrameFault::bad_fcs);
        EXPECT_EQ(calc.first_fault(type, span_of(frame_of(0x40, 3))), FrameFault::bad_fcs);
    }
}

} // namespace

#include "wire/frame_check.hpp"

namespace wire {

namespace {

constexpr std::uint8_t kPduPeriodic = 0x40;  // PDU type of a variable produced on its own
constexpr std::uint8_t kPduAperiodic = 0x50; // PDU type of a variable answering a request

struct LengthRule {
    std::size_t min; // bytes, control and FCS included
    std::size_t max;
};

std::optional<LengthRule> length_rule(FrameKind kind) {
    switch (kind) {
    case FrameKind::identifier:
        return LengthRule{5, 5};
    case FrameKind::variable_response:
    case FrameKind::request_list_response:
        return LengthRule{5, 131};
    case FrameKind::message:
        return LengthRule{9, 265};
    case FrameKind::ack_end:
        return LengthRule{3, 3};
    case FrameKind::unknown:
        break;
    }
    return std::nullopt;
}

} // namespace

const char* frame_check_name(FrameCheck check) {
    switch (check) {
    case FrameCheck::control:
        return "control";
    case FrameCheck::fcs:
        return "fcs";
    case FrameCheck::pdu:
        return "pdu";
    case FrameCheck::length:
        return "length";
    }
    return "?";
}

std::optional<FrameCheck> first_failed_check(const FrameInfo& info,
                                             std::span<const std::uint8_t> frame) {
    if (frame.empty()) {
        return std::nullopt;
    }
    if (info.kind == FrameKind::unknown) {
        return FrameCheck::control;
    }
    if (!info.fcs_ok) {
        return FrameCheck::fcs;
    }
    // fcs_ok means at least three bytes, so byte 1 is there.
    if (info.kind == FrameKind::variable_response && frame[1] != kPduPeriodic &&
        frame[1] != kPduAperiodic) {
        return FrameCheck::pdu;
    }
    const auto rule = length_rule(info.kind);
    if (rule && (frame.size() < rule->min || frame.size() > rule->max)) {
        return FrameCheck::length;
    }
    return std::nullopt;
}

} // namespace wire

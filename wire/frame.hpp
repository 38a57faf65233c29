// What a receiver can tell about one captured FIP frame (control byte to last FCS byte) without
// judging it: its kind by control byte, the fields that kind carries, and its FCS.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace wire {

enum class FrameKind {
    identifier,            // control 0x03 0x05 0x09 0x29: control, 2-byte identifier, FCS
    variable_response,     // control 0x02 0x06 0x0A 0x0E 0x2A 0x2E: control, PDU type, data, FCS
    request_list_response, // control 0x08 0x28
    message,               // control 0x04 0x14 0x94
    ack_end,               // control 0x10 0x30 0x40 0x90 0xB0: control and FCS only
    unknown,               // any other control byte, or no control byte at all
};

// Kind of a frame by its control byte. Pure. Inline: the daemon checks every captured frame
// with it.
constexpr FrameKind frame_kind(std::uint8_t control) {
    switch (control) {
    case 0x03:
    case 0x05:
    case 0x09:
    case 0x29:
        return FrameKind::identifier;
    case 0x02:
    case 0x06:
    case 0x0A:
    case 0x0E:
    case 0x2A:
    case 0x2E:
        return FrameKind::variable_response;
    case 0x08:
    case 0x28:
        return FrameKind::request_list_response;
    case 0x04:
    case 0x14:
    case 0x94:
        return FrameKind::message;
    case 0x10:
    case 0x30:
    case 0x40:
    case 0x90:
    case 0xB0:
        return FrameKind::ack_end;
    default:
        return FrameKind::unknown;
    }
}

// "identifier", "variable response", "request-list response", "message", "acknowledgement/end"
// or "unknown": static strings.
const char* frame_kind_name(FrameKind kind);

struct FrameInfo {
    std::size_t length = 0;              // bytes, control byte and FCS included
    std::optional<std::uint8_t> control; // absent for an empty frame
    FrameKind kind = FrameKind::unknown;
    std::optional<std::uint16_t> identifier;   // identifier frames of 5 bytes or more (bytes 1-2)
    std::optional<std::uint8_t> pdu_type;      // variable responses of 4 bytes or more (byte 1)
    std::optional<std::uint16_t> received_fcs; // last two bytes, big-endian; frames of 3+ bytes
    std::optional<std::uint16_t> computed_fcs; // over all bytes but the last two; FCS type 1 or 2
    bool fcs_ok = false;                       // both FCS present and equal
};

// Decodes `frame` with the record's FCS type (bits 3-4 of fcs_info). Fields that would overlap
// the FCS are left absent rather than read from it. Pure; never reads outside `frame`.
FrameInfo decode_frame(std::uint8_t fcs_type, std::span<const std::uint8_t> frame);

} // namespace wire

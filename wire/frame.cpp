#include "wire/frame.hpp"

#include "wire/big_endian.hpp"
#include "wire/fcs.hpp"

namespace wire {

namespace {

constexpr std::size_t kFcsSize = 2;       // bytes of FCS at the end of every frame
constexpr std::size_t kIdentifierEnd = 3; // control + 2-byte identifier
constexpr std::size_t kPduTypeEnd = 2;    // control + PDU type byte

} // namespace

const char* frame_kind_name(FrameKind kind) {
    switch (kind) {
    case FrameKind::identifier:
        return "identifier";
    case FrameKind::variable_response:
        return "variable response";
    case FrameKind::request_list_response:
        return "request-list response";
    case FrameKind::message:
        return "message";
    case FrameKind::ack_end:
        return "acknowledgement/end";
    case FrameKind::unknown:
        break;
    }
    return "unknown";
}

FrameInfo decode_frame(std::uint8_t fcs_type, std::span<const std::uint8_t> frame) {
    FrameInfo info;
    info.length = frame.size();
    if (frame.empty()) {
        return info;
    }
    info.control = frame[0];
    info.kind = frame_kind(frame[0]);
    if (info.kind == FrameKind::identifier && frame.size() >= kIdentifierEnd + kFcsSize) {
        info.identifier = detail::read_u16(frame, 1);
    }
    if (info.kind == FrameKind::variable_response && frame.size() >= kPduTypeEnd + kFcsSize) {
        info.pdu_type = frame[1];
    }
    // A frame of two bytes or fewer has no room for both a control byte and an FCS.
    if (frame.size() > kFcsSize) {
        const std::size_t covered = frame.size() - kFcsSize;
        info.received_fcs = detail::read_u16(frame, covered);
        info.computed_fcs = compute_fcs(fcs_type, frame.first(covered));
        info.fcs_ok = info.computed_fcs.has_value() && *info.computed_fcs == *info.received_fcs;
    }
    return info;
}

} // namespace wire

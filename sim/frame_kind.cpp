#include "frame_kind.hpp"

namespace capvane_sim {

FrameKind classify_control(uint8_t control) {
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
        return FrameKind::variable;
    case 0x08:
    case 0x28:
        return FrameKind::request_list;
    case 0x04:
    case 0x14:
    case 0x94:
        return FrameKind::message;
    case 0x10:
    case 0x30:
    case 0x40:
    case 0x90:
    case 0xB0:
        return FrameKind::ack;
    default:
        return FrameKind::invalid;
    }
}

const char* frame_kind_name(FrameKind kind) {
    switch (kind) {
    case FrameKind::identifier:
        return "identifier";
    case FrameKind::variable:
        return "variable";
    case FrameKind::request_list:
        return "request_list";
    case FrameKind::message:
        return "message";
    case FrameKind::ack:
        return "ack";
    case FrameKind::invalid:
        break;
    }
    return "invalid";
}

} // namespace capvane_sim

#include "frame_kind.hpp"

namespace capvane_sim {

const char* frame_kind_key(wire::FrameKind kind) {
    switch (kind) {
    case wire::FrameKind::identifier:
        return "identifier";
    case wire::FrameKind::variable_response:
        return "variable";
    case wire::FrameKind::request_list_response:
        return "request_list";
    case wire::FrameKind::message:
        return "message";
    case wire::FrameKind::ack_end:
        return "ack";
    case wire::FrameKind::unknown:
        break;
    }
    return "invalid";
}

} // namespace capvane_sim

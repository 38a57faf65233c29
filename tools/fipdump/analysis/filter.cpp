#include "tools/fipdump/analysis/filter.hpp"

#include <variant>

#include "wire/frame_check.hpp"

namespace fipdump {

bool matches(const Filter& filter, const wire::Event& event) {
    const auto* capture = std::get_if<wire::CaptureRecord>(&event);
    if (filter.type && (*filter.type == RecordType::capture) != (capture != nullptr)) {
        return false;
    }
    if (!filter.kind && !filter.id && !filter.bad) {
        return true;
    }
    if (capture == nullptr) {
        return false;
    }
    if (filter.bad && !wire::first_failed_check(capture->info, capture->frame)) {
        return false;
    }
    if (filter.kind && capture->info.kind != *filter.kind) {
        return false;
    }
    return !filter.id || capture->info.identifier == filter.id;
}

bool EventSelector::select(const Sender& from, const wire::Event& event) {
    const auto* capture = std::get_if<wire::CaptureRecord>(&event);
    if (!filter.id || capture == nullptr) {
        return matches(filter, event);
    }
    Track& t = tracks[from];
    if (capture->idx != 0) {
        if (t.prev_idx != 0 && capture->idx != t.prev_idx + 1) {
            t.in_transaction = false; // what answered the poll, if anything, was lost
        }
        t.prev_idx = capture->idx;
    }
    if (capture->info.kind == wire::FrameKind::identifier) {
        t.in_transaction = capture->info.identifier == filter.id;
    }
    Filter rest = filter;
    rest.id.reset();
    return t.in_transaction && matches(rest, event);
}

} // namespace fipdump

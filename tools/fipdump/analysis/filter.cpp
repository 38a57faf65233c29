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

} // namespace fipdump

// Feeds arbitrary bytes to the stream decoder: it must never read outside its input, what it
// accepts must be consistent with the bytes it was given, and skipping the frames must not change
// what it accepts.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <variant>

#include "wire/wire.hpp"

namespace {

void check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::size_t event_length(const wire::Event& e) {
    if (const auto* c = std::get_if<wire::CaptureRecord>(&e)) {
        check(c->frame.size() + wire::kCaptureHeaderSize == c->length);
        check(c->info.length == c->frame.size());
        check(c->fcs_type <= 3);
        return c->length;
    }
    return std::get<wire::LifesignRecord>(e).length;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    const wire::Datagram d = wire::decode_datagram(bytes);
    // The events walked tile the payload from its start, up to the error if there is one.
    std::size_t next = wire::kDatagramHeaderSize;
    for (const wire::Event& e : d.events) {
        const std::size_t offset = std::visit([](const auto& r) { return r.offset; }, e);
        check(offset == next);
        next += event_length(e);
        check(next <= size);
    }
    if (d.ok()) {
        check(next == size);
        check(d.events.size() == d.event_count);
    } else {
        check(d.error->offset <= size);
        check(wire::to_string(*d.error).size() > 0);
    }

    // A reader that only counts (frames skipped) reaches the same verdict on the same records.
    const wire::Datagram counted = wire::decode_datagram(bytes, wire::Frames::skip);
    check(counted.seq == d.seq && counted.event_count == d.event_count);
    check(counted.error.has_value() == d.error.has_value());
    check(!d.error ||
          (counted.error->fault == d.error->fault && counted.error->offset == d.error->offset));
    check(counted.events.size() == d.events.size());
    for (std::size_t i = 0; i < d.events.size(); ++i) {
        const auto* full = std::get_if<wire::CaptureRecord>(&d.events[i]);
        const auto* lean = std::get_if<wire::CaptureRecord>(&counted.events[i]);
        check((full == nullptr) == (lean == nullptr));
        check(full == nullptr || (full->idx == lean->idx && full->length == lean->length &&
                                  full->offset == lean->offset && lean->frame.empty()));
    }

    // The same bytes taken as one queued event.
    const auto e = wire::decode_event(bytes);
    if (const auto* err = std::get_if<wire::DecodeError>(&e)) {
        check(err->offset <= size);
    } else if (const auto* c = std::get_if<wire::CaptureRecord>(&e)) {
        check(c->length == size);
    } else {
        check(size == wire::kLifesignSize);
    }
    return 0;
}

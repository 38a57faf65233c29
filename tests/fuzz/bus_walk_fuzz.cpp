// The transaction walker and scan learner over arbitrary frame sequences: they must never crash
// nor read outside a frame, and their counts must stay consistent. Input: records of
// [flags][length][frame bytes], flags bit 0 a break before the record, bit 1 an index jump,
// bit 2 an unnumbered record, bit 3 FCS type 2 instead of 1.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "wire/wire.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    wire::TransactionWalker walker;
    std::uint64_t idx = 1;
    std::uint64_t frames = 0;
    std::size_t pos = 0;
    while (pos + 2 <= size) {
        const std::uint8_t flags = data[pos];
        const std::size_t len = std::min<std::size_t>(data[pos + 1], size - pos - 2);
        pos += 2;
        // A copy of exactly the frame's size, so that a read past it hits the redzone.
        const std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[len == 0 ? 1 : len]);
        std::copy_n(data + pos, len, frame.get());
        pos += len;
        const std::span<const std::uint8_t> bytes(frame.get(), len);
        if ((flags & 1U) != 0) {
            walker.on_break();
        }
        idx += (flags & 2U) != 0 ? 5 : 1;
        const std::uint8_t fcs_type = (flags & 8U) != 0 ? 2 : 1;
        walker.on_record((flags & 4U) != 0 ? 0 : idx, wire::decode_frame(fcs_type, bytes), bytes,
                         static_cast<std::int64_t>(pos));
        frames += len == 0 ? 0 : 1;
    }
    const wire::BusCounters& bus = walker.bus();
    std::uint64_t polls = 0;
    std::uint64_t concluded = 0;
    for (const wire::IdentifierStats& s : walker.identifiers()) {
        if (s.responses + s.missing + s.unknown > s.polls || s.bad_total() > s.responses ||
            s.len_min > s.len_max) {
            __builtin_trap();
        }
        polls += s.polls;
        concluded += s.responses + s.missing + s.unknown;
    }
    if (bus.frames != frames || bus.transactions + bus.missing + bus.unknown_polls != concluded ||
        polls > bus.by_kind[0] || bus.bad_frames > bus.frames) {
        __builtin_trap();
    }
    const wire::ScanTable scan = walker.scan();
    for (const wire::ScanEntry& e : scan.entries) {
        if (e.period_cycles == 0) {
            __builtin_trap();
        }
    }
    return 0;
}

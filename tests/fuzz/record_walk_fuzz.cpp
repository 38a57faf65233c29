// The walk of a transfer buffer, with the frame checks, over arbitrary bytes: it must never
// crash nor read outside the buffer. The input is walked twice: in a copy of exactly its own
// size (so that any read past it hits the sanitizer's redzone) and padded or cut to the size
// the driver hands over.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "capture/cv_ioctl.hpp"
#include "capture/record_walk.hpp"

namespace {

// Reads every byte of each record handed over, so a record running out of its buffer is caught.
class TouchSink final : public RecordSink {
public:
    void on_sequence_gap(std::uint64_t prev, std::uint64_t idx, std::int64_t diff) override {
        sum += prev ^ idx ^ static_cast<std::uint64_t>(diff);
    }
    void on_record(std::span<const std::uint8_t> record) override {
        if (record.size() < kCaptureRecordHeaderSize || record[0] != kCaptureRecordType) {
            __builtin_trap();
        }
        for (const std::uint8_t b : record) {
            sum += b;
        }
    }
    std::uint64_t sum = 0;
};

void walk(std::span<const std::uint8_t> buffer, const FIPCalculator& calc) {
    if (!has_ready_bit(buffer)) {
        return;
    }
    SequenceState seq;
    WalkCounts counts;
    TouchSink sink;
    const std::span<const std::uint8_t> area = record_area(buffer);
    const std::size_t n = walk_record_area(area, calc, seq, counts, &sink);
    // Every accepted record has at least a header inside the area.
    if (n * kCaptureRecordHeaderSize > area.size() || counts.frame_rcvd_cnt != n) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const FIPCalculator calc;
    const std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size == 0 ? 1 : size]);
    std::copy_n(data, size, exact.get());
    walk({exact.get(), size}, calc);

    std::vector<std::uint8_t> transfer(kTransferBufferSize, 0);
    std::copy_n(data, std::min(size, transfer.size()), transfer.begin());
    walk(transfer, calc);
    return 0;
}

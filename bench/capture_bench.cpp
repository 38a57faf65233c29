// Capture path throughput: the FCS of both types, and the walk of a full record area with a
// realistic frame mix, with and without enqueueing the records into a real event buffer.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <unistd.h>

#include "capture/cv_ioctl.hpp"
#include "capture/record_walk.hpp"
#include "queue/syncmappedqueue.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes with_fcs(const FIPCalculator& calc, Bytes body) {
    const std::uint16_t fcs = calc.fcs_calcul(true, body);
    body.push_back(static_cast<std::uint8_t>(fcs >> 8));
    body.push_back(static_cast<std::uint8_t>(fcs & 0xFF));
    return body;
}

// A bus cycle's mix: identifier then variable response for most variables, now and then a
// message with its acknowledgement.
Bytes frame_mix_area(const FIPCalculator& calc, std::size_t* records) {
    std::mt19937 rng(7);
    Bytes area;
    std::uint64_t idx = 1;
    auto add = [&](Bytes frame) {
        const std::size_t length = kCaptureRecordHeaderSize + frame.size();
        if (area.size() + length > kRecordAreaSize) {
            return false;
        }
        Bytes r(kCaptureRecordHeaderSize, 0);
        r[0] = kCaptureRecordType;
        r[1] = static_cast<std::uint8_t>(length >> 8);
        r[2] = static_cast<std::uint8_t>(length);
        r[3] = 0x08;
        for (int i = 0; i < 8; ++i) {
            r[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(idx >> (56 - 8 * i));
        }
        ++idx;
        r.insert(r.end(), frame.begin(), frame.end());
        area.insert(area.end(), r.begin(), r.end());
        return true;
    };
    for (;;) {
        const unsigned pick = rng() % 10;
        Bytes frame;
        if (pick < 8) {
            const bool id = pick % 2 == 0;
            if (id) {
                frame = with_fcs(calc, {0x03, static_cast<std::uint8_t>(rng()), 0x10});
            } else {
                Bytes body(2 + rng() % 64, 0x11);
                body[0] = 0x02;
                body[1] = 0x40;
                frame = with_fcs(calc, body);
            }
        } else if (pick == 8) {
            Bytes body(7 + rng() % 120, 0x22);
            body[0] = 0x14;
            frame = with_fcs(calc, body);
        } else {
            frame = with_fcs(calc, {0x30});
        }
        if (!add(frame)) {
            break;
        }
    }
    *records = idx - 1;
    area.resize(kRecordAreaSize, 0);
    return area;
}

void BM_Fcs(benchmark::State& state) {
    const FIPCalculator calc;
    const bool type1 = state.range(0) == 1;
    Bytes frame(static_cast<std::size_t>(state.range(1)));
    for (std::size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<std::uint8_t>(i * 31U);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(calc.fcs_calcul(type1, frame));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(1));
}
BENCHMARK(BM_Fcs)
    ->ArgNames({"type", "bytes"})
    ->Args({1, 64})
    ->Args({1, 265})
    ->Args({2, 64})
    ->Args({2, 265});

void BM_RecordWalk(benchmark::State& state) {
    const FIPCalculator calc;
    std::size_t records = 0;
    const Bytes area = frame_mix_area(calc, &records);
    for (auto _ : state) {
        SequenceState seq;
        WalkCounts counts;
        benchmark::DoNotOptimize(walk_record_area(area, calc, seq, counts, nullptr));
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    state.counters["records_per_buffer"] = static_cast<double>(records);
}
BENCHMARK(BM_RecordWalk);

// The acquisition thread's work per record: a byte vector of the record into the event buffer.
class EnqueueSink final : public RecordSink {
public:
    explicit EnqueueSink(SyncMappedQueue<std::vector<char>>& q) : queue(q) {}
    void on_sequence_gap(std::uint64_t, std::uint64_t, std::int64_t) override {}
    void on_record(std::span<const std::uint8_t> r) override {
        dropped += queue.try_enqueue(std::vector<char>(r.begin(), r.end())) ? 0 : 1;
    }
    std::uint64_t dropped = 0;

private:
    SyncMappedQueue<std::vector<char>>& queue;
};

void BM_RecordWalkEnqueue(benchmark::State& state) {
    const FIPCalculator calc;
    std::size_t records = 0;
    const Bytes area = frame_mix_area(calc, &records);
    const std::string path =
        "/tmp/fipgate-capture-bench-" + std::to_string(::getpid()) + "/buffer.bin";
    constexpr unsigned long kSegmentBytes = 64UL << 20; // room for several buffers of events
    SyncMappedQueue<std::vector<char>> queue(path, kSegmentBytes);
    if (!queue.is_valid()) {
        state.SkipWithError("event buffer could not be created");
        return;
    }
    EnqueueSink sink(queue);
    std::vector<char> out;
    for (auto _ : state) {
        SequenceState seq;
        WalkCounts counts;
        walk_record_area(area, calc, seq, counts, &sink);
        state.PauseTiming();
        while (queue.try_dequeue(out, boost::posix_time::microseconds(0))) {
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
    state.counters["dropped"] = static_cast<double>(sink.dropped);
    boost::filesystem::remove_all(boost::filesystem::path(path).parent_path());
}
BENCHMARK(BM_RecordWalkEnqueue);

} // namespace

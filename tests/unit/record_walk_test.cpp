// The walk of a transfer buffer's record area over crafted buffers: what it counts, what it
// forwards, where it stops, and the sequence continuity across buffers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <vector>

#include "capture/cv_ioctl.hpp"
#include "capture/record_walk.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kFcsType1 = 0x08; // fcs_info with FCS type 1
constexpr std::uint8_t kFcsType2 = 0x10; // fcs_info with FCS type 2

// 03 12 34 with the FCS of each type: an identifier frame that passes every check.
const Bytes kGoodFrameType1 = {0x03, 0x12, 0x34, 0xB5, 0x69};
const Bytes kGoodFrameType2 = {0x03, 0x12, 0x34, 0xBC, 0x01};

Bytes record(std::uint64_t idx, const Bytes& frame, std::uint8_t status = 0,
             std::uint8_t fcs_info = kFcsType1) {
    const std::size_t length = kCaptureRecordHeaderSize + frame.size();
    Bytes r(length, 0xEE); // the unread header bytes must travel unchanged
    r[0] = kCaptureRecordType;
    r[1] = static_cast<std::uint8_t>(length >> 8);
    r[2] = static_cast<std::uint8_t>(length & 0xFF);
    r[3] = fcs_info;
    r[4] = status;
    for (int i = 0; i < 8; ++i) {
        r[5 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(idx >> (56 - 8 * i));
    }
    std::copy(frame.begin(), frame.end(), r.begin() + kCaptureRecordHeaderSize);
    return r;
}

// A record with a given total length, whatever its frame holds.
Bytes record_of_length(std::uint64_t idx, std::size_t length) {
    return record(idx, Bytes(length - kCaptureRecordHeaderSize, 0x40));
}

// A full record area with `records` back to back, zero after them.
Bytes area_of(const std::vector<Bytes>& records) {
    Bytes area;
    for (const Bytes& r : records) {
        area.insert(area.end(), r.begin(), r.end());
    }
    area.resize(kRecordAreaSize, 0);
    return area;
}

struct Collect final : RecordSink {
    std::vector<std::tuple<std::uint64_t, std::uint64_t, std::int64_t>> gaps;
    std::vector<Bytes> records;
    void on_sequence_gap(std::uint64_t prev, std::uint64_t idx, std::int64_t diff) override {
        gaps.emplace_back(prev, idx, diff);
    }
    void on_record(std::span<const std::uint8_t> r) override {
        records.emplace_back(r.begin(), r.end());
    }
};

struct Walker {
    FIPCalculator calc;
    SequenceState seq;
    WalkCounts counts;
    Collect sink;
    std::size_t walk(const Bytes& area) { return walk_record_area(area, calc, seq, counts, &sink); }
};

TEST(RecordWalkTest, ExampleBufferGivesOneCheckedRecord) {
    Bytes buffer(kTransferBufferSize, 0);
    const std::uint32_t status_word = 0x80000000U;
    std::memcpy(buffer.data(), &status_word, sizeof status_word);
    const Bytes rec = record(1, kGoodFrameType1, 0x01);
    ASSERT_EQ(rec.size(), 0x23U);
    std::memcpy(buffer.data() + kRecordAreaOffset, rec.data(), rec.size());

    ASSERT_TRUE(has_ready_bit(buffer));
    const std::span<const std::uint8_t> area = record_area(buffer);
    ASSERT_EQ(area.size(), kRecordAreaSize);
    Walker w;
    EXPECT_EQ(walk_record_area(area, w.calc, w.seq, w.counts, &w.sink), 1U);
    EXPECT_EQ(w.counts.frame_rcvd_cnt, 1U);
    EXPECT_EQ(w.counts.bytes_rcvd_cnt, 8U);
    EXPECT_EQ(w.counts.st0_cnt, 1U);
    EXPECT_EQ(w.counts.st12_cnt + w.counts.st3_cnt + w.counts.st4_cnt + w.counts.st5_cnt +
                  w.counts.st6_cnt,
              0U);
    EXPECT_TRUE(w.counts.has_fcs_type);
    EXPECT_EQ(w.counts.last_fcs_type, 1);
    EXPECT_EQ(w.counts.bad_ctrl_cnt + w.counts.bad_fcs_cnt + w.counts.bad_pdu_cnt +
                  w.counts.bad_len_cnt,
              0U);
    EXPECT_EQ(w.counts.loss_cont_evt_cnt, 0U);
    ASSERT_EQ(w.sink.records.size(), 1U);
    EXPECT_EQ(w.sink.records[0], rec);
}

TEST(RecordWalkTest, ReadyBitsAndAreaBounds) {
    Bytes buffer(kTransferBufferSize, 0);
    EXPECT_FALSE(has_ready_bit(buffer));
    for (const std::uint32_t word : {0x80000000U, 0x40000000U, 0xC0000000U}) {
        std::memcpy(buffer.data(), &word, sizeof word);
        EXPECT_TRUE(has_ready_bit(buffer)) << word;
    }
    const std::uint32_t other_bits = 0x3FFFFFFFU;
    std::memcpy(buffer.data(), &other_bits, sizeof other_bits);
    EXPECT_FALSE(has_ready_bit(buffer));
    EXPECT_FALSE(has_ready_bit(std::span<const std::uint8_t>(buffer).first(3)));

    EXPECT_TRUE(record_area(std::span<const std::uint8_t>(buffer).first(12)).empty());
    EXPECT_EQ(record_area(std::span<const std::uint8_t>(buffer).first(100)).size(), 88U);
    const Bytes longer(kTransferBufferSize + 50, 0);
    EXPECT_EQ(record_area(longer).size(), kRecordAreaSize);
}

TEST(RecordWalkTest, CountsFramesBytesStatusBitsAndFaults) {
    const Bytes bad_fcs = {0x03, 0x12, 0x34, 0xB5, 0x96}; // last FCS byte inverted
    Walker w;
    w.walk(area_of({
        record_of_length(0, 40),                  // frame of 10
        record_of_length(0, 60),                  // frame of 30
        record(0, kGoodFrameType1, 0x7F),         // every counted bit
        record(0, kGoodFrameType1, 0x80),         // bit 7 is not counted
        record(0, kGoodFrameType1, 0x02),         // bit 1 alone
        record(0, kGoodFrameType1, 0x04),         // bit 2 alone
        record(0, Bytes{0x07, 1, 2, 3, 4}),       // bad control byte
        record(0, bad_fcs),                       //
        record(0, kGoodFrameType2, 0, kFcsType2), // each record uses its own FCS type
        record(0, kGoodFrameType2, 0, kFcsType1), // ... so this one fails
        record(0, Bytes{}),                       // header alone: nothing to check
    }));
    EXPECT_EQ(w.counts.frame_rcvd_cnt, 11U);
    EXPECT_EQ(w.counts.bytes_rcvd_cnt, (10 + 3) + (30 + 3) + 8 * 8 + 3);
    EXPECT_EQ(w.counts.st0_cnt, 1U);
    EXPECT_EQ(w.counts.st12_cnt, 3U);
    EXPECT_EQ(w.counts.st3_cnt, 1U);
    EXPECT_EQ(w.counts.st4_cnt, 1U);
    EXPECT_EQ(w.counts.st5_cnt, 1U);
    EXPECT_EQ(w.counts.st6_cnt, 1U);
    EXPECT_EQ(w.counts.bad_ctrl_cnt, 1U);
    // The two filler frames (0x40 bytes) read as acknowledgement frames with a wrong FCS; then
    // the flipped FCS and the type 2 frame checked as type 1.
    EXPECT_EQ(w.counts.bad_fcs_cnt, 4U);
    EXPECT_EQ(w.counts.bad_pdu_cnt + w.counts.bad_len_cnt, 0U);
    EXPECT_EQ(w.counts.last_fcs_type, 1);
    ASSERT_EQ(w.sink.records.size(), 11U);
    EXPECT_EQ(w.sink.records.back().size(), kCaptureRecordHeaderSize);
}

TEST(RecordWalkTest, SequenceContinuity) {
    struct Case {
        const char* name;
        std::vector<std::uint64_t> indexes;
        std::vector<std::tuple<std::uint64_t, std::uint64_t, std::int64_t>> gaps;
        std::int64_t lost_total;
    };
    const Case cases[] = {
        {"consecutive", {1, 2, 3}, {}, 0},
        {"gap", {1, 2, 5}, {{2, 5, 3}}, 3},
        {"first index not 1", {7, 8}, {{0, 7, 7}}, 7},
        {"unnumbered between", {1, 2, 3, 4, 0, 0, 5}, {}, 0},
        {"backwards", {8, 9, 10, 3}, {{0, 8, 8}, {10, 3, -7}}, 1},
        {"backwards to the same", {1, 2, 2}, {{2, 2, 0}}, 0},
        // Jumps near 2^63: the total wraps instead of overflowing (UBSan aborts on the latter).
        {"total wraps upwards",
         {0x7FFFFFFFFFFFFFFFULL, 0x8000000000000004ULL},
         {{0, 0x7FFFFFFFFFFFFFFFULL, INT64_MAX}, {0x7FFFFFFFFFFFFFFFULL, 0x8000000000000004ULL, 5}},
         INT64_MIN + 4},
        {"total wraps downwards",
         {0x8000000000000001ULL, 2},
         {{0, 0x8000000000000001ULL, INT64_MIN + 1}, {0x8000000000000001ULL, 2, INT64_MIN + 1}},
         2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Bytes> records;
        for (const std::uint64_t idx : c.indexes) {
            records.push_back(record(idx, kGoodFrameType1));
        }
        Walker w;
        EXPECT_EQ(w.walk(area_of(records)), c.indexes.size());
        EXPECT_EQ(w.sink.gaps, c.gaps);
        EXPECT_EQ(w.counts.loss_cont_evt_cnt, c.gaps.size());
        EXPECT_EQ(w.seq.lost_total, c.lost_total);
    }
}

TEST(RecordWalkTest, SequenceCarriesAcrossBuffers) {
    Walker w;
    w.walk(area_of({record(1, kGoodFrameType1), record(2, kGoodFrameType1)}));
    w.walk(area_of({record(0, kGoodFrameType1)}));
    w.walk(area_of({record(3, kGoodFrameType1), record(10, kGoodFrameType1)}));
    ASSERT_EQ(w.sink.gaps.size(), 1U);
    EXPECT_EQ(w.sink.gaps[0], std::make_tuple(3ULL, 10ULL, 7LL));
    EXPECT_EQ(w.seq.prev_idx, 10U);
    EXPECT_EQ(w.seq.lost_total, 7);
}

TEST(RecordWalkTest, AreaFilledExactlyAndOneByteTooFar) {
    // 32768 = 32 * 1000 + 768: every record fits, the last ends on the last byte.
    std::vector<Bytes> records;
    for (std::uint64_t i = 1; i <= 32; ++i) {
        records.push_back(record_of_length(i, 1000));
    }
    records.push_back(record_of_length(33, 768));
    Walker exact;
    EXPECT_EQ(exact.walk(area_of(records)), 33U);
    EXPECT_EQ(exact.counts.frame_rcvd_cnt, 33U);

    // Bytes after the area (here: the rest of a larger buffer) must not be taken for the record.
    Bytes big = area_of(records);
    big.back() = 0;
    big[kRecordAreaSize - 768 + 2] = 0x01; // 769: one byte past the area
    big.resize(kRecordAreaSize + 100, 0x40);
    Walker over;
    EXPECT_EQ(walk_record_area(std::span<const std::uint8_t>(big).first(kRecordAreaSize), over.calc,
                               over.seq, over.counts, &over.sink),
              32U);
    EXPECT_EQ(over.sink.records.size(), 32U);
    EXPECT_EQ(over.counts.frame_rcvd_cnt, 32U);
    // The refused record's index still took part in the sequence check.
    EXPECT_EQ(over.seq.prev_idx, 33U);
}

TEST(RecordWalkTest, MalformedRecordsEndTheWalk) {
    const Bytes good = record(1, kGoodFrameType1);
    auto with_length = [](Bytes r, std::size_t length) {
        r[1] = static_cast<std::uint8_t>(length >> 8);
        r[2] = static_cast<std::uint8_t>(length & 0xFF);
        return r;
    };
    Bytes other_type = record(2, kGoodFrameType1);
    other_type[0] = 0xC1;
    struct Case {
        const char* name;
        Bytes second;
    };
    const Case cases[] = {
        {"type", other_type},
        {"zero length", with_length(record(2, kGoodFrameType1), 0)},
        {"length 1", with_length(record(2, kGoodFrameType1), 1)},
        {"length 29", with_length(record(2, kGoodFrameType1), 29)},
        {"past the area", with_length(record(2, kGoodFrameType1), 0xFFFF)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Walker w;
        // A good record after the malformed one must not be reached.
        EXPECT_EQ(w.walk(area_of({good, c.second, record(3, kGoodFrameType1)})), 1U);
        EXPECT_EQ(w.sink.records.size(), 1U);
        EXPECT_EQ(w.counts.frame_rcvd_cnt, 1U);
    }

    Walker empty;
    EXPECT_EQ(empty.walk(Bytes(kRecordAreaSize, 0)), 0U);
    EXPECT_FALSE(empty.counts.has_fcs_type);

    // A header cut by the end of the area is not read at all.
    Bytes tail = area_of({});
    const Bytes cut = record(5, kGoodFrameType1);
    std::memcpy(tail.data() + kRecordAreaSize - 29, cut.data(), 29);
    Walker w;
    EXPECT_EQ(walk_record_area(std::span<const std::uint8_t>(tail).subspan(kRecordAreaSize - 29),
                               w.calc, w.seq, w.counts, &w.sink),
              0U);
    EXPECT_EQ(w.seq.prev_idx, 0U);
    EXPECT_EQ(walk_record_area({}, w.calc, w.seq, w.counts, nullptr), 0U);
}

} // namespace

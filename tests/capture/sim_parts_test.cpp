// The simulated card's parts on their own: what the packer does when the reader falls behind,
// the time stamps around the epoch, and the injected bad frames judged by wire's checks.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <vector>

#include "sim/buffer_packer.hpp"
#include "sim/fault_control.hpp"
#include "sim/time_base.hpp"
#include "wire/frame_check.hpp"

namespace {

using namespace capvane_sim;

uint32_t sequence_of(const TransferBuffer& buffer) {
    uint32_t v;
    std::memcpy(&v, buffer.bytes.data() + 8, sizeof v);
    return v;
}

// Fills `buffers` whole buffers with the longest frames, each handed to the ring when full.
void fill(BufferPacker& packer, int buffers) {
    const std::vector<uint8_t> frame(kMaxFrameBytes, 0x04);
    const std::size_t per_buffer = kRecordAreaBytes / (kRecordHeaderBytes + frame.size());
    for (std::size_t i = 0; i < per_buffer * static_cast<std::size_t>(buffers); ++i) {
        packer.pack_frame(frame.data(), frame.size(), packer.next_index(), 0, 0, 0, 0);
    }
    packer.push_partial();
}

TEST(SimParts, AFullRingLosesWholeBuffersAndCountsTheirRecords) {
    const std::size_t per_buffer = kRecordAreaBytes / (kRecordHeaderBytes + kMaxFrameBytes);
    for (const bool drop_when_full : {true, false}) {
        SCOPED_TRACE(drop_when_full);
        CardStats stats;
        std::condition_variable reader_cv;
        BufferPacker packer(1, 2500000, 2, drop_when_full, stats, reader_cv);
        fill(packer, 4);
        std::vector<uint32_t> sequences;
        uint64_t next_index = 1;
        while (packer.has_ready()) {
            auto buffer = packer.pop_ready();
            sequences.push_back(sequence_of(*buffer));
            // No record straddles two buffers, and numbering runs on across them.
            EXPECT_LE(buffer->area_used, kRecordAreaBytes);
            EXPECT_EQ(buffer->tally.records, per_buffer);
            EXPECT_EQ(buffer->tally.last_index, next_index + per_buffer - 1);
            next_index += per_buffer;
            packer.recycle(std::move(buffer));
        }
        if (drop_when_full) {
            EXPECT_EQ(sequences, (std::vector<uint32_t>{1, 2}));
            EXPECT_EQ(stats.overruns, 2u);
            EXPECT_EQ(stats.dropped_records, 2 * per_buffer);
            // The lost buffers used their sequence numbers: the reader sees the gap.
            fill(packer, 1);
            EXPECT_EQ(sequence_of(*packer.pop_ready()), 5u);
        } else {
            EXPECT_EQ(sequences, (std::vector<uint32_t>{1, 2, 3, 4}));
            EXPECT_EQ(stats.overruns, 0u);
        }
    }
}

TEST(SimParts, TimeStampsFollowTheEpochAndNeverGoNegative) {
    TimeBase time;
    time.set_epoch(1'000'000, 5'000'000);
    EXPECT_EQ(time.stamp(5'000'000), 1'000'000u);
    EXPECT_EQ(time.stamp(7'500'000), 3'500'000u);
    EXPECT_EQ(time.stamp(4'500'000), 500'000u);
    EXPECT_EQ(time.stamp(0), 0u); // bus time before the epoch's start: clamped, not wrapped

    // Paced at half speed: a bus microsecond takes two on the wall clock, and back again.
    const auto wall = TimeBase::Clock::now();
    time.set_wall_per_sim(2.0);
    time.anchor(10'000, wall);
    EXPECT_EQ(time.wall_of(11'000), wall + std::chrono::nanoseconds(2'000));
    EXPECT_EQ(time.sim_at(wall + std::chrono::nanoseconds(2'000)), 11'000u);
    EXPECT_EQ(time.sim_at(wall - std::chrono::seconds(1)), 0u);
}

TEST(SimParts, InjectedBadFramesBreakExactlyTheirRuleByWiresChecks) {
    const struct {
        BadCheck bad;
        wire::FrameCheck broken;
    } cases[] = {{BadCheck::ctrl, wire::FrameCheck::control},
                 {BadCheck::fcs, wire::FrameCheck::fcs},
                 {BadCheck::pdu, wire::FrameCheck::pdu},
                 {BadCheck::len, wire::FrameCheck::length}};
    for (const int fcs_type : {1, 2}) {
        SCOPED_TRACE(fcs_type);
        const auto good = FaultControl::good_frame(fcs_type);
        const auto fcs = static_cast<uint8_t>(fcs_type);
        EXPECT_EQ(wire::first_failed_check(wire::decode_frame(fcs, good), good), std::nullopt);
        for (const auto& c : cases) {
            const auto frame = FaultControl::bad_frame(c.bad, fcs_type);
            EXPECT_EQ(wire::first_failed_check(wire::decode_frame(fcs, frame), frame), c.broken)
                << bad_check_name(c.bad);
        }
    }
}

} // namespace

// Transaction pairing, per-identifier counts, frame rules and the scan learner, from crafted
// frame sequences.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <vector>

#include "wire/wire.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes with_fcs(Bytes body, std::uint8_t fcs_type = 1) {
    const std::uint16_t fcs = wire::compute_fcs(fcs_type, body).value_or(0);
    body.push_back(static_cast<std::uint8_t>(fcs >> 8));
    body.push_back(static_cast<std::uint8_t>(fcs));
    return body;
}

Bytes poll(std::uint16_t id, std::uint8_t control = 0x03) {
    return with_fcs({control, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)});
}
Bytes variable(std::uint8_t control = 0x02, std::uint8_t pdu = 0x40) {
    return with_fcs({control, pdu, 2, 0x11, 0x22});
}
Bytes message(std::uint8_t control = 0x14) {
    return with_fcs({control, 0, 1, 0, 0, 2, 0, 0xAB});
}
Bytes single(std::uint8_t control) {
    return with_fcs({control});
}
Bytes damaged(Bytes frame) {
    frame.back() ^= 0xFF;
    return frame;
}

// Feeds frames numbered from `idx` on, `us_per_record` microseconds apart.
struct Feed {
    wire::TransactionWalker walker;
    std::uint64_t idx = 1;
    std::int64_t us_per_record = 1;

    Feed& operator<<(const Bytes& frame) {
        walker.on_record(idx, wire::decode_frame(1, frame), frame,
                         static_cast<std::int64_t>(idx) * us_per_record);
        ++idx;
        return *this;
    }
    Feed& skip(std::uint64_t records) {
        idx += records;
        return *this;
    }
    std::map<std::uint16_t, wire::IdentifierStats> ids() const {
        std::map<std::uint16_t, wire::IdentifierStats> m;
        for (const auto& s : walker.identifiers()) {
            m[s.id] = s;
        }
        return m;
    }
};

TEST(FrameCheck, FirstRuleBrokenInTheGatewaysOrder) {
    const auto check = [](const Bytes& f, std::uint8_t type = 1) {
        return wire::first_failed_check(wire::decode_frame(type, f), f);
    };
    EXPECT_FALSE(check({0x03, 0x12, 0x34, 0xB5, 0x69}));
    EXPECT_EQ(check({0x03, 0x12, 0x34, 0xB5, 0x69}, 2), wire::FrameCheck::fcs);
    EXPECT_EQ(check({0x07, 0x12, 0x34, 0xB5, 0x69}), wire::FrameCheck::control);
    // A bad PDU type wins over a bad length, as the gateway counts it.
    EXPECT_EQ(check(with_fcs({0x02, 0x41})), wire::FrameCheck::pdu);
    EXPECT_EQ(check(with_fcs({0x03, 0x12, 0x34, 0x00})), wire::FrameCheck::length);
    EXPECT_FALSE(check(with_fcs({0x40})));
    EXPECT_EQ(check({0x40, 0x00}), wire::FrameCheck::fcs);
    EXPECT_FALSE(check(with_fcs(Bytes(263, 0x14)))); // a message of 265 bytes
    EXPECT_EQ(check(with_fcs(Bytes(264, 0x14))), wire::FrameCheck::length);
    EXPECT_FALSE(check({}));
}

TEST(Transactions, EveryKindOfExchangePairsWithItsPoll) {
    Feed f;
    f << poll(0x0100) << variable(0x06) // variable, message wanted
      << poll(0x0200, 0x05) << message(0x14) << single(0x30) << single(0x40) // acknowledged
      << poll(0x0201, 0x05) << message(0x04) << single(0x40) // no acknowledgement asked
      << poll(0x0202, 0x09) << with_fcs({0x08, 0x01, 0x00})  // request list
      << poll(0x0100, 0x29) << variable(0x2A, 0x50)          // aperiodic, request flag
      << poll(0x0101);                                       // still awaiting its answer
    const auto ids = f.ids();
    const auto& v = ids.at(0x0100);
    EXPECT_EQ(v.polls, 2U);
    EXPECT_EQ(v.responses, 2U);
    EXPECT_EQ(v.missing, 0U);
    EXPECT_EQ(v.message_flags, 1U);
    EXPECT_EQ(v.request_flags, 1U);
    EXPECT_TRUE(v.has_pdu_type(0x40));
    EXPECT_TRUE(v.has_pdu_type(0x50));
    EXPECT_EQ(v.len_min, 7U);
    EXPECT_EQ(v.bytes, 2U * 5 + 2 * 7);
    EXPECT_EQ(ids.at(0x0200).messages, 1U);
    EXPECT_EQ(ids.at(0x0200).acknowledged, 1U);
    EXPECT_EQ(ids.at(0x0200).ended, 1U);
    EXPECT_EQ(ids.at(0x0201).acknowledged, 0U);
    EXPECT_EQ(ids.at(0x0201).ended, 1U);
    EXPECT_EQ(ids.at(0x0202).responses, 1U);
    EXPECT_EQ(ids.at(0x0101).missing + ids.at(0x0101).unknown, 0U);
    const wire::BusCounters& bus = f.walker.bus();
    EXPECT_EQ(bus.frames, 14U);
    EXPECT_EQ(bus.transactions, 5U);
    EXPECT_EQ(bus.missing + bus.orphans + bus.bad_frames + bus.unknown_frames, 0U);
    EXPECT_EQ(bus.by_kind[static_cast<std::size_t>(wire::FrameKind::ack_end)], 3U);
}

TEST(Transactions, SilentProducerAndUnexpectedOrDamagedAnswers) {
    Feed f;
    f << poll(0x0100) << poll(0x0101) << variable() // 0x0100 silent
      << poll(0x0100) << damaged(variable())        // answered with a bad FCS
      << poll(0x0100) << single(0x40)               // an end frame is no answer to ID_DAT
      << poll(0x0100) << with_fcs({0x02, 0x41, 0})  // bad PDU type
      << poll(0x0102) << variable() << variable();  // the second one answers nothing
    const auto ids = f.ids();
    const auto& s = ids.at(0x0100);
    EXPECT_EQ(s.polls, 4U);
    EXPECT_EQ(s.missing, 1U);
    EXPECT_EQ(s.responses, 3U);
    EXPECT_EQ(s.bad[static_cast<std::size_t>(wire::FrameCheck::fcs)], 1U);
    EXPECT_EQ(s.bad[static_cast<std::size_t>(wire::FrameCheck::pdu)], 1U);
    EXPECT_EQ(s.unexpected, 1U);
    EXPECT_EQ(ids.at(0x0101).responses, 1U);
    EXPECT_EQ(f.walker.bus().orphans, 1U);
    EXPECT_EQ(f.walker.bus().missing, 1U);
    EXPECT_EQ(f.walker.bus().bad_frames, 2U);
}

TEST(Transactions, DamagedIdentifierIsNobodysPoll) {
    Feed f;
    f << poll(0x0100) << damaged(poll(0x0101)) << variable() << poll(0x0100) << variable();
    const auto ids = f.ids();
    EXPECT_EQ(ids.size(), 1U); // a damaged frame creates no identifier
    EXPECT_EQ(ids.at(0x0100).missing, 1U);
    EXPECT_EQ(ids.at(0x0100).responses, 1U);
    EXPECT_EQ(f.walker.bus().unattributed, 1U);
    EXPECT_EQ(f.walker.bus().orphans, 0U);
}

TEST(Transactions, BreaksAreUnknownNeverSilence) {
    Feed gap;
    gap << poll(0x0100);
    gap.skip(1) << poll(0x0101) << variable(); // the answer of 0x0100 may be the lost record
    gap << poll(0x0102);
    gap.skip(3) << variable() << poll(0x0100) << variable();
    auto ids = gap.ids();
    EXPECT_EQ(ids.at(0x0100).missing, 0U);
    EXPECT_EQ(ids.at(0x0100).unknown, 1U);
    EXPECT_EQ(ids.at(0x0102).unknown, 1U);
    EXPECT_EQ(gap.walker.bus().unknown_frames, 1U);
    EXPECT_EQ(gap.walker.bus().orphans, 0U);
    EXPECT_EQ(gap.walker.bus().breaks, 2U);

    // A restart numbers from 1 again; a lost datagram is told by the caller.
    Feed restart;
    restart << poll(0x0100) << variable() << poll(0x0101);
    restart.idx = 1;
    restart << variable() << poll(0x0101);
    restart.walker.on_break();
    restart << variable();
    ids = restart.ids();
    EXPECT_EQ(ids.at(0x0101).unknown, 2U);
    EXPECT_EQ(ids.at(0x0101).missing, 0U);
    EXPECT_EQ(restart.walker.bus().unknown_frames, 2U);

    // Unnumbered records neither break nor resynchronise the pairing.
    wire::TransactionWalker w;
    const Bytes p = poll(0x0100), v = variable();
    w.on_record(5, wire::decode_frame(1, p), p, 0);
    w.on_record(0, wire::decode_frame(1, v), v, 0);
    w.on_record(6, wire::decode_frame(1, p), p, 0);
    EXPECT_EQ(w.identifiers().at(0).responses, 1U);
    EXPECT_EQ(w.bus().breaks, 0U);
}

// A scan of `periods` (identifier -> elementary cycles), one poll and answer each, for
// `cycles` cycles; identifiers in `absent` are left out during cycles [from, to).
struct Scan {
    std::map<std::uint16_t, std::uint32_t> periods;
    std::uint16_t absent = 0;
    std::uint64_t from = 0, to = 0;
    std::map<std::uint16_t, Bytes> answers{}; // an answer other than variable()

    void run(Feed& f, std::uint64_t first, std::uint64_t cycles) const {
        for (std::uint64_t c = first; c < first + cycles; ++c) {
            for (const auto& [id, period] : periods) {
                if (c % period == 0 && !(id == absent && c >= from && c < to)) {
                    f << poll(id) << (answers.count(id) != 0 ? answers.at(id) : variable());
                }
            }
            if (c % 3 == 0) {
                f << poll(0x0200, 0x05) << message(0x04) << single(0x40); // aperiodic window
            }
        }
    }
};

TEST(ScanLearner, LearnsPeriodsAndMacrocycle) {
    Scan scan{{{0x0100, 2}, {0x0111, 1}, {0x0122, 4}, {0x0133, 1}, {0x0144, 8}}};
    Feed f;
    scan.run(f, 0, 400);
    const wire::ScanTable t = f.walker.scan();
    ASSERT_EQ(t.entries.size(), 5U);
    for (const wire::ScanEntry& e : t.entries) {
        EXPECT_EQ(e.period_cycles, scan.periods.at(e.id)) << std::hex << e.id;
        EXPECT_EQ(e.deviations, 0U) << std::hex << e.id;
    }
    EXPECT_EQ(t.macrocycle_cycles, 8U);
    EXPECT_EQ(t.macrocycle_polls, 4U + 8 + 2 + 8 + 1);
    // Identifiers polled only aperiodically are not in the scan.
    EXPECT_EQ(f.ids().at(0x0200).period_cycles, 0U);
}

TEST(ScanLearner, CountsPollsThatNeverCameAndSurvivesBreaks) {
    Scan scan{{{0x0100, 1}, {0x0111, 2}, {0x0122, 4}}, 0x0122, 200, 216};
    Feed f;
    scan.run(f, 0, 300);
    auto ids = f.ids();
    EXPECT_EQ(ids.at(0x0122).period_cycles, 4U);
    EXPECT_EQ(ids.at(0x0122).scan_deviations, 4U); // 200, 204, 208, 212 never came
    EXPECT_EQ(ids.at(0x0111).scan_deviations, 0U);

    // Removed for good: the overdue polls count while they do not come.
    Scan gone{{{0x0100, 1}, {0x0111, 2}}, 0x0111, 100, 1000};
    Feed g;
    gone.run(g, 0, 120);
    EXPECT_EQ(g.ids().at(0x0111).scan_deviations, 10U);
    g.walker.on_break(); // a counter never goes down: what was overdue stays counted
    EXPECT_EQ(g.ids().at(0x0111).scan_deviations, 10U);

    // Records lost across several cycles: no interval is measured over the hole.
    Feed h;
    scan.periods.erase(0x0122);
    scan.run(h, 0, 100);
    h.skip(50);
    scan.run(h, 160, 100);
    EXPECT_EQ(h.ids().at(0x0111).scan_deviations, 0U);
    EXPECT_EQ(h.ids().at(0x0111).period_cycles, 2U);

    // The arbitrator's plan changed: the new period is learned from a few intervals, however
    // long the old one was seen.
    scan.periods[0x0111] = 4;
    scan.run(h, 300, 5 * 4);
    EXPECT_EQ(h.ids().at(0x0111).period_cycles, 4U);
}

// A baseline learned from one plan, and today's bus with one change of each kind.
TEST(Baseline, EachChangeIsTheDeviationOfItsIdentifierDatedWhenFirstSeen) {
    const std::string gateway = "10.0.0.5/0x5CA1AB1E";
    Scan plan{{{0x0100, 1}, {0x0111, 2}, {0x0122, 4}, {0x0133, 4}, {0x0144, 2}, {0x0155, 1}}};
    Feed commissioning;
    commissioning.us_per_record = 500;
    plan.run(commissioning, 0, 100);
    const auto early =
        wire::make_baseline(commissioning.walker.identifiers(), commissioning.walker.scan(),
                            commissioning.walker.bus(), gateway, 1);
    EXPECT_FALSE(early.baseline);
    EXPECT_NE(early.refusal.find("listen longer"), std::string::npos) << early.refusal;
    plan.run(commissioning, 100, 1100);
    const auto made =
        wire::make_baseline(commissioning.walker.identifiers(), commissioning.walker.scan(),
                            commissioning.walker.bus(), gateway, 1);
    ASSERT_TRUE(made.baseline) << made.refusal;
    EXPECT_EQ(made.baseline->macrocycle_cycles, 4U);
    const auto read = wire::parse_baseline(wire::baseline_to_json(*made.baseline));
    ASSERT_TRUE(read.baseline) << read.error;
    ASSERT_EQ(*read.baseline, *made.baseline);

    Scan today = plan;
    today.periods[0x0111] = 4;
    today.periods.erase(0x0122);
    today.periods[0x0166] = 2;
    today.answers[0x0133] = with_fcs({0x02, 0x40, 3, 0x11, 0x22, 0x33});
    today.answers[0x0144] = variable(0x02, 0x50);
    today.answers[0x0155] = variable(0x06); // asks for a message exchange
    Feed now;
    now.us_per_record = 500;
    today.run(now, 0, 1200);
    wire::DeviationLog log;
    const auto compare = [&] {
        return log.update(wire::compare_with_baseline(*read.baseline, now.walker.identifiers(),
                                                      now.walker.bus()));
    };
    const std::int64_t first_time = now.walker.bus().last_seen_us;
    compare();
    today.run(now, 1200, 100);
    std::map<std::uint16_t, std::string> seen;
    std::map<std::uint16_t, std::int64_t> since;
    for (const wire::IdentifierDeviations& d : compare()) {
        for (std::size_t k = 0; k < wire::kDeviationCount; ++k) {
            if (d.since_us[k] != 0) {
                seen[d.id] += wire::deviation_name(static_cast<wire::Deviation>(k));
                since[d.id] = d.since_us[k];
            }
        }
    }
    const std::map<std::uint16_t, std::string> expected = {
        {0x0111, "period"}, {0x0122, "absent"},   {0x0133, "length"},
        {0x0144, "pdu"},    {0x0155, "messages"}, {0x0166, "unexpected"}};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(since[0x0166], now.ids().at(0x0166).first_seen_us);
    EXPECT_EQ(since[0x0122], now.walker.bus().first_seen_us + wire::kMinAbsenceUs);
    EXPECT_EQ(since[0x0111], first_time); // the first comparison that saw it
}

} // namespace

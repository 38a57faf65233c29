// The bus analysis against the simulated card's own truth: the scan it learns at every bit rate
// is the card's plan, and the silences and corruptions asked of the card are counted exactly.
#include <gtest/gtest.h>

#include "capture/sim_client.hpp"
#include "support/card_truth.hpp"
#include "support/sim_control.hpp"
#include "support/sim_env.hpp"
#include "wire/wire.hpp"

using namespace simtest;
using testsupport::card_truth;
using testsupport::field;
using testsupport::SimEnv;
using testsupport::TempDir;

namespace {

void feed(wire::TransactionWalker& walker, const std::vector<Record>& records) {
    for (const Record& r : records) {
        const auto frame = r.frame();
        walker.on_record(r.index(), wire::decode_frame(r.fcs_type(), frame), frame, 0);
    }
}

std::map<std::uint16_t, wire::IdentifierStats> by_id(const wire::TransactionWalker& walker) {
    std::map<std::uint16_t, wire::IdentifierStats> out;
    for (const auto& s : walker.identifiers()) {
        out[s.id] = s;
    }
    return out;
}

} // namespace

TEST(SimBusTruth, LearnedScanIsTheCardsPlanAtEveryBitRate) {
    for (const char* bitrate : {"31250", "1000000", "2500000", "5000000"}) {
        SCOPED_TRACE(bitrate);
        TempDir dir;
        SimEnv env;
        env.set("CAPVANE_SIM_PACE", "max");
        env.set("CAPVANE_SIM_BITRATE", bitrate);
        env.set("CAPVANE_SIM_CONTROL", dir.file("card.sock"));
        Node node;
        ASSERT_EQ(node.sniffer(true), 0);
        wire::TransactionWalker walker;
        feed(walker, node.records(30000));
        testsupport::SimControl control(dir.file("card.sock"));
        const auto truth = card_truth(control.command("stats"));
        ASSERT_FALSE(truth.empty());
        const auto learned = by_id(walker);
        std::size_t periodic = 0;
        for (const auto& [id, t] : truth) {
            const long long period = field(t, "period_cycles");
            if (period > 0) {
                ++periodic;
                EXPECT_EQ(learned.at(static_cast<std::uint16_t>(id)).period_cycles, period)
                    << std::hex << id;
                EXPECT_EQ(learned.at(static_cast<std::uint16_t>(id)).scan_deviations, 0U)
                    << std::hex << id;
            }
        }
        EXPECT_EQ(walker.scan().entries.size(), periodic);
        EXPECT_GT(walker.scan().macrocycle_polls, 0U);
    }
}

TEST(SimBusTruth, SilencesAndCorruptionsAreCountedExactly) {
    TempDir dir;
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "max");
    env.set("CAPVANE_SIM_CONTROL", dir.file("card.sock"));
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    testsupport::SimControl control(dir.file("card.sock"));
    ASSERT_TRUE(control.ok());
    EXPECT_EQ(control.command("silence 0x0111 25"), "ok silence 0x0111 25");
    EXPECT_EQ(control.command("corrupt 290 7"), "ok corrupt 0x0122 7");
    EXPECT_EQ(control.command("silence 0x0200 3"), "ok silence 0x0200 3"); // a message station
    EXPECT_EQ(control.command("corrupt 0x0201"), "ok corrupt 0x0201 1");
    EXPECT_EQ(control.command("silence 0x10000 1").rfind("error ", 0), 0U);
    EXPECT_EQ(control.command("corrupt 0x0100 0").rfind("error ", 0), 0U);
    EXPECT_EQ(control.command("silence").rfind("error ", 0), 0U);

    wire::TransactionWalker walker;
    feed(walker, node.records(40000));
    const std::string stats = control.command("stats");
    const auto truth = card_truth(stats);
    const auto seen = by_id(walker);
    ASSERT_EQ(seen.size(), truth.size()) << stats;
    for (const auto& [id, t] : truth) {
        SCOPED_TRACE(id);
        const auto& s = seen.at(static_cast<std::uint16_t>(id));
        EXPECT_EQ(static_cast<long long>(s.polls), field(t, "polls"));
        EXPECT_EQ(static_cast<long long>(s.responses), field(t, "responses"));
        EXPECT_EQ(static_cast<long long>(s.missing), field(t, "silences"));
        EXPECT_EQ(static_cast<long long>(s.bad_total()), field(t, "corrupted"));
        EXPECT_EQ(s.bad[static_cast<std::size_t>(wire::FrameCheck::fcs)], s.bad_total());
        EXPECT_EQ(field(t, "silence_pending") + field(t, "corrupt_pending"), 0);
    }
    EXPECT_GE(field(truth.at(0x0111), "silences"), 25); // and any the bus failed by chance
    EXPECT_EQ(field(truth.at(0x0122), "corrupted"), 7);
    EXPECT_EQ(field(truth.at(0x0200), "silences"), 3);
    EXPECT_EQ(walker.bus().orphans + walker.bus().unknown_polls, 0U);
    EXPECT_EQ(json_number(stats, "silence"), 28U);
}

TEST(SimBusTruth, ScanChangesArePolledAsTheCardReportsThem) {
    TempDir dir;
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "max");
    env.set("CAPVANE_SIM_CONTROL", dir.file("card.sock"));
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    testsupport::SimControl control(dir.file("card.sock"));
    ASSERT_TRUE(control.ok());
    const auto plan = card_truth(control.command("stats"));
    const auto was = [&plan](long long id) {
        return " was period " + std::to_string(field(plan.at(id), "period_cycles")) + " len " +
               std::to_string(field(plan.at(id), "response_len"));
    };
    // Nothing is on the bus yet (buffers are built on demand): 0x0111 is never polled.
    EXPECT_EQ(control.command("unschedule 0x0111"), "ok unschedule 0x0111" + was(0x0111));
    EXPECT_EQ(control.command("schedule 0x0400 3 20"), "ok schedule 0x0400 period 3 len 20");
    EXPECT_EQ(control.command("schedule 0x0122 2"),
              "ok schedule 0x0122 period 2 len " +
                  std::to_string(field(plan.at(0x0122), "response_len")) + was(0x0122));
    EXPECT_EQ(control.command("unschedule 0x0111").rfind("error ", 0), 0U);

    wire::TransactionWalker walker;
    feed(walker, node.records(20000));
    // Mid-stream: 0x0133 stops being polled from the next elementary cycle.
    EXPECT_EQ(control.command("unschedule 0x0133").rfind("ok unschedule 0x0133 was ", 0), 0U);
    feed(walker, node.records(500));
    const long long polls_0133 = field(card_truth(control.command("stats")).at(0x0133), "polls");
    feed(walker, node.records(20000));

    const auto truth = card_truth(control.command("stats"));
    const auto seen = by_id(walker);
    EXPECT_EQ(truth.count(0x0111), 0U);
    EXPECT_EQ(seen.count(0x0111), 0U);
    EXPECT_EQ(field(truth.at(0x0133), "polls"), polls_0133) << "still polled";
    EXPECT_EQ(field(truth.at(0x0133), "period_cycles"), 0);
    EXPECT_EQ(field(truth.at(0x0400), "period_cycles"), 3);
    EXPECT_EQ(field(truth.at(0x0400), "len_max"), 20);
    EXPECT_EQ(field(truth.at(0x0122), "period_cycles"), 2);
    ASSERT_EQ(seen.size(), truth.size());
    for (const auto& [id, t] : truth) {
        SCOPED_TRACE(id);
        const auto& s = seen.at(static_cast<std::uint16_t>(id));
        EXPECT_EQ(static_cast<long long>(s.polls), field(t, "polls"));
        EXPECT_EQ(static_cast<long long>(s.len_min), field(t, "len_min"));
        EXPECT_EQ(static_cast<long long>(s.len_max), field(t, "len_max"));
        if (id != 0x0133) { // its learned period outlives its last poll
            EXPECT_EQ(static_cast<long long>(s.period_cycles), field(t, "period_cycles"));
        }
    }
}

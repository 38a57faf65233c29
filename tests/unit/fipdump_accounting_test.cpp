// fipdump's loss accounting, filters and command line, from crafted datagrams.
#include <gtest/gtest.h>

#include "support/fipdump_stream.hpp"
#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/analysis/filter.hpp"
#include "tools/fipdump/options.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;

namespace {

const Sender gw{0x7F000001, 40000};

// Feeds datagrams of the given sequence numbers, each with one capture record numbered like
// its datagram, and returns the verdict of the last.
DatagramVerdict feed(LossAccounting& acc, const std::vector<std::uint64_t>& seqs,
                     Sender from = gw) {
    DatagramVerdict v;
    for (const auto seq : seqs) {
        const Bytes d = datagram(seq, {capture_record(seq)});
        v = acc.on_datagram(from, d.size(),
                            wire::decode_datagram(std::span<const std::uint8_t>(d)));
    }
    return v;
}

DatagramVerdict feed_bytes(LossAccounting& acc, const Bytes& d, Sender from = gw) {
    return acc.on_datagram(from, d.size(), wire::decode_datagram(std::span<const std::uint8_t>(d)));
}

} // namespace

TEST(FipdumpAccounting, OneMissingDatagramIsExactlyOneLost) {
    LossAccounting acc;
    feed(acc, {1, 2, 3});
    const DatagramVerdict v = feed(acc, {5});
    EXPECT_EQ(v.seq, SeqVerdict::gap);
    EXPECT_EQ(v.missing, 1U);
    feed(acc, {6, 7});
    const SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.lost_datagrams, 1U);
    EXPECT_EQ(c.datagrams, 6U);
    EXPECT_EQ(c.index_breaks, 1U); // record 4 went with its datagram
    EXPECT_EQ(c.lost_records, 1U);
    EXPECT_EQ(c.duplicates + c.reordered + c.restarts, 0U);
}

TEST(FipdumpAccounting, LateDatagramIsNoLongerLostAndDuplicatesAreCountedOnce) {
    LossAccounting acc;
    feed(acc, {1, 2, 4});
    EXPECT_EQ(acc.senders().at(gw).lost_datagrams, 1U);
    EXPECT_EQ(feed(acc, {3}).seq, SeqVerdict::late);
    EXPECT_EQ(feed(acc, {3}).seq, SeqVerdict::duplicate);
    EXPECT_EQ(feed(acc, {4}).seq, SeqVerdict::duplicate);
    feed(acc, {5});
    const SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.lost_datagrams, 0U);
    EXPECT_EQ(c.reordered, 1U);
    EXPECT_EQ(c.duplicates, 2U);
    EXPECT_EQ(c.capture, 5U); // duplicates' records are not counted again
    EXPECT_EQ(c.lost_records, 0U);
}

TEST(FipdumpAccounting, RestartAtOneIsNotLoss) {
    LossAccounting acc;
    feed(acc, {1, 2, 3, 4});
    EXPECT_EQ(feed(acc, {1}).seq, SeqVerdict::restart);
    feed(acc, {2, 3});
    SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.restarts, 1U);
    EXPECT_EQ(c.lost_datagrams + c.duplicates + c.index_breaks, 0U);

    // A reloaded gateway sends from a new port of the same address, starting at 1.
    const Sender reloaded{gw.addr, 40001};
    EXPECT_EQ(feed(acc, {1, 2}, reloaded).seq, SeqVerdict::in_order);
    EXPECT_EQ(acc.senders().at(reloaded).restarts, 1U);
    // Another host starting at 1 is simply a first gateway.
    const Sender other{0x0A000001, 40000};
    EXPECT_EQ(feed(acc, {1}, other).seq, SeqVerdict::first);
    EXPECT_EQ(acc.totals().restarts, 2U);
    EXPECT_EQ(acc.totals().lost_datagrams, 0U);
}

// A stray datagram far ahead (a corrupted or foreign sequence number) must not wrap the
// arithmetic: the stream that goes on from where it was is then a restart, not a duplicate.
TEST(FipdumpAccounting, HugeSequenceJumpsDoNotWrap) {
    LossAccounting acc;
    feed(acc, {1, 2});
    EXPECT_EQ(feed(acc, {UINT64_MAX}).seq, SeqVerdict::gap);
    EXPECT_EQ(acc.senders().at(gw).lost_datagrams, UINT64_MAX - 3);
    EXPECT_EQ(feed(acc, {3}).seq, SeqVerdict::restart);
    EXPECT_EQ(feed(acc, {4}).seq, SeqVerdict::in_order);
}

TEST(FipdumpAccounting, JoiningARunningStreamCountsNothingLost) {
    LossAccounting acc;
    EXPECT_EQ(feed(acc, {500}).seq, SeqVerdict::first);
    feed(acc, {501});
    const SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.lost_datagrams + c.index_breaks + c.restarts, 0U);
}

// The gateway's rule: a non-zero index must be the previous non-zero one plus 1; index 0
// neither breaks nor resets it; from datagram 1 on the first numbered record must be 1.
TEST(FipdumpAccounting, CaptureIndexContinuity) {
    LossAccounting acc;
    feed_bytes(acc, datagram(1, {capture_record(7)}));
    EXPECT_EQ(acc.senders().at(gw).index_breaks, 1U);
    EXPECT_EQ(acc.senders().at(gw).lost_records, 6U);

    LossAccounting ok;
    feed_bytes(ok, datagram(1, {capture_record(1), capture_record(2), capture_record(0),
                                capture_record(3)}));
    EXPECT_EQ(ok.senders().at(gw).index_breaks, 0U);

    LossAccounting back;
    const DatagramVerdict v =
        feed_bytes(back, datagram(1, {capture_record(1), capture_record(2), capture_record(5),
                                      capture_record(3), capture_record(4)}));
    EXPECT_EQ(v.index_breaks, 2U); // 2 -> 5 and 5 -> 3
    EXPECT_EQ(back.senders().at(gw).lost_records, 2U);
}

TEST(FipdumpAccounting, LifesignCounterContinuityAndLastRecordKept) {
    LossAccounting acc;
    feed_bytes(acc, datagram(1, {lifesign_record(1)}));
    feed_bytes(acc, datagram(2, {lifesign_record(2), capture_record(1)}));
    const DatagramVerdict v = feed_bytes(acc, datagram(3, {lifesign_record(5)}));
    EXPECT_EQ(v.lifesign_breaks, 1U);
    const SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.lost_lifesigns, 2U);
    EXPECT_EQ(c.lifesign, 3U);
    EXPECT_EQ(c.events, 4U);
    ASSERT_TRUE(c.last_lifesign.has_value());
    EXPECT_EQ(c.last_lifesign->lifesign_cnt, 5U);
}

// A malformed datagram is counted; its header's sequence still counts when it was readable,
// and the events before the fault are accounted. A foreign datagram leaves the sequence alone.
TEST(FipdumpAccounting, MalformedDatagramsAreCountedNotTrusted) {
    LossAccounting acc;
    feed(acc, {1});
    Bytes bad_count = datagram(2, {capture_record(2)});
    bad_count[15] = 2; // states two events, holds one
    EXPECT_EQ(feed_bytes(acc, bad_count).seq, SeqVerdict::in_order);
    Bytes foreign = datagram(900, {capture_record(3)});
    foreign[0] = 'X';
    feed_bytes(acc, foreign);
    feed_bytes(acc, Bytes{0x43, 0x56});
    EXPECT_EQ(feed(acc, {3}).seq, SeqVerdict::in_order);
    const SenderCounts c = acc.senders().at(gw);
    EXPECT_EQ(c.malformed, 3U);
    EXPECT_EQ(c.datagrams, 5U);
    EXPECT_EQ(c.capture, 3U);
    EXPECT_EQ(c.lost_datagrams, 0U);
}

TEST(FipdumpFilter, KindIdentifierAndType) {
    const auto decode = [](const Bytes& rec) {
        const Bytes d = datagram(1, {rec});
        return wire::decode_datagram(std::span<const std::uint8_t>(d)).events.at(0);
    };
    const wire::Event id_frame = decode(capture_record(1, {0x03, 0x12, 0x34}));
    const wire::Event variable = decode(capture_record(2, {0x02, 0x40, 0x01, 0x02}));
    const wire::Event life = decode(lifesign_record(1));

    Filter f;
    EXPECT_TRUE(matches(f, id_frame) && matches(f, life));
    f.kind = wire::FrameKind::identifier;
    EXPECT_TRUE(matches(f, id_frame));
    EXPECT_FALSE(matches(f, variable));
    EXPECT_FALSE(matches(f, life));
    f = {};
    f.id = 0x1234;
    EXPECT_TRUE(matches(f, id_frame));
    f.id = 0x1235;
    EXPECT_FALSE(matches(f, id_frame));
    f = {};
    f.type = RecordType::lifesign;
    EXPECT_TRUE(matches(f, life));
    EXPECT_FALSE(matches(f, id_frame));
}

TEST(FipdumpOptions, ParsesEveryOptionAndRejectsBadValues) {
    const auto parse = [](std::vector<std::string> args) {
        args.insert(args.begin(), "fipdump");
        std::vector<char*> argv;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        return parse_options(static_cast<int>(args.size()), argv.data());
    };
    const ParseResult r = parse({"-p",      "5000",     "--json",  "--stats",   "-c",
                                 "10",      "-t",       "1.5",     "-w",        "out.pcap",
                                 "--kind",  "variable", "--id",    "0x1234",    "--type",
                                 "capture", "--rcvbuf", "8388608", "--metrics", "127.0.0.1:9100"});
    ASSERT_EQ(r.error, "");
    const Options& o = r.options;
    EXPECT_EQ(o.port, 5000);
    EXPECT_TRUE(o.json && o.stats);
    EXPECT_EQ(o.count, 10U);
    EXPECT_DOUBLE_EQ(*o.seconds, 1.5);
    EXPECT_EQ(o.write_path, "out.pcap");
    EXPECT_EQ(o.filter.kind, wire::FrameKind::variable_response);
    EXPECT_EQ(o.filter.id, 0x1234);
    EXPECT_EQ(o.filter.type, RecordType::capture);
    EXPECT_EQ(o.rcvbuf_bytes, 8388608);
    EXPECT_EQ(o.metrics_addr, "127.0.0.1");
    EXPECT_EQ(o.metrics_port, 9100);
    EXPECT_EQ(parse({}).options.port, kDefaultPort);

    for (const auto& bad : std::vector<std::vector<std::string>>{{"-p", "0"},
                                                                 {"-p", "65536"},
                                                                 {"-c", "-1"},
                                                                 {"-t", "x"},
                                                                 {"--kind", "frame"},
                                                                 {"--id", "0x10000"},
                                                                 {"--type", "all"},
                                                                 {"--metrics", "9100"},
                                                                 {"-p"},
                                                                 {"extra"},
                                                                 {"--bogus"}}) {
        EXPECT_NE(parse(bad).error, "") << bad[0];
    }
}

// What the simulated card captures: records that look like a FIP bus, limits, replay, fork.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sys/wait.h>

#include "capture/sim_client.hpp"
#include "support/sim_env.hpp"

using namespace simtest;
using testsupport::SimEnv;
using testsupport::TempDir;

namespace {

uint64_t wire_ns(std::size_t frame_len, uint64_t bitrate) {
    // Preamble, start and end delimiters (8 bit times each) around the frame's bits.
    return (24 + 8 * frame_len) * 1'000'000'000ull / bitrate;
}

// Checks that hold for any stretch of bus traffic the card produces on its own.
void expect_plausible_bus(const std::vector<Record>& records, int fcs_type, uint64_t bitrate,
                          uint64_t first_index) {
    std::map<wire::FrameKind, int> kinds;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        const auto frame = r.frame();
        ASSERT_EQ(r.bytes[0], 0xC0);
        ASSERT_EQ(r.length(), r.bytes.size());
        ASSERT_EQ(r.fcs_type(), fcs_type);
        ASSERT_EQ(r.status(), 0);
        ASSERT_EQ(r.index(), first_index + i) << "record " << i;
        ASSERT_EQ(failed_check(frame, fcs_type), "") << "record " << i;
        const wire::FrameKind kind = wire::frame_kind(frame[0]);
        ++kinds[kind];
        // A response answers the identifier just before it.
        if (kind == wire::FrameKind::variable_response && i > 0) {
            EXPECT_TRUE(records[i - 1].frame()[0] == 0x03 || records[i - 1].frame()[0] == 0x29);
        }
        if (i > 0) {
            // Frames never overlap on the wire: each ends at least its own length after the last.
            EXPECT_GE(r.time_ns() - records[i - 1].time_ns(), wire_ns(frame.size(), bitrate))
                << "record " << i;
        }
        EXPECT_EQ(r.bytes[29], bitrate == 31250     ? 0
                               : bitrate == 1000000 ? 1
                               : bitrate == 2500000 ? 2
                                                    : 3);
    }
    for (const wire::FrameKind kind :
         {wire::FrameKind::identifier, wire::FrameKind::variable_response,
          wire::FrameKind::request_list_response, wire::FrameKind::message,
          wire::FrameKind::ack_end}) {
        EXPECT_GT(kinds[kind], 0) << wire::frame_kind_name(kind);
    }
    EXPECT_GT(kinds[wire::FrameKind::identifier], static_cast<int>(records.size()) / 3);
}

} // namespace

TEST(SimTraffic, DefaultBusLooksLikeAFipMacrocycle) {
    SimEnv env;
    Node node;
    const uint64_t epoch_us = 1'700'000'000'000'000ull;
    ASSERT_EQ(node.epoch(epoch_us), 0);
    ASSERT_EQ(node.sniffer(true), 0);
    const auto records = node.records(2500);
    ASSERT_GE(records.size(), 2500u);
    expect_plausible_bus(records, 1, 2500000, 1);
    EXPECT_GE(records.front().time_ns(), epoch_us * 1000);
    EXPECT_LT(records.front().time_ns(), (epoch_us + 10'000'000) * 1000);
}

TEST(SimTraffic, EveryBitRateAndBothFcsTypes) {
    for (const char* bitrate : {"31250", "1000000", "2500000", "5000000"}) {
        for (int fcs : {1, 2}) {
            SCOPED_TRACE(std::string(bitrate) + " fcs " + std::to_string(fcs));
            SimEnv env;
            env.set("CAPVANE_SIM_PACE", "max"); // bus time stays exact without waiting for it
            env.set("CAPVANE_SIM_BITRATE", bitrate);
            env.set("CAPVANE_SIM_FCS", std::to_string(fcs));
            env.set("CAPVANE_SIM_SEED", std::to_string(fcs * 7));
            Node node;
            ASSERT_EQ(node.sniffer(true), 0);
            const auto records = node.records(3000);
            ASSERT_GE(records.size(), 3000u);
            expect_plausible_bus(records, fcs, std::stoull(bitrate), 1);
        }
    }
}

TEST(SimTraffic, RecordLimitSilencesTheBus) {
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "max");
    env.set("CAPVANE_SIM_RECORDS", "1000");
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    const auto records = node.records(1000);
    ASSERT_EQ(records.size(), 1000u);
    EXPECT_EQ(records.back().index(), 1000u);
    EXPECT_TRUE(wait_blocks(node)) << "the bus went on past its record limit";
}

TEST(SimTraffic, ReplayHandsBackTheFileRecordByRecordAndStopsAtDamage) {
    TempDir dir;
    std::vector<Record> original;
    {
        SimEnv env;
        env.set("CAPVANE_SIM_PACE", "max");
        env.set("CAPVANE_SIM_RECORDS", "1500");
        Node node;
        ASSERT_EQ(node.sniffer(true), 0);
        original = node.records(1500);
        ASSERT_EQ(original.size(), 1500u);
    }
    const std::string path = dir.file("capture.bin");
    {
        std::ofstream out(path, std::ios::binary);
        for (const Record& r : original) {
            out.write(reinterpret_cast<const char*>(r.bytes.data()),
                      static_cast<std::streamsize>(r.bytes.size()));
        }
        // A damaged record, then a good one that must never be reached.
        std::vector<uint8_t> damaged = original[0].bytes;
        damaged[0] = 0xC5;
        out.write(reinterpret_cast<const char*>(damaged.data()),
                  static_cast<std::streamsize>(damaged.size()));
        out.write(reinterpret_cast<const char*>(original[1].bytes.data()),
                  static_cast<std::streamsize>(original[1].bytes.size()));
    }
    SimEnv env;
    env.set("CAPVANE_SIM_REPLAY", path);
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    const auto replayed = node.records(original.size());
    ASSERT_EQ(replayed.size(), original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        ASSERT_EQ(replayed[i].bytes, original[i].bytes) << "record " << i;
    }
    EXPECT_TRUE(wait_blocks(node)) << "records after the damaged one were replayed";
}

TEST(SimTraffic, ReplayOfATruncatedFileEndsBeforeTheCutRecord) {
    TempDir dir;
    const std::string path = dir.file("cut.bin");
    // Two records of 35 bytes, the second cut short by 4 bytes.
    const uint8_t record[35] = {0xC0, 0x00, 0x23, 0x08, 0x00, 0, 0,    0,    0,    0,    0,   0,
                                1,    0,    0,    0,    0,    0, 0,    0,    0,    0,    0,   0,
                                0,    0,    0,    0,    0,    0, 0x03, 0x12, 0x34, 0xB5, 0x69};
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(record), sizeof record);
        out.write(reinterpret_cast<const char*>(record), sizeof record - 4);
    }
    SimEnv env;
    env.set("CAPVANE_SIM_REPLAY", path);
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    std::vector<uint8_t> buffer;
    uint32_t len = 0;
    ASSERT_EQ(node.wait(buffer, len), 0);
    const auto records = parse_area(buffer.data());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].fcs_ok());
    EXPECT_EQ(buffer[kAreaOffset + 35], 0) << "bytes of the cut record reached the buffer";
}

TEST(SimTraffic, ReplayOfDamagedFilesNeverReadsPastThem) {
    TempDir dir;
    uint64_t seed = 99;
    auto random = [&seed](uint64_t n) {
        seed = seed * 6364136223846793005ull + 1442695040888963407ull;
        return (seed >> 33) % n;
    };
    for (int file = 0; file < 20; ++file) {
        // Plausible record starts with random lengths and contents, some cut at the end.
        std::vector<uint8_t> bytes;
        const auto records = random(8);
        for (uint64_t r = 0; r < records; ++r) {
            const auto len = random(5) == 0 ? random(70000) : 30 + random(300);
            bytes.push_back(random(10) == 0 ? static_cast<uint8_t>(random(256)) : 0xC0);
            bytes.push_back(static_cast<uint8_t>(len >> 8));
            bytes.push_back(static_cast<uint8_t>(len));
            const auto body = std::min<uint64_t>(len > 3 ? len - 3 : 0, 400) - random(2);
            for (uint64_t i = 0; i < body; ++i) {
                bytes.push_back(static_cast<uint8_t>(random(256)));
            }
        }
        const std::string path = dir.file("random" + std::to_string(file));
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        SimEnv env;
        env.set("CAPVANE_SIM_REPLAY", path);
        Node node;
        ASSERT_EQ(node.sniffer(true), 0);
        // Whatever arrives is a prefix of the file made of whole records, then silence.
        std::size_t pos = 0;
        for (;;) {
            std::vector<uint8_t> buffer;
            auto pending = std::async(std::launch::async, [&node, &buffer] {
                uint32_t len = 0;
                return node.wait(buffer, len);
            });
            if (pending.wait_for(std::chrono::milliseconds(20)) == std::future_status::timeout) {
                ::ioctl(node.fd(), kCancelWait, 0);
                EXPECT_EQ(pending.get(), -1);
                break;
            }
            ASSERT_EQ(pending.get(), 0);
            for (const Record& r : parse_area(buffer.data())) {
                ASSERT_LE(pos + r.bytes.size(), bytes.size());
                ASSERT_TRUE(std::equal(r.bytes.begin(), r.bytes.end(), bytes.begin() + pos));
                pos += r.bytes.size();
            }
        }
    }
}

TEST(SimTraffic, PacedRateIsRoughlyKept) {
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "2000");
    Node node;
    ASSERT_EQ(node.sniffer(true), 0);
    const auto start = std::chrono::steady_clock::now();
    const auto records = node.records(600);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // 600 records at 2000/s take about 0.3 s; far less would mean no pacing at all.
    EXPECT_GT(seconds, 0.1);
    EXPECT_LT(seconds, 5.0);
    expect_plausible_bus(records, 1, 2500000, 1);
}

TEST(SimTraffic, AChildAfterForkGetsItsOwnCard) {
    SimEnv env;
    env.set("CAPVANE_SIM_PACE", "max");
    Node parent_node; // the parent's machinery is running while it forks
    ASSERT_EQ(parent_node.sniffer(true), 0);
    ASSERT_FALSE(parent_node.records(10).empty());
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int code = 0;
        {
            Node child_node;
            if (child_node.fd() < 0 || child_node.sniffer(true) != 0) {
                code = 2;
            } else {
                const auto records = child_node.records(200);
                // A new session: numbering starts again at 1.
                if (records.size() < 200 || records.front().index() != 1 ||
                    records[199].index() != 200) {
                    code = 3;
                }
            }
        }
        ::_exit(code);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    // The parent's card went on undisturbed.
    const auto more = parent_node.records(10);
    ASSERT_FALSE(more.empty());
    EXPECT_GT(more.front().index(), 10u);
}

// fipdump's -w recording with rotation: every datagram lands whole in exactly one file, however
// the files are cut (size, period, ring), and the files read back as one stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>

#include "support/fipdump_stream.hpp"
#include "support/temp_dir.hpp"
#include "tools/fipdump/input/pcap_file.hpp"
#include "tools/fipdump/output/recording.hpp"
#include "wire/decode.hpp"

using namespace fipdump;
using namespace fipdump_test;
namespace fs = std::filesystem;

namespace {

const Sender gw{0x0A000005, 40001};
constexpr std::uint16_t port = 57117;
const auto t0 = std::chrono::system_clock::time_point(std::chrono::seconds(1'796'721'652));

// Writes datagrams 1..n, `step` apart, each carrying `records` capture records.
void record(Recording& rec, std::uint64_t n, std::chrono::milliseconds step, int records = 20) {
    for (std::uint64_t seq = 1; seq <= n; ++seq) {
        std::vector<Bytes> events(static_cast<std::size_t>(records), capture_record(seq));
        const Bytes d = datagram(seq, events);
        rec.write({d, gw, t0 + step * static_cast<long>(seq - 1)});
    }
}

std::vector<std::string> files_in(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) {
        out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Sequence numbers read from each file, by file.
std::map<std::string, std::vector<std::uint64_t>> seqs_by_file(const std::vector<std::string>& fs) {
    std::map<std::string, std::vector<std::uint64_t>> out;
    for (const std::string& f : fs) {
        PcapReader r(f, port);
        EXPECT_TRUE(r.ok()) << r.error();
        while (auto d = r.next()) {
            out[f].push_back(wire::decode_datagram(std::span<const std::uint8_t>(d->payload)).seq);
        }
        EXPECT_TRUE(r.read_errors().empty());
    }
    return out;
}

// Every sequence number from `first` to `last` exactly once over all files, each file in order.
void expect_each_once(const std::map<std::string, std::vector<std::uint64_t>>& by_file,
                      std::uint64_t first, std::uint64_t last) {
    std::map<std::uint64_t, int> seen;
    for (const auto& [f, seqs] : by_file) {
        EXPECT_TRUE(std::is_sorted(seqs.begin(), seqs.end())) << f;
        for (const auto s : seqs) {
            ++seen[s];
        }
    }
    ASSERT_EQ(seen.size(), last - first + 1);
    EXPECT_EQ(seen.begin()->first, first);
    EXPECT_EQ(seen.rbegin()->first, last);
    for (const auto& [s, n] : seen) {
        EXPECT_EQ(n, 1) << "seq " << s;
    }
}

} // namespace

TEST(FipdumpRecording, SizePeriodAndRingCutBetweenDatagramsOnly) {
    std::ostringstream notices;
    // -C: no file beyond the size but for its first datagram; names rec.pcap, rec-1.pcap, ...
    {
        testsupport::TempDir dir;
        auto rec = std::make_unique<Recording>(
            RecordingPolicy{dir.file("rec.pcap"), 50'000, {}, {}}, port, notices);
        ASSERT_TRUE(rec->ok()) << rec->error();
        record(*rec, 300, std::chrono::milliseconds(1));
        const auto started = rec->files_started();
        rec.reset(); // the last file is complete once closed
        const auto files = files_in(dir.path());
        EXPECT_EQ(files.size(), started);
        EXPECT_GE(files.size(), 4U);
        for (const auto& f : files) {
            EXPECT_LE(fs::file_size(f), 50'000U) << f;
        }
        EXPECT_TRUE(fs::exists(dir.file("rec-1.pcap")));
        expect_each_once(seqs_by_file(files), 1, 300);
    }
    // -G with strftime names: one file per 10 s of datagram time, whatever the gaps.
    {
        testsupport::TempDir dir;
        {
            Recording rec({dir.file("rec-%Y%m%d-%H%M%S.pcap"), {}, std::chrono::seconds(10), {}},
                          port, notices, t0);
            record(rec, 100, std::chrono::milliseconds(1000));
            EXPECT_EQ(rec.current(), Recording::file_name(dir.file("rec-%Y%m%d-%H%M%S.pcap"), true,
                                                          t0 + std::chrono::seconds(90), 0));
        }
        const auto files = files_in(dir.path());
        EXPECT_EQ(files.size(), 10U);
        const auto by_file = seqs_by_file(files);
        for (const auto& [f, seqs] : by_file) {
            EXPECT_EQ(seqs.size(), 10U) << f;
        }
        expect_each_once(by_file, 1, 100);
    }
    // A name that does not change with the period is numbered, never truncated.
    {
        testsupport::TempDir dir;
        {
            Recording rec({dir.file("rec.pcap"), {}, std::chrono::seconds(10), {}}, port, notices);
            record(rec, 30, std::chrono::milliseconds(1000));
        }
        EXPECT_EQ(files_in(dir.path()).size(), 3U);
        expect_each_once(seqs_by_file(files_in(dir.path())), 1, 30);
    }
    // -W: a ring of the newest files, nothing missing inside it.
    {
        testsupport::TempDir dir;
        {
            Recording rec({dir.file("ring.pcap"), 50'000, {}, 3}, port, notices);
            record(rec, 300, std::chrono::milliseconds(1));
            EXPECT_GT(rec.files_started(), 3U);
        }
        const auto files = files_in(dir.path());
        EXPECT_EQ(files.size(), 3U);
        expect_each_once(seqs_by_file(files), seqs_by_file(files).begin()->second.front(), 300);
    }
    EXPECT_EQ(notices.str(), "");
}

TEST(FipdumpRecording, RotatedFilesReadBackAsOneStreamInTimeOrder) {
    testsupport::TempDir dir;
    std::ostringstream notices;
    {
        Recording rec({dir.file("r.pcap"), 10'000, {}, {}}, port, notices);
        record(rec, 200, std::chrono::milliseconds(1));
    }
    // Names sort r-1, r-10, r-11, ..., r-2: the reader orders them by their first packet.
    auto files = files_in(dir.path());
    ASSERT_GE(files.size(), 11U);
    PcapReader r(files, port);
    ASSERT_TRUE(r.ok());
    std::uint64_t expected = 1;
    while (auto d = r.next()) {
        EXPECT_EQ(wire::decode_datagram(std::span<const std::uint8_t>(d->payload)).seq, expected++);
    }
    EXPECT_EQ(expected, 201U);

    // One missing file stops the run before anything is read.
    files.push_back(dir.file("absent.pcap"));
    PcapReader missing(files, port);
    EXPECT_FALSE(missing.ok());
    EXPECT_NE(missing.error().find("absent.pcap"), std::string::npos);

    // A file cut off mid-packet (a recorder killed) is reported and the next one read.
    const std::string last = files[files.size() - 2];
    fs::resize_file(files.front(), fs::file_size(files.front()) - 10);
    files.pop_back();
    PcapReader cut(files, port);
    std::uint64_t n = 0;
    while (cut.next()) {
        ++n;
    }
    EXPECT_EQ(cut.read_errors().size(), 1U);
    EXPECT_EQ(n, 199U);
}

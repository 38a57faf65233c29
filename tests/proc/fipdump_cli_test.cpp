// The fipdump binary on capture files: summary, filters, counts, malformed input and the
// command line's failures, as a user meets them. Reads files only: nothing is sent.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fipgate_version.hpp"
#include "support/child_process.hpp"
#include "support/fipdump_stream.hpp"
#include "support/gateway_run.hpp"
#include "support/temp_dir.hpp"
#include "tools/fipdump/input/pcap_file.hpp"

using namespace std::chrono_literals;
using namespace fipdump_test;
using testsupport::ChildProcess;
using testsupport::json_number;

namespace {

const fipdump::Sender gw{0x7F000001, 40000};

// Runs fipdump with `args`; returns its exit status (-1 if it did not end).
int run(ChildProcess& p) {
    const int status = p.wait_exit(20s);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::size_t lines(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Ten datagrams of two capture records and one lifesign each, the 6th left out, the 8th cut
// after its header (malformed), the 9th's lifesign 17 bytes longer (a newer gateway's); sent to
// `port`.
std::string write_capture(const testsupport::TempDir& dir, std::uint16_t port = 57117) {
    const std::string path = dir.file("stream-" + std::to_string(port) + ".pcap");
    fipdump::PcapWriter w(path, port);
    std::uint64_t idx = 1;
    for (std::uint64_t seq = 1; seq <= 10; ++seq) {
        Bytes d = datagram(seq, {capture_record(idx, {0x03, 0x00, static_cast<uint8_t>(seq)}),
                                 capture_record(idx + 1, {0x02, 0x40, 0x11}),
                                 lifesign_record(seq, 0, seq == 9 ? 340 : 323)});
        idx += 2;
        if (seq == 8) {
            d.resize(20);
        }
        if (seq != 6) {
            w.write({d, gw, std::chrono::system_clock::now()});
        }
    }
    return path;
}

} // namespace

TEST(FipdumpCli, ReadsACaptureAndCountsOneLostDatagramExactly) {
    testsupport::TempDir dir;
    const std::string path = write_capture(dir);
    ChildProcess p({FIPDUMP_BIN, "-r", path, "--json", "--stats"});
    ASSERT_EQ(run(p), 0) << p.err();
    const std::string& out = p.out();
    const std::string summary = out.substr(out.rfind("\n{\"datagrams\"") + 1);
    EXPECT_EQ(json_number(summary, "datagrams"), 9) << summary;
    EXPECT_EQ(json_number(summary, "lost_datagrams"), 1);
    EXPECT_EQ(json_number(summary, "malformed"), 1);
    EXPECT_EQ(json_number(summary, "capture"), 16);
    EXPECT_EQ(json_number(summary, "lifesign"), 8);
    EXPECT_EQ(json_number(summary, "events"), 24);
    EXPECT_EQ(json_number(summary, "lifesign_extra_bytes"), 17);
    EXPECT_EQ(lines(out), 24U + 1U);
    EXPECT_NE(p.err().find("\"type\":\"malformed\""), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("seq 7: 1 datagram(s) lost"), std::string::npos) << p.err();
}

TEST(FipdumpCli, FiltersAndCountLimitSelectWhatIsPrinted) {
    testsupport::TempDir dir;
    const std::string path = write_capture(dir);
    ChildProcess life({FIPDUMP_BIN, "-r", path, "--type", "lifesign"});
    ASSERT_EQ(run(life), 0);
    EXPECT_EQ(lines(life.out()), 8U);
    EXPECT_EQ(testsupport::count_of(life.out(), " lifesign cnt "), 8U);

    ChildProcess ident({FIPDUMP_BIN, "-r", path, "--kind", "identifier", "--id", "0x0003"});
    ASSERT_EQ(run(ident), 0);
    EXPECT_EQ(lines(ident.out()), 1U) << ident.out();
    EXPECT_NE(ident.out().find("ID_DAT (0x03, identifier) id 0x0003"), std::string::npos);
    // The identifier's transaction: its poll and the answer after it, nothing of the others.
    ChildProcess transaction({FIPDUMP_BIN, "-r", path, "--id", "0x0003"});
    ASSERT_EQ(run(transaction), 0);
    EXPECT_EQ(lines(transaction.out()), 2U) << transaction.out();
    EXPECT_NE(transaction.out().find(" idx 6 "), std::string::npos) << transaction.out();

    ChildProcess first({FIPDUMP_BIN, "-r", path, "-c", "5", "--stats"});
    ASSERT_EQ(run(first), 0);
    EXPECT_EQ(testsupport::count_of(first.out(), " seq "), 5U) << first.out();
    EXPECT_NE(first.out().find("fipdump: "), std::string::npos);
}

// A recording made on another port is decoded as it is; -p still restricts, and says where the
// datagrams went instead.
TEST(FipdumpCli, ReadingFindsTheStreamOnAnyPortUnlessPortGiven) {
    testsupport::TempDir dir;
    const std::string path = write_capture(dir, 5000);
    ChildProcess any({FIPDUMP_BIN, "-r", path, "-q", "--json"});
    ASSERT_EQ(run(any), 0) << any.err();
    EXPECT_EQ(json_number(any.out(), "datagrams"), 9) << any.out();
    ChildProcess given({FIPDUMP_BIN, "-r", path, "-q", "--json", "-p", "57117"});
    ASSERT_EQ(run(given), 0) << given.err();
    EXPECT_EQ(json_number(given.out(), "datagrams"), 0) << given.out();
    EXPECT_NE(given.out().find("5000"), std::string::npos) << given.out();
}

TEST(FipdumpCli, RewritingACaptureKeepsEveryDatagram) {
    testsupport::TempDir dir;
    const std::string path = write_capture(dir);
    const std::string copy = dir.file("copy.pcap");
    ChildProcess convert({FIPDUMP_BIN, "-r", path, "-w", copy, "--type", "capture"});
    ASSERT_EQ(run(convert), 0);
    fipdump::PcapReader a(path, 57117);
    fipdump::PcapReader b(copy, 57117);
    int n = 0;
    for (;;) {
        auto x = a.next();
        auto y = b.next();
        ASSERT_EQ(x.has_value(), y.has_value());
        if (!x) {
            break;
        }
        EXPECT_EQ(x->payload, y->payload);
        EXPECT_EQ(x->time, y->time);
        ++n;
    }
    EXPECT_EQ(n, 9);
}

TEST(FipdumpCli, CommandLineFailuresHaveTheirStatus) {
    ChildProcess help({FIPDUMP_BIN, "-h"});
    EXPECT_EQ(run(help), 0);
    EXPECT_NE(help.out().find("--metrics ADDR:PORT"), std::string::npos);
    // Every option the manual page explains, long and short, is in the usage text too.
    std::ifstream man(FIPGATE_SOURCE_DIR "/packaging/man/fipdump.1.in");
    std::size_t options = 0;
    for (std::string line; std::getline(man, line);) {
        if (line.rfind(".TP", 0) == 0 && std::getline(man, line) &&
            line.find("\\-") != std::string::npos) {
            for (std::size_t at = 0; (at = line.find("\\-", at)) != std::string::npos;) {
                std::string name = "-";
                at += 2;
                if (line.compare(at, 2, "\\-") == 0) {
                    name += "-";
                    at += 2;
                }
                while (at < line.size() && (std::isalnum(static_cast<unsigned char>(line[at])) ||
                                            line.compare(at, 2, "\\-") == 0)) {
                    name += line[at] == '\\' ? '-' : line[at];
                    at += line[at] == '\\' ? 2 : 1;
                }
                EXPECT_NE(help.out().find(name), std::string::npos) << name;
                ++options;
            }
        }
    }
    EXPECT_GT(options, 25U);
    ChildProcess version({FIPDUMP_BIN, "-v"});
    EXPECT_EQ(run(version), 0);
    EXPECT_EQ(version.out(), "fipdump " FIPGATE_VERSION "\n");
    ChildProcess bad({FIPDUMP_BIN, "--kind", "frames"});
    EXPECT_EQ(run(bad), 2);
    EXPECT_NE(bad.err().find("invalid frame kind: frames"), std::string::npos);
    ChildProcess missing({FIPDUMP_BIN, "-r", "/nonexistent/capture.pcap"});
    EXPECT_EQ(run(missing), 1);
    testsupport::TempDir dir;
    const std::string junk = dir.file("junk.pcap");
    {
        std::FILE* f = std::fopen(junk.c_str(), "w");
        std::fputs("not a capture file at all", f);
        std::fclose(f);
    }
    ChildProcess garbage({FIPDUMP_BIN, "-r", junk});
    EXPECT_EQ(run(garbage), 1);
}

namespace {

// `count` datagrams of 20 capture records each (about 1.2 kB), numbered from 1.
std::string write_long_capture(const testsupport::TempDir& dir, const std::string& name,
                               std::uint64_t count) {
    const std::string path = dir.file(name);
    fipdump::PcapWriter w(path, 57117);
    std::uint64_t idx = 1;
    for (std::uint64_t seq = 1; seq <= count; ++seq) {
        std::vector<Bytes> events;
        for (int i = 0; i < 20; ++i) {
            events.push_back(capture_record(idx++, {0x02, 0x40, 1, 2, 3, 4, 5, 6, 7, 8}));
        }
        EXPECT_TRUE(w.write({datagram(seq, events), gw, std::chrono::system_clock::now()}));
    }
    return path;
}

// `fipdump args` run inside a private mount namespace with a 64 kB file system mounted on
// `mount_dir`; what it left there is copied to `keep_dir`. `status` is its exit status, or 77
// when the namespace or the mount is not allowed here.
struct SmallDiskRun {
    std::unique_ptr<ChildProcess> process;
    int status = -1;
};
SmallDiskRun run_on_small_disk(const std::string& mount_dir, const std::string& keep_dir,
                               const std::string& args) {
    const std::string script = "mount -t tmpfs -o size=64k fipdump-test " + mount_dir +
                               " || exit 77; " + FIPDUMP_BIN + " " + args + "; rc=$?; cp -p " +
                               mount_dir + "/* " + keep_dir + "/; exit $rc";
    SmallDiskRun r;
    r.process = std::make_unique<ChildProcess>(
        std::vector<std::string>{"unshare", "-m", "--propagation", "private", "sh", "-c", script});
    r.status = run(*r.process);
    return r;
}

} // namespace

// A recording onto a file system that fills: said at once with the file and the reason, the
// datagrams not recorded counted, the run goes on to the end and ends with status 3; the file
// holds whole packets only, and what it holds plus what was counted is every datagram.
TEST(FipdumpCli, FullDiskIsReportedCountedAndNeverCutsAPacket) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("disk"));
    std::filesystem::create_directories(dir.file("kept"));
    const std::string input = write_long_capture(dir, "in.pcap", 200);
    const SmallDiskRun small =
        run_on_small_disk(dir.file("disk"), dir.file("kept"),
                          "-q --json -r " + input + " -w " + dir.file("disk") + "/rec.pcap");
    const int status = small.status;
    ChildProcess* p = small.process.get();
    if (status == 77) {
        GTEST_SKIP() << "no private mount namespace here: " << p->err();
    }
    EXPECT_EQ(status, 3) << p->err();
    EXPECT_NE(
        p->err().find("cannot write to " + dir.file("disk") + "/rec.pcap: No space left on device"),
        std::string::npos)
        << p->err();
    const long long not_recorded = json_number(p->out(), "not_recorded");
    EXPECT_EQ(json_number(p->out(), "datagrams"), 200) << "the analysis went on";
    EXPECT_GT(not_recorded, 0) << p->out();

    ChildProcess back({FIPDUMP_BIN, "-q", "--json", "-r", dir.file("kept") + "/rec.pcap"});
    EXPECT_EQ(run(back), 0) << back.err(); // no packet cut short
    EXPECT_EQ(json_number(back.out(), "datagrams") + not_recorded, 200) << back.out();
}

// A ring on a full disk: every file it leaves has its whole header (the oldest goes to make
// room), and the ring reads back without a complaint.
TEST(FipdumpCli, FullDiskRingLeavesNoFileWithoutItsHeader) {
    testsupport::TempDir dir;
    std::filesystem::create_directories(dir.file("disk"));
    std::filesystem::create_directories(dir.file("kept"));
    const std::string input = write_long_capture(dir, "in.pcap", 200);
    const SmallDiskRun small =
        run_on_small_disk(dir.file("disk"), dir.file("kept"),
                          "-q -r " + input + " -w " + dir.file("disk") + "/rec.pcap -C 0.04 -W 2");
    const int status = small.status;
    ChildProcess* p = small.process.get();
    if (status == 77) {
        GTEST_SKIP() << "no private mount namespace here: " << p->err();
    }
    EXPECT_EQ(status, 3) << p->err();
    std::size_t files = 0;
    for (const auto& f : std::filesystem::directory_iterator(dir.file("kept"))) {
        EXPECT_GE(f.file_size(), 24U) << f.path();
        ++files;
    }
    EXPECT_EQ(files, 2U);
    ChildProcess back({FIPDUMP_BIN, "-q", "-r", dir.file("kept") + "/rec*.pcap"});
    EXPECT_EQ(run(back), 0) << back.err();
}

// Reading a ring in which one file is empty (its recorder stopped as it created it): the file
// is skipped with a warning, every other one is read, and the status says a file was skipped.
TEST(FipdumpCli, RingWithAnEmptyFileSkipsItAndReadsTheRest) {
    testsupport::TempDir dir;
    write_long_capture(dir, "rec.pcap", 10);
    { std::ofstream empty(dir.file("rec-1.pcap")); }
    {
        fipdump::PcapWriter w(dir.file("rec-2.pcap"), 57117);
        w.write({datagram(11, {capture_record(201)}), gw, std::chrono::system_clock::now()});
    }
    ChildProcess p({FIPDUMP_BIN, "-q", "--json", "-r", dir.file("rec*.pcap")});
    EXPECT_EQ(run(p), 1);
    EXPECT_EQ(json_number(p.out(), "datagrams"), 11) << p.out() << p.err();
    EXPECT_EQ(json_number(p.out(), "lost_datagrams"), 0);
    EXPECT_NE(p.err().find(dir.file("rec-1.pcap")), std::string::npos) << p.err();
    EXPECT_NE(p.err().find("(skipped)"), std::string::npos) << p.err();
}

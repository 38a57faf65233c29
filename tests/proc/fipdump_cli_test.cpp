// The fipdump binary on capture files: summary, filters, counts, malformed input and the
// command line's failures, as a user meets them. Reads files only: nothing is sent.
#include <gtest/gtest.h>

#include <sys/wait.h>

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
// after its header (malformed).
std::string write_capture(const testsupport::TempDir& dir) {
    const std::string path = dir.file("stream.pcap");
    fipdump::PcapWriter w(path, 57117);
    std::uint64_t idx = 1;
    for (std::uint64_t seq = 1; seq <= 10; ++seq) {
        Bytes d =
            datagram(seq, {capture_record(idx, {0x03, 0x00, static_cast<uint8_t>(seq)}),
                           capture_record(idx + 1, {0x02, 0x40, 0x11}), lifesign_record(seq)});
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

    ChildProcess first({FIPDUMP_BIN, "-r", path, "-c", "5", "--stats"});
    ASSERT_EQ(run(first), 0);
    EXPECT_EQ(testsupport::count_of(first.out(), " seq "), 5U) << first.out();
    EXPECT_NE(first.out().find("fipdump: "), std::string::npos);
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

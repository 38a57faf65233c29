// The status screen, byte for byte: layout, colours, the stream precision that carries over from
// line to line and from screen to screen, and the size scaling.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "log/logger.hpp"
#include "monitoring/monitoring.hpp"

namespace {

namespace pt = boost::posix_time;
using boost::gregorian::date;

const std::string G = logger::color::green;
const std::string BG = logger::color::boldgreen;
const std::string BR = logger::color::boldred;
const std::string RS = logger::color::reset;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

pt::ptime dec7(int h, int m, int s, int us = 0) {
    return pt::ptime(date(2026, 12, 7),
                     pt::hours(h) + pt::minutes(m) + pt::seconds(s) + pt::microseconds(us));
}

// UDP link active, fieldbus link inactive, so that both colourings of each line appear.
Monitoring::Snapshots crafted() {
    Monitoring::Snapshots s;
    SystemStats& sys = s.sys_stats;
    sys.start_date = dec7(14, 3, 27, 512334);
    sys.duration = pt::minutes(12) + pt::seconds(5) + pt::milliseconds(250);
    sys.cpu_load = 12.3456789F;
    sys.cpu_temp = 1023.5F;
    sys.ram_total = 8'000'000;
    sys.ram_used = 6'000'000;
    sys.ram_avail = 2'000'000;
    sys.ram_used_pct = 75.0F;
    sys.ram_avail_pct = 25.0F;
    sys.storage_total = 1'024'000;
    sys.storage_used = 341'333;
    sys.storage_avail = 682'667;
    sys.storage_used_pct = 33.3333F;
    sys.storage_avail_pct = 66.6667F;

    SyncMappedQueueStats& q = s.fip_stats.queue_stats;
    q.total_bytes = 52'428'800;
    q.used_bytes = 1'536;
    q.free_bytes = 52'427'264;
    q.used_pct = 0.00292969F;
    q.free_pct = 99.99707F;

    UDPStats& u = s.udp_stats;
    u.start_date = dec7(13, 0, 0);
    u.is_active = true;
    u.last_start_date = dec7(14, 0, 0, 1);
    u.last_stop_date = dec7(13, 59, 58, 500000);
    u.total_act_duration = pt::hours(1);
    u.total_inact_duration = pt::milliseconds(1500);
    u.act_duration = pt::minutes(3) + pt::seconds(27) + pt::microseconds(512333);
    u.inact_duration = pt::microseconds(1'500'001);
    u.loss_act_cnt = 2;
    u.pkt_sent_cnt = 12345;
    u.pkt_sent_cnt_per_sec = 100;
    u.bytes_sent_cnt = 5'242'880;
    u.bytes_sent_cnt_per_sec = 1'536;
    u.pkt_err_cnt = 3;
    u.pkt_err_cnt_per_sec = 1;

    FIPStats& f = s.fip_stats;
    f.init_date = dec7(12, 0, 0);
    f.is_active = false;
    f.last_start_date = dec7(13, 0, 0);
    f.last_stop_date = dec7(13, 30, 0, 250000);
    f.total_act_duration = pt::hours(2);
    f.total_inact_duration = pt::minutes(45);
    f.last_act_duration = pt::minutes(30) + pt::milliseconds(250);
    f.last_inact_duration = pt::minutes(33) + pt::seconds(27);
    f.loss_act_cnt = 0;
    f.frame_rcvd_cnt = 1000;
    f.frame_rcvd_cnt_per_sec = 200;
    f.bytes_rcvd_cnt = 1023;
    f.bytes_rcvd_cnt_per_sec = 1025;
    f.loss_cont_evt_cnt = 3;
    f.lost_frame_cnt = -7;
    return s;
}

TEST(StatusScreen, WholeScreenOfCraftedRecords) {
    const std::vector<std::string> expected = {
        G + "==> SERVICE INFOS" + RS,
        "  Start date\t\t: 2026-Dec-07 14:03:27.512334",
        "  Duration\t\t: 00:12:05.250000",
        G + "==> CPU INFOS" + RS,
        "  Load\t\t\t: 12.3457 %", // the stream's default precision of 6 on a first screen
        "  Temperature\t\t: 1.02e+03 \xC2\xB0"
        "C",
        G + "==> RAM INFOS" + RS,
        "  Total\t\t\t: 8000000 KB",
        "  Used\t\t\t: 6000000 KB (75 %)",
        "  Available\t\t: 2000000 KB (25 %)",
        G + "==> STORAGE INFOS" + RS,
        "  Total\t\t\t: 1024000 KB",
        "  Used\t\t\t: 341333 KB (33.3 %)",
        "  Available\t\t: 682667 KB (66.7 %)",
        G + "==> BUFFERS (DISK) ex: sd-card" + RS,
        "  Total\t\t\t: 50 MB",
        "  Used\t\t\t: 1.5 KB (0.00293 %)",
        "  Available\t\t: 50 MB (100 %)",
        G + "==> ETHERNET INFOS" + RS,
        "  Is Active\t\t: " + BG + "YES" + RS,
        "  Total Act duration\t: 01:00:00",
        "  Total Inact duration\t: 00:00:01.500000",
        "  Last start date\t: " + BG + "2026-Dec-07 14:00:00.000001" + RS,
        "  Last stop date\t: 2026-Dec-07 13:59:58.500000",
        "  Activity duration\t: " + BG + "00:03:27.512333" + RS,
        "  Inactivity duration\t: 00:00:01.500001",
        "  Loss Act count\t: " + BR + "2" + RS,
        "  OUT [->]\t\t: 12345 pkts (100 pps) - 5 MB (1.5 KB/s)",
        "  IN  [<-]\t\t: 0 pkts (0 pps) - 0 B (0 B/s)",
        "  Errors\t\t: 3 errors (1 errors/s)",
        G + "==> FIP INFOS" + RS,
        "  Is Active\t\t: " + BR + "NO" + RS,
        "  Total Act duration\t: 02:00:00",
        "  Total Inact duration\t: 00:45:00",
        "  Last start date\t: 2026-Dec-07 13:00:00",
        "  Last stop date\t: " + BR + "2026-Dec-07 13:30:00.250000" + RS,
        "  Last Act duration\t: 00:30:00.250000",
        "  Last Inact duration\t: " + BR + "00:33:27" + RS,
        "  Loss Act count\t: 0",
        "  IN  [<-]\t\t: 1000 frames (200 fps) - 1023 B (1.001 KB/s)",
        "  Loss Continuity event\t: " + BR + "3" + RS + " (" + BR + "-7" + RS + " lost frames)",
        G + "==> LIFESIGN INFOS " + RS + "(T=500ms)",
        "  Counter\t\t: 42",
    };
    std::ostringstream out;
    Monitoring::write_screen(out, crafted(), 500, 42);
    const std::vector<std::string> got = lines_of(out.str());
    ASSERT_EQ(got.size(), 43U);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(got[i], expected[i]) << "line " << i + 1;
    }
    EXPECT_EQ(out.str().back(), '\n');

    // The CPU load sets no precision of its own: the next screen prints it with the 4 that the
    // fieldbus traffic line left on the stream.
    std::ostringstream again;
    Monitoring::write_screen(again, crafted(), 500, 42);
    Monitoring::write_screen(again, crafted(), 500, 42);
    EXPECT_EQ(lines_of(again.str()).at(43 + 4), "  Load\t\t\t: 12.35 %");
}

TEST(StatusScreen, DefaultRecordsBeforeAnyNotification) {
    const Monitoring m(0, -1, nullptr); // no thread: nothing else writes
    std::ostringstream out;
    m.print(out);
    const std::vector<std::string> got = lines_of(out.str());
    ASSERT_EQ(got.size(), 43U);
    EXPECT_EQ(got[1], "  Start date\t\t: -");
    EXPECT_EQ(got[2], "  Duration\t\t: -");
    EXPECT_EQ(got[4], "  Load\t\t\t: nan %");
    EXPECT_EQ(got[5], "  Temperature\t\t: nan \xC2\xB0"
                      "C");
    EXPECT_EQ(got[8], "  Used\t\t\t: 0 KB (nan %)");
    EXPECT_EQ(got[13], "  Available\t\t: 0 KB (nan %)");
    EXPECT_EQ(got[15], "  Total\t\t\t: 0 B");
    EXPECT_EQ(got[16], "  Used\t\t\t: 0 B (0 %)");
    EXPECT_EQ(got[17], "  Available\t\t: 0 B (0 %)");
    // Both links: not active, durations zero, no start or stop yet.
    for (std::size_t first : {19U, 31U}) {
        EXPECT_EQ(got[first], "  Is Active\t\t: " + BR + "NO" + RS);
        EXPECT_EQ(got[first + 1], "  Total Act duration\t: 00:00:00");
        EXPECT_EQ(got[first + 2], "  Total Inact duration\t: 00:00:00");
        EXPECT_EQ(got[first + 3], "  Last start date\t: -");
        EXPECT_EQ(got[first + 4], "  Last stop date\t: -");
        EXPECT_TRUE(got[first + 5].ends_with("duration\t: 00:00:00")) << got[first + 5];
        EXPECT_TRUE(got[first + 6].ends_with("duration\t: " + BR + "00:00:00" + RS))
            << got[first + 6];
        EXPECT_EQ(got[first + 7], "  Loss Act count\t: 0");
    }
    EXPECT_EQ(got[40], "  Loss Continuity event\t: 0 (0 lost frames)");
    EXPECT_EQ(got[41], G + "==> LIFESIGN INFOS " + RS + "(T=0ms)");
    EXPECT_EQ(got[42], "  Counter\t\t: 0");
}

// A byte count as the screen writes it: precision 4 on the traffic lines, and precision 3 on the
// buffer total (left there by the storage lines).
struct SizeCase {
    unsigned long bytes;
    const char* at_precision_4;
    const char* at_precision_3;
};

TEST(StatusScreen, SizesAreScaledOnTheirOwnWithTheLinePrecision) {
    const SizeCase cases[] = {
        {0, "0 B", "0 B"},
        {999, "999 B", "999 B"},
        {1023, "1023 B", "1.02e+03 B"},
        {1024, "1024 B", "1.02e+03 B"}, // exactly 1 KB stays in bytes
        {1025, "1.001 KB", "1 KB"},
        {1536, "1.5 KB", "1.5 KB"},
        {1'048'576, "1024 KB", "1.02e+03 KB"},
        {5'242'880, "5 MB", "5 MB"},
        {1'099'511'627'776, "1024 GB", "1.02e+03 GB"},
        {5'497'558'138'880, "5 TB", "5 TB"},
    };
    for (const SizeCase& c : cases) {
        Monitoring::Snapshots s = crafted();
        s.udp_stats.bytes_sent_cnt = c.bytes;
        s.fip_stats.queue_stats.total_bytes = c.bytes;
        std::ostringstream out;
        Monitoring::write_screen(out, s, 500, 0);
        const std::vector<std::string> got = lines_of(out.str());
        EXPECT_EQ(got.at(15), std::string("  Total\t\t\t: ") + c.at_precision_3) << c.bytes;
        EXPECT_EQ(got.at(27), std::string("  OUT [->]\t\t: 12345 pkts (100 pps) - ") +
                                  c.at_precision_4 + " (1.5 KB/s)")
            << c.bytes;
    }
}

TEST(StatusScreen, SizeScaleNeedsAQuotientAboveOne) {
    EXPECT_EQ(Monitoring::get_size_scale(0), sz_scale::B);
    EXPECT_EQ(Monitoring::get_size_scale(1024), sz_scale::B);
    EXPECT_EQ(Monitoring::get_size_scale(1025), sz_scale::KB);
    EXPECT_EQ(Monitoring::get_size_scale(1'048'577), sz_scale::MB);
    // The count goes through single precision first: 2^30 + 1 becomes exactly 2^30.
    EXPECT_EQ(Monitoring::get_size_scale(1'073'741'825), sz_scale::MB);
    EXPECT_EQ(Monitoring::get_size_scale(1'073'741'952), sz_scale::GB);
    EXPECT_EQ(Monitoring::get_size_scale(~0UL), sz_scale::TB);

    float value = -1.0F;
    sz_scale scale = sz_scale::GB;
    Monitoring::get_formatted_size_value(1536, nullptr, &scale);
    Monitoring::get_formatted_size_value(1536, &value, nullptr);
    EXPECT_EQ(value, -1.0F);
    EXPECT_EQ(scale, sz_scale::GB);
    Monitoring::get_formatted_size_value(1536, &value, &scale);
    EXPECT_EQ(value, 1.5F);
    EXPECT_EQ(scale, sz_scale::KB);
}

TEST(StatusScreen, ErrorCountsAreBoldRedUnlessZero) {
    std::ostringstream out;
    Monitoring::print_err_cnt(0UL, out);
    out << '|';
    Monitoring::print_err_cnt(65'537UL, out);
    out << '|';
    Monitoring::print_err_cnt(-2L, out);
    out << '|';
    Monitoring::print_err_cnt(0L, out);
    EXPECT_EQ(out.str(), "0|" + BR + "65537" + RS + "|" + BR + "-2" + RS + "|0");
}

} // namespace

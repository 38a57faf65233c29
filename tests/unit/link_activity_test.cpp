// The activity bookkeeping shared by the capture object and the sender, replayed with exact dates:
// every step of each case is followed by the whole record it must leave. The log lines of the
// link's state changes follow.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "runtime/link_activity.hpp"

namespace {

namespace pt = boost::posix_time;

const pt::ptime t0(boost::gregorian::date(2026, 3, 1), pt::hours(8));

pt::ptime at(long ms) {
    return t0 + pt::milliseconds(ms);
}

// A statistics record's activity fields; a fresh one is dated at its creation.
struct Record {
    explicit Record(long created_ms)
        : last_start_date(at(created_ms)), last_stop_date(at(created_ms)) {}
    LinkTimes view() {
        return {is_active,      last_start_date,    last_stop_date,       act_duration,
                inact_duration, total_act_duration, total_inact_duration, loss_act_cnt};
    }
    bool is_active = false;
    pt::ptime last_start_date;
    pt::ptime last_stop_date;
    pt::time_duration act_duration;
    pt::time_duration inact_duration;
    pt::time_duration total_act_duration;
    pt::time_duration total_inact_duration;
    std::uint64_t loss_act_cnt = 0;
};

// The record after a step; dates and durations in milliseconds from t0.
struct Expected {
    bool active;
    long start_ms, stop_ms;
    long act_ms, inact_ms, total_act_ms, total_inact_ms;
    std::uint64_t losses;
};

enum class Event {
    traffic, // a buffer or a datagram
    silence, // a watchdog pass that found the link quiet
    reset,   // the owner replaced its record (a restart): the totals of closed periods stay
};

struct Step {
    Event event;
    long at_ms;
    long backdate_ms; // silence only
    Expected after;
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

using E = Event;

const std::vector<Case> cases = {
    {"no traffic: inactive from the record's creation, no loss",
     {
         {E::silence, 1000, 1000, {false, 0, 0, 0, 1000, 0, 1000, 0}},
         {E::silence, 1100, 1000, {false, 0, 0, 0, 1100, 0, 1100, 0}},
     }},
    {"a burst, a back-dated loss, then the link comes back",
     {
         // The first traffic closes the first inactive period, measured from the creation.
         {E::traffic, 200, 0, {true, 200, 0, 0, 200, 0, 200, 0}},
         {E::traffic, 250, 0, {true, 200, 0, 50, 200, 50, 200, 0}},
         // Detected at 1300, dated 1000 earlier: the active period ends at 300.
         {E::silence, 1300, 1000, {false, 200, 300, 100, 1000, 100, 1200, 1}},
         // While quiet, every pass extends the inactive period and counts no other loss.
         {E::silence, 1400, 1000, {false, 200, 300, 100, 1100, 100, 1300, 1}},
         // Back: the inactive period runs from the back-dated stop; the stop date stays.
         {E::traffic, 2000, 0, {true, 2000, 300, 0, 1700, 100, 1900, 1}},
         {E::traffic, 2500, 0, {true, 2000, 300, 500, 1700, 600, 1900, 1}},
         {E::silence, 3600, 1000, {false, 2000, 2600, 600, 1000, 700, 2900, 2}},
     }},
    {"traffic in time keeps one active period",
     {
         {E::traffic, 0, 0, {true, 0, 0, 0, 0, 0, 0, 0}},
         {E::traffic, 500, 0, {true, 0, 0, 500, 0, 500, 0, 0}},
         {E::traffic, 1000, 0, {true, 0, 0, 1000, 0, 1000, 0, 0}},
         {E::traffic, 2500, 0, {true, 0, 0, 2500, 0, 2500, 0, 0}},
     }},
    {"no back-dating: the loss is dated at its detection",
     {
         {E::traffic, 100, 0, {true, 100, 0, 0, 100, 0, 100, 0}},
         {E::silence, 110, 0, {false, 100, 110, 10, 0, 10, 100, 1}},
         {E::traffic, 200, 0, {true, 200, 110, 0, 90, 10, 190, 1}},
         {E::silence, 210, 0, {false, 200, 210, 10, 0, 20, 190, 2}},
     }},
    {"a reset record keeps the totals of the closed periods",
     {
         {E::traffic, 0, 0, {true, 0, 0, 0, 0, 0, 0, 0}},
         {E::traffic, 600, 0, {true, 0, 0, 600, 0, 600, 0, 0}},
         {E::silence, 1600, 1000, {false, 0, 600, 600, 1000, 600, 1000, 1}},
         {E::reset, 2000, 0, {false, 2000, 2000, 0, 0, 0, 0, 0}},
         // The inactive period left open by the reset is measured from the new record.
         {E::traffic, 2100, 0, {true, 2100, 2000, 0, 100, 600, 100, 0}},
         {E::traffic, 2400, 0, {true, 2100, 2000, 300, 100, 900, 100, 0}},
     }},
};

TEST(LinkActivityTest, EveryStepLeavesTheExpectedRecord) {
    for (const Case& c : cases) {
        LinkActivity activity;
        Record rec(0);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            switch (step.event) {
            case E::traffic:
                activity.on_traffic(rec.view(), at(step.at_ms));
                break;
            case E::silence:
                activity.on_silence(rec.view(), at(step.at_ms), pt::milliseconds(step.backdate_ms));
                break;
            case E::reset:
                rec = Record(step.at_ms);
                break;
            }
            const Expected& x = step.after;
            SCOPED_TRACE(std::string(c.name) + ", step " + std::to_string(i));
            EXPECT_EQ(rec.is_active, x.active);
            EXPECT_EQ(rec.last_start_date, at(x.start_ms));
            EXPECT_EQ(rec.last_stop_date, at(x.stop_ms));
            EXPECT_EQ(rec.act_duration, pt::milliseconds(x.act_ms));
            EXPECT_EQ(rec.inact_duration, pt::milliseconds(x.inact_ms));
            EXPECT_EQ(rec.total_act_duration, pt::milliseconds(x.total_act_ms));
            EXPECT_EQ(rec.total_inact_duration, pt::milliseconds(x.total_inact_ms));
            EXPECT_EQ(rec.loss_act_cnt, x.losses);
            // What holds in every state, whatever the dates.
            if (rec.loss_act_cnt > 0 && !rec.is_active) {
                EXPECT_EQ(rec.act_duration, rec.last_stop_date - rec.last_start_date);
            }
            if (rec.is_active) {
                EXPECT_EQ(rec.inact_duration, rec.last_start_date - rec.last_stop_date);
            }
        }
    }
}

// The log lines of a link's state changes, through a temporary file.
class LinkStateLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(file, nullptr); }
    void TearDown() override {
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    std::string text() {
        std::fflush(file);
        std::rewind(file);
        std::string all;
        char buf[256];
        for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) {
            all.append(buf, n);
        }
        return all;
    }
    std::size_t count(const std::string& needle) {
        const std::string all = text();
        std::size_t n = 0;
        for (auto p = all.find(needle); p != std::string::npos; p = all.find(needle, p + 1)) {
            ++n;
        }
        return n;
    }
    FILE* file = std::tmpfile();
};

TEST_F(LinkStateLogTest, EachChangeIsToldOnceWithTheLinksName) {
    for (const char* link : {"fip", "udp"}) {
        SCOPED_TRACE(link);
        std::rewind(file);
        ASSERT_EQ(ftruncate(fileno(file), 0), 0);
        const std::string inactive = std::string(link) + " link inactive\n";
        const std::string again = std::string(link) + " link active again after ";
        LinkStateLog log(file, link);
        int asked = 0;
        LinkStateLog::State state{false, pt::seconds(0)}; // what the owner's record says
        auto back_after = [&] {
            ++asked;
            return state;
        };

        // A link that starts talking is no news, and nobody asks the record.
        log.after_pass(false, back_after);
        EXPECT_EQ(asked, 0);
        EXPECT_EQ(text(), "");

        // Thirty quiet passes: one line.
        for (int i = 0; i < 30; ++i) {
            log.after_pass(true, back_after);
        }
        EXPECT_EQ(count(inactive), 1U);
        EXPECT_NE(text().find("[warn]  " + inactive), std::string::npos) << text();

        // A pass that is not expired while the record is not active yet: nothing, asked again.
        log.after_pass(false, back_after);
        EXPECT_EQ(count(again), 0U);
        state = {true, pt::milliseconds(2900)}; // whole seconds, not rounded
        log.after_pass(false, back_after);
        log.after_pass(false, back_after);
        EXPECT_EQ(count("[info]  " + again + "2 s\n"), 1U) << text();
        EXPECT_EQ(count(again), 1U);
        EXPECT_EQ(asked, 2);

        // And quiet again: the next loss is told again.
        state = {false, pt::milliseconds(400)};
        log.after_pass(true, back_after);
        log.after_pass(true, back_after);
        EXPECT_EQ(count(inactive), 2U);
        state = {true, pt::milliseconds(400)};
        log.after_pass(false, back_after);
        EXPECT_EQ(count(again + "0 s\n"), 1U) << text();
    }
}

} // namespace

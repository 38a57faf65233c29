// The activity bookkeeping of a watched link (the fieldbus seen by the capture card, the Ethernet
// side seen by the sender): active and inactive periods with their dates and durations, their
// totals across periods, the count of losses, and the log lines of the link's state changes.
//
// Design notes
// - The figures live in the owner's statistics record, so that one copy of the record under the
//   owner's lock is consistent; LinkActivity works on them through a LinkTimes view and keeps
//   only the totals of the closed periods, which outlive a reset of the record.
// - Times are given, never read here: the owner reads the clock once per step, and the tests
//   replay exact dates.
// - A loss is dated back to when the link most likely went quiet (`backdate` before its
//   detection), so that an active period does not include the time-out that detected its end.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// The activity fields of a statistics record, by reference. A fresh record has is_active false,
// both dates at the record's creation and zero durations.
struct LinkTimes {
    LinkTimes(bool& is_active, boost::posix_time::ptime& last_start_date,
              boost::posix_time::ptime& last_stop_date, boost::posix_time::time_duration& act,
              boost::posix_time::time_duration& inact, boost::posix_time::time_duration& total_act,
              boost::posix_time::time_duration& total_inact, std::uint64_t& loss_act_cnt)
        : is_active(is_active), last_start_date(last_start_date), last_stop_date(last_stop_date),
          act_duration(act), inact_duration(inact), total_act_duration(total_act),
          total_inact_duration(total_inact), loss_act_cnt(loss_act_cnt) {}

    bool& is_active;
    boost::posix_time::ptime& last_start_date;
    boost::posix_time::ptime& last_stop_date;
    boost::posix_time::time_duration& act_duration;         // the current or last active period
    boost::posix_time::time_duration& inact_duration;       // the current or last inactive period
    boost::posix_time::time_duration& total_act_duration;   // closed periods + act_duration
    boost::posix_time::time_duration& total_inact_duration; // closed periods + inact_duration
    std::uint64_t& loss_act_cnt;                            // active periods ended by silence
};

// Totals of the closed periods. Not thread-safe: called under the lock that guards the record.
class LinkActivity {
public:
    // Traffic at `now`: closes the inactive period and opens an active one, or extends the
    // active one.
    void on_traffic(LinkTimes rec, boost::posix_time::ptime now);

    // The link found quiet at `now`: closes the active period at `now - backdate` and counts a
    // loss, or extends the inactive period. The inactive period runs up to `now`.
    void on_silence(LinkTimes rec, boost::posix_time::ptime now,
                    boost::posix_time::time_duration backdate);

private:
    boost::posix_time::time_duration act_accum;   // activity of the closed active periods
    boost::posix_time::time_duration inact_accum; // inactivity of the closed inactive periods
};

// Logs "<link> link inactive" once when the link goes quiet and "<link> link active again after
// N s" once when traffic came since. Used by the watchdog thread alone, outside any lock.
class LinkStateLog {
public:
    // `link` is the first word of the lines ("fip", "udp"); `log` is not owned.
    LinkStateLog(FILE* log, const char* link) : log(log), link(link) {}

    // What the log needs of the record, copied under the owner's lock.
    struct State {
        bool is_active;
        boost::posix_time::time_duration inact_duration; // the last inactive period once active
    };

    // One watchdog pass; `expired` when it found the link quiet. `read_state` is called only when
    // a return may be due: a link told inactive is told active again once the record says so,
    // with the whole seconds of the inactive period it closed. `reason`, when not empty, is what
    // the owner knows of the silence and goes in brackets after "link inactive".
    template <class ReadState>
    void after_pass(bool expired, ReadState&& read_state, const std::string& reason = {}) {
        if (expired) {
            tell_inactive(reason);
            return;
        }
        if (!told_inactive) {
            return;
        }
        const State state = read_state();
        if (state.is_active) {
            tell_active_again(state.inact_duration.total_seconds());
        }
    }

private:
    void tell_inactive(const std::string& reason);
    void tell_active_again(long inactive_s);

    FILE* log;
    const char* link;
    bool told_inactive = false;
};

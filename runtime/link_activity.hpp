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
#include <optional>

#include <boost/date_time/posix_time/posix_time_types.hpp>

// The activity fields of a statistics record, by reference. A fresh record has is_active false,
// both dates at the record's creation and zero durations.
struct LinkTimes {
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

    // One watchdog pass; `expired` when it found the link quiet. `back_after` is called only when
    // a return may be due: the whole seconds of the inactive period just closed when the link is
    // active again, nullopt otherwise (then it is asked again next pass).
    template <class BackAfter>
    void after_pass(bool expired, BackAfter&& back_after) {
        if (expired) {
            tell_inactive();
            return;
        }
        if (!told_inactive) {
            return;
        }
        if (const std::optional<long> inactive_s = back_after()) {
            tell_active_again(*inactive_s);
        }
    }

private:
    void tell_inactive();
    void tell_active_again(long inactive_s);

    FILE* log;
    const char* link;
    bool told_inactive = false;
};

#include "runtime/link_activity.hpp"

#include "log/logger.hpp"

void LinkActivity::on_traffic(LinkTimes rec, boost::posix_time::ptime now) {
    if (!rec.is_active) {
        rec.is_active = true;
        rec.last_start_date = now;
        rec.inact_duration = rec.last_start_date - rec.last_stop_date;
        rec.total_inact_duration = inact_accum + rec.inact_duration;
        inact_accum = rec.total_inact_duration;
    }
    rec.act_duration = now - rec.last_start_date;
    rec.total_act_duration = act_accum + rec.act_duration;
}

void LinkActivity::on_silence(LinkTimes rec, boost::posix_time::ptime now,
                              boost::posix_time::time_duration backdate) {
    if (rec.is_active) {
        rec.is_active = false;
        rec.last_stop_date = now - backdate;
        rec.act_duration = rec.last_stop_date - rec.last_start_date;
        rec.total_act_duration = act_accum + rec.act_duration;
        act_accum = rec.total_act_duration;
        ++rec.loss_act_cnt;
    }
    rec.inact_duration = now - rec.last_stop_date;
    rec.total_inact_duration = inact_accum + rec.inact_duration;
}

void LinkStateLog::tell_inactive(const std::string& reason) {
    if (!told_inactive) {
        told_inactive = true;
        if (reason.empty()) {
            logger::print(log, logger::msg_type::warn, "%s link inactive\n", link);
        } else {
            logger::print(log, logger::msg_type::warn, "%s link inactive (%s)\n", link,
                          reason.c_str());
        }
    }
}

void LinkStateLog::tell_active_again(long inactive_s) {
    told_inactive = false;
    logger::print(log, logger::msg_type::info, "%s link active again after %ld s\n", link,
                  inactive_s);
}

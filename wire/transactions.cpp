#include "wire/transactions.hpp"

#include <algorithm>

namespace wire {

namespace {

constexpr std::size_t kIdentifiers = 1U << 16;

constexpr std::uint8_t kIdDat = 0x03;       // poll of a periodic or aperiodic variable
constexpr std::uint8_t kIdMsg = 0x05;       // poll of a station's message
constexpr std::uint8_t kRequestFlag = 0x08; // in a variable response: aperiodic variable wanted
constexpr std::uint8_t kMessageFlag = 0x04; // in a variable response: message wanted
constexpr std::uint8_t kEnd = 0x40;         // RP_FIN: closes a message transaction

constexpr std::int64_t kIntervalSmoothing = 8; // weight of the past in an identifier's interval
constexpr std::int64_t kIntervalSampleCap = 2; // a sample counts at most this many times the
                                               // interval known: one late poll is not a new period

// Whether `response` is what a poll by `poll_control` calls for.
bool expected(std::uint8_t poll_control, FrameKind response) {
    switch (poll_control) {
    case kIdDat:
        return response == FrameKind::variable_response;
    case kIdMsg:
        return response == FrameKind::message;
    default: // the request-list polls: a list, or the variable it asked for
        return response == FrameKind::request_list_response ||
               response == FrameKind::variable_response;
    }
}

// Before `s` changes to state `h` at `time_us`: a spell away from ok begins, or grows sicker.
void note_problem(IdentifierStats& s, Health h, std::int64_t time_us) {
    if (h == Health::ok) {
        return;
    }
    if (s.state == Health::ok || s.last_problem_us == 0) {
        s.last_problem = h;
        s.last_problem_us = time_us;
    } else if (h < s.last_problem) {
        s.last_problem = h; // sicker (the states are ordered sickest first)
    }
}

} // namespace

TransactionWalker::TransactionWalker(double missing_threshold)
    : slot_(kIdentifiers, 0), missing_threshold_(missing_threshold) {}

IdentifierStats& TransactionWalker::stats_of(std::uint16_t id) {
    std::uint32_t& s = slot_[id];
    if (s == 0) {
        ids_.push_back(IdentifierStats{});
        ids_.back().id = id;
        recent_.emplace_back();
        s = static_cast<std::uint32_t>(ids_.size());
    }
    return ids_[s - 1];
}

void TransactionWalker::close_pending_as_unknown() {
    if (state_ == State::polled) {
        ++ids_[pending_].unknown;
        ++bus_.unknown_polls;
    }
    state_ = State::idle;
}

void TransactionWalker::on_break() {
    if (!broken_) {
        ++bus_.breaks; // a lost datagram also breaks the index: one break, not two
    }
    broken_ = true;
    close_pending_as_unknown();
    after_break_ = true;
    scan_.on_break();
}

void TransactionWalker::on_identifier(const FrameInfo& info, bool good, std::int64_t time_us) {
    if (state_ == State::polled) {
        // Another identifier came where the producer should have answered.
        IdentifierStats& silent = ids_[pending_];
        ++silent.missing;
        ++bus_.missing;
        ++silent.unanswered_in_row;
        recent_[pending_].window.on_missing(time_us);
        rejudge(pending_, time_us);
    }
    after_break_ = false;
    if (!good || !info.identifier) {
        ++bus_.unattributed;
        state_ = State::unattributed;
        return;
    }
    IdentifierStats& s = stats_of(*info.identifier);
    const std::uint32_t index = slot_[*info.identifier] - 1;
    Recent& recent = recent_[index];
    ++s.polls;
    s.bytes += info.length;
    if (s.first_seen_us == 0) {
        s.first_seen_us = time_us;
        s.state_since_us = time_us;
    } else if (recent.breaks_at_poll == bus_.breaks && time_us > s.last_seen_us) {
        // Intervals across a break of the stream say nothing of the scan; polls of one datagram
        // share its receive time.
        std::int64_t sample = time_us - s.last_seen_us;
        if (s.poll_interval_us != 0) {
            sample = std::min(sample, kIntervalSampleCap * s.poll_interval_us);
        }
        s.poll_interval_us =
            s.poll_interval_us == 0
                ? sample
                : s.poll_interval_us + (sample - s.poll_interval_us) / kIntervalSmoothing;
    }
    recent.breaks_at_poll = bus_.breaks;
    s.last_seen_us = time_us;
    recent.window.on_poll(time_us);
    rejudge(index, time_us);
    pending_ = index;
    pending_control_ = *info.control;
    state_ = State::polled;
    const PollKind kind = pending_control_ == kIdDat   ? PollKind::variable
                          : pending_control_ == kIdMsg ? PollKind::message
                                                       : PollKind::request_list;
    s.poll_kinds = static_cast<std::uint8_t>(s.poll_kinds | (1U << static_cast<unsigned>(kind)));
    if (pending_control_ == kIdDat) {
        s.last_variable_poll_us = time_us;
        scan_.on_poll(*info.identifier);
    }
}

void TransactionWalker::on_response(const FrameInfo& info, std::span<const std::uint8_t> frame,
                                    std::optional<FrameCheck> failed, std::int64_t time_us) {
    IdentifierStats& s = ids_[pending_];
    ++s.responses;
    s.unanswered_in_row = 0; // a bad answer is still an answer: the station is there
    if (failed) {
        recent_[pending_].window.on_bad(time_us);
    }
    rejudge(pending_, time_us);
    ++bus_.transactions;
    s.bytes += info.length;
    const auto len = static_cast<std::uint16_t>(std::min<std::size_t>(info.length, 0xFFFF));
    s.len_min = s.len_min == 0 ? len : std::min(s.len_min, len);
    s.len_max = std::max(s.len_max, len);
    // A message, even damaged, is followed by its acknowledgement and end.
    state_ = info.kind == FrameKind::message ? State::message : State::idle;
    if (failed) {
        ++s.bad[static_cast<std::size_t>(*failed)];
        return; // what a damaged frame says about itself cannot be trusted
    }
    if (!expected(pending_control_, info.kind)) {
        ++s.unexpected;
    }
    if (info.kind == FrameKind::variable_response) {
        const std::uint8_t pdu = frame[1];
        s.pdu_types[pdu >> 6] |= std::uint64_t{1} << (pdu & 63);
        s.request_flags += (*info.control & kRequestFlag) != 0 ? 1 : 0;
        s.message_flags += (*info.control & kMessageFlag) != 0 ? 1 : 0;
    } else if (info.kind == FrameKind::message) {
        ++s.messages;
    }
}

void TransactionWalker::on_message_follow_up(const FrameInfo& info) {
    IdentifierStats& s = ids_[pending_];
    s.bytes += info.length;
    if (*info.control == kEnd) {
        ++s.ended;
        state_ = State::idle;
    } else {
        ++s.acknowledged; // an end may still follow
    }
}

void TransactionWalker::on_record(std::uint64_t idx, const FrameInfo& info,
                                  std::span<const std::uint8_t> frame, std::int64_t time_us) {
    if (idx != 0) {
        if (prev_idx_ != 0 && idx != prev_idx_ + 1) {
            on_break();
        }
        prev_idx_ = idx;
    }
    broken_ = false;
    if (frame.empty()) {
        return; // a record without a frame says nothing about the bus
    }
    const std::optional<FrameCheck> failed = first_failed_check(info, frame);
    ++bus_.frames;
    ++bus_.by_kind[static_cast<std::size_t>(info.kind)];
    bus_.bytes += info.length;
    if (bus_.first_seen_us == 0) {
        bus_.first_seen_us = time_us;
    }
    bus_.last_seen_us = time_us;
    if (failed) {
        ++bus_.bad_frames;
        ++bus_.bad[static_cast<std::size_t>(*failed)];
    }

    if (info.kind == FrameKind::identifier) {
        on_identifier(info, !failed, time_us);
        return;
    }
    switch (state_) {
    case State::polled:
        on_response(info, frame, failed, time_us);
        return;
    case State::unattributed:
        state_ = State::idle; // answered a poll whose identifier was damaged
        return;
    case State::message:
        if (info.kind == FrameKind::ack_end && !failed) {
            on_message_follow_up(info);
            return;
        }
        if (failed) {
            return; // a damaged acknowledgement or end: the message stays open for the next
        }
        state_ = State::idle;
        break;
    case State::idle:
        break;
    }
    if (after_break_) {
        ++bus_.unknown_frames;
    } else {
        ++bus_.orphans;
    }
}

void TransactionWalker::rejudge(std::uint32_t index, std::int64_t now_us) {
    IdentifierStats& s = ids_[index];
    HealthInput in;
    in.window = recent_[index].window.counts(now_us);
    in.unanswered_in_row = s.unanswered_in_row;
    in.last_poll_us = s.last_seen_us; // polled or answered now: never gone here
    in.poll_interval_us = s.poll_interval_us;
    const Health h = judge(in, now_us, missing_threshold_);
    if (h != s.state) {
        note_problem(s, h, now_us);
        s.state = h;
        s.state_since_us = now_us;
    }
}

std::vector<IdentifierStats> TransactionWalker::identifiers() const {
    std::vector<IdentifierStats> out = ids_;
    const std::int64_t now_us = bus_.last_seen_us;
    for (std::size_t i = 0; i < out.size(); ++i) {
        IdentifierStats& s = out[i];
        s.period_cycles = scan_.period(s.id);
        s.scan_deviations = scan_.deviations(s.id);
        // The window slides and a periodic identifier may stop being polled while other traffic
        // goes on: judged again at the bus's last record.
        HealthInput in;
        in.window = recent_[i].window.counts(now_us);
        in.unanswered_in_row = s.unanswered_in_row;
        in.periodic = s.period_cycles != 0;
        in.last_poll_us = s.last_seen_us;
        in.poll_interval_us = s.poll_interval_us;
        s.window = in.window;
        const Health h = judge(in, now_us, missing_threshold_);
        if (h != s.state) {
            const std::int64_t since =
                h == Health::gone ? gone_after(s.last_seen_us, s.poll_interval_us) : now_us;
            note_problem(s, h, since);
            s.state = h;
            s.state_since_us = since;
        }
    }
    return out;
}

} // namespace wire

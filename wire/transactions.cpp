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

} // namespace

TransactionWalker::TransactionWalker() : slot_(kIdentifiers, 0) {}

IdentifierStats& TransactionWalker::stats_of(std::uint16_t id) {
    std::uint32_t& s = slot_[id];
    if (s == 0) {
        ids_.push_back(IdentifierStats{});
        ids_.back().id = id;
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
        ++ids_[pending_].missing;
        ++bus_.missing;
    }
    after_break_ = false;
    if (!good || !info.identifier) {
        ++bus_.unattributed;
        state_ = State::unattributed;
        return;
    }
    IdentifierStats& s = stats_of(*info.identifier);
    ++s.polls;
    s.bytes += info.length;
    if (s.first_seen_us == 0) {
        s.first_seen_us = time_us;
    }
    s.last_seen_us = time_us;
    pending_ = slot_[*info.identifier] - 1;
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
                                    std::optional<FrameCheck> failed) {
    IdentifierStats& s = ids_[pending_];
    ++s.responses;
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
        on_response(info, frame, failed);
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

std::vector<IdentifierStats> TransactionWalker::identifiers() const {
    std::vector<IdentifierStats> out = ids_;
    for (IdentifierStats& s : out) {
        s.period_cycles = scan_.period(s.id);
        s.scan_deviations = scan_.deviations(s.id);
    }
    return out;
}

} // namespace wire

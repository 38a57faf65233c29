#include "card.hpp"

#include <cstdio>

namespace capvane_sim {

namespace {

std::string id_text(uint16_t id) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", id);
    return text;
}

std::string slot_text(const ScanSlot& s) {
    return "period " + std::to_string(s.period_cycles) + " len " + std::to_string(s.response_len);
}

} // namespace

std::string Card::change_scan(const ControlCommand& cmd) {
    BusModel* bus = source_.bus();
    if (bus == nullptr) {
        return "error a replayed capture has no scan to change";
    }
    const std::string id = id_text(cmd.identifier);
    if (cmd.kind == CommandKind::unschedule) {
        const auto before = bus->unschedule(cmd.identifier);
        if (!before) {
            return "error " + id + " is not in the scan";
        }
        ++stats_.faults["unschedule"];
        return "ok unschedule " + id + " was " + slot_text(*before);
    }
    const auto current = bus->slot(cmd.identifier);
    const uint16_t len =
        cmd.response_len.value_or(current ? current->response_len : kDefaultResponseLen);
    bool done = false;
    const auto before = bus->schedule(cmd.identifier, cmd.period_cycles, len, done);
    if (!done) {
        return "error the scan is full (" + std::to_string(kMaxScanSlots) + " identifiers)";
    }
    ++stats_.faults["schedule"];
    std::string answer = "ok schedule " + id + " " + slot_text(*bus->slot(cmd.identifier));
    if (before) {
        answer += " was " + slot_text(*before);
    }
    return answer;
}

void Card::queue_frames(IndexRule rule, uint64_t arg, uint8_t status,
                        const std::vector<uint8_t>& frame, uint64_t count) {
    faults_.queue(rule, arg, status, frame, count);
    producer_cv_.notify_all();
    reader_cv_.notify_all();
}

void Card::push_extra(std::unique_ptr<TransferBuffer> buffer) {
    // Injected buffers keep their place after what came before them and bypass the ring limit,
    // so that a test always receives the fault it asked for.
    drain_injected();
    packer_.push_partial();
    packer_.push_sealed(std::move(buffer));
}

std::string Card::control(const ControlCommand& cmd) {
    std::unique_lock lk(mu_);
    if (stopping_) {
        return "error card " + std::to_string(number_) + " is closing";
    }
    auto& faults = stats_.faults;
    const int fcs_type = packer_.fcs_type();
    switch (cmd.kind) {
    case CommandKind::pause:
        paused_ = true;
        producer_cv_.notify_all();
        return "ok paused";
    case CommandKind::resume:
        paused_ = false;
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        return "ok resumed";
    case CommandKind::gap:
        queue_frames(IndexRule::gap, cmd.count, 0, FaultControl::good_frame(fcs_type), 1);
        ++faults["gap"];
        return "ok gap " + std::to_string(cmd.count);
    case CommandKind::back:
        queue_frames(IndexRule::back, cmd.count, 0, FaultControl::good_frame(fcs_type), 1);
        ++faults["back"];
        return "ok back " + std::to_string(cmd.count);
    case CommandKind::unnumbered:
        queue_frames(IndexRule::zero, 0, 0, FaultControl::good_frame(fcs_type), cmd.count);
        faults["unnumbered"] += cmd.count;
        return "ok unnumbered " + std::to_string(cmd.count);
    case CommandKind::bad:
        queue_frames(IndexRule::next, 0, 0, FaultControl::bad_frame(cmd.bad, fcs_type), cmd.count);
        faults[bad_check_name(cmd.bad)] += cmd.count;
        return std::string("ok ") + bad_check_name(cmd.bad) + " " + std::to_string(cmd.count);
    case CommandKind::status:
        queue_frames(IndexRule::next, 0, static_cast<uint8_t>(1u << cmd.status_bit),
                     FaultControl::good_frame(fcs_type), cmd.count);
        faults["status_" + std::to_string(cmd.status_bit)] += cmd.count;
        return "ok status " + std::to_string(cmd.status_bit) + " " + std::to_string(cmd.count);
    case CommandKind::inject:
        queue_frames(IndexRule::verbatim, 0, 0, cmd.record, 1);
        ++faults["inject"];
        return "ok inject " + std::to_string(cmd.record.size());
    case CommandKind::noready:
        for (uint64_t i = 0; i < cmd.count; ++i) {
            auto decoy = FaultControl::decoy_buffer(packer_, stamp_now());
            decoy->seal(0, packer_.next_sequence());
            push_extra(std::move(decoy));
        }
        faults["noready"] += cmd.count;
        return "ok noready " + std::to_string(cmd.count);
    case CommandKind::ready:
        packer_.set_ready_word(cmd.ready == ReadyBits::bit31   ? kReadyBit31
                               : cmd.ready == ReadyBits::bit30 ? kReadyBit30
                                                               : kReadyBit31 | kReadyBit30);
        return "ok ready";
    case CommandKind::failwait:
        faults_.failwait += cmd.count;
        return "ok failwait " + std::to_string(cmd.count);
    case CommandKind::shortwait:
        faults_.shortwait += cmd.count;
        return "ok shortwait " + std::to_string(cmd.count);
    case CommandKind::malformed:
        // Keep the stream in order: what is pending goes out before the damaged buffer.
        drain_injected();
        packer_.push_partial();
        push_extra(FaultControl::malformed_buffer(packer_, cmd.malformation, stamp_now()));
        ++faults[malformation_name(cmd.malformation)];
        return std::string("ok ") + malformation_name(cmd.malformation);
    case CommandKind::fail:
        faults_.staged(cmd.fail) = cmd.error_number;
        return std::string("ok ") + fail_request_name(cmd.fail) + " " +
               std::to_string(cmd.error_number);
    case CommandKind::unplug:
        unplugged_.store(true);
        ++faults["unplug"];
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        return "ok unplugged";
    case CommandKind::flush:
        drain_injected();
        packer_.push_partial();
        return "ok flushed";
    case CommandKind::silence:
    case CommandKind::corrupt: {
        BusModel* bus = source_.bus();
        if (bus == nullptr) {
            return "error a replayed capture has no bus to make sick";
        }
        const bool silence = cmd.kind == CommandKind::silence;
        if (silence) {
            bus->faults().silence(cmd.identifier, cmd.count);
        } else {
            bus->faults().corrupt(cmd.identifier, cmd.count);
        }
        faults[silence ? "silence" : "corrupt"] += cmd.count;
        return std::string("ok ") + (silence ? "silence " : "corrupt ") + id_text(cmd.identifier) +
               " " + std::to_string(cmd.count);
    }
    case CommandKind::schedule:
    case CommandKind::unschedule:
        return change_scan(cmd);
    case CommandKind::stats:
        break;
    }
    lk.unlock();
    return "ok " + stats_json();
}

} // namespace capvane_sim

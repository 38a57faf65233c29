#include "card.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>

#include "driver_requests.hpp"
#include "fcs.hpp"

namespace capvane_sim {

namespace {

// The traffic thread never sleeps shorter than this: records are only seen per buffer anyway.
constexpr std::chrono::milliseconds kTrafficTick{2};
// A traffic thread that fell this far behind (a loaded host) skips ahead instead of bursting.
constexpr std::chrono::milliseconds kMaxLag{50};
// xfer_len of a short wait: anything but a whole buffer.
constexpr uint32_t kShortTransferBytes = 16384;
// Identifier named by every frame the control socket adds, so that tests can tell them apart.
constexpr uint8_t kInjectedIdHigh = 0x0F;
constexpr uint8_t kInjectedIdLow = 0xF0;
// Record length a `malformed short` record claims: less than its own header.
constexpr uint16_t kShortRecordLength = 17;
constexpr uint8_t kForeignRecordType = 0xC5;

template <typename T> T get(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename T> void put(uint8_t* p, T v) {
    std::memcpy(p, &v, sizeof v);
}

int fail(int error_number) {
    errno = error_number;
    return -1;
}

} // namespace

Card::Card(int number, uint64_t session, const SimConfig& cfg)
    : number_(number), serial_(cfg.serial), fcs_type_(cfg.fcs_type), bitrate_(cfg.bitrate),
      ring_capacity_(cfg.ring_buffers), flush_(cfg.flush_ms), record_limit_(cfg.record_limit),
      report_path_(cfg.report_path), paused_(cfg.start_paused) {
    stats_.card = number;
    stats_.session = session;
    const auto staged = [](bool on) { return on ? std::optional<int>(EIO) : std::nullopt; };
    fail_infos_ = staged(cfg.fail_infos);
    fail_epoch_ = staged(cfg.fail_epoch);
    fail_sniffer_on_ = staged(cfg.fail_sniffer_on);
    fail_sniffer_off_ = staged(cfg.fail_sniffer_off);
    if (!cfg.replay_path.empty()) {
        replay_.emplace(cfg.replay_path);
        if (!replay_->error().empty()) {
            std::fprintf(stderr, "capvane-sim: replay: %s\n", replay_->error().c_str());
        }
        if (cfg.pace_records_per_sec) {
            mode_ = Mode::paced;
            replay_interval_ns_ = static_cast<uint64_t>(1e9 / *cfg.pace_records_per_sec);
        } else {
            // A replay is a fixed set of records: hand them all over rather than lose some.
            mode_ = Mode::on_demand;
        }
    } else {
        bus_.emplace(cfg.bitrate, cfg.fcs_type, cfg.seed);
        if (cfg.pace_max) {
            mode_ = Mode::on_demand;
        } else if (cfg.pace_records_per_sec) {
            mode_ = Mode::paced;
            wall_per_sim_ = bus_->frames_per_second() / *cfg.pace_records_per_sec;
        }
    }
    partial_ = take_buffer();
    anchor_wall_ = Clock::now();
    if (mode_ != Mode::on_demand) {
        traffic_thread_ = std::thread(&Card::_bkgd_traffic_func, this);
    }
}

Card::~Card() {
    end_session();
}

void Card::end_session() {
    {
        std::lock_guard lk(mu_);
        if (ended_) {
            return;
        }
        ended_ = true;
        stopping_ = true;
    }
    producer_cv_.notify_all();
    reader_cv_.notify_all();
    if (traffic_thread_.joinable()) {
        traffic_thread_.join();
    }
    if (!report_path_.empty()) {
        CardStats copy;
        {
            std::lock_guard lk(mu_);
            copy = stats_;
            copy.sniffer = sniffer_;
            copy.paused = paused_;
            copy.unplugged = unplugged_.load();
        }
        if (!write_report(report_path_, copy)) {
            std::fprintf(stderr, "capvane-sim: cannot write the report %s\n", report_path_.c_str());
        }
    }
}

std::unique_ptr<TransferBuffer> Card::take_buffer() {
    if (free_.empty()) {
        return std::make_unique<TransferBuffer>();
    }
    auto buffer = std::move(free_.back());
    free_.pop_back();
    return buffer;
}

void Card::recycle(std::unique_ptr<TransferBuffer> buffer) {
    buffer->clear();
    free_.push_back(std::move(buffer));
}

uint32_t Card::ready_word() const {
    return ready_bits_;
}

// ---- time -------------------------------------------------------------------------------------

uint64_t Card::sim_now_ns(Clock::time_point now) const {
    if (mode_ == Mode::on_demand) {
        return bus_ ? bus_->now_ns() : 0;
    }
    const double wall_ns = static_cast<double>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now - anchor_wall_).count());
    const double sim = static_cast<double>(anchor_sim_ns_) + wall_ns / wall_per_sim_;
    return sim <= 0 ? 0 : static_cast<uint64_t>(sim);
}

Card::Clock::time_point Card::wall_of(uint64_t sim_ns) const {
    const double delta =
        (static_cast<double>(sim_ns) - static_cast<double>(anchor_sim_ns_)) * wall_per_sim_;
    return anchor_wall_ + std::chrono::nanoseconds(static_cast<int64_t>(delta));
}

void Card::catch_up(Clock::time_point now) {
    // After a pause or with the sniffer off the bus did not stop for real: move it on to now
    // rather than replaying the silent stretch at full speed.
    if (!source_has_next()) {
        return;
    }
    const uint64_t next = source_next_sim_ns();
    if (wall_of(next) >= now) {
        return;
    }
    if (bus_ && pending_frame_) {
        const uint64_t target = sim_now_ns(now);
        if (target > next) {
            const uint64_t delta = target - next;
            bus_->shift(delta);
            pending_frame_->end_ns += delta;
            pending_frame_->silence_ns = static_cast<uint32_t>(
                std::min<uint64_t>(uint64_t{pending_frame_->silence_ns} + delta, UINT32_MAX));
        }
    } else {
        anchor_sim_ns_ = next;
        anchor_wall_ = now;
    }
}

uint64_t Card::time_stamp(uint64_t sim_ns) const {
    const int64_t since_epoch = static_cast<int64_t>(sim_ns - sim_at_epoch_ns_);
    const int64_t stamp = static_cast<int64_t>(epoch_ns_) + since_epoch;
    return stamp < 0 ? 0 : static_cast<uint64_t>(stamp);
}

// ---- packing ----------------------------------------------------------------------------------

bool Card::source_has_next() {
    if (paused_ || (record_limit_ && source_records_ >= *record_limit_)) {
        return false;
    }
    if (replay_) {
        return !replay_->exhausted();
    }
    return bus_.has_value();
}

uint64_t Card::source_next_sim_ns() {
    if (replay_) {
        return source_records_ * replay_interval_ns_;
    }
    if (!pending_frame_) {
        pending_frame_.emplace();
        bus_->next(*pending_frame_);
    }
    return pending_frame_->end_ns;
}

void Card::pack_source_record() {
    if (replay_) {
        std::size_t len = 0;
        const uint8_t* record = replay_->peek(len);
        if (partial_->room() < len) {
            push_partial();
        }
        std::memcpy(partial_->cursor(), record, len);
        const uint64_t index = read_be64(record + kRecIndexOffset);
        if (index != 0) {
            last_index_ = index;
        }
        partial_->commit_record(len);
        replay_->advance();
    } else {
        source_next_sim_ns(); // makes sure a frame is pending
        const BusFrame& f = *pending_frame_;
        pack_frame(f.bytes.data(), f.len, next_index(), 0, f.end_ns, f.duration_ns, f.silence_ns);
        count_truth(stats_.identifiers, f.truth_id, f.mark);
        pending_frame_.reset();
    }
    ++source_records_;
}

void Card::pack_frame(const uint8_t* frame, std::size_t len, uint64_t index, uint8_t status,
                      uint64_t sim_ns, uint32_t duration_ns, uint32_t silence_ns) {
    const std::size_t record_len = kRecordHeaderBytes + len;
    if (partial_->room() < record_len) {
        push_partial();
    }
    RecordFields fields;
    fields.index = index;
    fields.status = status;
    fields.fcs_type = fcs_type_;
    fields.time_ns = time_stamp(sim_ns);
    fields.duration_ns = duration_ns;
    fields.silence_ns = silence_ns;
    fields.bitrate_code = bitrate_code(bitrate_);
    pack_record(partial_->cursor(), fields, frame, len);
    partial_->commit_record(record_len);
}

void Card::drain_injected() {
    const uint64_t sim_ns = sim_now_ns(Clock::now());
    while (!injected_.empty()) {
        Injected& in = injected_.front();
        if (in.rule == IndexRule::verbatim) {
            if (partial_->room() < in.bytes.size()) {
                push_partial();
            }
            std::memcpy(partial_->cursor(), in.bytes.data(), in.bytes.size());
            const uint64_t index = read_be64(in.bytes.data() + kRecIndexOffset);
            if (index != 0) {
                last_index_ = index;
            }
            partial_->commit_record(in.bytes.size());
        } else {
            uint64_t index = 0;
            switch (in.rule) {
            case IndexRule::next:
                index = next_index();
                break;
            case IndexRule::gap:
                last_index_ += in.arg + 1;
                index = last_index_;
                break;
            case IndexRule::back:
                last_index_ = last_index_ > in.arg + 1 ? last_index_ - in.arg : 1;
                index = last_index_;
                break;
            default:
                break;
            }
            const uint32_t duration_ns = static_cast<uint32_t>(
                (24 + 8 * in.bytes.size()) * (1'000'000'000ull / std::max<uint32_t>(bitrate_, 1)));
            pack_frame(in.bytes.data(), in.bytes.size(), index, in.status, sim_ns, duration_ns, 0);
        }
        injected_.pop_front();
    }
}

void Card::push_partial() {
    if (partial_->empty()) {
        return;
    }
    auto buffer = std::move(partial_);
    partial_ = take_buffer();
    buffer->seal(ready_word(), ++buffer_seq_);
    if (mode_ != Mode::on_demand && ring_.size() >= ring_capacity_) {
        // The reader is too slow: like the card, lose the buffer rather than stall the bus.
        ++stats_.overruns;
        stats_.dropped_records += buffer->tally.records;
        recycle(std::move(buffer));
        return;
    }
    ring_.push_back(std::move(buffer));
    reader_cv_.notify_all();
}

void Card::push_extra(std::unique_ptr<TransferBuffer> buffer) {
    // Injected buffers keep their place after what came before them and bypass the ring limit,
    // so that a test always receives the fault it asked for.
    drain_injected();
    push_partial();
    ring_.push_back(std::move(buffer));
    reader_cv_.notify_all();
}

bool Card::build_on_demand() {
    drain_injected();
    while (source_has_next()) {
        if (replay_) {
            std::size_t len = 0;
            replay_->peek(len);
            if (partial_->room() < len) {
                break;
            }
        } else {
            source_next_sim_ns();
            if (partial_->room() < kRecordHeaderBytes + pending_frame_->len) {
                break;
            }
        }
        pack_source_record();
    }
    if (partial_->empty()) {
        return false;
    }
    push_partial();
    return true;
}

// ---- traffic thread ---------------------------------------------------------------------------

void Card::_bkgd_traffic_func() {
    // Named apart from the daemon's own threads: the real driver runs none in the process.
    (void)pthread_setname_np(pthread_self(), "sim-card");
    try {
        std::unique_lock lk(mu_);
        bool was_running = false;
        while (!stopping_) {
            const bool running = sniffer_ && !unplugged_.load();
            if (!running) {
                was_running = false;
                producer_cv_.wait(lk);
                continue;
            }
            const Clock::time_point now = Clock::now();
            if (!was_running) {
                catch_up(now);
                was_running = true;
            }
            drain_injected();
            std::optional<Clock::time_point> next_due;
            while (source_has_next()) {
                const uint64_t sim = source_next_sim_ns();
                Clock::time_point due = wall_of(sim);
                if (due < now - kMaxLag) {
                    // Too far behind: skip ahead rather than build a burst.
                    anchor_sim_ns_ = sim;
                    anchor_wall_ = now - kMaxLag;
                    due = wall_of(sim);
                }
                if (due > now) {
                    next_due = due;
                    break;
                }
                pack_source_record();
            }
            if (!partial_->empty() && now - partial_->first_record_at >= flush_) {
                push_partial();
            }
            Clock::time_point wake = Clock::time_point::max();
            if (next_due) {
                wake = std::max(*next_due, now + kTrafficTick);
            }
            if (!partial_->empty()) {
                wake = std::min(wake, partial_->first_record_at + flush_);
            }
            if (wake == Clock::time_point::max()) {
                producer_cv_.wait(lk);
            } else {
                producer_cv_.wait_until(lk, wake);
            }
            if (paused_) {
                was_running = false; // a resume catches up with the time the bus was silent
            }
        }
    } catch (...) {
        std::fprintf(stderr, "capvane-sim: card %d: traffic thread stopped on an error\n", number_);
    }
}

// ---- requests ---------------------------------------------------------------------------------

int Card::request(OpenFile& file, unsigned long code, void* arg) {
    std::unique_lock lk(mu_);
    auto* bytes = static_cast<uint8_t*>(arg);
    switch (code) {
    case kReqGetDevInfos:
        ++stats_.requests.get_dev_infos;
        break;
    case kReqEnableSniffer:
        ++stats_.requests.enable_sniffer;
        break;
    case kReqSetEpoch:
        ++stats_.requests.set_epoch;
        break;
    case kReqInit:
        ++stats_.requests.init;
        break;
    case kReqWaitData:
        ++stats_.requests.wait_data;
        break;
    case kReqCancelWait:
        ++stats_.requests.cancel_wait;
        break;
    default:
        ++stats_.requests.unknown;
        return fail(unplugged_.load() ? ENODEV : ENOTTY);
    }
    if (unplugged_.load()) {
        return fail(ENODEV);
    }
    if (file.closed.load()) {
        return fail(EBADF);
    }
    switch (code) {
    case kReqGetDevInfos:
        if (fail_infos_) {
            const int e = *fail_infos_;
            fail_infos_.reset();
            ++stats_.faults["fail_infos"];
            return fail(e);
        }
        if (bytes == nullptr) {
            return fail(EFAULT);
        }
        fill_dev_infos(bytes, number_, serial_);
        return 0;
    case kReqEnableSniffer: {
        if (bytes == nullptr) {
            return fail(EFAULT);
        }
        const auto on = get<uint32_t>(bytes);
        if (on > 1) {
            return fail(EINVAL);
        }
        auto& pending_fail = on ? fail_sniffer_on_ : fail_sniffer_off_;
        if (pending_fail) {
            const int e = *pending_fail;
            pending_fail.reset();
            ++stats_.faults[on ? "fail_sniffer_on" : "fail_sniffer_off"];
            return fail(e);
        }
        sniffer_ = on == 1;
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        return 0;
    }
    case kReqSetEpoch:
        if (fail_epoch_) {
            const int e = *fail_epoch_;
            fail_epoch_.reset();
            ++stats_.faults["fail_epoch"];
            return fail(e);
        }
        if (bytes == nullptr) {
            return fail(EFAULT);
        }
        epoch_ns_ = get<uint64_t>(bytes) * 1000;
        sim_at_epoch_ns_ = sim_now_ns(Clock::now());
        return 0;
    case kReqInit:
        return 0;
    case kReqWaitData:
        if (bytes == nullptr) {
            return fail(EFAULT);
        }
        return wait_data(lk, file, bytes);
    case kReqCancelWait:
        if (waiters_ > 0) {
            ++cancel_gen_;
        } else {
            // Nobody waits yet: the stopper may have beaten its reader to the card, so the
            // next wait must not sleep through the stop.
            cancel_sticky_ = true;
        }
        reader_cv_.notify_all();
        return 0;
    default:
        return fail(ENOTTY);
    }
}

void Card::deliver(TransferBuffer& buffer, uint8_t* req, std::size_t len) {
    auto* user =
        reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(get<uint64_t>(req + kXferBufAddrOffset)));
    std::memcpy(user, buffer.bytes.data(), len);
    put<uint32_t>(req + kXferLenOffset, static_cast<uint32_t>(len));
}

int Card::wait_data(std::unique_lock<std::mutex>& lk, OpenFile& file, uint8_t* req) {
    const uint64_t addr = get<uint64_t>(req + kXferBufAddrOffset);
    const uint32_t buf_len = get<uint32_t>(req + kXferBufLenOffset);
    if (addr == 0 || buf_len < kTransferBytes) {
        return fail(EINVAL);
    }
    if (failwait_ > 0) {
        --failwait_;
        ++stats_.faults["failwait"];
        return fail(EIO);
    }
    if (shortwait_ > 0) {
        --shortwait_;
        ++stats_.faults["shortwait"];
        auto decoy = decoy_buffer();
        decoy->seal(ready_word(), 0);
        deliver(*decoy, req, kShortTransferBytes);
        recycle(std::move(decoy));
        return 0;
    }
    if (cancel_sticky_) {
        cancel_sticky_ = false;
        return fail(ECANCELED);
    }
    const uint64_t gen = cancel_gen_;
    ++waiters_;
    int result = 0;
    for (;;) {
        if (unplugged_.load()) {
            result = fail(ENODEV);
            break;
        }
        if (file.closed.load() || stopping_ || gen != cancel_gen_) {
            result = fail(ECANCELED);
            break;
        }
        if (sniffer_ && (!ring_.empty() || (mode_ == Mode::on_demand && build_on_demand()))) {
            auto buffer = std::move(ring_.front());
            ring_.pop_front();
            deliver(*buffer, req, kTransferBytes);
            if (buffer->counted) {
                stats_.delivered.add(buffer->tally);
                ++stats_.buffers;
            }
            recycle(std::move(buffer));
            break;
        }
        reader_cv_.wait(lk);
    }
    --waiters_;
    return result;
}

void Card::descriptor_closed(OpenFile& file) {
    {
        std::lock_guard lk(mu_);
        file.closed.store(true);
    }
    reader_cv_.notify_all();
}

// ---- control ----------------------------------------------------------------------------------

std::vector<uint8_t> Card::good_frame() const {
    std::vector<uint8_t> frame{0x03, kInjectedIdHigh, kInjectedIdLow, 0, 0};
    append_fcs(fcs_type_, frame.data(), 3);
    return frame;
}

void Card::queue_frames(IndexRule rule, uint64_t arg, uint8_t status,
                        const std::vector<uint8_t>& frame, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        injected_.push_back(Injected{rule, arg, status, frame});
    }
    producer_cv_.notify_all();
    reader_cv_.notify_all();
}

std::unique_ptr<TransferBuffer> Card::decoy_buffer() {
    // One unnumbered record that a correct reader never takes: buffers without ready bits and
    // short transfers must be dropped whole.
    auto buffer = take_buffer();
    buffer->counted = false;
    const auto frame = good_frame();
    RecordFields fields;
    fields.fcs_type = fcs_type_;
    fields.bitrate_code = bitrate_code(bitrate_);
    fields.time_ns = time_stamp(sim_now_ns(Clock::now()));
    const std::size_t len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
    buffer->commit_record(len, false);
    return buffer;
}

std::unique_ptr<TransferBuffer> Card::malformed_buffer(Malformation what) {
    auto buffer = take_buffer();
    const auto frame = good_frame();
    RecordFields fields;
    fields.fcs_type = fcs_type_;
    fields.bitrate_code = bitrate_code(bitrate_);
    fields.time_ns = time_stamp(sim_now_ns(Clock::now()));
    fields.index = next_index();
    std::size_t len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
    buffer->commit_record(len);
    // What follows must end the reader's walk; none of it is counted.
    fields.index = 0;
    uint8_t* bad = buffer->cursor();
    switch (what) {
    case Malformation::type:
        len = pack_record(bad, fields, frame.data(), frame.size());
        bad[0] = kForeignRecordType;
        buffer->commit_record(len, false);
        // A good-looking record behind the foreign one: it must not be forwarded.
        len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
        buffer->commit_record(len, false);
        break;
    case Malformation::zero:
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, 0);
        buffer->commit_record(len, false);
        break;
    case Malformation::short_length:
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, kShortRecordLength);
        buffer->commit_record(len, false);
        break;
    case Malformation::overrun: {
        const std::size_t room = buffer->room();
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, static_cast<uint16_t>(room + 1));
        buffer->commit_record(room, false);
        break;
    }
    }
    buffer->seal(ready_word(), ++buffer_seq_);
    return buffer;
}

std::string Card::control(const ControlCommand& cmd) {
    std::unique_lock lk(mu_);
    if (stopping_) {
        return "error card " + std::to_string(number_) + " is closing";
    }
    auto& faults = stats_.faults;
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
        queue_frames(IndexRule::gap, cmd.count, 0, good_frame(), 1);
        ++faults["gap"];
        return "ok gap " + std::to_string(cmd.count);
    case CommandKind::back:
        queue_frames(IndexRule::back, cmd.count, 0, good_frame(), 1);
        ++faults["back"];
        return "ok back " + std::to_string(cmd.count);
    case CommandKind::unnumbered:
        queue_frames(IndexRule::zero, 0, 0, good_frame(), cmd.count);
        faults["unnumbered"] += cmd.count;
        return "ok unnumbered " + std::to_string(cmd.count);
    case CommandKind::bad: {
        std::vector<uint8_t> frame;
        switch (cmd.bad) {
        case BadCheck::ctrl:
            frame = {0x07, kInjectedIdHigh, kInjectedIdLow, 0, 0};
            append_fcs(fcs_type_, frame.data(), 3);
            break;
        case BadCheck::fcs:
            frame = good_frame();
            frame[3] ^= 0xFF;
            frame[4] ^= 0xFF;
            break;
        case BadCheck::pdu:
            frame = {0x02, 0x41, 0x03, 0xAA, 0xBB, 0xCC, 0, 0};
            append_fcs(fcs_type_, frame.data(), 6);
            break;
        case BadCheck::len:
            frame = {0x03, kInjectedIdHigh, kInjectedIdLow, 0x00, 0, 0};
            append_fcs(fcs_type_, frame.data(), 4);
            break;
        }
        queue_frames(IndexRule::next, 0, 0, frame, cmd.count);
        faults[bad_check_name(cmd.bad)] += cmd.count;
        return std::string("ok ") + bad_check_name(cmd.bad) + " " + std::to_string(cmd.count);
    }
    case CommandKind::status:
        queue_frames(IndexRule::next, 0, static_cast<uint8_t>(1u << cmd.status_bit), good_frame(),
                     cmd.count);
        faults["status_" + std::to_string(cmd.status_bit)] += cmd.count;
        return "ok status " + std::to_string(cmd.status_bit) + " " + std::to_string(cmd.count);
    case CommandKind::inject:
        injected_.push_back(Injected{IndexRule::verbatim, 0, 0, cmd.record});
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        ++faults["inject"];
        return "ok inject " + std::to_string(cmd.record.size());
    case CommandKind::noready:
        for (uint64_t i = 0; i < cmd.count; ++i) {
            auto decoy = decoy_buffer();
            decoy->seal(0, ++buffer_seq_);
            push_extra(std::move(decoy));
        }
        faults["noready"] += cmd.count;
        return "ok noready " + std::to_string(cmd.count);
    case CommandKind::ready:
        ready_bits_ = cmd.ready == ReadyBits::bit31   ? kReadyBit31
                      : cmd.ready == ReadyBits::bit30 ? kReadyBit30
                                                      : kReadyBit31 | kReadyBit30;
        return "ok ready";
    case CommandKind::failwait:
        failwait_ += cmd.count;
        return "ok failwait " + std::to_string(cmd.count);
    case CommandKind::shortwait:
        shortwait_ += cmd.count;
        return "ok shortwait " + std::to_string(cmd.count);
    case CommandKind::malformed:
        // Keep the stream in order: what is pending goes out before the damaged buffer.
        drain_injected();
        push_partial();
        push_extra(malformed_buffer(cmd.malformation));
        ++faults[malformation_name(cmd.malformation)];
        return std::string("ok ") + malformation_name(cmd.malformation);
    case CommandKind::fail: {
        auto& slot = cmd.fail == FailRequest::infos        ? fail_infos_
                     : cmd.fail == FailRequest::epoch      ? fail_epoch_
                     : cmd.fail == FailRequest::sniffer_on ? fail_sniffer_on_
                                                           : fail_sniffer_off_;
        slot = cmd.error_number;
        return std::string("ok ") + fail_request_name(cmd.fail) + " " +
               std::to_string(cmd.error_number);
    }
    case CommandKind::unplug:
        unplugged_.store(true);
        ++faults["unplug"];
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        return "ok unplugged";
    case CommandKind::flush:
        drain_injected();
        push_partial();
        return "ok flushed";
    case CommandKind::silence:
    case CommandKind::corrupt: {
        if (!bus_) {
            return "error a replayed capture has no bus to make sick";
        }
        const bool silence = cmd.kind == CommandKind::silence;
        if (silence) {
            bus_->faults().silence(cmd.identifier, cmd.count);
        } else {
            bus_->faults().corrupt(cmd.identifier, cmd.count);
        }
        faults[silence ? "silence" : "corrupt"] += cmd.count;
        char id[8];
        std::snprintf(id, sizeof id, "0x%04X", cmd.identifier);
        return std::string("ok ") + (silence ? "silence " : "corrupt ") + id + " " +
               std::to_string(cmd.count);
    }
    case CommandKind::stats:
        break;
    }
    lk.unlock();
    return "ok " + stats_json();
}

std::string Card::stats_json() {
    std::lock_guard lk(mu_);
    CardStats copy = stats_;
    copy.sniffer = sniffer_;
    copy.paused = paused_;
    copy.unplugged = unplugged_.load();
    if (bus_) {
        for (const auto& [id, period] : bus_->scan_plan()) {
            copy.identifiers[id].period_cycles = period;
        }
        for (const auto& [id, left] : bus_->faults().silences()) {
            copy.identifiers[id].silence_pending = left;
        }
        for (const auto& [id, left] : bus_->faults().corruptions()) {
            copy.identifiers[id].corrupt_pending = left;
        }
    }
    return to_json(copy);
}

} // namespace capvane_sim

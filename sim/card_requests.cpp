#include "card.hpp"

#include <cerrno>

#include "driver_requests.hpp"

namespace capvane_sim {

namespace {

// xfer_len of a short wait: anything but a whole buffer.
constexpr uint32_t kShortTransferBytes = 16384;

int fail(int error_number) {
    errno = error_number;
    return -1;
}

} // namespace

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
        if (const auto e = faults_.take_staged(FailRequest::infos)) {
            ++stats_.faults["fail_infos"];
            return fail(*e);
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
        const auto on = read_arg<uint32_t>(bytes);
        if (on > 1) {
            return fail(EINVAL);
        }
        if (const auto e =
                faults_.take_staged(on ? FailRequest::sniffer_on : FailRequest::sniffer_off)) {
            ++stats_.faults[on ? "fail_sniffer_on" : "fail_sniffer_off"];
            return fail(*e);
        }
        sniffer_ = on == 1;
        producer_cv_.notify_all();
        reader_cv_.notify_all();
        return 0;
    }
    case kReqSetEpoch:
        if (const auto e = faults_.take_staged(FailRequest::epoch)) {
            ++stats_.faults["fail_epoch"];
            return fail(*e);
        }
        if (bytes == nullptr) {
            return fail(EFAULT);
        }
        time_.set_epoch(read_arg<uint64_t>(bytes) * 1000, sim_now_ns(Clock::now()));
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

int Card::wait_data(std::unique_lock<std::mutex>& lk, OpenFile& file, uint8_t* req) {
    const auto addr = read_arg<uint64_t>(req + kXferBufAddrOffset);
    const auto buf_len = read_arg<uint32_t>(req + kXferBufLenOffset);
    if (addr == 0 || buf_len < kTransferBytes) {
        return fail(EINVAL);
    }
    if (faults_.failwait > 0) {
        --faults_.failwait;
        ++stats_.faults["failwait"];
        return fail(EIO);
    }
    if (faults_.shortwait > 0) {
        --faults_.shortwait;
        ++stats_.faults["shortwait"];
        auto decoy = FaultControl::decoy_buffer(packer_, stamp_now());
        decoy->seal(packer_.ready_word(), 0);
        deliver_transfer(req, decoy->bytes.data(), kShortTransferBytes);
        packer_.recycle(std::move(decoy));
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
        if (sniffer_ && (packer_.has_ready() || (mode_ == Mode::on_demand && build_on_demand()))) {
            auto buffer = packer_.pop_ready();
            deliver_transfer(req, buffer->bytes.data(), kTransferBytes);
            if (buffer->counted) {
                stats_.delivered.add(buffer->tally);
                ++stats_.buffers;
            }
            packer_.recycle(std::move(buffer));
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

} // namespace capvane_sim

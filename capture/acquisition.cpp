// The acquisition thread: waits for the card's transfer buffers and turns their records into
// events of the queue.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "capture/capvane.hpp"
#include "capture/drop_warning.hpp"
#include "log/logger.hpp"

namespace {

using logger::msg_type::err;
using logger::msg_type::evt;
using logger::msg_type::info;
using logger::msg_type::warn;

// Failed or short waits in a row that are retried at once; a driver that keeps failing must
// not keep a real-time thread spinning on a core.
constexpr int kFailuresBeforeBackOff = 3;
constexpr std::chrono::milliseconds kFirstBackOff{1};
constexpr std::chrono::milliseconds kMaxBackOff{10};
// Device-gone failures in a row after which the connection is declared broken: one may be a
// transient error of a live card, a run of them (a few milliseconds with the back-off) is not.
constexpr int kGoneFailuresBeforeBroken = 5;

// Wait failures that mean the card or its node is gone: retrying cannot help.
bool is_device_gone(int error) {
    return error == ENODEV || error == ENXIO || error == EIO || error == EBADF;
}

std::chrono::milliseconds back_off_for(int failures) {
    const int doublings = std::min(failures - kFailuresBeforeBackOff, 4);
    return std::min(kFirstBackOff * (1 << doublings), kMaxBackOff);
}

// Where the walk of a buffer hands its records: the queue, and the log for sequence gaps.
class QueueSink final : public RecordSink {
public:
    QueueSink(Capvane::event_queue* queue_, FILE* log_) : queue(queue_), log(log_) {}

    void on_sequence_gap(std::uint64_t prev_idx, std::uint64_t idx, std::int64_t diff) override {
        logger::print(log, warn, "fip frame loss ([idx-1]:%lu [idx]:%lu [diff]:%li)\n",
                      static_cast<unsigned long>(prev_idx), static_cast<unsigned long>(idx),
                      static_cast<long>(diff));
    }

    // The records stay in the transfer buffer until enqueue_pending(), which the loop calls
    // before the buffer is reused.
    void on_record(std::span<const std::uint8_t> record) override { pending.push_back(record); }

    // The buffer's records go to the queue under one lock. A full buffer must not stop the
    // capture: what it cannot take is dropped, one count per record, and the queue counts it.
    void enqueue_pending() {
        const std::size_t taken = queue == nullptr ? 0 : queue->try_enqueue_batch(pending);
        drops.add(pending.size() - taken);
        pending.clear();
    }

    // Logs the drops at a bounded rate; `all` reports what is left whatever the interval.
    void report_drops(bool all) {
        const std::uint64_t n = all ? drops.take_all() : drops.take(DropWarning::clock::now());
        if (n != 0) {
            logger::print(log, warn, "fip: event buffer full, %lu records dropped\n",
                          static_cast<unsigned long>(n));
        }
    }

private:
    Capvane::event_queue* queue;
    FILE* log;
    DropWarning drops;
    std::vector<std::span<const std::uint8_t>> pending; // records of the buffer being walked
};

} // namespace

void Capvane::_bkgd_irq_func() {
    try {
        logger::print(log, info, "capvane interrupt handler is launched\n");
        SequenceState seq;
        QueueSink sink(queue.get(), log);
        std::vector<std::uint8_t> buffer(kTransferBufferSize);
        int failures = 0;      // failed or short waits in a row
        int gone_failures = 0; // of which device-gone failures in a row

        while (irq_run.load(std::memory_order_acquire)) {
            std::fill(buffer.begin(), buffer.end(), 0);
            cv_xfer_req req{};
            req.buf_addr = reinterpret_cast<std::uintptr_t>(buffer.data());
            req.buf_len = kTransferBufferSize;
            const int rc = ::ioctl(fd, CV_IOC_WAIT_DATA, &req);
            const int wait_errno = errno;

            if (rc != 0 || req.xfer_len != kTransferBufferSize) {
                (void)clear_interrupt();
                gone_failures = rc != 0 && is_device_gone(wait_errno) ? gone_failures + 1 : 0;
                if (gone_failures >= kGoneFailuresBeforeBroken) {
                    if (irq_run.load(std::memory_order_acquire)) {
                        logger::print(log, err, "fip: capture device lost (errno %d).\n",
                                      wait_errno);
                        is_open_flag.store(false, std::memory_order_release);
                    }
                    break;
                }
                if (++failures >= kFailuresBeforeBackOff) {
                    irq_sleep.sleep_for(back_off_for(failures), irq_run);
                }
                continue;
            }
            failures = 0;
            gone_failures = 0;
            (void)clear_interrupt();
            if (!irq_run.load(std::memory_order_acquire)) {
                break;
            }
            if (!has_ready_bit(buffer)) {
                continue;
            }
            record_activity();
            WalkCounts counts;
            walk_record_area(record_area(buffer), calc, seq, counts, &sink);
            sink.enqueue_pending();
            add_counts(counts, seq.lost_total);
            sink.report_drops(false);
        }
        sink.report_drops(true);
        logger::print(log, evt, "capvane interrupt handler is closed\n");
    } catch (const std::exception& e) {
        // Only allocation can throw here; losing the capture beats losing the process.
        logger::print(log, err, "fip: acquisition stopped: %s\n", e.what());
        is_open_flag.store(false, std::memory_order_release);
    }
    irq_alive.store(false, std::memory_order_release);
    irq_exit_wait.wake_all();
}

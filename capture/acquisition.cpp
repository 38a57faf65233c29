// The acquisition thread: waits for the card's transfer buffers and turns their records into
// events of the queue.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "capture/capvane.hpp"
#include "capture/wait_failures.hpp"
#include "log/logger.hpp"
#include "runtime/thread_name.hpp"

namespace {

using logger::msg_type::err;
using logger::msg_type::evt;
using logger::msg_type::info;
using logger::msg_type::warn;

// Logs what the failed waits call for now; `all` at the end of the capture.
void report_wait_failures(FILE* log, WaitFailures& failures, bool all) {
    const WaitFailures::Report r = failures.take_report(WaitFailures::clock::now(), all);
    const std::string last = r.last_errno != 0 ? errno_text(r.last_errno) : "a short answer";
    if (r.failures != 0) {
        logger::print(log, warn, "fip: wait request failed %lu times (last: %s), retrying\n",
                      static_cast<unsigned long>(r.failures), last.c_str());
    }
    if (r.persistent) {
        logger::print(log, err,
                      "fip: no buffer for %ld s, only failed wait requests (last: %s); capture "
                      "keeps trying\n",
                      static_cast<long>(r.failing_for.count()), last.c_str());
    }
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
    // capture: what it cannot take is dropped, one count per record, by the queue; the
    // gateway's main loop warns about drops, at a bounded rate.
    void enqueue_pending() {
        if (queue != nullptr) {
            (void)queue->try_enqueue_batch(pending);
        }
        pending.clear();
    }

private:
    Capvane::event_queue* queue;
    FILE* log;
    std::vector<std::span<const std::uint8_t>> pending; // records of the buffer being walked
};

} // namespace

void Capvane::_bkgd_irq_func() {
    thread_name::name_this_thread(thread_name::kCapture);
    try {
        logger::print(log, info, "capvane interrupt handler is launched\n");
        SequenceState seq;
        QueueSink sink(queue.get(), log);
        std::vector<std::uint8_t> buffer(kTransferBufferSize);
        WaitFailures failures;

        while (irq_run.load(std::memory_order_acquire)) {
            std::fill(buffer.begin(), buffer.end(), 0);
            cv_xfer_req req{};
            req.buf_addr = reinterpret_cast<std::uintptr_t>(buffer.data());
            req.buf_len = kTransferBufferSize;
            const int rc = ::ioctl(fd, CV_IOC_WAIT_DATA, &req);
            const int wait_errno = errno;

            if (rc != 0 || req.xfer_len != kTransferBufferSize) {
                (void)clear_interrupt();
                if (!irq_run.load(std::memory_order_acquire)) {
                    break; // the cancel of stop(), not a failure
                }
                const WaitFailures::Step step =
                    failures.on_failure(rc != 0 ? wait_errno : 0, WaitFailures::clock::now());
                report_wait_failures(log, failures, false);
                if (step.broken) {
                    logger::print(log, err, "fip: capture device lost (%s).\n",
                                  errno_text(wait_errno).c_str());
                    is_open_flag.store(false, std::memory_order_release);
                    break;
                }
                if (step.back_off.count() > 0) {
                    irq_sleep.sleep_for(step.back_off, irq_run);
                }
                continue;
            }
            failures.on_success();
            report_wait_failures(log, failures, false);
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
        }
        report_wait_failures(log, failures, true);
        logger::print(log, evt, "capvane interrupt handler is closed\n");
    } catch (const std::exception& e) {
        // Only allocation can throw here; losing the capture beats losing the process.
        logger::print(log, err, "fip: acquisition stopped: %s\n", e.what());
        is_open_flag.store(false, std::memory_order_release);
    }
    irq_alive.store(false, std::memory_order_release);
    irq_exit_wait.wake_all();
}

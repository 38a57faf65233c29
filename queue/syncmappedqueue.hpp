// The event buffer: a first-in first-out queue of events between the producers (acquisition and
// lifesign threads) and the one consumer (the UDP transmit thread). Its container lives in a
// segment mapped from the buffer file; the events' bytes live in process memory, so the file
// means nothing outside this process.
//
// What the segment size (-S) bounds: the NUMBER of waiting events, not their bytes. The segment
// holds only the container's blocks of fixed-size elements (a std::vector's few words each),
// whatever the length of the event behind each one; an event's bytes are on the process heap
// (allocated once, then reused, see recycle()). The memory to watch when the sender falls behind
// is therefore the process's own, and the file's size never changes after start-up.
//
// Design notes
// - The buffer file is created exclusively (O_CREAT|O_EXCL by the segment library) under a name
//   of this process's own beside the path, locked (flock), then moved to the path, replacing a
//   stale file: a symbolic link planted at the predictable path is never followed, and the path
//   never names an unlocked file. A file at the path that another process holds locked belongs
//   to a running gateway: it is left untouched and the queue is not built, so two gateways never
//   share a file and the second never removes the first one's.
// - The file's blocks are reserved at construction. A sparse file would fill as events arrive,
//   and a full file system would then kill the process with SIGBUS in the middle of a run.
// - A queue removes at destruction only the file it created: at a reload the next queue already
//   owns a new file at the same path, which must stay.
// - enqueue() throws on a full segment. Producers run on threads, where an escaping exception
//   ends the process, so they call try_enqueue(), which never throws and counts what it drops.
// - A queue whose segment or container could not be created reports it once on standard output,
//   is_valid() is false, and every operation refuses safely.
// - The capture thread hands a whole transfer buffer at once (try_enqueue_batch) and the
//   transmit thread takes what waits up to a datagram's worth (try_dequeue_into): one lock and
//   one wake-up per buffer and per datagram instead of per event. The one-event operations stay
//   for the other producers; a lifesign lands between two buffers, in the order of the locks.
// - The transmit thread copies the events' bytes straight into its datagram under the lock
//   (try_dequeue_into) and the emptied events stay in the queue as spares, whose storage the next
//   batches fill (recycle() does the same for events taken out whole): memory taken by one thread
//   and freed by another is the allocator's slowest case, and at full speed it cost more than
//   everything else in the queue. The copy under the lock is bounded by a datagram's payload.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <boost/container/deque.hpp>
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/filesystem.hpp>
#include <boost/interprocess/allocators/allocator.hpp>
#include <boost/interprocess/file_mapping.hpp>
#include <boost/interprocess/managed_mapped_file.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include "queue/segment_file.hpp"
#include "queue/syncmappedqueue_stats.hpp"

template <typename T> class SyncMappedQueue {
public:
    using segment_type = boost::interprocess::managed_mapped_file;
    using allocator_type = boost::interprocess::allocator<T, segment_type::segment_manager>;
    using container_type = boost::container::deque<T, allocator_type>;

    // Creates the missing parent directories, mode 0750 (a failure there leaves as a
    // Boost.Filesystem exception), builds a fresh segment of `size` bytes beside the buffer file
    // and moves it to `path` locked, replacing a stale file. A failure (no room, a file another
    // process holds, a segment that cannot be created) prints "<path>: <reason>
    // [syncmappedqueue:70]" on standard output, leaves the queue invalid and failure() saying
    // what happened and what to do.
    SyncMappedQueue(const std::string& path, unsigned long size) : file_path(path), max_size(size) {
        const boost::filesystem::path parent = boost::filesystem::path(path).parent_path();
        if (!parent.empty()) {
            segment_file::create_directories(parent.string());
        }
        // Built under another name and moved in place: the path never names a file that is
        // not locked, so a second gateway on it sees the first one's lock and leaves its file
        // alone.
        const std::string fresh_path = path + ".new-" + std::to_string(::getpid());
        boost::interprocess::file_mapping::remove(fresh_path.c_str()); // a crashed run's leftover
        try {
            // The library touches the head and the tail of the segment while it builds its
            // bookkeeping: check for room before, reserve every block right after.
            if (const std::uint64_t free = segment_file::free_space(parent.string());
                free < max_size) {
                report_no_room(free);
                return;
            }
            segment_type fresh(boost::interprocess::create_only, fresh_path.c_str(), max_size);
            if (const int rc = segment_file::reserve(fresh_path, max_size); rc != 0) {
                ::unlink(fresh_path.c_str());
                if (rc == ENOSPC) {
                    report_no_room(segment_file::free_space(parent.string()));
                } else {
                    report_failure(std::strerror(rc),
                                   "cannot reserve its blocks: " + std::string(std::strerror(rc)));
                }
                return;
            }
            int lock_error = 0;
            lock = segment_file::FileLock::take(fresh_path, lock_error);
            const segment_file::Placement placed =
                lock.held() ? segment_file::put_in_place(fresh_path, path)
                            : segment_file::Placement{lock_error, 0};
            if (placed.error != 0) {
                ::unlink(fresh_path.c_str());
                lock = {};
                if (placed.error == EBUSY) {
                    report_failure("in use by " + segment_file::describe_process(placed.holder_pid),
                                   "in use by " +
                                       segment_file::describe_process(placed.holder_pid) +
                                       "; each gateway needs a buffer file of its own (-B)");
                } else {
                    report_failure(std::strerror(placed.error),
                                   std::string("cannot put it in place: ") +
                                       std::strerror(placed.error));
                }
                return;
            }
            file_id = segment_file::identify(path);
            segment.emplace(std::move(fresh));
            container = segment->find_or_construct<container_type>("_queue")(
                allocator_type(segment->get_segment_manager()));
            spare.reserve(kSpareEvents);
        } catch (const boost::interprocess::interprocess_exception& e) {
            ::unlink(fresh_path.c_str());
            report_failure(e.what(), "cannot create its segment of " + std::to_string(max_size) +
                                         " bytes: " + e.what());
        }
    }

    SyncMappedQueue(const SyncMappedQueue&) = delete;
    SyncMappedQueue& operator=(const SyncMappedQueue&) = delete;

    // Discards what still waits, removes the file if it is still ours, unmaps the segment.
    ~SyncMappedQueue() {
        if (container != nullptr) {
            container->clear();
        }
        if (segment) {
            segment_file::remove_if_same(file_path, file_id);
        }
    }

    // True when the segment and the container exist.
    bool is_valid() const { return container != nullptr; }

    // Why an invalid queue could not be built, naming the file and what to do; empty when valid.
    const std::string& failure() const { return failure_text; }

    // Appends a copy and wakes one waiting consumer. Throws the segment library's bad_alloc when
    // the segment cannot take another element block (the container is then unchanged). On an
    // invalid queue the event is dropped and counted.
    void enqueue(const T& element) {
        if (container == nullptr) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        boost::unique_lock<boost::mutex> lock(mutex);
        container->push_back(element);
        condition.notify_one();
    }

    // enqueue() for producer threads: never throws. Returns false when the event was dropped
    // (full segment, invalid queue, out of memory); each drop adds one to dropped_cnt().
    bool try_enqueue(const T& element) noexcept {
        if (container == nullptr) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        try {
            enqueue(element);
            return true;
        } catch (...) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
    }

    // Appends one event built in place from each element of `events` (a range of byte spans, read
    // during the call only), in order, under one lock, then wakes one waiting consumer. Never
    // throws. The first event the segment (or the heap) cannot take ends the batch: it and every
    // one after it are dropped, each adding one to dropped_cnt(), so a full buffer drops the tail
    // of a batch and keeps its head in order. Returns the number appended.
    template <typename Spans> std::size_t try_enqueue_batch(const Spans& events) noexcept {
        const std::size_t total = std::size(events);
        std::size_t appended = 0;
        if (container != nullptr && total != 0) {
            try {
                boost::unique_lock<boost::mutex> lock(mutex);
                for (const auto& bytes : events) {
                    if (spare.empty()) {
                        container->emplace_back(std::begin(bytes), std::end(bytes));
                    } else {
                        // The spares were last touched by the consumer's core: ask for the
                        // headers a few events ahead, and for the storage of the nearer ones,
                        // so that their cache misses overlap the copies.
                        const std::size_t left = spare.size();
                        if (left > kPrefetchAhead) {
                            __builtin_prefetch(&spare[left - 1 - kPrefetchAhead], 1);
                            __builtin_prefetch(spare[left - 1 - kPrefetchAhead / 2].data(), 1);
                        }
                        // A failed append leaves the spare where it is, to be filled again.
                        assign_bytes(spare.back(), bytes);
                        container->push_back(std::move(spare.back()));
                        spare.pop_back();
                    }
                    ++appended;
                }
            } catch (...) {
                // The container is unchanged by the failed append (the deque's strong guarantee).
            }
            if (appended != 0) {
                condition.notify_one();
            }
        }
        if (appended != total) {
            dropped.fetch_add(total - appended, std::memory_order_relaxed);
        }
        return appended;
    }

    // Takes back the events a consumer is done with: up to kSpareEvents of them are kept,
    // emptied but with their storage, for try_enqueue_batch() to fill again, so that in the steady
    // state the producer allocates nothing and the consumer frees nothing. Events whose storage
    // is larger than kSpareBytes are freed, and so is every event beyond the limit, outside the
    // lock. `used` is left empty. Never throws.
    void recycle(std::vector<T>& used) noexcept {
        if (container != nullptr && !used.empty()) {
            try {
                boost::unique_lock<boost::mutex> lock(mutex);
                for (T& event : used) {
                    if (spare.size() == kSpareEvents) {
                        break;
                    }
                    keep_as_spare(event);
                }
            } catch (...) {
                // The lock failed: the events are simply freed below.
            }
        }
        used.clear();
    }

    // Events dropped so far by try_enqueue(), try_enqueue_batch() or by an invalid queue.
    std::uint64_t dropped_cnt() const { return dropped.load(std::memory_order_relaxed); }

    // Takes the front event into `out`. Waits up to `timeout` (afresh after every spurious
    // wake-up) while the queue is empty; false when the time ran out. An invalid queue sleeps the
    // time-out and returns false, so a consumer loop paced by it never spins.
    bool try_dequeue(T& out, boost::posix_time::time_duration timeout) {
        const boost::unique_lock<boost::mutex> lock = lock_when_not_empty(timeout);
        if (!lock.owns_lock()) {
            return false;
        }
        out = container->front();
        container->pop_front();
        return true;
    }

    // Moves waiting events, front first, to the back of `out` under one lock, calling
    // `room_after(event)` once for each moved event to ask whether the caller takes another;
    // stops when it says no or the queue is empty. Waits like try_dequeue() while the queue is
    // empty at the call. Returns the number moved, 0 when the time ran out. The moved-from elements
    // leave the segment here; their bytes are freed with `out`'s elements, outside the lock.
    template <typename RoomAfter>
    std::size_t try_dequeue_batch(std::vector<T>& out, RoomAfter&& room_after,
                                  boost::posix_time::time_duration timeout) {
        const boost::unique_lock<boost::mutex> lock = lock_when_not_empty(timeout);
        if (!lock.owns_lock()) {
            return 0;
        }
        std::size_t moved = 0;
        for (;;) {
            out.push_back(std::move(container->front()));
            container->pop_front();
            ++moved;
            if (!room_after(out.back()) || container->empty()) {
                return moved;
            }
        }
    }

    // Appends the bytes of waiting events, front first, to the back of `out` under one lock,
    // calling `room_after(event)` once for each appended event to ask whether the caller takes
    // another; stops when it says no or the queue is empty. Waits like try_dequeue() while the
    // queue is empty at the call. Returns the number of events taken, 0 when the time ran out.
    // The taken events' storage stays in the queue for the next batches (as recycle() does). A
    // failed append (bad_alloc from `out`) leaves that event at the front and is rethrown.
    template <typename Bytes, typename RoomAfter>
    std::size_t try_dequeue_into(std::vector<Bytes>& out, RoomAfter&& room_after,
                                 boost::posix_time::time_duration timeout) {
        static_assert(sizeof(Bytes) == 1 && sizeof(typename T::value_type) == 1);
        const boost::unique_lock<boost::mutex> lock = lock_when_not_empty(timeout);
        if (!lock.owns_lock()) {
            return 0;
        }
        std::size_t taken = 0;
        for (;;) {
            T& event = container->front();
            const auto* bytes = reinterpret_cast<const Bytes*>(event.data());
            out.insert(out.end(), bytes, bytes + event.size());
            ++taken;
            const bool more = room_after(static_cast<const T&>(event));
            keep_as_spare(event);
            container->pop_front();
            if (!more || container->empty()) {
                return taken;
            }
        }
    }

    // Snapshot of the segment's occupancy; zeros for an invalid queue. Called from one thread;
    // takes the queue mutex for two reads.
    SyncMappedQueueStats get_stats() {
        if (!segment) {
            return stats;
        }
        {
            // The allocator updates its free-memory figure under its own lock, which the query
            // does not take; the queue mutex covers every allocation and release of ours.
            boost::unique_lock<boost::mutex> lock(mutex);
            stats.total_bytes = segment->get_size();
            stats.free_bytes = segment->get_free_memory();
        }
        stats.used_bytes = stats.total_bytes - stats.free_bytes;
        if (stats.total_bytes != 0) {
            const double total = static_cast<double>(stats.total_bytes);
            stats.used_pct =
                static_cast<float>(100.0 * static_cast<double>(stats.used_bytes) / total);
            stats.free_pct =
                static_cast<float>(100.0 * static_cast<double>(stats.free_bytes) / total);
        }
        return stats;
    }

    const std::string& path() const { return file_path; }

private:
    // The lock of a queue that holds an event: waits up to `timeout` (afresh after every spurious
    // wake-up) while the queue is empty, and returns a lock that owns nothing when the time ran
    // out. An invalid queue sleeps the time-out first, so a consumer loop paced by it never spins.
    boost::unique_lock<boost::mutex> lock_when_not_empty(boost::posix_time::time_duration timeout) {
        // Boost reports a special time-out other than +infinity as "woken" without waiting, which
        // would turn the loop below into a spin under the lock: take those as "do not wait".
        if (timeout.is_special() && !timeout.is_pos_infinity()) {
            timeout = boost::posix_time::time_duration(0, 0, 0);
        }
        if (container == nullptr) {
            std::this_thread::sleep_for(std::chrono::microseconds(timeout.total_microseconds()));
            return {};
        }
        boost::unique_lock<boost::mutex> lock(mutex);
        while (container->empty()) {
            if (!condition.timed_wait(lock, timeout)) {
                return {};
            }
        }
        return lock;
    }
    // Replaces the contents of `event` by `bytes` (a contiguous range of bytes), in its storage.
    template <typename Bytes> static void assign_bytes(T& event, const Bytes& bytes) {
        const auto* first = std::data(bytes);
        static_assert(sizeof(*first) == 1 && sizeof(typename T::value_type) == 1);
        // Pointers of the event's own type make the copy a memmove, not a loop over converted
        // bytes.
        const auto* begin = reinterpret_cast<const typename T::value_type*>(first);
        event.assign(begin, begin + std::size(bytes));
    }

    // Moves an emptied `event` (its storage kept) into the spares when there is room and its
    // storage is not too large; otherwise it is left to its owner to free. Caller holds `mutex`.
    void keep_as_spare(T& event) noexcept {
        if (spare.size() < kSpareEvents && event.capacity() <= kSpareBytes) {
            event.clear();
            spare.push_back(std::move(event)); // within the reserved capacity
        }
    }

    // Kept on standard output with this tag for compatibility: supervisors match the line.
    // `reason` is that line's short form; `detail` goes to failure() for the log.
    void report_failure(const std::string& reason, const std::string& detail) {
        std::cout << file_path << ": " << reason << " [syncmappedqueue:70]" << std::endl;
        failure_text = "buffer file " + file_path + ": " + detail;
    }
    void report_no_room(std::uint64_t free) {
        report_failure(std::strerror(ENOSPC),
                       std::to_string(max_size) + " bytes asked, " + std::to_string(free) +
                           " free on its file system; free some space, give a smaller -S (at "
                           "least 32768) or a file elsewhere (-B)");
    }

    // Bounds of the spare events in process memory: a few transfer buffers' worth of records, at
    // most 2 MiB of kept storage.
    static constexpr std::size_t kSpareEvents = 4096;
    static constexpr std::size_t kSpareBytes = 512;
    static constexpr std::size_t kPrefetchAhead = 16; // spares asked for ahead of their use

    container_type* container = nullptr;
    std::vector<T> spare; // emptied events waiting to be filled again; guarded by `mutex`
    boost::mutex mutex;
    boost::condition_variable condition;
    SyncMappedQueueStats stats{};
    std::string file_path;
    std::uint64_t max_size;
    std::optional<segment_type> segment;
    segment_file::FileId file_id;
    segment_file::FileLock lock; // held from creation to destruction, released after the removal
    std::string failure_text;
    std::atomic<std::uint64_t> dropped{0};
};

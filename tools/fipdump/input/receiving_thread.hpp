// fipdump's receiving thread: it drains the sockets into a few reusable batches while the main
// thread decodes, accounts, records and analyses the ones before, so that a slow moment of the
// main thread (a file written, a table drawn) is not one the kernel's buffer must cover alone.
// When every batch waits to be processed it stops reading: datagrams then wait in the kernel's
// buffer and, past it, are dropped and counted there. Nothing is ever discarded inside fipdump.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/fipdump/input/receiver.hpp"

namespace fipdump {

class ReceivingThread {
public:
    // Enough to cover a main thread held up for a few full datagrams, small beside the socket
    // buffer that covers the longer spells.
    static constexpr std::size_t kBatches = 8;
    static constexpr std::size_t kSlots = 16; // datagrams per batch: 1 MiB each

    // Starts receiving from `listener`, which the thread alone uses until stop() or the end.
    explicit ReceivingThread(UdpListener& listener, std::size_t batches = kBatches,
                             std::size_t slots = kSlots);
    ~ReceivingThread(); // stops at once (what waits on the socket is left there) and joins
    ReceivingThread(const ReceivingThread&) = delete;
    ReceivingThread& operator=(const ReceivingThread&) = delete;

    // The oldest batch received and not yet taken, waiting up to `timeout`; nullptr after the
    // time-out, or at once when finished and none is left. Give it back with release().
    DatagramBatch* next(std::chrono::milliseconds timeout);
    void release(DatagramBatch* batch);

    // Asks the thread to finish: it still takes what already waits on the socket (for at most
    // kDrainLimit), as batches come back, then ends. Returns at once.
    void stop();
    // True once the thread has ended, after stop() or on a failure (said on standard error);
    // the listener is then the caller's again. What it received stays for next().
    bool finished() const;

    static constexpr std::chrono::milliseconds kDrainLimit{2000};

private:
    void run();
    // A free batch, waiting for one; nullptr when the thread must end.
    DatagramBatch* take_free();
    void hand_over(DatagramBatch* batch, bool received);

    UdpListener& listener;
    std::vector<std::unique_ptr<DatagramBatch>> pool;
    mutable std::mutex lock;
    std::condition_variable changed; // a batch received, a batch released, or stop
    std::deque<DatagramBatch*> free_batches;
    std::deque<DatagramBatch*> received;
    bool stopping = false; // stop() asked
    bool abandon = false;  // the destructor asked: no draining
    bool ended = false;
    std::thread worker;
};

} // namespace fipdump

#include "tools/fipdump/input/receiving_thread.hpp"

#include <csignal>
#include <iostream>
#include <optional>
#include <pthread.h>

namespace fipdump {

namespace {
// How soon a stop is noticed while no datagram comes.
constexpr std::chrono::milliseconds kWaitSlice{100};
} // namespace

ReceivingThread::ReceivingThread(UdpListener& listener_, std::size_t batches, std::size_t slots)
    : listener(listener_) {
    for (std::size_t i = 0; i < batches; ++i) {
        pool.push_back(std::make_unique<DatagramBatch>(slots));
        free_batches.push_back(pool.back().get());
    }
    // The signals that end fipdump are the main thread's: its waits are the ones they cut short.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    worker = std::thread([this] { run(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ReceivingThread::~ReceivingThread() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
        abandon = true;
    }
    changed.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

void ReceivingThread::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
}

bool ReceivingThread::finished() const {
    std::lock_guard<std::mutex> guard(lock);
    return ended;
}

DatagramBatch* ReceivingThread::next(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, timeout, [this] { return !received.empty() || ended; });
    if (received.empty()) {
        return nullptr;
    }
    DatagramBatch* b = received.front();
    received.pop_front();
    return b;
}

void ReceivingThread::release(DatagramBatch* batch) {
    {
        std::lock_guard<std::mutex> guard(lock);
        free_batches.push_back(batch);
    }
    changed.notify_all();
}

DatagramBatch* ReceivingThread::take_free() {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return !free_batches.empty() || abandon; });
    if (abandon) {
        return nullptr;
    }
    DatagramBatch* b = free_batches.front();
    free_batches.pop_front();
    return b;
}

void ReceivingThread::hand_over(DatagramBatch* batch, bool got) {
    {
        std::lock_guard<std::mutex> guard(lock);
        (got ? received : free_batches).push_back(batch);
    }
    changed.notify_all();
}

void ReceivingThread::run() {
    try {
        std::optional<std::chrono::steady_clock::time_point> drain_until;
        for (;;) {
            DatagramBatch* b = take_free();
            if (b == nullptr) {
                break;
            }
            bool stop_asked = false;
            {
                std::lock_guard<std::mutex> guard(lock);
                stop_asked = stopping;
            }
            if (stop_asked && !drain_until) {
                drain_until = std::chrono::steady_clock::now() + kDrainLimit;
            }
            // Once asked to stop, only what waits already: no wait, and not past the limit.
            const std::size_t n =
                listener.receive(*b, drain_until ? std::chrono::milliseconds(0) : kWaitSlice);
            hand_over(b, n != 0);
            if (drain_until && (n == 0 || std::chrono::steady_clock::now() >= *drain_until)) {
                break;
            }
        }
    } catch (const std::exception& e) {
        // Only allocation can throw here, and the batches were allocated up front.
        std::cerr << "fipdump: receiving stopped: " << e.what() << "\n";
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        ended = true;
    }
    changed.notify_all();
}

} // namespace fipdump

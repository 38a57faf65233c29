// The sleep of periodic threads: it ends early when the owner wakes it, so that a stop or a
// reload takes milliseconds instead of a period.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class InterruptibleSleep {
public:
    // Sleeps up to `period`, or until `run` is seen false after a wake_all(). Returns run's value.
    bool sleep_for(std::chrono::nanoseconds period, const std::atomic<bool>& run) {
        std::unique_lock lock(mutex);
        cv.wait_for(lock, period, [&] { return !run.load(std::memory_order_acquire); });
        return run.load(std::memory_order_acquire);
    }

    // Call after clearing a running flag. Taking the mutex orders the flag's store before the
    // sleeper's predicate test, so a sleeper that is about to wait cannot miss the wake-up.
    void wake_all() {
        { std::lock_guard lock(mutex); }
        cv.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable cv;
};

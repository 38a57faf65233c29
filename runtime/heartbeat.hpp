// A thread's sign of progress: a counter the thread bumps at every pass of its loop, idle passes
// included, and that a supervisor compares over time. A thread blocked for good stops bumping it;
// a thread with nothing to do does not.
#pragma once

#include <atomic>
#include <cstdint>

class Heartbeat {
public:
    // Called by the watched thread at each loop pass.
    void beat() { passes.fetch_add(1, std::memory_order_relaxed); }

    // Passes so far. Any thread.
    std::uint64_t count() const { return passes.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> passes{0};
};

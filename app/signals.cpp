#include "app/signals.hpp"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "log/logger.hpp"

std::atomic<int> running{0};
std::atomic<int> reload{0};
std::atomic<int> pid_fd{-1};

namespace {

constexpr long wait_step_ns = 100'000'000; // 100 ms between two looks at the flags

std::atomic<bool> stop_flag{false};

// Fixed storage: the handler may read it at any time, so it is never freed or reallocated.
char owned_pid_path[PATH_MAX];

// Bounded lock-free queue of signal numbers (one cell sequence per slot, so several handlers on
// different threads may push at once). Producers: the handler. Consumer: the main loop.
class SignalNotices {
public:
    SignalNotices() {
        for (std::size_t i = 0; i < capacity; ++i) {
            cells[i].seq.store(static_cast<unsigned>(i), std::memory_order_relaxed);
        }
    }

    // Async-signal-safe. Returns false when the queue is full.
    bool push(int signo) {
        unsigned pos = tail.load(std::memory_order_relaxed);
        for (;;) {
            Cell& cell = cells[pos % capacity];
            const unsigned seq = cell.seq.load(std::memory_order_acquire);
            const int diff = static_cast<int>(seq - pos);
            if (diff == 0) {
                if (tail.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed)) {
                    cell.signo.store(signo, std::memory_order_relaxed);
                    cell.seq.store(pos + 1, std::memory_order_release);
                    return true;
                }
            } else if (diff < 0) {
                lost.fetch_add(1, std::memory_order_relaxed);
                return false;
            } else {
                pos = tail.load(std::memory_order_relaxed);
            }
        }
    }

    // Single consumer. Returns 0 when nothing is (fully) queued.
    int pop() {
        Cell& cell = cells[head % capacity];
        if (cell.seq.load(std::memory_order_acquire) != head + 1) {
            return 0;
        }
        const int signo = cell.signo.load(std::memory_order_relaxed);
        cell.seq.store(head + capacity, std::memory_order_release);
        ++head;
        return signo;
    }

    unsigned take_lost() { return lost.exchange(0, std::memory_order_relaxed); }

private:
    static constexpr unsigned capacity = 32; // notices; far more than signals arrive in 100 ms
    struct Cell {
        std::atomic<unsigned> seq{0};
        std::atomic<int> signo{0};
    };
    static_assert(std::atomic<unsigned>::is_always_lock_free);
    std::array<Cell, capacity> cells;
    std::atomic<unsigned> tail{0};
    std::atomic<unsigned> lost{0};
    unsigned head = 0;
};

SignalNotices notices;

const char* notice_text(int signo) {
    switch (signo) {
    case SIGINT:
        return "SIGINT signal received\n";
    case SIGTERM:
        return "SIGTERM signal received\n";
    case SIGQUIT:
        return "SIGQUIT signal received\n";
    case SIGHUP:
        return "SIGHUP signal received\n";
    default:
        return nullptr;
    }
}

// The file is removed while its lock is still held: released first, it could be locked by a
// starting instance whose fresh PID file we would then delete.
void release_pid_file() {
    const int fd = pid_fd.exchange(-1);
    if (fd == -1) {
        return;
    }
    if (owned_pid_path[0] != '\0') {
        unlink(owned_pid_path);
    }
    lockf(fd, F_ULOCK, 0);
    close(fd);
}

} // namespace

void handle_signal(int signo) {
    const int saved_errno = errno;
    switch (signo) {
    case SIGINT:
    case SIGTERM:
    case SIGQUIT:
        release_pid_file();
        stop_flag.store(true);
        // The notice goes in before running drops, so the loop that sees the flag finds it.
        notices.push(signo);
        running.store(0);
        signal(signo, SIG_DFL);
        break;
    case SIGHUP:
        notices.push(signo);
        reload.store(1);
        running.store(0);
        break;
    default:
        break;
    }
    errno = saved_errno;
}

void install_signal_handlers() {
    for (const int signo : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        signal(signo, handle_signal);
    }
}

bool stop_requested() {
    return stop_flag.load();
}

bool set_owned_pid_file(const char* path) {
    const std::size_t length = std::strlen(path);
    if (length >= sizeof owned_pid_path) {
        return false;
    }
    std::memcpy(owned_pid_path, path, length + 1);
    return true;
}

void log_signal_notices() {
    while (const int signo = notices.pop()) {
        if (const char* text = notice_text(signo)) {
            logger::print(flog, logger::msg_type::evt, "%s", text);
        }
    }
    if (const unsigned lost = notices.take_lost()) {
        logger::print(flog, logger::msg_type::warn, "%u signal notices lost\n", lost);
    }
}

bool wait_while_running(const std::function<bool()>& keep_going) {
    running.store(1);
    // A request that came while the components were being built must not be erased by the
    // store above: the handler sets these before it clears running, so one of the two is seen.
    if (stop_requested() || reload.load() == 1) {
        running.store(0);
    }
    for (;;) {
        log_signal_notices();
        if (running.load() != 1) {
            return true;
        }
        if (keep_going && !keep_going()) {
            running.store(0);
            return false;
        }
        // A signal on this thread cuts the sleep short (nanosleep is never restarted).
        const timespec step{0, wait_step_ns};
        nanosleep(&step, nullptr);
    }
}

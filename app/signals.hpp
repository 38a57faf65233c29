// The process's signal handling: flags for the main wait loop, the PID file release, and the
// "... signal received" notices that the main loop writes on the handler's behalf.
#pragma once

#include <atomic>
#include <functional>

// Written by the signal handler on whichever thread the signal interrupts, read by the main
// thread; lock-free atomics, so a handler may write them.
extern std::atomic<int> running; // 1 while the wait loop should go on
extern std::atomic<int> reload;  // 1 after a SIGHUP, until the next build cycle reads the file
extern std::atomic<int> pid_fd;  // the locked PID file; -1 when there is none
static_assert(std::atomic<int>::is_always_lock_free);

// The handler for SIGINT, SIGTERM, SIGQUIT and SIGHUP. Does only async-signal-safe work: sets the
// flags, releases and removes the PID file this process created, queues a notice, and for a
// terminating signal restores the default action so that a second one ends the process at once.
void handle_signal(int signo);

// Installs handle_signal for the four signals with signal() (glibc: stays installed, interrupted
// calls are restarted). Called by the gateway on the main thread.
void install_signal_handlers();

// True once SIGINT, SIGTERM or SIGQUIT arrived; never cleared.
bool stop_requested();

// Writes the queued "... signal received" notices to flog at level evt, in the order the signals
// arrived. Main thread only.
void log_signal_notices();

// Sets running and waits, in steps of at most 100 ms, until a signal clears it or `keep_going`
// (when given) returns false. A stop requested or a SIGHUP received before the call ends the wait
// at once. Writes the signal notices as they come. Returns true when a signal ended the wait,
// false when keep_going did (running is then 0). Main thread only.
bool wait_while_running(const std::function<bool()>& keep_going = {});

// Remembers the path of the PID file this process created and locked, for the handler to remove.
// Returns false when the path does not fit. Called by app_daemonize before it publishes pid_fd.
bool set_owned_pid_file(const char* path);

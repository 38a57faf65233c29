// Daemon mode's word to the process that started it, as daemon(7) describes: the starting
// process waits on a socket pair until the daemon holds its PID file lock and runs its first
// generation (exit status 0), or until the daemon reports a failure or ends (exit status 1, the
// reason on standard error). Without a channel (foreground mode) every report does nothing.
#pragma once

namespace start_report {

// Starting process, before the first fork: creates the channel (both ends above the standard
// descriptors). Returns false, errno set, when it cannot.
bool open_channel();

// Starting process, after the first fork: keeps the reading end, waits for the daemon's word and
// ends the process with the matching status. Never returns.
[[noreturn]] void await_and_exit(const char* program);

// Forked child: closes the reading end, keeps the writing end for the daemon.
void keep_writer();

// The writing end, which the daemon's descriptor sweep must spare; -1 when there is none.
int writer_fd();

// The first generation runs: the starter exits with 0. Later calls do nothing.
void ready();

// The daemon cannot start: the starter writes "<program>: <message>" on standard error and exits
// with 1. Only the first report counts; later calls, and calls after ready(), do nothing.
void failed(const char* format, ...) __attribute__((format(printf, 1, 2)));

} // namespace start_report

// Daemon mode: the classic double fork with a locked PID file.
#pragma once

struct app_cfg;

// Turns the process into a daemon and runs `body` on `c` in it. Returns only in the daemon, with
// body's result (or 1 in the starting process when not even the first fork could be made). The
// starting process waits for the daemon's word (start_report): it exits with 0 once `body` called
// start_report::ready(), else with 1 and the reason on standard error; a failed daemon step
// (setsid, PID file open or lock) ends the daemon with 1 after reporting it. The session leader
// in between exits with 0 at once. In the daemon, the standard streams are /dev/null, every
// other inherited descriptor is closed, syslog is open again with the same identity, and pid_fd
// holds the locked PID file (when pid_file_name is set). Called by main on the main thread
// before any other thread exists.
int app_daemonize(app_cfg* c, int (*body)(app_cfg*));

// Closes descriptors 1 to `limit` (all of them from 1 when `limit` is negative, as sysconf
// reports an unknown limit), without one close call per possible descriptor.
void close_descriptors_from_one(long limit);

// The same, sparing `keep` (nothing is spared when it is below 1).
void close_descriptors_except(long limit, int keep);

// Daemon mode: the classic double fork with a locked PID file.
#pragma once

struct app_cfg;

// Turns the process into a daemon and runs `body` on `c` in it. Returns only in the daemon, with
// body's result; the two intermediate processes exit with 0 at once, and a failed step (fork,
// setsid, PID file open or lock) ends the daemon with 1 and no message. In the daemon, the
// standard streams are /dev/null, every other inherited descriptor is closed, syslog is open
// again with the same identity, and pid_fd holds the locked PID file (when pid_file_name is set).
// Called by main on the main thread before any other thread exists.
int app_daemonize(app_cfg* c, int (*body)(app_cfg*));

// Closes descriptors 1 to `limit` (all of them from 1 when `limit` is negative, as sysconf
// reports an unknown limit), without one close call per possible descriptor.
void close_descriptors_from_one(long limit);

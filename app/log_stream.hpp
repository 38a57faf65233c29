// Choice of the log stream flog.
#pragma once

struct app_cfg;

// Makes flog the log file of `c` (appended to; created with mode 0640 whatever the umask, an
// existing file keeps its mode) or standard output. When the file
// cannot be opened, says so to syslog at LOG_ERR and keeps standard output. Main thread, at the
// start of the run.
void select_log_stream(const app_cfg* c);

// Opens the log file of `c` again, so that a file moved away by log rotation is left behind and
// a fresh one takes its place. When the new file cannot be opened, the previous stream is kept
// and the failure goes to syslog and to that stream. Call only while no other thread logs (the
// gateway does between two generations).
void reopen_log_stream(const app_cfg* c);

// Closes flog when it is a file and points it back at standard output. Call only once every
// thread that may log has been joined.
void close_log_stream();

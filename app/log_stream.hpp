// Choice of the log stream flog.
#pragma once

struct app_cfg;

// Makes flog the log file of `c` (opened "a+") or standard output. When the file cannot be
// opened, says so to syslog at LOG_ERR and keeps standard output. Main thread, once per run.
void select_log_stream(const app_cfg* c);

// Closes flog when it is a file and points it back at standard output. Call only once every
// thread that may log has been joined.
void close_log_stream();

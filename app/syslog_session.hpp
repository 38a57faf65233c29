// The process's syslog connection: identity argv[0] (full path), LOG_PID | LOG_CONS, LOG_DAEMON.
#pragma once

// Opens syslog with `ident`, which must outlive the process's use of syslog (argv[0] does).
// Called by main before the start message.
void open_syslog(const char* ident);

// Closes syslog and opens it again with the same identity, options and facility; the daemon
// calls the two halves around its descriptor sweep.
void suspend_syslog();
void resume_syslog();

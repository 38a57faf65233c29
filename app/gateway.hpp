// The gateway: the body of the process in both foreground and daemon mode.
#pragma once

struct app_cfg;

// Installs the signal handler, selects the log stream and runs build cycles until a terminating
// signal; a SIGHUP starts another cycle. Returns the exit status (0 for a normal end). Main thread.
int app(app_cfg* c);

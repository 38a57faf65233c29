// The process's entry sequence, shared by main and the test hosts that swap the gateway.
#pragma once

struct app_cfg;

// Parses the command line, opens syslog, sends the start message and runs `gateway` on cfg, in
// the foreground or as a daemon. Returns the exit status.
int run_process(int argc, char** argv, int (*gateway)(app_cfg*));

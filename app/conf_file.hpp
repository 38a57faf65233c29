// The configuration file: key=value lines that can set the device index and the UDP port.
#pragma once

struct app_cfg;

// Reads c->conf_file_name into `c`. Called by the gateway on the main thread at the start of
// every build cycle; `reload` is 1 after a SIGHUP and only picks the wording of the syslog line.
// Returns 0 when the file was read or none is set, -1 when it cannot be opened (syslog at
// LOG_ERR, `c` unchanged).
int read_conf_file(app_cfg* c, int reload);

// The configuration file: key=value lines that can set the device index, the UDP port, the
// destination and the datagram size cap.
#pragma once

#include <string>
#include <vector>

struct app_cfg;

// read_conf_file's result for a file that was read but held a value it refused.
constexpr int conf_value_refused = 1;

// Reads c->conf_file_name into `c`. Called by the gateway on the main thread at the start of
// every build cycle; `reload` is 1 after a SIGHUP and only picks the wording of the syslog line.
// Returns 0 when the file was read or none is set, -1 when it cannot be opened (syslog at
// LOG_ERR, `c` unchanged), conf_value_refused when a UdpPort outside 1 to 65535 (0 included, as
// a value that is not a number) was refused: syslog at LOG_ERR, the field keeps its value, the
// rest of the file applies; a negative UdpPort still means the default port. A bad value of a
// checked key (see app/send_keys.hpp) leaves its setting unchanged and adds a message to
// `problems` when given.
int read_conf_file(app_cfg* c, int reload, std::vector<std::string>* problems = nullptr);

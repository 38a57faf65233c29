// The configuration file: key=value lines that can set the device index, the UDP port, the
// destination and the datagram size cap.
#pragma once

#include <string>
#include <vector>

struct app_cfg;

// read_conf_file's result for a file that was read but held a value it refused.
constexpr int conf_value_refused = 1;

// Reads c->conf_file_name into `c`. Called by the gateway on the main thread at the start of
// every build cycle; `reload` is 1 after a SIGHUP and picks the wording of the syslog line and
// of what the log says a file that cannot be read leads to.
// Returns 0 when the file was read or none is set, -1 when it cannot be opened or read (missing,
// unreadable, a directory): "Cannot open configuration file" in syslog at LOG_ERR and the path,
// the reason and its consequence in the log; `c` unchanged. Returns conf_value_refused when a
// UdpPort outside 1 to 65535 (0 included, as a value that is not a number) was refused: syslog at
// LOG_ERR, the field keeps its value, the rest of the file applies; a negative UdpPort still
// means the default port. The destination and datagram-size keys start from their defaults at
// every reading (see app/send_keys.hpp); a bad value of one of them keeps the value `c` held
// before the reading and adds a message to `problems` when given. A key the gateway does not know
// is warned about, once per reading, with its line number (log and syslog).
int read_conf_file(app_cfg* c, int reload, std::vector<std::string>* problems = nullptr);

#include "app/conf_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <sys/stat.h>
#include <syslog.h>

#include "app/config.hpp"
#include "app/send_keys.hpp"
#include "log/logger.hpp"

namespace {

constexpr std::size_t line_buffer_size = 8192; // bytes; a longer line is read as several lines
constexpr std::size_t field_size = 100;        // bytes of a key or value copy, with its NUL

// Copies `line` without its space characters (tabs and carriage returns are kept, so they stay
// part of the key or value), up to the first newline or '#'. Returns the compacted length.
std::size_t compact(const char* line, char* out) {
    std::size_t n = 0;
    for (const char* p = line; *p != '\0' && *p != '\n' && *p != '#'; ++p) {
        if (*p != ' ') {
            out[n++] = *p;
        }
    }
    return n;
}

void copy_field(char (&field)[field_size], const char* text) {
    std::strncpy(field, text, field_size - 1);
    field[field_size - 1] = '\0';
}

// Returns false when a UdpPort value was refused (and left the field alone); a bad value of a
// checked key is reported through `problems` instead, and the key keeps its running value unless
// an earlier line of this reading set it.
bool apply(app_cfg* c, const char* key, const char* value, std::vector<std::string>* problems,
           const SendSettings& running, std::set<std::string>& send_keys_set) {
    std::string problem;
    if (apply_send_key(c, key, value, problem)) {
        if (problem.empty()) {
            send_keys_set.insert(key);
        } else {
            if (send_keys_set.count(key) == 0) {
                keep_running_value(c, key, running);
            }
            if (problems != nullptr) {
                problems->push_back(problem);
            }
        }
    } else if (std::strcmp(key, "DeviceIndex") == 0) {
        c->device_index = std::atoi(value);
    } else if (std::strcmp(key, "UdpPort") == 0) {
        // strtol saturates where atoi would overflow, so a huge value cannot wrap into range.
        const long port = std::strtol(value, nullptr, 10);
        if (port < 0) {
            // Kept for compatibility: installed files use a negative port for "the default".
            c->udp_port = default_udp_port;
        } else if (valid_udp_port(port)) {
            c->udp_port = static_cast<std::int32_t>(port);
        } else {
            syslog(LOG_ERR, "Invalid UdpPort in configuration file %s: %s (a port is 1 to 65535)",
                   c->conf_file_name, value);
            return false;
        }
    }
    return true;
}

bool is_known_key(const char* key) {
    for (const char* known : {"DeviceIndex", "UdpPort", "UdpAddress", "UdpInterface",
                              "MulticastTtl", "MaxDatagramBytes"}) {
        if (std::strcmp(key, known) == 0) {
            return true;
        }
    }
    return false;
}

// A file that cannot be read, where an operator looks (the log) as well as in syslog. The syslog
// line keeps its historical wording.
int report_unreadable(const app_cfg* c, int reload, int error) {
    syslog(LOG_ERR, "Cannot open configuration file: %s (error=%s)", c->conf_file_name,
           std::strerror(error));
    logger::print(flog, logger::msg_type::err, "cannot read the configuration file %s: %s; %s\n",
                  c->conf_file_name, errno_text(error).c_str(),
                  reload == 1 ? "the settings in force are kept"
                              : "the gateway runs on its defaults and the command line");
    return -1;
}

} // namespace

int read_conf_file(app_cfg* c, int reload, std::vector<std::string>* problems) {
    if (c->conf_file_name == nullptr) {
        return 0;
    }
    FILE* file = std::fopen(c->conf_file_name, "r");
    if (file == nullptr) {
        return report_unreadable(c, reload, errno);
    }
    // A directory opens like a file and then fails at the first read.
    struct stat st {};
    if (fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        std::fclose(file);
        return report_unreadable(c, reload, EISDIR);
    }

    const SendSettings running = restart_send_settings(c);
    std::set<std::string> send_keys_set;
    std::set<std::string> unknown_keys;
    bool refused = false;
    char line[line_buffer_size];
    long line_number = 0;
    bool at_line_start = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // A line longer than the buffer arrives in pieces; they share its number.
        if (at_line_start) {
            ++line_number;
        }
        at_line_start = std::strchr(line, '\n') != nullptr;
        char text[line_buffer_size] = {};
        if (compact(line, text) == 0) {
            continue; // blank or comment
        }
        char* rest = nullptr;
        const char* key = strtok_r(text, "=\n", &rest);
        const char* value = key != nullptr ? strtok_r(nullptr, "=\n", &rest) : nullptr;
        if (key == nullptr || value == nullptr) {
            break; // a malformed line ends the file; what came before stays applied
        }
        char key_field[field_size];
        char value_field[field_size];
        copy_field(key_field, key);
        copy_field(value_field, value);
        if (!is_known_key(key_field)) {
            // A misspelt key would otherwise leave its setting at the default without a word.
            if (unknown_keys.insert(key_field).second) {
                logger::print(flog, logger::msg_type::warn,
                              "configuration file %s line %ld: unknown key '%s' ignored\n",
                              c->conf_file_name, line_number, key_field);
                syslog(LOG_WARNING, "Configuration file %s line %ld: unknown key '%s' ignored",
                       c->conf_file_name, line_number, key_field);
            }
            continue;
        }
        refused = !apply(c, key_field, value_field, problems, running, send_keys_set) || refused;
    }
    const bool read_failed = std::ferror(file) != 0;
    const int read_errno = errno;
    std::fclose(file);
    if (read_failed) {
        // What came before the failure stays applied, as with a line that ends the file.
        return report_unreadable(c, reload, read_errno);
    }

    if (reload == 1) {
        syslog(LOG_INFO, "Reloaded configuration file %s", c->conf_file_name);
    } else {
        syslog(LOG_INFO, "Loaded configuration file %s", c->conf_file_name);
    }
    return refused ? conf_value_refused : 0;
}

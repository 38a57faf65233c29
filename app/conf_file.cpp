#include "app/conf_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

#include "app/config.hpp"
#include "app/send_keys.hpp"

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
// checked key is reported through `problems` instead.
bool apply(app_cfg* c, const char* key, const char* value, std::vector<std::string>* problems) {
    std::string problem;
    if (apply_send_key(c, key, value, problem)) {
        if (!problem.empty() && problems != nullptr) {
            problems->push_back(problem);
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

} // namespace

int read_conf_file(app_cfg* c, int reload, std::vector<std::string>* problems) {
    if (c->conf_file_name == nullptr) {
        return 0;
    }
    FILE* file = std::fopen(c->conf_file_name, "r");
    if (file == nullptr) {
        syslog(LOG_ERR, "Cannot open configuration file: %s (error=%s)", c->conf_file_name,
               std::strerror(errno));
        return -1;
    }

    bool refused = false;
    char line[line_buffer_size];
    while (std::fgets(line, sizeof line, file) != nullptr) {
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
        refused = !apply(c, key_field, value_field, problems) || refused;
    }

    if (reload == 1) {
        syslog(LOG_INFO, "Reloaded configuration file %s", c->conf_file_name);
    } else {
        syslog(LOG_INFO, "Loaded configuration file %s", c->conf_file_name);
    }
    std::fclose(file);
    return refused ? conf_value_refused : 0;
}

#include "app/log_stream.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <syslog.h>

#include "app/config.hpp"
#include "log/logger.hpp"

void select_log_stream(const app_cfg* c) {
    flog = stdout;
    if (c->log_file_name == nullptr) {
        return;
    }
    if (FILE* file = std::fopen(c->log_file_name, "a+")) {
        flog = file;
    } else {
        syslog(LOG_ERR, "Cannot open log file: %s (error=%s)", c->log_file_name,
               std::strerror(errno));
    }
}

void close_log_stream() {
    if (flog != stdout) {
        std::fclose(flog);
        flog = stdout;
    }
}

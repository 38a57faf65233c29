#include "app/log_stream.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "app/config.hpp"
#include "log/logger.hpp"

namespace {

constexpr mode_t log_file_mode =
    0640; // rw-r-----: log lines are not for every user to read or forge

// Opens `path` for appending. A file this call creates gets log_file_mode exactly: a daemon's
// umask is 0. Returns null with errno set on failure.
FILE* open_log_file(const char* path) {
    int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, log_file_mode);
    if (fd >= 0) {
        if (fchmod(fd, log_file_mode) != 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return nullptr;
        }
    } else if (errno == EEXIST) {
        fd = open(path, O_RDWR | O_APPEND | O_CLOEXEC);
    }
    if (fd < 0) {
        return nullptr;
    }
    FILE* file = fdopen(fd, "a+");
    if (file == nullptr) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    // Log lines are rare, and an operator following the file must see them when they happen.
    std::setvbuf(file, nullptr, _IOLBF, 0);
    return file;
}

} // namespace

void select_log_stream(const app_cfg* c) {
    flog = stdout;
    if (c->log_file_name == nullptr) {
        return;
    }
    if (FILE* file = open_log_file(c->log_file_name)) {
        flog = file;
    } else {
        syslog(LOG_ERR, "Cannot open log file: %s (error=%s)", c->log_file_name,
               std::strerror(errno));
    }
}

void reopen_log_stream(const app_cfg* c) {
    if (c->log_file_name == nullptr) {
        return;
    }
    FILE* file = open_log_file(c->log_file_name);
    if (file == nullptr) {
        const int saved = errno;
        syslog(LOG_ERR, "Cannot open log file: %s (error=%s)", c->log_file_name,
               std::strerror(saved));
        logger::print(flog, logger::msg_type::err, "cannot reopen the log file %s: %s\n",
                      c->log_file_name, std::strerror(saved));
        return;
    }
    if (flog != stdout) {
        std::fclose(flog);
    }
    flog = file;
}

void close_log_stream() {
    if (flog != stdout) {
        std::fclose(flog);
        flog = stdout;
    }
}

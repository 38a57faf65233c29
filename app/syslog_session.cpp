#include "app/syslog_session.hpp"

#include <syslog.h>

namespace {
const char* identity = nullptr;
constexpr int options = LOG_PID | LOG_CONS;
constexpr int facility = LOG_DAEMON;
} // namespace

void open_syslog(const char* ident) {
    identity = ident;
    openlog(identity, options, facility);
}

void suspend_syslog() {
    closelog();
}

void resume_syslog() {
    openlog(identity, options, facility);
}

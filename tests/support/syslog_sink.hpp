// A syslog receiver owned by a test. The program under test runs in a private mount namespace
// whose /dev/log is this receiver's socket, so the machine's /dev/log is never touched and the
// test sees exactly what the program sent.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace testsupport {

struct SyslogMessage {
    int facility = -1; // LOG_DAEMON is 3 (the value 24 >> 3)
    int severity = -1; // LOG_INFO 6, LOG_ERR 3
    std::string ident; // what precedes "[pid]: "
    int pid = -1;
    std::string text; // the message itself
    std::string raw;  // the whole datagram
};

// Splits one datagram in the C library's local format "<PRI>Mmm dd hh:mm:ss ident[pid]: text".
SyslogMessage parse_syslog(const std::string& datagram);

class SyslogSink {
public:
    SyslogSink(); // binds an AF_UNIX datagram socket in a fresh temporary directory
    ~SyslogSink();
    SyslogSink(const SyslogSink&) = delete;
    SyslogSink& operator=(const SyslogSink&) = delete;

    // The argument vector that runs `command` in a private mount namespace where /dev/log is
    // this sink (a tmpfs over /dev with the host's other nodes bound back in). Needs root or an
    // unprivileged user namespace (then --map-root-user is added).
    std::vector<std::string> wrap(const std::vector<std::string>& command) const;

    // Every message received so far, in arrival order.
    const std::vector<SyslogMessage>& messages();

    // Waits until a message whose text equals `text` has arrived.
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout);

    // True when a message with exactly `text` has arrived (no waiting beyond what is queued).
    bool received(const std::string& text);

    const std::string& socket_path() const { return sock_path; }

    // Moves the calling process into a private mount namespace where /dev/log is this sink, so
    // that in-process calls of syslog() arrive here. Call while the process has one thread, before
    // anything opened syslog. Returns false (with the reason on stderr) when it cannot.
    bool capture_this_process();

private:
    void drain();

    TempDir dir;
    std::string sock_path;
    std::string stage_path;
    int fd = -1;
    std::vector<SyslogMessage> got;
};

} // namespace testsupport

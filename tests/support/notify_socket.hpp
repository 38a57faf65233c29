// A test-owned service manager socket: the unix datagram socket that NOTIFY_SOCKET names, read
// by the test as systemd would read it.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace testsupport {

class NotifySocket {
public:
    NotifySocket(); // bound in a fresh temporary directory
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    const std::string& path() const { return socket_path; }

    // One notice, or nullopt after `timeout`.
    std::optional<std::string> receive(std::chrono::milliseconds timeout);

    // Notices until one equal to or starting with `prefix` arrived (true) or `timeout` passed;
    // every notice read is appended to `seen` with its arrival time.
    struct Notice {
        std::string text;
        std::chrono::steady_clock::time_point at;
    };
    bool wait_for(const std::string& prefix, std::chrono::milliseconds timeout,
                  std::vector<Notice>& seen);

private:
    TempDir dir;
    std::string socket_path;
    int fd = -1;
};

} // namespace testsupport

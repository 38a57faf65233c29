#include "support/sim_control.hpp"

#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "support/child_process.hpp"

namespace testsupport {

SimControl::SimControl(const std::string& path, std::chrono::milliseconds timeout) {
    eventually(
        [&] {
            const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
            if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
                fd = s;
                return true;
            }
            close(s);
            return false;
        },
        timeout);
}

SimControl::~SimControl() {
    if (fd >= 0) {
        close(fd);
    }
}

std::string SimControl::command(const std::string& line) {
    if (fd < 0) {
        return "";
    }
    // A card that went away must fail the command, not end the test with SIGPIPE.
    const std::string out = line + "\n";
    if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) {
        return "";
    }
    // Read in blocks: the stats answer is kilobytes long, and tests poll it in loops where a
    // read per byte would take the CPU the measured code should have.
    for (;;) {
        const auto nl = pending.find('\n');
        if (nl != std::string::npos) {
            std::string answer = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            return answer;
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return "";
        }
        char chunk[4096];
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n <= 0) {
            return "";
        }
        pending.append(chunk, static_cast<std::size_t>(n));
    }
}

long long json_number(const std::string& json, const std::string& key) {
    const std::string quoted = "\"" + key + "\":";
    const auto at = json.find(quoted);
    if (at == std::string::npos) {
        return -1;
    }
    return std::strtoll(json.c_str() + at + quoted.size(), nullptr, 10);
}

} // namespace testsupport

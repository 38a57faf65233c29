// The control socket: a Unix stream socket taking one-line commands and giving one-line answers.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace capvane_sim {

class ControlServer {
public:
    // Answers one command line (without newline) with one answer line (without newline).
    // Called on the control thread.
    using Handler = std::function<std::string(const std::string& line)>;

    // Replaces whatever is at `path` with a listening socket and starts the control thread.
    // If the socket cannot be made, says so on stderr and runs no thread.
    ControlServer(std::string path, Handler handler);
    // Wakes and joins the control thread, closes every connection and removes the socket file.
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    bool is_listening() const { return listen_fd_ >= 0; }

private:
    void _bkgd_control_func();

    std::string path_;
    Handler handler_;
    int listen_fd_ = -1;
    int wake_fd_ = -1; // eventfd written by the destructor
    std::thread thread_;
};

} // namespace capvane_sim

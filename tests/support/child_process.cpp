#include "support/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<int>& inherit) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);

    child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (const int fd : inherit) {
            fcntl(fd, F_SETFD, 0);
        }
        // The test runner may have blocked or ignored signals the program relies on.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (const int signo : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD, SIGPIPE}) {
            signal(signo, SIG_DFL);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    out_fd = out_pipe[0];
    err_fd = err_pipe[0];
}

ChildProcess::~ChildProcess() {
    if (status == -1 && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (out_fd >= 0) {
        close(out_fd);
    }
    if (err_fd >= 0) {
        close(err_fd);
    }
}

bool ChildProcess::pump(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    if (out_fd < 0 && err_fd < 0) {
        return false;
    }
    if (poll(fds, 2, static_cast<int>(timeout.count())) <= 0) {
        return true;
    }
    std::string* texts[2] = {&out_text, &err_text};
    int* owned[2] = {&out_fd, &err_fd};
    for (int i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t n = read(*owned[i], chunk, sizeof chunk);
        if (n > 0) {
            texts[i]->append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            close(*owned[i]);
            *owned[i] = -1;
        }
    }
    return true;
}

bool ChildProcess::wait_for_output(const std::string& needle, std::chrono::milliseconds timeout) {
    return wait_for_output(needle, 1, timeout);
}

bool ChildProcess::wait_for_output(const std::string& needle, int times,
                                   std::chrono::milliseconds timeout) {
    const auto found_enough = [&] {
        int n = 0;
        for (auto at = out_text.find(needle); at != std::string::npos && n < times;
             at = out_text.find(needle, at + 1)) {
            ++n;
        }
        return n >= times;
    };
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!found_enough()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(50)))) {
            return found_enough();
        }
    }
    return true;
}

bool ChildProcess::wait_for_error(const std::string& needle, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (err_text.find(needle) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !pump(std::min(left, std::chrono::milliseconds(50)))) {
            return err_text.find(needle) != std::string::npos;
        }
    }
    return true;
}

int ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    if (status != -1) {
        return status;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int wstatus = 0;
        const pid_t r = waitpid(child, &wstatus, WNOHANG);
        if (r == child) {
            status = wstatus;
            // Collect what the child wrote up to its end (daemons may keep the pipes open).
            while (pump(std::chrono::milliseconds(0)) && (out_fd >= 0 || err_fd >= 0)) {
                pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
                if (poll(fds, 2, 0) <= 0) {
                    break;
                }
            }
            return status;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        pump(std::chrono::milliseconds(10));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace testsupport

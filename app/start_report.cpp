#include "app/start_report.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr char ready_mark = '0';
constexpr char failure_mark = '1';
constexpr int lowest_channel_fd = 3; // never a standard stream, which the daemon reopens

int reader = -1;
int writer = -1;

// Moves `fd` above the standard descriptors (a process started with one of them closed would
// otherwise get it for the channel, and the daemon's /dev/null streams would take it over).
int above_standard(int fd) {
    if (fd >= lowest_channel_fd) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, lowest_channel_fd);
    close(fd);
    return moved;
}

// A socket rather than a pipe: send() with MSG_NOSIGNAL cannot kill the daemon with SIGPIPE when
// the starter is gone.
void send_and_close(const std::string& word) {
    if (writer < 0) {
        return;
    }
    std::size_t done = 0;
    while (done < word.size()) {
        const ssize_t n = send(writer, word.data() + done, word.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    close(writer);
    writer = -1;
}

} // namespace

namespace start_report {

bool open_channel() {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return false;
    }
    reader = above_standard(ends[0]);
    writer = above_standard(ends[1]);
    return reader >= 0 && writer >= 0;
}

void await_and_exit(const char* program) {
    close(writer);
    writer = -1;
    std::string word;
    char chunk[512];
    for (;;) {
        const ssize_t n = read(reader, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue; // a signal meant for the daemon's starter changes nothing
        }
        if (n <= 0) {
            break;
        }
        word.append(chunk, static_cast<std::size_t>(n));
    }
    if (!word.empty() && word[0] == ready_mark) {
        _exit(0);
    }
    const std::string reason =
        word.size() > 1 ? word.substr(1) : "the daemon ended before it was ready";
    std::fprintf(stderr, "%s: %s\n", program, reason.c_str());
    std::fflush(stderr);
    _exit(1);
}

void keep_writer() {
    close(reader);
    reader = -1;
}

int writer_fd() {
    return writer;
}

void ready() {
    send_and_close(std::string(1, ready_mark));
}

void failed(const char* format, ...) {
    if (writer < 0) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    send_and_close(failure_mark + std::string(text));
}

} // namespace start_report

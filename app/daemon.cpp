#include "app/daemon.hpp"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/config.hpp"
#include "app/signals.hpp"
#include "app/start_report.hpp"
#include "app/syslog_session.hpp"

namespace {

constexpr mode_t pid_file_mode = 0640; // rw-r-----; the umask is 0 by then

// Leaves the calling process now. Buffers were flushed before each fork, so nothing is written
// twice, and nothing registered with atexit runs in a process that is only a stepping stone.
[[noreturn]] void leave(int status) {
    _exit(status);
}

// Tells the starting process why the daemon cannot start, then leaves with 1.
[[noreturn]] void fail(const char* step) {
    start_report::failed("%s: %s", step, std::strerror(errno));
    leave(1);
}

void fork_and_keep_child() {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        fail("fork");
    }
    if (pid > 0) {
        leave(0);
    }
}

bool close_listed_descriptors(long first, long last) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    // Collect first: closing while reading the directory would change what it lists.
    std::vector<int> open_fds;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd >= first && fd <= last && fd != dirfd(dir)) {
            open_fds.push_back(static_cast<int>(fd));
        }
    }
    closedir(dir);
    for (const int fd : open_fds) {
        close(fd);
    }
    return true;
}

// Closes the descriptors from `first` to `last`, without one close call per possible number.
void close_descriptor_range(long first, long last) {
    if (first > last) {
        return;
    }
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(last), 0) == 0) {
        return;
    }
    if (close_listed_descriptors(first, last)) {
        return;
    }
    for (long fd = last; fd >= first; --fd) {
        close(static_cast<int>(fd));
    }
}

void write_pid_file() {
    const int fd = open(pid_file_name, O_RDWR | O_CREAT, pid_file_mode);
    if (fd < 0) {
        fail((std::string("cannot open the PID file ") + pid_file_name).c_str());
    }
    if (lockf(fd, F_TLOCK, 0) < 0) {
        char holder[32] = {};
        const ssize_t n = pread(fd, holder, sizeof holder - 1, 0);
        holder[n > 0 ? n : 0] = '\0';
        holder[std::strcspn(holder, "\n")] = '\0';
        start_report::failed("another instance (PID %s) holds the PID file %s",
                             holder[0] != '\0' ? holder : "unknown", pid_file_name);
        leave(1);
    }
    // A stale file from a longer process ID must not leave digits behind ours.
    if (ftruncate(fd, 0) < 0) {
        fail((std::string("cannot write the PID file ") + pid_file_name).c_str());
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
        fail((std::string("cannot write the PID file ") + pid_file_name).c_str());
    }
    if (!set_owned_pid_file(pid_file_name)) {
        start_report::failed("the PID file path is too long: %s", pid_file_name);
        leave(1);
    }
    pid_fd.store(fd);
}

} // namespace

void close_descriptors_from_one(long limit) {
    if (limit < 0) {
        limit = INT_MAX; // no known limit: every descriptor the kernel can hand out
    }
    close_descriptor_range(1, limit);
}

void close_descriptors_except(long limit, int keep) {
    if (limit < 0) {
        limit = INT_MAX;
    }
    if (keep < 1 || keep > limit) {
        close_descriptor_range(1, limit);
        return;
    }
    close_descriptor_range(1, keep - 1L);
    close_descriptor_range(keep + 1L, limit);
}

int app_daemonize(app_cfg* c, int (*body)(app_cfg*)) {
    if (!start_report::open_channel()) {
        std::fprintf(stderr, "%s: cannot start the daemon: %s\n", app_name, std::strerror(errno));
        return 1;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "%s: cannot start the daemon: fork: %s\n", app_name,
                     std::strerror(errno));
        return 1;
    }
    if (child > 0) {
        // The starting process ends with the daemon's word: ready, or why not.
        start_report::await_and_exit(app_name);
    }
    start_report::keep_writer();
    if (setsid() < 0) {
        fail("setsid");
    }
    signal(SIGCHLD, SIG_IGN);
    // The session leader exits, so the daemon can never regain a controlling terminal.
    fork_and_keep_child();
    umask(0);
    if (chdir("/") != 0) {
        // Only a convenience for unmounting; the daemon works from anywhere.
    }

    // Closed and reopened around the sweep, so that syslog never reuses a descriptor that the
    // sweep or the streams below gave to something else.
    suspend_syslog();
    close_descriptors_except(sysconf(_SC_OPEN_MAX), start_report::writer_fd());
    resume_syslog();
    // freopen takes the lowest free descriptor, so the streams land on 0, 1 and 2.
    if (std::freopen("/dev/null", "r", stdin) == nullptr ||
        std::freopen("/dev/null", "w+", stdout) == nullptr ||
        std::freopen("/dev/null", "w+", stderr) == nullptr) {
        fail("cannot open /dev/null");
    }

    if (pid_file_name != nullptr) {
        write_pid_file();
    }
    const int status = body(c);
    // Ended before it was ready: the reason is in the log unless the gateway already said it.
    if (stop_requested()) {
        start_report::failed("stopped by a signal before it was ready");
    } else {
        start_report::failed("the gateway ended with status %d before it was ready; see the log",
                             status);
    }
    return status;
}

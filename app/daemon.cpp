#include "app/daemon.hpp"

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "app/config.hpp"
#include "app/signals.hpp"
#include "app/syslog_session.hpp"

namespace {

constexpr mode_t pid_file_mode = 0640; // rw-r-----; the umask is 0 by then

// Leaves the calling process now. Buffers were flushed before each fork, so nothing is written
// twice, and nothing registered with atexit runs in a process that is only a stepping stone.
[[noreturn]] void leave(int status) {
    _exit(status);
}

void fork_and_keep_child() {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) {
        leave(1);
    }
    if (pid > 0) {
        leave(0);
    }
}

bool close_listed_descriptors(long limit) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return false;
    }
    // Collect first: closing while reading the directory would change what it lists.
    std::vector<int> open_fds;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && end != entry->d_name && fd >= 1 && fd <= limit && fd != dirfd(dir)) {
            open_fds.push_back(static_cast<int>(fd));
        }
    }
    closedir(dir);
    for (const int fd : open_fds) {
        close(fd);
    }
    return true;
}

void write_pid_file() {
    const int fd = open(pid_file_name, O_RDWR | O_CREAT, pid_file_mode);
    if (fd < 0) {
        leave(1);
    }
    if (lockf(fd, F_TLOCK, 0) < 0) {
        leave(1); // another instance holds it
    }
    // A stale file from a longer process ID must not leave digits behind ours.
    if (ftruncate(fd, 0) < 0) {
        leave(1);
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(getpid()));
    if (pwrite(fd, text, static_cast<std::size_t>(length), 0) != length) {
        leave(1);
    }
    if (!set_owned_pid_file(pid_file_name)) {
        leave(1);
    }
    pid_fd.store(fd);
}

} // namespace

void close_descriptors_from_one(long limit) {
    if (limit < 0) {
        limit = INT_MAX; // no known limit: every descriptor the kernel can hand out
    }
    if (limit < 1) {
        return;
    }
    if (close_range(1, static_cast<unsigned>(limit), 0) == 0) {
        return;
    }
    if (close_listed_descriptors(limit)) {
        return;
    }
    for (long fd = limit; fd >= 1; --fd) {
        close(static_cast<int>(fd));
    }
}

int app_daemonize(app_cfg* c, int (*body)(app_cfg*)) {
    fork_and_keep_child();
    if (setsid() < 0) {
        leave(1);
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
    close_descriptors_from_one(sysconf(_SC_OPEN_MAX));
    resume_syslog();
    // freopen takes the lowest free descriptor, so the streams land on 0, 1 and 2.
    if (std::freopen("/dev/null", "r", stdin) == nullptr ||
        std::freopen("/dev/null", "w+", stdout) == nullptr ||
        std::freopen("/dev/null", "w+", stderr) == nullptr) {
        leave(1);
    }

    if (pid_file_name != nullptr) {
        write_pid_file();
    }
    return body(c);
}

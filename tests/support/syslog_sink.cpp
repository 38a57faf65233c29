#include "support/syslog_sink.hpp"

#include "support/child_process.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <stdexcept>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

namespace {

// Runs in the new mount namespace: keeps the host's /dev reachable at the stage directory, lays
// a tmpfs over /dev, binds each host node back, and binds the sink's socket as /dev/log.
constexpr const char* namespace_script = R"sh(set -e
sock=$1; stage=$2; shift 2
mount --rbind /dev "$stage"
mount -t tmpfs -o mode=755 fipgate-test-dev /dev
for entry in "$stage"/* "$stage"/.[!.]*; do
    [ -e "$entry" ] || [ -L "$entry" ] || continue
    name=${entry##*/}
    [ "$name" = log ] && continue
    if [ -L "$entry" ]; then ln -s "$(readlink "$entry")" "/dev/$name"
    elif [ -d "$entry" ]; then mkdir "/dev/$name"; mount --rbind "$entry" "/dev/$name"
    else : > "/dev/$name"; mount --bind "$entry" "/dev/$name"; fi
done
: > /dev/log
mount --bind "$sock" /dev/log
umount -l "$stage"
exec "$@"
)sh";

} // namespace

SyslogMessage parse_syslog(const std::string& datagram) {
    SyslogMessage m;
    m.raw = datagram;
    const auto gt = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || gt == std::string::npos) {
        m.text = datagram;
        return m;
    }
    const int pri = std::atoi(datagram.substr(1, gt - 1).c_str());
    m.facility = pri >> 3;
    m.severity = pri & 7;
    constexpr std::size_t stamp_length = 16; // "Mmm dd hh:mm:ss "
    const std::size_t head = std::min(gt + 1 + stamp_length, datagram.size());
    const auto colon = datagram.find(": ", head);
    if (colon == std::string::npos) {
        m.text = datagram.substr(head);
        return m;
    }
    m.ident = datagram.substr(head, colon - head);
    m.text = datagram.substr(colon + 2);
    const auto open = m.ident.rfind('[');
    if (!m.ident.empty() && m.ident.back() == ']' && open != std::string::npos) {
        m.pid = std::atoi(m.ident.c_str() + open + 1);
        m.ident.resize(open);
    }
    return m;
}

SyslogSink::SyslogSink() : sock_path(dir.file("log")), stage_path(dir.file("host-dev")) {
    if (mkdir(stage_path.c_str(), 0755) != 0) {
        throw std::runtime_error("cannot create the stage directory");
    }
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || sock_path.size() >= sizeof addr.sun_path) {
        throw std::runtime_error("cannot create the syslog socket");
    }
    std::strcpy(addr.sun_path, sock_path.c_str());
    if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        throw std::runtime_error("cannot bind the syslog socket");
    }
    chmod(sock_path.c_str(), 0666);
}

SyslogSink::~SyslogSink() {
    if (fd >= 0) {
        close(fd);
    }
}

std::vector<std::string> SyslogSink::wrap(const std::vector<std::string>& command) const {
    std::vector<std::string> argv = {"unshare", "--mount", "--propagation", "private"};
    if (geteuid() != 0) {
        argv.push_back("--map-root-user");
    }
    argv.insert(argv.end(), {"--", "/bin/sh", "-c", namespace_script, "fipgate-syslog-sink",
                             sock_path, stage_path});
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

void SyslogSink::drain() {
    char datagram[8192];
    for (;;) {
        const ssize_t n = recv(fd, datagram, sizeof datagram, 0);
        if (n < 0) {
            return;
        }
        got.push_back(parse_syslog(std::string(datagram, static_cast<std::size_t>(n))));
    }
}

const std::vector<SyslogMessage>& SyslogSink::messages() {
    drain();
    return got;
}

bool SyslogSink::received(const std::string& text) {
    drain();
    for (const auto& m : got) {
        if (m.text == text) {
            return true;
        }
    }
    return false;
}

bool SyslogSink::wait_for(const std::string& text, std::chrono::milliseconds timeout) {
    return eventually([&] { return received(text); }, timeout);
}

bool SyslogSink::capture_this_process() {
    const auto fail = [](const char* step) {
        std::fprintf(stderr, "syslog sink: %s: %s\n", step, std::strerror(errno));
        return false;
    };
    if (unshare(CLONE_NEWNS) != 0) {
        return fail("unshare");
    }
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("make / private");
    }
    if (mount("/dev", stage_path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        return fail("bind /dev");
    }
    if (mount("fipgate-test-dev", "/dev", "tmpfs", 0, "mode=755") != 0) {
        return fail("tmpfs on /dev");
    }
    DIR* dir = opendir(stage_path.c_str());
    if (dir == nullptr) {
        return fail("list /dev");
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name == "log") {
            continue;
        }
        const std::string from = stage_path + "/" + name;
        const std::string to = "/dev/" + name;
        struct stat st {};
        if (lstat(from.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(from.c_str(), target, sizeof target - 1);
            if (n > 0) {
                target[n] = '\0';
                symlink(target, to.c_str());
            }
        } else if (S_ISDIR(st.st_mode)) {
            mkdir(to.c_str(), 0755);
            mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr);
        } else {
            close(open(to.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
            mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr);
        }
    }
    closedir(dir);
    close(open("/dev/log", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    if (mount(sock_path.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) {
        return fail("bind /dev/log");
    }
    umount2(stage_path.c_str(), MNT_DETACH);
    return true;
}

} // namespace testsupport

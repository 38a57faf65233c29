#include "queue/segment_file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <boost/filesystem.hpp>

namespace segment_file {

namespace {

// The files this process holds locked: flock() conflicts between two descriptors of one process
// too, and an older queue of this process is not a second gateway.
std::mutex held_mutex;
std::set<std::pair<dev_t, ino_t>> held_by_us;

bool held_here(const FileId& id) {
    std::lock_guard lock(held_mutex);
    return held_by_us.count({id.dev, id.ino}) != 0;
}

// The process holding a flock() on the file `id`, from /proc/locks; 0 when none is found.
int lock_holder(const FileId& id) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find("->") != std::string::npos) {
            continue; // a waiter, not the holder
        }
        char kind[16] = {};
        int pid = 0;
        unsigned dev_major = 0;
        unsigned dev_minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %d %x:%x:%lu", kind, &pid, &dev_major,
                        &dev_minor, &inode) == 5 &&
            std::string(kind) == "FLOCK" && dev_major == major(id.dev) &&
            dev_minor == minor(id.dev) && inode == id.ino) {
            return pid;
        }
    }
    return 0;
}

FileId identify_fd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    return {st.st_dev, st.st_ino, true};
}

} // namespace

FileLock::~FileLock() {
    release();
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd(std::exchange(other.fd, -1)), id(std::exchange(other.id, FileId{})) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        fd = std::exchange(other.fd, -1);
        id = std::exchange(other.id, FileId{});
    }
    return *this;
}

void FileLock::release() noexcept {
    if (fd < 0) {
        return;
    }
    {
        std::lock_guard lock(held_mutex);
        held_by_us.erase({id.dev, id.ino});
    }
    ::close(fd); // the lock goes with the last descriptor of its open file
    fd = -1;
}

FileLock FileLock::take(const std::string& path, int& error) {
    FileLock l;
    l.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (l.fd < 0) {
        error = errno;
        return l;
    }
    l.id = identify_fd(l.fd);
    if (!l.id.valid) {
        error = EINVAL;
        ::close(std::exchange(l.fd, -1));
        return l;
    }
    if (::flock(l.fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        ::close(std::exchange(l.fd, -1));
        return l;
    }
    std::lock_guard lock(held_mutex);
    held_by_us.insert({l.id.dev, l.id.ino});
    error = 0;
    return l;
}

Placement put_in_place(const std::string& fresh, const std::string& path) {
    // Each pass either ends or saw the file at `path` replaced meanwhile; a few passes are
    // plenty unless someone keeps swapping files there.
    constexpr int kPasses = 16;
    for (int pass = 0; pass < kPasses; ++pass) {
        const int old_fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (old_fd < 0) {
            if (errno == ENOENT) {
                // link() rather than rename(): a file that appeared meanwhile is not replaced
                // unseen, the next pass looks at it.
                if (::link(fresh.c_str(), path.c_str()) == 0) {
                    ::unlink(fresh.c_str());
                    return {};
                }
                if (errno == EEXIST) {
                    continue;
                }
                return {errno, 0};
            }
            if (errno == ELOOP) {
                // A symbolic link: rename() replaces the link itself.
                return ::rename(fresh.c_str(), path.c_str()) == 0 ? Placement{} : Placement{errno};
            }
            return {errno, 0};
        }
        const FileId old_id = identify_fd(old_fd);
        if (!old_id.valid) {
            ::close(old_fd);
            return ::rename(fresh.c_str(), path.c_str()) == 0 ? Placement{} : Placement{errno};
        }
        if (::flock(old_fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(old_fd);
            if (error != EWOULDBLOCK) {
                return {error, 0};
            }
            if (!held_here(old_id)) {
                return {EBUSY, lock_holder(old_id)};
            }
            // An older queue of this process: its file is replaced, as at every reload.
        } else {
            // Locked by us now; if the path moved on to another file meanwhile, look again.
            const FileId now = identify(path);
            if (!now.valid || now.dev != old_id.dev || now.ino != old_id.ino) {
                ::close(old_fd);
                continue;
            }
        }
        const int rc = ::rename(fresh.c_str(), path.c_str());
        const int error = errno;
        ::close(old_fd);
        return rc == 0 ? Placement{} : Placement{error, 0};
    }
    return {EBUSY, 0};
}

std::string describe_process(int pid) {
    if (pid <= 0) {
        return "another process";
    }
    std::string name;
    std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
    return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
}

FileId identify(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return {};
    }
    return {st.st_dev, st.st_ino, true};
}

bool remove_if_same(const std::string& path, const FileId& id) {
    const FileId now = identify(path);
    if (!id.valid || !now.valid || now.dev != id.dev || now.ino != id.ino) {
        return false;
    }
    return ::unlink(path.c_str()) == 0;
}

std::uint64_t free_space(const std::string& dir) {
    struct statvfs vfs {};
    if (::statvfs(dir.empty() ? "." : dir.c_str(), &vfs) != 0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

int reserve(const std::string& path, std::uint64_t size) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    const int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(size));
    ::close(fd);
    return rc;
}

void create_directories(const std::string& dir) {
    const boost::filesystem::path target(dir);
    // The missing levels, innermost first.
    std::vector<boost::filesystem::path> missing;
    for (boost::filesystem::path p = target; !p.empty() && !boost::filesystem::exists(p);
         p = p.parent_path()) {
        missing.push_back(p);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
        if (::mkdir(level->c_str(), kDirectoryMode) != 0) {
            if (errno == EEXIST) {
                continue; // made meanwhile by someone else: its mode is theirs
            }
            throw boost::filesystem::filesystem_error(
                "cannot create directory", *level,
                boost::system::error_code(errno, boost::system::system_category()));
        }
        // mkdir's mode went through the umask, which may be anything (0 in a daemon).
        ::chmod(level->c_str(), kDirectoryMode);
    }
}

} // namespace segment_file

#include "queue/segment_file.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <vector>

#include <boost/filesystem.hpp>

namespace segment_file {

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

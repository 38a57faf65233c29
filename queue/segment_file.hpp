// File-system steps around the buffer file: the ones the segment library does not take for us.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace segment_file {

// Identity of a file on disk, so that a queue removes only the file it created.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool valid = false;
};

// Identity of the regular file at `path` (symbolic links not followed); invalid if none.
FileId identify(const std::string& path);

// Removes `path` only if it is still the file `id` names. Returns true if it removed it.
bool remove_if_same(const std::string& path, const FileId& id);

// Free bytes for an unprivileged writer on the file system holding `dir`; UINT64_MAX if unknown.
std::uint64_t free_space(const std::string& dir);

// Reserves `size` bytes of blocks for the file at `path` (not following links), so that writes
// through a mapping can never meet a full file system. Returns 0 or an errno value.
int reserve(const std::string& path, std::uint64_t size);

// An exclusive advisory lock (flock) on one file, held while the object lives. The file is
// recorded as this process's own, so that put_in_place() can tell an older queue of this process
// (replaced at a reload, by design) from another gateway.
class FileLock {
public:
    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Locks the regular file at `path` (links not followed) without waiting. On failure the
    // returned lock is not held and `error` is the errno value (EWOULDBLOCK: someone holds it).
    static FileLock take(const std::string& path, int& error);

    bool held() const { return fd >= 0; }

private:
    void release() noexcept;
    int fd = -1;
    FileId id;
};

// What put_in_place() did.
struct Placement {
    int error = 0;      // 0: in place; EBUSY: another process holds the file at the path; errno
    int holder_pid = 0; // with EBUSY: that process, 0 when it cannot be found
};

// Moves the fresh file at `fresh`, which the caller holds locked, to `path`, so that the path
// never names an unlocked buffer file for a moment: a file there that another process holds
// locked is left untouched (EBUSY); one left by a run that ended, or by an older queue of this
// process, is replaced; a symbolic link there is replaced, never followed.
Placement put_in_place(const std::string& fresh, const std::string& path);

// "process 1234 (fipgate)" for a process id, "another process" for 0.
std::string describe_process(int pid);

// rwxr-x---: the buffer file's directory is for the gateway's own user and group.
constexpr mode_t kDirectoryMode = 0750;

// Creates the missing directories of `dir`, each with kDirectoryMode exactly whatever the umask;
// existing ones keep their modes. Throws boost::filesystem::filesystem_error on failure.
void create_directories(const std::string& dir);

} // namespace segment_file

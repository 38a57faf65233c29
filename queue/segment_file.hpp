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

// rwxr-x---: the buffer file's directory is for the gateway's own user and group.
constexpr mode_t kDirectoryMode = 0750;

// Creates the missing directories of `dir`, each with kDirectoryMode exactly whatever the umask;
// existing ones keep their modes. Throws boost::filesystem::filesystem_error on failure.
void create_directories(const std::string& dir);

} // namespace segment_file

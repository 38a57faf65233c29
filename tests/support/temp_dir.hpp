// Scratch space of a test: a private directory, and an event buffer kept in one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "queue/syncmappedqueue.hpp"

namespace testsupport {

// A fresh directory under TMPDIR (or /tmp), removed with its content by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

using EventBuffer = SyncMappedQueue<std::vector<char>>;

// An event buffer of `bytes` per segment in a directory of its own, which goes with the last
// owner of the buffer: the buffer's files never outlive the test, even one that fails.
std::shared_ptr<EventBuffer> make_temp_queue(unsigned long bytes);

} // namespace testsupport

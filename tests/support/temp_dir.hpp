// Scratch space of a test: a private directory, removed with what it holds.
#pragma once

#include <string>

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

} // namespace testsupport

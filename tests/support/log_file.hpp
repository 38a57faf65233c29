// A log stream for a component under test (the FILE* its constructor takes) that the test reads
// back: an unnamed temporary file, gone when closed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace testsupport {

class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    FILE* stream() const { return file; }
    // Everything written so far. Reads at offsets, so that the writer's position is left alone
    // even while its thread goes on logging.
    std::string text() const;
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    // Occurrences of `s`, overlapping ones included.
    std::size_t count(const std::string& s) const;

private:
    FILE* file;
};

} // namespace testsupport

#include "support/log_file.hpp"

#include <unistd.h>

namespace testsupport {

LogFile::LogFile() : file(std::tmpfile()) {}

LogFile::~LogFile() {
    std::fclose(file);
}

std::string LogFile::text() const {
    std::fflush(file);
    std::string out;
    char buf[4096];
    off_t off = 0;
    ssize_t n = 0;
    while ((n = ::pread(::fileno(file), buf, sizeof buf, off)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        off += n;
    }
    return out;
}

std::size_t LogFile::count(const std::string& s) const {
    const std::string t = text();
    std::size_t n = 0;
    for (auto pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + 1)) {
        ++n;
    }
    return n;
}

} // namespace testsupport

#include "support/temp_dir.hpp"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace testsupport {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/fipgate-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::shared_ptr<EventBuffer> make_temp_queue(unsigned long bytes) {
    auto dir = std::make_shared<TempDir>();
    // The directory is removed after the buffer has closed its files.
    return std::shared_ptr<EventBuffer>(new EventBuffer(dir->file("buffer.bin"), bytes),
                                        [dir](EventBuffer* q) { delete q; });
}

} // namespace testsupport

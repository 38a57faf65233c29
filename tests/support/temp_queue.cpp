#include "support/temp_queue.hpp"

#include "support/temp_dir.hpp"

namespace testsupport {

std::shared_ptr<EventBuffer> make_temp_queue(unsigned long bytes) {
    auto dir = std::make_shared<TempDir>();
    // The directory is removed after the buffer has closed its files.
    return std::shared_ptr<EventBuffer>(new EventBuffer(dir->file("buffer.bin"), bytes),
                                        [dir](EventBuffer* q) { delete q; });
}

} // namespace testsupport

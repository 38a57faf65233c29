// An event buffer for a test, kept in a private directory.
#pragma once

#include <memory>
#include <vector>

#include "queue/syncmappedqueue.hpp"

namespace testsupport {

using EventBuffer = SyncMappedQueue<std::vector<char>>;

// An event buffer of `bytes` per segment in a directory of its own, which goes with the last
// owner of the buffer: the buffer's files never outlive the test, even one that fails.
std::shared_ptr<EventBuffer> make_temp_queue(unsigned long bytes);

} // namespace testsupport

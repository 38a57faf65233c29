// Occupancy of the event buffer's segment.
#pragma once

#include <cstdint>

struct SyncMappedQueueStats {
    std::uint64_t total_bytes = 0; // size of the segment
    std::uint64_t used_bytes = 0;  // total_bytes - free_bytes
    std::uint64_t free_bytes = 0;  // the segment's own free-memory figure
    float used_pct = 0.0F;
    float free_pct = 0.0F;
};

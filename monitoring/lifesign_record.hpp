// The lifesign record: a heartbeat with a snapshot of every statistics record, sent as one event
// of the datagram stream. Pure encoding, so that the layout can be checked byte by byte without
// any thread or clock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "capture/fip_stats.hpp"
#include "monitoring/system_stats.hpp"
#include "udp/udp_stats.hpp"

namespace lifesign {

constexpr std::uint8_t kRecordType = 0xC1; // tells it apart from a capture record (0xC0)
constexpr std::size_t kRecordSize = 323;   // bytes, header included; every record has this size
constexpr std::uint32_t kNaNPattern = 0x7FC00000; // the one NaN a receiver has to recognise

using Record = std::array<std::uint8_t, kRecordSize>;

// Microseconds from 1970-01-01 00:00:00 to `t`, with no time-zone conversion: the time points
// of the statistics are local wall-clock times, so the result is local time read as if it were
// UTC. Any thread.
std::int64_t us_since_epoch(const boost::posix_time::ptime& t);

// Builds the record numbered `counter` (1 for the first), dated `now`, from one copy of each
// statistics record. Multi-byte fields are big-endian; narrower fields keep the low-order bits of
// their source; buffer byte counts are sent in thousands, rounded half away from zero; every NaN
// is sent as kNaNPattern. Pure: any thread.
Record encode(std::uint64_t counter, const boost::posix_time::ptime& now, const SystemStats& sys,
              const UDPStats& udp, const FIPStats& fip);

} // namespace lifesign

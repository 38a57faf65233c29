// Which events fipdump prints (--kind, --id, --type, --bad). Filters never change what is counted.
#pragma once

#include <cstdint>
#include <map>

#include "tools/fipdump/input/received.hpp"
#include "tools/fipdump/options.hpp"
#include "wire/records.hpp"

namespace fipdump {

// True when `event` passes every filter that is set, --id taken alone as identifier frames
// naming the identifier. A frame-kind or identifier filter keeps capture records only: a
// lifesign record has no frame. Pure.
bool matches(const Filter& filter, const wire::Event& event);

// The filters over a stream: --id selects the identifier's transactions, its polls and every
// frame after one up to the next identifier frame (the answer, a message's acknowledgement and
// end), followed per gateway in record order; a break of the record index ends a transaction.
// Not thread-safe: the receiving loop calls it.
class EventSelector {
public:
    explicit EventSelector(const Filter& filter) : filter(filter) {}

    // Whether `event`, the next one of `from`'s stream, is printed. Every capture record must
    // come through, printed or not, so that the transactions are followed.
    bool select(const Sender& from, const wire::Event& event);

private:
    struct Track {
        bool in_transaction = false; // the last identifier frame named the identifier
        std::uint64_t prev_idx = 0;  // previous non-zero record index
    };

    Filter filter;
    std::map<Sender, Track> tracks;
};

} // namespace fipdump

// Pairs the frames of one gateway's capture records into the bus transactions they belong to,
// and counts them per identifier: an identifier frame and the variable, request-list or message
// response that follows it (a message then its acknowledgement and end). An identifier frame
// followed by another identifier frame is a missing response. Pairing never crosses a break of
// the stream (a record index gap, a record the gateway dropped, a restart): what a break hides
// is counted as unknown, never as a silent station.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "wire/bus_stats.hpp"
#include "wire/frame.hpp"
#include "wire/health.hpp"
#include "wire/records.hpp"
#include "wire/scan_table.hpp"

namespace wire {

// Not thread-safe: one thread feeds it; readers take snapshots under the caller's lock.
class TransactionWalker {
public:
    // `missing_threshold`: the share of unanswered polls in the recent window above which a
    // station is `missing` (wire/health.hpp).
    explicit TransactionWalker(double missing_threshold = kDefaultMissingThreshold);

    // One capture record in stream order: its index (0 = not numbered), its frame and
    // decode_frame() of it, and when it was received (Unix microseconds). A numbered record
    // that does not follow the previous numbered one is a break before it.
    void on_record(std::uint64_t idx, const FrameInfo& info, std::span<const std::uint8_t> frame,
                   std::int64_t time_us);
    void on_record(const CaptureRecord& rec, std::int64_t time_us) {
        on_record(rec.idx, rec.info, rec.frame, time_us);
    }

    // The stream broke before the next record (a lost datagram, a restart, a malformed
    // datagram), whatever its indexes say.
    void on_break();

    const BusCounters& bus() const { return bus_; }

    // Every identifier polled, in order of first poll, with its scan period and deviations, and
    // its state judged at the bus's last record.
    std::vector<IdentifierStats> identifiers() const;
    std::size_t identifier_count() const { return ids_.size(); }

    ScanTable scan() const { return scan_.table(); }

private:
    enum class State { idle, polled, message, unattributed };

    IdentifierStats& stats_of(std::uint16_t id);
    void close_pending_as_unknown();
    void on_identifier(const FrameInfo& info, bool good, std::int64_t time_us);
    void on_response(const FrameInfo& info, std::span<const std::uint8_t> frame,
                     std::optional<FrameCheck> failed, std::int64_t time_us);
    void rejudge(std::uint32_t index, std::int64_t now_us);
    void on_message_follow_up(const FrameInfo& info);

    BusCounters bus_;
    std::vector<std::uint32_t> slot_; // id -> index in ids_ + 1; 0: never polled
    std::vector<IdentifierStats> ids_;
    struct Recent {
        RecentWindow window;
        std::uint64_t breaks_at_poll = 0; // bus breaks when it was last polled
    };
    std::vector<Recent> recent_; // beside ids_
    double missing_threshold_;
    ScanLearner scan_;
    State state_ = State::idle;
    std::uint32_t pending_ = 0;        // index in ids_ of the poll awaiting its answer
    std::uint8_t pending_control_ = 0; // its control byte
    bool after_break_ = true;          // no identifier frame seen since the last break
    bool broken_ = false;              // a break and no record since
    std::uint64_t prev_idx_ = 0;       // previous non-zero index
};

} // namespace wire

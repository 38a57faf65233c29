// The faults the control socket injects into a card's stream and driver requests: frames and
// records waiting to be packed, decoy and malformed buffers, failures staged for the next wait
// or the next request of a kind. Per-identifier bus sickness is the bus model's (fault_plan.hpp).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "buffer_packer.hpp"
#include "control_command.hpp"
#include "record_format.hpp"

namespace capvane_sim {

// How an injected frame is numbered.
enum class IndexRule {
    next,    // the next index
    gap,     // `arg` indexes skipped
    back,    // `arg` indexes back (never below 1)
    zero,    // unnumbered
    verbatim // a whole record, its index as written
};

// Not thread-safe: used under the card's lock.
class FaultControl {
public:
    // Queues `count` copies of `frame` (or, for `verbatim`, of a whole record).
    void queue(IndexRule rule, uint64_t arg, uint8_t status, const std::vector<uint8_t>& frame,
               uint64_t count);
    // Packs every queued frame in order, stamped `time_ns`, timed at `bitrate`.
    void drain(BufferPacker& packer, uint64_t time_ns, uint32_t bitrate);

    // A valid identifier frame of the injected identifier, which tests tell from bus traffic.
    static std::vector<uint8_t> good_frame(int fcs_type);
    // A frame that fails exactly the check `check`.
    static std::vector<uint8_t> bad_frame(BadCheck check, int fcs_type);

    // One unnumbered, uncounted record in a buffer the caller seals.
    static std::unique_ptr<TransferBuffer> decoy_buffer(BufferPacker& packer, uint64_t time_ns);
    // A good record then damage of kind `what`; sealed.
    static std::unique_ptr<TransferBuffer> malformed_buffer(BufferPacker& packer, Malformation what,
                                                            uint64_t time_ns);

    // The error the next request of this kind fails with, if one is staged.
    std::optional<int>& staged(FailRequest request);
    // Takes the staged error of `request`, if any.
    std::optional<int> take_staged(FailRequest request);

    // Wait requests still to fail with EIO, and still to return a short transfer.
    uint64_t failwait = 0;
    uint64_t shortwait = 0;

private:
    struct Injected {
        IndexRule rule = IndexRule::next;
        uint64_t arg = 0;
        uint8_t status = 0;
        std::vector<uint8_t> bytes; // the frame, or the whole record for `verbatim`
    };

    std::deque<Injected> injected_;
    std::optional<int> fail_infos_, fail_epoch_, fail_sniffer_on_, fail_sniffer_off_;
};

} // namespace capvane_sim

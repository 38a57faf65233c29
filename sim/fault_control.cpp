#include "fault_control.hpp"

#include <algorithm>

#include "fcs.hpp"

namespace capvane_sim {

namespace {

// Identifier named by every frame the control socket adds, so that tests can tell them apart.
constexpr uint8_t kInjectedIdHigh = 0x0F;
constexpr uint8_t kInjectedIdLow = 0xF0;
// Record length a `malformed short` record claims: less than its own header.
constexpr uint16_t kShortRecordLength = 17;
constexpr uint8_t kForeignRecordType = 0xC5;

} // namespace

void FaultControl::queue(IndexRule rule, uint64_t arg, uint8_t status,
                         const std::vector<uint8_t>& frame, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i) {
        injected_.push_back(Injected{rule, arg, status, frame});
    }
}

void FaultControl::drain(BufferPacker& packer, uint64_t time_ns, uint32_t bitrate) {
    while (!injected_.empty()) {
        Injected& in = injected_.front();
        if (in.rule == IndexRule::verbatim) {
            packer.copy_record(in.bytes.data(), in.bytes.size());
        } else {
            uint64_t& last_index = packer.last_index();
            uint64_t index = 0;
            switch (in.rule) {
            case IndexRule::next:
                index = packer.next_index();
                break;
            case IndexRule::gap:
                last_index += in.arg + 1;
                index = last_index;
                break;
            case IndexRule::back:
                last_index = last_index > in.arg + 1 ? last_index - in.arg : 1;
                index = last_index;
                break;
            default:
                break;
            }
            const uint32_t duration_ns = static_cast<uint32_t>(
                (24 + 8 * in.bytes.size()) * (1'000'000'000ull / std::max<uint32_t>(bitrate, 1)));
            packer.pack_frame(in.bytes.data(), in.bytes.size(), index, in.status, time_ns,
                              duration_ns, 0);
        }
        injected_.pop_front();
    }
}

std::vector<uint8_t> FaultControl::good_frame(int fcs_type) {
    std::vector<uint8_t> frame{0x03, kInjectedIdHigh, kInjectedIdLow, 0, 0};
    append_fcs(fcs_type, frame.data(), 3);
    return frame;
}

std::vector<uint8_t> FaultControl::bad_frame(BadCheck check, int fcs_type) {
    std::vector<uint8_t> frame;
    switch (check) {
    case BadCheck::ctrl:
        frame = {0x07, kInjectedIdHigh, kInjectedIdLow, 0, 0};
        append_fcs(fcs_type, frame.data(), 3);
        break;
    case BadCheck::fcs:
        frame = good_frame(fcs_type);
        frame[3] ^= 0xFF;
        frame[4] ^= 0xFF;
        break;
    case BadCheck::pdu:
        frame = {0x02, 0x41, 0x03, 0xAA, 0xBB, 0xCC, 0, 0};
        append_fcs(fcs_type, frame.data(), 6);
        break;
    case BadCheck::len:
        frame = {0x03, kInjectedIdHigh, kInjectedIdLow, 0x00, 0, 0};
        append_fcs(fcs_type, frame.data(), 4);
        break;
    }
    return frame;
}

std::unique_ptr<TransferBuffer> FaultControl::decoy_buffer(BufferPacker& packer, uint64_t time_ns) {
    // One unnumbered record that a correct reader never takes: buffers without ready bits and
    // short transfers must be dropped whole.
    auto buffer = packer.take_buffer();
    buffer->counted = false;
    const auto frame = good_frame(packer.fcs_type());
    RecordFields fields;
    fields.fcs_type = packer.fcs_type();
    fields.bitrate_code = packer.bitrate_code();
    fields.time_ns = time_ns;
    const std::size_t len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
    buffer->commit_record(len, false);
    return buffer;
}

std::unique_ptr<TransferBuffer>
FaultControl::malformed_buffer(BufferPacker& packer, Malformation what, uint64_t time_ns) {
    auto buffer = packer.take_buffer();
    const auto frame = good_frame(packer.fcs_type());
    RecordFields fields;
    fields.fcs_type = packer.fcs_type();
    fields.bitrate_code = packer.bitrate_code();
    fields.time_ns = time_ns;
    fields.index = packer.next_index();
    std::size_t len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
    buffer->commit_record(len);
    // What follows must end the reader's walk; none of it is counted.
    fields.index = 0;
    uint8_t* bad = buffer->cursor();
    switch (what) {
    case Malformation::type:
        len = pack_record(bad, fields, frame.data(), frame.size());
        bad[0] = kForeignRecordType;
        buffer->commit_record(len, false);
        // A good-looking record behind the foreign one: it must not be forwarded.
        len = pack_record(buffer->cursor(), fields, frame.data(), frame.size());
        buffer->commit_record(len, false);
        break;
    case Malformation::zero:
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, 0);
        buffer->commit_record(len, false);
        break;
    case Malformation::short_length:
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, kShortRecordLength);
        buffer->commit_record(len, false);
        break;
    case Malformation::overrun: {
        const std::size_t room = buffer->room();
        len = pack_record(bad, fields, frame.data(), frame.size());
        write_be16(bad + kRecLengthOffset, static_cast<uint16_t>(room + 1));
        buffer->commit_record(room, false);
        break;
    }
    }
    buffer->seal(packer.ready_word(), packer.next_sequence());
    return buffer;
}

std::optional<int>& FaultControl::staged(FailRequest request) {
    switch (request) {
    case FailRequest::infos:
        return fail_infos_;
    case FailRequest::epoch:
        return fail_epoch_;
    case FailRequest::sniffer_on:
        return fail_sniffer_on_;
    case FailRequest::sniffer_off:
        break;
    }
    return fail_sniffer_off_;
}

std::optional<int> FaultControl::take_staged(FailRequest request) {
    auto& slot = staged(request);
    const std::optional<int> error = slot;
    slot.reset();
    return error;
}

} // namespace capvane_sim

#include "wire/decode.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <type_traits>
#include <utility>

#include "wire/big_endian.hpp"
#include "wire/lifesign_fields.hpp"

namespace wire {

namespace {

using detail::read_f32;
using detail::read_i64;
using detail::read_u16;
using detail::read_u32;
using detail::read_u64;
using detail::read_u8;
using Bytes = std::span<const std::uint8_t>;

constexpr std::uint8_t kMagic[2] = {0x43, 0x56};     // "CV"
constexpr std::uint8_t kConstants[2] = {0x01, 0x00}; // bytes 2 and 3 of every datagram
constexpr std::size_t kSeqOffset = 4;
constexpr std::size_t kCountOffset = 12;

constexpr std::size_t kFcsInfoOffset = 3;
constexpr std::size_t kStatusOffset = 4;
constexpr std::size_t kIdxOffset = 5;
constexpr std::size_t kReservedOffset = 13;
constexpr unsigned kFcsTypeShift = 3; // FCS type: bits 3-4 of fcs_info
constexpr unsigned kFcsTypeMask = 3;

Bytes as_u8(std::span<const char> bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

// `rec` holds one whole capture record of at least kCaptureHeaderSize bytes.
CaptureRecord decode_capture(Bytes rec, std::size_t base, Frames frames) {
    CaptureRecord r;
    r.offset = base;
    r.type = rec[0];
    r.length = read_u16(rec, 1);
    r.fcs_info = read_u8(rec, kFcsInfoOffset);
    r.fcs_type = static_cast<std::uint8_t>((r.fcs_info >> kFcsTypeShift) & kFcsTypeMask);
    r.status = read_u8(rec, kStatusOffset);
    r.idx = read_u64(rec, kIdxOffset);
    std::memcpy(r.reserved.data(), rec.data() + kReservedOffset, kCaptureReservedSize);
    if (frames == Frames::decode) {
        const Bytes frame = rec.subspan(kCaptureHeaderSize);
        r.frame.assign(frame.begin(), frame.end());
        r.info = decode_frame(r.fcs_type, frame);
    }
    return r;
}

// The big-endian value of type T at `offset`; floats travel as their bit pattern.
template <typename T> T read_as(Bytes rec, std::size_t offset) {
    if constexpr (std::is_same_v<T, float>) {
        return read_f32(rec, offset);
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        return read_i64(rec, offset);
    } else {
        return detail::read_be<T>(rec, offset);
    }
}

// Reads row I of the field table into its member. The row is a constant, so each read compiles
// to the same code as a read written out by hand.
template <std::size_t I> void read_row(Bytes rec, LifesignRecord& r) {
    constexpr const LifesignField& f = kLifesignFields[I];
    constexpr auto member = std::get<f.member.index()>(f.member);
    using T = std::remove_reference_t<decltype(r.*member)>;
    r.*member = read_as<T>(rec, f.offset);
}

// `rec` holds exactly kLifesignSize bytes.
LifesignRecord decode_lifesign(Bytes rec, std::size_t base) {
    LifesignRecord r;
    r.offset = base;
    r.type = read_u8(rec, 0);
    r.length = read_u16(rec, 1);
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (read_row<I>(rec, r), ...);
    }
    (std::make_index_sequence<std::size(kLifesignFields)>());
    return r;
}

using EventResult = std::variant<CaptureRecord, LifesignRecord, DecodeError>;

// Decodes the event at `offset` of `buf`, which must end within `buf`: its declared length is
// checked against what remains. `consumed` receives that length on success.
EventResult decode_event_at(Bytes buf, std::size_t offset, std::size_t& consumed,
                            Frames frames = Frames::decode) {
    const std::size_t left = buf.size() - offset;
    if (left < kEventHeaderSize) {
        return DecodeError{Fault::short_event, offset};
    }
    const std::uint8_t type = buf[offset];
    const std::size_t length = read_u16(buf, offset + 1);
    if (type != kCaptureType && type != kLifesignType) {
        return DecodeError{Fault::unknown_type, offset};
    }
    if (length < kEventHeaderSize) {
        return DecodeError{Fault::event_too_short, offset + 1};
    }
    if (length > left) {
        return DecodeError{Fault::event_past_end, offset + 1};
    }
    const Bytes rec = buf.subspan(offset, length);
    consumed = length;
    if (type == kCaptureType) {
        if (length < kCaptureHeaderSize) {
            return DecodeError{Fault::short_capture_record, offset + 1};
        }
        return decode_capture(rec, offset, frames);
    }
    if (length != kLifesignSize) {
        return DecodeError{Fault::bad_lifesign_length, offset + 1};
    }
    return decode_lifesign(rec, offset);
}

} // namespace

const char* DecodeError::reason() const {
    switch (fault) {
    case Fault::short_header:
        return "datagram shorter than its 16-byte header";
    case Fault::bad_magic:
        return "bad magic (expected 43 56)";
    case Fault::bad_constant:
        return "bad header constant (expected 01 00)";
    case Fault::no_events:
        return "datagram without events";
    case Fault::short_event:
        return "fewer than 3 bytes left for an event header";
    case Fault::event_too_short:
        return "event length below 3";
    case Fault::event_past_end:
        return "event length runs past the end";
    case Fault::unknown_type:
        return "unknown event type";
    case Fault::short_capture_record:
        return "capture record shorter than its 30-byte header";
    case Fault::bad_lifesign_length:
        return "lifesign record length is not 323";
    case Fault::count_mismatch:
        return "event count does not match the events walked";
    case Fault::trailing_bytes:
        return "bytes left after the event";
    }
    return "unknown fault";
}

std::string to_string(const DecodeError& error) {
    return std::string(error.reason()) + " at offset " + std::to_string(error.offset);
}

Datagram decode_datagram(Bytes bytes, Frames frames) {
    Datagram d;
    if (bytes.size() < kDatagramHeaderSize) {
        d.error = DecodeError{Fault::short_header, bytes.size()};
        return d;
    }
    for (std::size_t i = 0; i < 2; ++i) {
        if (bytes[i] != kMagic[i]) {
            d.error = DecodeError{Fault::bad_magic, i};
            return d;
        }
        if (bytes[2 + i] != kConstants[i]) {
            d.error = DecodeError{Fault::bad_constant, 2 + i};
            return d;
        }
    }
    d.seq = read_u64(bytes, kSeqOffset);
    d.event_count = read_u32(bytes, kCountOffset);
    if (bytes.size() == kDatagramHeaderSize) {
        d.error = DecodeError{Fault::no_events, kDatagramHeaderSize};
        return d;
    }
    // Reserve no more than the bytes could hold: the count itself is untrusted.
    d.events.reserve(std::min<std::size_t>(
        d.event_count, (bytes.size() - kDatagramHeaderSize) / kCaptureHeaderSize + 1));
    std::size_t offset = kDatagramHeaderSize;
    while (offset < bytes.size()) {
        std::size_t consumed = 0;
        EventResult r = decode_event_at(bytes, offset, consumed, frames);
        if (auto* err = std::get_if<DecodeError>(&r)) {
            d.error = *err;
            return d;
        }
        if (auto* cap = std::get_if<CaptureRecord>(&r)) {
            d.events.emplace_back(std::move(*cap));
        } else {
            d.events.emplace_back(std::move(std::get<LifesignRecord>(r)));
        }
        offset += consumed;
    }
    if (d.events.size() != d.event_count) {
        d.error = DecodeError{Fault::count_mismatch, kCountOffset};
    }
    return d;
}

Datagram decode_datagram(std::span<const char> bytes) {
    return decode_datagram(as_u8(bytes));
}

std::variant<CaptureRecord, LifesignRecord, DecodeError> decode_event(Bytes bytes) {
    std::size_t consumed = 0;
    EventResult r = decode_event_at(bytes, 0, consumed);
    if (!std::holds_alternative<DecodeError>(r) && consumed != bytes.size()) {
        return DecodeError{Fault::trailing_bytes, consumed};
    }
    return r;
}

std::variant<CaptureRecord, LifesignRecord, DecodeError> decode_event(std::span<const char> bytes) {
    return decode_event(as_u8(bytes));
}

} // namespace wire

// Decoding of the gateway's UDP stream. Every function here is pure, may run on any thread, and
// treats its input as untrusted: it checks each length before reading and never reads outside
// the span it was given.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "wire/records.hpp"

namespace wire {

// Whether the frame inside each capture record is copied and decoded (FrameInfo, FCS check), or
// left empty with its information unset: a reader that only counts and checks the stream's
// continuity skips the work, and its verdicts are the same (a frame never makes a datagram
// malformed).
enum class Frames { decode, skip };

// Decodes one datagram: header, then every event walked by its type byte and length. On the
// first inconsistency `error` says what and where (offset from the datagram's first byte);
// `events` then holds the events decoded before it. Nothing is guessed past an error.
Datagram decode_datagram(std::span<const std::uint8_t> bytes, Frames frames = Frames::decode);
Datagram decode_datagram(std::span<const char> bytes);

// Decodes one event that fills `bytes` exactly, as the gateway puts it in its event buffer.
// Offsets, in the result or in the error, count from the event's first byte.
std::variant<CaptureRecord, LifesignRecord, DecodeError>
decode_event(std::span<const std::uint8_t> bytes);
std::variant<CaptureRecord, LifesignRecord, DecodeError> decode_event(std::span<const char> bytes);

// "<reason> at offset <n>".
std::string to_string(const DecodeError& error);

} // namespace wire

// The readable output: one line per event, notices of loss, and the --stats summary.
#pragma once

#include <string>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/records.hpp"

namespace fipdump {

// "<receive time> <sender> seq <n> capture idx ..." or "... lifesign cnt ...", no newline.
std::string text_event(const Received& r, std::uint64_t seq, const wire::Event& event);

// A malformed datagram: "<time> <sender> malformed datagram (<n> bytes): <reason> at offset
// <o>". No newline.
std::string text_malformed(const Received& r, const wire::DecodeError& error);

// What the accounting saw that is worth telling (a gap, a duplicate, a restart, a break in the
// record index or lifesign counter); empty when the datagram was in order. No newline.
std::string text_notice(const Received& r, std::uint64_t seq, const DatagramVerdict& v);

// The summary: totals, then one line per gateway. Ends with a newline.
std::string text_summary(const Summary& s);

} // namespace fipdump

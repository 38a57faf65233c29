// Helpers of the sender's tests: events that carry their own index, a decoder of the datagram
// format kept apart from the sender's encoder, and the shared helpers under the names these tests
// use.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "queue/syncmappedqueue.hpp"
#include "support/child_process.hpp"
#include "support/log_file.hpp"
#include "support/loopback_only.hpp"
#include "support/temp_queue.hpp"
#include "support/udp_listener.hpp"

namespace udptest {

using Event = std::vector<char>;
using Queue = SyncMappedQueue<Event>;

constexpr unsigned long queue_segment_bytes = 4 << 20;

// An event of `size` bytes (at least 7): type 0xC0, the 16-bit length, the 32-bit index, then
// bytes that depend on the index and the position, so that a swapped or altered byte shows.
inline Event make_event(std::uint32_t index, std::size_t size) {
    Event e(size);
    e[0] = static_cast<char>(0xC0);
    e[1] = static_cast<char>((size >> 8) & 0xFF);
    e[2] = static_cast<char>(size & 0xFF);
    for (int i = 0; i < 4; ++i) {
        e[3 + i] = static_cast<char>((index >> (24 - 8 * i)) & 0xFF);
    }
    for (std::size_t i = 7; i < size; ++i) {
        e[i] = static_cast<char>((index * 7 + i * 13) & 0xFF);
    }
    return e;
}

inline std::uint64_t read_be(const std::vector<std::uint8_t>& b, std::size_t off, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v = (v << 8) | b.at(off + i);
    }
    return v;
}

struct Decoded {
    std::vector<std::uint8_t> magic; // bytes 0 to 3
    std::uint64_t seq = 0;
    std::uint32_t event_cnt = 0;
    std::size_t size = 0;
    std::vector<Event> events; // walked by their own length fields
    std::string error;         // empty when the payload walked cleanly
};

inline Decoded decode(const std::vector<std::uint8_t>& d) {
    Decoded out;
    out.size = d.size();
    if (d.size() < 16) {
        out.error = "shorter than the header";
        return out;
    }
    out.magic.assign(d.begin(), d.begin() + 4);
    out.seq = read_be(d, 4, 8);
    out.event_cnt = static_cast<std::uint32_t>(read_be(d, 12, 4));
    std::size_t off = 16;
    while (off < d.size()) {
        if (d.size() - off < 3) {
            out.error = "truncated event header at " + std::to_string(off);
            return out;
        }
        const std::size_t len = read_be(d, off + 1, 2);
        if (len < 3 || d.size() - off < len) {
            out.error = "bad event length at " + std::to_string(off);
            return out;
        }
        out.events.emplace_back(d.begin() + static_cast<std::ptrdiff_t>(off),
                                d.begin() + static_cast<std::ptrdiff_t>(off + len));
        off += len;
    }
    return out;
}

// Bound to 0.0.0.0:port with address reuse: the sender's broadcasts loop back to it through the
// namespace's route for 255.255.255.255.
using Receiver = testsupport::UdpListener;
using LogCapture = testsupport::LogFile;

// A fresh event buffer in a directory of this process, removed afterwards.
struct TempQueue {
    std::shared_ptr<Queue> queue = testsupport::make_temp_queue(queue_segment_bytes);
};

template <typename Pred> bool wait_until(Pred pred, std::chrono::milliseconds timeout) {
    return testsupport::eventually(pred, timeout);
}

// What a test of the sender starts from: the check that it runs where its broadcasts stay on
// lo, an event buffer and a log.
class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(only_loopback_present())
            << "this test sends broadcasts: run it through scripts/netns-run";
    }
    TempQueue buffer;
    LogCapture log;
};

} // namespace udptest

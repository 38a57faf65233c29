// A failure of the transmit thread that is not a socket error (here the failed allocation of
// its datagram buffer) must not end the process: it is counted and logged, and the sender goes
// on. Runs only inside scripts/netns-run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "net/udp_test_support.hpp"
#include "support/loopback_only.hpp"
#include "udp/udp_client.hpp"

namespace {

// Allocations of exactly `fail_size` bytes fail once, after `fail_skip` of them went through.
std::atomic<std::size_t> fail_size{0};
std::atomic<int> fail_skip{0};

void* allocate(std::size_t n) {
    const std::size_t f = fail_size.load();
    if (f != 0 && n == f && fail_skip.fetch_sub(1) <= 0) {
        fail_size.store(0);
        return nullptr;
    }
    return std::malloc(n != 0 ? n : 1);
}

// Out of line: inlined into callers, free() applied to what operator new returned would look
// like a mismatch to the compiler.
__attribute__((noinline)) void release(void* p) {
    std::free(p);
}

} // namespace

void* operator new(std::size_t n) {
    if (void* p = allocate(n)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}

using namespace udptest;
using namespace std::chrono_literals;

TEST(UdpAllocFailure, FailedAllocationIsCountedAndTheSenderGoesOn) {
    ASSERT_TRUE(only_loopback_present())
        << "this test sends broadcasts: run it through scripts/netns-run";
    // The sender's datagram buffer: the largest datagram.
    constexpr std::size_t datagram_buffer = 65507;
    constexpr std::uint16_t port = 47119;
    TempQueue buffer;
    LogCapture log;
    Receiver rx(port);
    const Event event = make_event(0, 1000);
    buffer.queue->enqueue(event);
    fail_skip.store(0);
    fail_size.store(datagram_buffer);

    UDPClient client(port, 500, 1000, buffer.queue, log.stream());
    auto d = rx.receive(3000ms);
    ASSERT_TRUE(d);
    const Decoded got = decode(*d);
    // The event stayed in the queue, so it leaves with the next datagram.
    EXPECT_EQ(got.seq, 1u);
    ASSERT_EQ(got.events.size(), 1u);
    EXPECT_EQ(got.events[0], event);
    EXPECT_EQ(client.get_stats().pkt_err_cnt, 1u);
    EXPECT_NE(log.text().find("impossible to send on udp.\n"), std::string::npos);
}

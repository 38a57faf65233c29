// Helpers of the sender's tests: a receiver bound to the broadcast port, events that carry their
// own index, and a decoder of the datagram format kept apart from the sender's encoder.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/filesystem.hpp>

#include "queue/syncmappedqueue.hpp"

namespace udptest {

using Event = std::vector<char>;
using Queue = SyncMappedQueue<Event>;

constexpr std::size_t receive_buffer_bytes = 8 << 20; // the test itself must lose nothing
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
class Receiver {
public:
    explicit Receiver(std::uint16_t port) : socket(io) {
        using boost::asio::ip::udp;
        socket.open(udp::v4());
        socket.set_option(boost::asio::socket_base::reuse_address(true));
        socket.set_option(boost::asio::socket_base::receive_buffer_size(receive_buffer_bytes));
        socket.bind(udp::endpoint(boost::asio::ip::address_v4::any(), port));
    }

    // The next datagram, or nothing when none comes within `timeout`.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds timeout) {
        pollfd p{socket.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> buf(70000);
        const std::size_t n = socket.receive(boost::asio::buffer(buf));
        buf.resize(n);
        return buf;
    }

private:
    boost::asio::io_context io;
    boost::asio::ip::udp::socket socket;
};

// A fresh event buffer in a directory of this process, removed afterwards.
class TempQueue {
public:
    TempQueue() {
        static int counter = 0;
        dir = boost::filesystem::temp_directory_path() /
              ("fipgate-udp-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
        queue = std::make_shared<Queue>((dir / "buffer.bin").string(), queue_segment_bytes);
    }
    ~TempQueue() {
        queue.reset();
        boost::system::error_code ignored;
        boost::filesystem::remove_all(dir, ignored);
    }
    std::shared_ptr<Queue> queue;

private:
    boost::filesystem::path dir;
};

// A log stream whose content the test can read back.
class LogCapture {
public:
    LogCapture() : file(std::tmpfile()) {}
    ~LogCapture() { std::fclose(file); }
    FILE* stream() const { return file; }
    std::string text() {
        std::fflush(file);
        std::string s;
        std::rewind(file);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file)) > 0) {
            s.append(buf, n);
        }
        std::fseek(file, 0, SEEK_END);
        return s;
    }

private:
    FILE* file;
};

template <typename Pred> bool wait_until(Pred pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace udptest

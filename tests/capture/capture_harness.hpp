// What the capture tests share: a capture object on a simulated card of its own, with a log the
// test reads back and an event buffer in a private directory, and polling helpers.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "capture/capvane.hpp"
#include "support/child_process.hpp"
#include "support/log_file.hpp"
#include "support/sim_env.hpp"
#include "support/temp_queue.hpp"

namespace capture_test {

using namespace std::chrono_literals;
using testsupport::LogFile;
using testsupport::SimEnv;

// Polls `pred` every few milliseconds until it holds or `limit` passed; the result of the last
// poll.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
    return testsupport::eventually(pred, limit);
}

// True for the card's "ok ..." answers.
inline bool ok(const std::string& answer) {
    return answer.rfind("ok", 0) == 0;
}

// An event buffer in a directory of its own, removed at the end.
inline std::shared_ptr<Capvane::event_queue> make_queue(unsigned long bytes = 16UL << 20) {
    auto q = testsupport::make_temp_queue(bytes);
    EXPECT_TRUE(q->is_valid());
    return q;
}

// The set-up most capture tests start from: the card's environment, a log, an event buffer and a
// capture object writing to them (not started: the test asserts on start()). Members are
// destroyed in reverse, so the capture object stops before its buffer and its card go.
struct CaptureRig {
    explicit CaptureRig(SimEnv::Vars vars, unsigned long queue_bytes = 16UL << 20)
        : env(vars), queue(make_queue(queue_bytes)), cv(queue, log.stream()) {}

    SimEnv env;
    LogFile log;
    std::shared_ptr<Capvane::event_queue> queue;
    Capvane cv;
};

// Every event waiting in the queue, in order.
inline std::vector<std::vector<char>> drain(Capvane::event_queue& q) {
    std::vector<std::vector<char>> out;
    std::vector<char> e;
    while (q.try_dequeue(e, boost::posix_time::milliseconds(0))) {
        out.push_back(e);
    }
    return out;
}

// Holds a node of the card open, so that its session (and its control socket) exists before
// and after the capture object's own descriptor.
class NodeHold {
public:
    explicit NodeHold(int card) : fd(::open(Capvane::node_name(card).c_str(), O_RDWR)) {}
    ~NodeHold() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    NodeHold(const NodeHold&) = delete;
    NodeHold& operator=(const NodeHold&) = delete;
    int fd;
};

} // namespace capture_test

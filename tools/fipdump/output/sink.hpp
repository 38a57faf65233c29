// What every output of fipdump is fed, in the order the stream arrives. The dumper decodes and
// accounts; where anything is written is an output's own business, so that a new output is one
// class and the dumper never asks which options were given.
#pragma once
#include <chrono>
#include <cstdint>

#include "tools/fipdump/analysis/accounting.hpp"
#include "tools/fipdump/input/received.hpp"
#include "wire/records.hpp"

namespace fipdump {

// Every call comes from the main thread, in arrival order. An output that works on its own
// thread (a redrawn screen, an HTTP endpoint) takes its own snapshots of the analysis.
class Sink {
public:
    Sink() = default;
    virtual ~Sink() = default;
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Every datagram as it came, before decoding: duplicates and malformed ones included.
    virtual void received(const Received& r) { (void)r; }
    // The datagram decoded and accounted: its decoding error, if any, and the loss verdict.
    // With -q alone (no -c, no --bus) its capture records come without their frames (empty,
    // FrameInfo unset): nothing shown needs them, and decoding them was most of the time.
    virtual void accounted(const Received& r, const wire::Datagram& d, const DatagramVerdict& v) {
        (void)r, (void)d, (void)v;
    }
    // One event (a capture or a lifesign record) that passes the filters, until -c is reached.
    // Not fed with --bus: the analysis is shown instead of the events.
    virtual void event(const Received& r, std::uint64_t seq, const wire::Event& e) {
        (void)r, (void)seq, (void)e;
    }
    // The events of one datagram have all been given.
    virtual void flush() {}
    // The stream's time moved on: the time of each datagram in order (a capture's own time when
    // reading files), and the clock while a live stream is idle.
    virtual void tick(std::chrono::system_clock::time_point now) { (void)now; }
    // The run is over (the source was opened and read); `summary` is the final count. Once.
    virtual void end(const Summary& summary) { (void)summary; }
    // After end(): false when the output could not do its job; it said why, and fipdump's exit
    // status says so.
    virtual bool ended_well() const { return true; }
};

} // namespace fipdump

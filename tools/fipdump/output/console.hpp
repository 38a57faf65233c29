// The outputs on fipdump's standard streams: the events (text or JSON, one per line), the notes
// on malformed datagrams and on loss, and the summary of --stats and -q.
#pragma once
#include <ostream>

#include "tools/fipdump/output/sink.hpp"

namespace fipdump {

// One line per event that passes the filters; flushed after each datagram so that a reader at
// the end of a pipe sees each datagram as it comes.
class EventPrinter : public Sink {
public:
    EventPrinter(bool json, std::ostream& out) : json(json), out(out) {}
    void event(const Received& r, std::uint64_t seq, const wire::Event& e) override;
    void flush() override;

private:
    const bool json;
    std::ostream& out;
};

// A malformed datagram (text or JSON) and what the loss accounting found worth telling (text),
// one line each, whatever else is shown: with --bus and -q too.
class NoticePrinter : public Sink {
public:
    NoticePrinter(bool json, std::ostream& notices) : json(json), notices(notices) {}
    void accounted(const Received& r, const wire::Datagram& d, const DatagramVerdict& v) override;

private:
    const bool json;
    std::ostream& notices;
};

// The totals and one line (or object) per gateway at the end of the run.
class SummaryPrinter : public Sink {
public:
    SummaryPrinter(bool json, std::ostream& out) : json(json), out(out) {}
    void end(const Summary& summary) override;

private:
    const bool json;
    std::ostream& out;
};

} // namespace fipdump

#include "tools/fipdump/output/console.hpp"

#include "tools/fipdump/output/json_format.hpp"
#include "tools/fipdump/output/text_format.hpp"

namespace fipdump {

void EventPrinter::event(const Received& r, std::uint64_t seq, const wire::Event& e) {
    out << (json ? json_event(r, seq, e) : text_event(r, seq, e)) << "\n";
}

void EventPrinter::flush() {
    out.flush();
}

void NoticePrinter::accounted(const Received& r, const wire::Datagram& d,
                              const DatagramVerdict& v) {
    if (d.error) {
        notices << (json ? json_malformed(r, *d.error) : text_malformed(r, *d.error)) << "\n";
    }
    const std::string notice = text_notice(r, d.seq, v);
    if (!notice.empty()) {
        notices << notice << "\n";
    }
}

void SummaryPrinter::end(const Summary& summary) {
    out << (json ? json_summary(summary) + "\n" : text_summary(summary));
    out.flush();
}

} // namespace fipdump

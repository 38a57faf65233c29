#include "tools/fipdump/input/undecoded.hpp"

#include <sstream>

namespace fipdump {

namespace {
constexpr std::size_t kPortsListed = 8; // ports named in the text; the rest as "…"
} // namespace

std::uint64_t Undecoded::other_port_datagrams() const {
    std::uint64_t n = 0;
    for (const auto& [port, count] : other_ports) {
        n += count;
    }
    return n;
}

bool Undecoded::empty() const {
    return not_udp == 0 && truncated == 0 && other_ports.empty() && fragments.fragments == 0;
}

std::string undecoded_text(const Undecoded& u) {
    std::ostringstream o;
    if (!u.other_ports.empty()) {
        o << "fipdump: " << u.other_port_datagrams() << " datagrams to other ports: ";
        std::size_t listed = 0;
        for (const auto& [port, count] : u.other_ports) {
            if (listed == kPortsListed) {
                o << ", …";
                break;
            }
            o << (listed == 0 ? "" : ", ") << port;
            ++listed;
        }
        o << "\n";
    }
    const ReassemblyCounts& f = u.fragments;
    if (f.fragments != 0) {
        o << "fipdump: " << f.fragments << " IP fragments: " << f.reassembled
          << " datagrams reassembled, " << f.incomplete << " never completed ("
          << f.incomplete_fragments << " fragments), " << f.overlaps << " overlapping";
        if (f.bad != 0) {
            o << ", " << f.bad << " invalid";
        }
        o << "\n";
    }
    if (u.truncated != 0) {
        o << "fipdump: " << u.truncated << " datagrams cut short by the capture's snap length\n";
    }
    if (u.not_udp != 0) {
        o << "fipdump: " << u.not_udp << " packets not UDP over IP skipped\n";
    }
    return o.str();
}

std::string undecoded_json(const Undecoded& u) {
    std::ostringstream o;
    const ReassemblyCounts& f = u.fragments;
    o << "{\"not_udp\":" << u.not_udp << ",\"truncated\":" << u.truncated << ",\"other_ports\":{";
    bool first = true;
    for (const auto& [port, count] : u.other_ports) {
        o << (first ? "" : ",") << "\"" << port << "\":" << count;
        first = false;
    }
    o << "},\"fragments\":" << f.fragments << ",\"reassembled\":" << f.reassembled
      << ",\"incomplete\":" << f.incomplete
      << ",\"incomplete_fragments\":" << f.incomplete_fragments << ",\"overlaps\":" << f.overlaps
      << ",\"bad_fragments\":" << f.bad << "}";
    return o.str();
}

} // namespace fipdump

#include "tools/fipdump/output/recording.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fipdump {

namespace {
constexpr std::size_t kMaxNameLength = 4096; // bytes of a strftime expansion (PATH_MAX)
} // namespace

std::string Recording::file_name(const std::string& pattern, bool with_time,
                                 std::chrono::system_clock::time_point time, std::uint64_t n) {
    std::string base = pattern;
    if (with_time) {
        const std::time_t t = std::chrono::system_clock::to_time_t(time);
        std::tm local{};
        localtime_r(&t, &local);
        char text[kMaxNameLength];
        const std::size_t len = std::strftime(text, sizeof text, pattern.c_str(), &local);
        if (len != 0) {
            base.assign(text, len);
        }
    }
    if (n == 0) {
        return base;
    }
    const auto slash = base.rfind('/');
    const auto dot = base.rfind('.');
    const bool has_ext =
        dot != std::string::npos && dot != 0 && (slash == std::string::npos || dot > slash + 1);
    std::string name = has_ext ? base.substr(0, dot) : base;
    name.append(1, '-').append(std::to_string(n));
    if (has_ext) {
        name.append(base, dot, std::string::npos);
    }
    return name;
}

Recording::Recording(RecordingPolicy policy_, std::uint16_t port_, std::ostream& notices_,
                     std::chrono::system_clock::time_point now)
    : policy(std::move(policy_)), port(port_), notices(notices_) {
    open(now);
    if (!ok()) {
        why = current_name + ": " + why;
    }
}

bool Recording::open(std::chrono::system_clock::time_point time) {
    const std::string base = file_name(policy.pattern, policy.period.has_value(), time, 0);
    // Two files of one name would be one file truncated: a name that comes again (-C, or a
    // pattern coarser than the period) gets a number.
    const std::uint64_t n = (started != 0 && base == current_base) ? same_base + 1 : 0;
    const std::string name = file_name(policy.pattern, policy.period.has_value(), time, n);
    auto next = std::make_unique<PcapWriter>(name, port);
    if (!next->ok()) {
        why = next->error();
        if (file == nullptr) {
            current_name = name;
            return false;
        }
        const std::string failure = name + ": " + why;
        if (failure != last_failure) {
            notices << "fipdump: " << failure << " (recording goes on in " << current_name << ")\n";
            last_failure = failure;
        }
        return false;
    }
    // The file being closed is complete before the oldest goes: the ring never holds fewer
    // finished files than asked.
    file = std::move(next);
    current_name = name;
    current_base = base;
    same_base = n;
    ++started;
    last_failure.clear();
    kept.push_back(name);
    while (policy.keep && kept.size() > *policy.keep) {
        if (std::remove(kept.front().c_str()) != 0 && errno != ENOENT) {
            notices << "fipdump: cannot remove " << kept.front() << ": " << std::strerror(errno)
                    << "\n";
        }
        kept.pop_front();
    }
    return true;
}

void Recording::write(const Received& r) {
    if (!file) {
        return;
    }
    bool rotate = false;
    if (policy.period) {
        if (!period_start) {
            period_start = r.time;
        } else if (r.time - *period_start >= *policy.period) {
            // Periods follow one another from the first datagram, whatever the gaps between.
            const auto periods = (r.time - *period_start) / *policy.period;
            *period_start += periods * *policy.period;
            rotate = true;
        }
    }
    if (policy.max_bytes && file->packets() != 0 &&
        file->size() + PcapWriter::packet_size(r) > *policy.max_bytes) {
        rotate = true;
    }
    if (rotate) {
        open(policy.period ? *period_start : r.time);
    }
    file->write(r);
}

void Recording::end(const Summary& summary) {
    (void)summary;
    file.reset(); // flushed and closed before the summary says the run is over
}

} // namespace fipdump

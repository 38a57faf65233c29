#include "tools/fipdump/input/ipv4_reassembly.hpp"

#include <algorithm>
#include <cstring>

namespace fipdump {

namespace {

constexpr std::size_t kMaxIpv4Length = 65535; // bytes: the IPv4 total length field's limit
constexpr std::size_t kIpv4MinHeader = 20;    // bytes
constexpr std::size_t kFragmentUnit = 8;      // bytes per unit of the fragment offset
constexpr std::uint16_t kMoreFragments = 0x2000;
constexpr std::uint16_t kOffsetMask = 0x1FFF;

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t off) {
    return (std::uint32_t(be16(b, off)) << 16) | be16(b, off + 2);
}

} // namespace

bool Ipv4Reassembler::complete(const Pending& p) {
    return p.total && !p.header.empty() && p.got.size() == 1 && p.got.begin()->first == 0 &&
           p.got.begin()->second == *p.total;
}

void Ipv4Reassembler::give_up(std::map<Key, Pending>::iterator it) {
    ++cnt.incomplete;
    cnt.incomplete_fragments += it->second.fragments;
    under_way.erase(it);
}

void Ipv4Reassembler::expire(Clock::time_point now) {
    for (auto it = under_way.begin(); it != under_way.end();) {
        const auto next = std::next(it);
        if (now - it->second.first_seen >= kTimeout) {
            give_up(it);
        }
        it = next;
    }
}

void Ipv4Reassembler::finish() {
    while (!under_way.empty()) {
        give_up(under_way.begin());
    }
}

std::optional<std::vector<std::uint8_t>> Ipv4Reassembler::add(std::span<const std::uint8_t> ip,
                                                              Clock::time_point time) {
    ++cnt.fragments;
    const std::size_t ihl = std::size_t(ip[0] & 0x0F) * 4;
    const std::size_t total_length = be16(ip, 2);
    const std::uint16_t frag = be16(ip, 6);
    const bool more = (frag & kMoreFragments) != 0;
    const std::size_t begin = std::size_t(frag & kOffsetMask) * kFragmentUnit;
    if (total_length <= ihl || (more && (total_length - ihl) % kFragmentUnit != 0) ||
        begin + (total_length - ihl) > kMaxIpv4Length - kIpv4MinHeader) {
        ++cnt.bad;
        return std::nullopt;
    }
    const std::size_t end = begin + (total_length - ihl);
    // A fragment cut short by the snap length brings only what was captured: the hole it
    // leaves keeps its datagram from completing, which is then counted, never made up.
    const std::size_t captured = std::min(end - begin, ip.size() - ihl);
    const auto data = ip.subspan(ihl, captured);

    expire(time);
    const Key key{be32(ip, 12), be32(ip, 16), be16(ip, 4), ip[9]};
    auto it = under_way.find(key);
    if (it == under_way.end()) {
        if (under_way.size() >= kMaxPending) {
            give_up(std::min_element(under_way.begin(), under_way.end(),
                                     [](const auto& a, const auto& b) {
                                         return a.second.first_seen < b.second.first_seen;
                                     }));
        }
        it = under_way.emplace(key, Pending{}).first;
        it->second.first_seen = time;
    }
    Pending& p = it->second;
    ++p.fragments;

    // A last fragment fixes the length; anything received beyond it, or a second, different
    // last fragment, means fragments of two datagrams (or forged ones) mixed: keep neither.
    const std::size_t highest = p.got.empty() ? 0 : std::prev(p.got.end())->second;
    if ((!more && ((p.total && *p.total != end) || highest > end)) ||
        (more && p.total && end > *p.total)) {
        ++cnt.overlaps;
        give_up(it);
        return std::nullopt;
    }
    if (!more) {
        p.total = end;
    }
    // Overlapping bytes are accepted only when they repeat what came before (the same fragment
    // captured twice); different bytes would make the result depend on arrival order.
    if (p.data.size() < begin + captured) {
        p.data.resize(begin + captured);
    }
    bool overlapped = false;
    auto r = p.got.upper_bound(begin);
    if (r != p.got.begin()) {
        --r;
    }
    for (; r != p.got.end() && r->first < begin + captured; ++r) {
        const std::size_t lo = std::max(r->first, begin);
        const std::size_t hi = std::min(r->second, begin + captured);
        if (lo >= hi) {
            continue;
        }
        overlapped = true;
        if (std::memcmp(p.data.data() + lo, data.data() + (lo - begin), hi - lo) != 0) {
            ++cnt.overlaps;
            give_up(it);
            return std::nullopt;
        }
    }
    cnt.overlaps += overlapped ? 1 : 0;
    std::copy(data.begin(), data.end(), p.data.begin() + static_cast<std::ptrdiff_t>(begin));

    // Merge [begin, begin + captured) into the disjoint ranges.
    std::size_t lo = begin;
    std::size_t hi = begin + captured;
    auto m = p.got.upper_bound(lo);
    if (m != p.got.begin() && std::prev(m)->second >= lo) {
        --m;
    }
    while (m != p.got.end() && m->first <= hi) {
        lo = std::min(lo, m->first);
        hi = std::max(hi, m->second);
        m = p.got.erase(m);
    }
    if (hi > lo) {
        p.got.emplace(lo, hi);
    }
    if (begin == 0) {
        p.header.assign(ip.begin(), ip.begin() + static_cast<std::ptrdiff_t>(ihl));
    }
    if (!complete(p)) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> whole = std::move(p.header);
    const std::size_t length = whole.size() + *p.total;
    whole[2] = static_cast<std::uint8_t>(length >> 8);
    whole[3] = static_cast<std::uint8_t>(length);
    whole[6] = 0; // no longer a fragment
    whole[7] = 0;
    whole.insert(whole.end(), p.data.begin(),
                 p.data.begin() + static_cast<std::ptrdiff_t>(*p.total));
    under_way.erase(it);
    ++cnt.reassembled;
    return whole;
}

} // namespace fipdump

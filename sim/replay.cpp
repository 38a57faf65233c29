#include "replay.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "record_format.hpp"

namespace capvane_sim {

ReplaySource::ReplaySource(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error_ = "cannot open " + path + ": " + std::strerror(errno);
        return;
    }
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    split();
}

ReplaySource ReplaySource::from_bytes(std::vector<uint8_t> bytes) {
    ReplaySource source;
    source.bytes_ = std::move(bytes);
    source.split();
    return source;
}

void ReplaySource::split() {
    std::size_t pos = 0;
    while (pos < bytes_.size()) {
        const std::size_t len = well_formed_record_length(bytes_.data() + pos, bytes_.size() - pos);
        if (len == 0) {
            break;
        }
        offsets_.push_back(pos);
        pos += len;
    }
    trailing_ = bytes_.size() - pos;
    if (trailing_ != 0) {
        error_ = "malformed record at byte " + std::to_string(pos) + ", replay ends there";
    }
}

const uint8_t* ReplaySource::peek(std::size_t& len) const {
    const std::size_t pos = offsets_[next_];
    len = (std::size_t{bytes_[pos + 1]} << 8) | bytes_[pos + 2];
    return bytes_.data() + pos;
}

} // namespace capvane_sim

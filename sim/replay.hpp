// Capture records read from a file, handed out in order for the card to pack into buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace capvane_sim {

class ReplaySource {
public:
    // Reads the whole file. Records are taken back to back from its start; the first malformed
    // record (type not 0xC0, length under 30 or beyond the file or one record area) ends the
    // list, so nothing past a damaged record is ever read. error() tells why a file gave nothing.
    explicit ReplaySource(const std::string& path);

    // Builds from bytes already in memory (same rules as a file).
    static ReplaySource from_bytes(std::vector<uint8_t> bytes);

    bool exhausted() const { return next_ >= offsets_.size(); }
    std::size_t record_count() const { return offsets_.size(); }
    // The next record and its length; only valid while !exhausted().
    const uint8_t* peek(std::size_t& len) const;
    void advance() { ++next_; }
    // Bytes after the last good record that were not used (0 for a clean file).
    std::size_t trailing_bytes() const { return trailing_; }
    const std::string& error() const { return error_; }

private:
    ReplaySource() = default;
    void split();

    std::vector<uint8_t> bytes_;
    std::vector<std::size_t> offsets_;
    std::size_t next_ = 0;
    std::size_t trailing_ = 0;
    std::string error_;
};

} // namespace capvane_sim

// Big-endian field reads for the decoders. Internal to wire/.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace wire::detail {

// The unsigned N-byte big-endian value at `offset`. Decoders check lengths before reading; the
// bound test here is the last guard, and yields 0 rather than read outside `bytes`.
template <typename U> U read_be(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(U)) {
        return 0;
    }
    U value = 0;
    for (std::size_t i = 0; i < sizeof(U); ++i) {
        value = static_cast<U>((value << 8) | bytes[offset + i]);
    }
    return value;
}

inline std::uint8_t read_u8(std::span<const std::uint8_t> b, std::size_t off) {
    return read_be<std::uint8_t>(b, off);
}
inline std::uint16_t read_u16(std::span<const std::uint8_t> b, std::size_t off) {
    return read_be<std::uint16_t>(b, off);
}
inline std::uint32_t read_u32(std::span<const std::uint8_t> b, std::size_t off) {
    return read_be<std::uint32_t>(b, off);
}
inline std::uint64_t read_u64(std::span<const std::uint8_t> b, std::size_t off) {
    return read_be<std::uint64_t>(b, off);
}
inline std::int64_t read_i64(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::int64_t>(read_u64(b, off));
}
// IEEE-754 single precision sent as its bit pattern: NaN payloads survive.
inline float read_f32(std::span<const std::uint8_t> b, std::size_t off) {
    return std::bit_cast<float>(read_u32(b, off));
}

} // namespace wire::detail

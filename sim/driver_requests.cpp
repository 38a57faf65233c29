#include "driver_requests.hpp"

#include <cstring>

namespace capvane_sim {

namespace {

template <typename T> void put(uint8_t* base, std::size_t offset, T value) {
    std::memcpy(base + offset, &value, sizeof value);
}

} // namespace

void deliver_transfer(uint8_t* req, const uint8_t* bytes, std::size_t len) {
    auto* user = reinterpret_cast<uint8_t*>(
        static_cast<uintptr_t>(read_arg<uint64_t>(req + kXferBufAddrOffset)));
    std::memcpy(user, bytes, len);
    put<uint32_t>(req, kXferLenOffset, static_cast<uint32_t>(len));
}

void fill_dev_infos(uint8_t* out, int32_t index, uint32_t serial) {
    std::memset(out, 0, kDevInfosBytes);
    put<int32_t>(out, 0, index);
    put<uint32_t>(out, 4, serial);
    put<uint16_t>(out, 8, kSimVendorId);
    put<uint16_t>(out, 10, kSimDeviceId);
    put<uint16_t>(out, 12, kSimVendorId);
    put<uint16_t>(out, 14, kSimSubsystemId);
    put<int32_t>(out, 16, kSimBarCount);
    put<uint64_t>(out, 20, kSimBar0Bytes); // bar_bsz[0..5] from offset 20
    put<uint64_t>(out, 28, kSimBar1Bytes);
    put<uint64_t>(out, 68, kSimBar0Base); // bar_base[0..5] from offset 68
    put<uint64_t>(out, 76, kSimBar1Base);
    put<int32_t>(out, 116, kSimIrq);
    put<uint32_t>(out, 120, kSimDriverVersion);
    put<uint32_t>(out, 124, 0);
    put<uint32_t>(out, 128, kSimAuxWord1);
}

} // namespace capvane_sim

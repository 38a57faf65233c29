// The card's request codes and argument layouts, as its kernel driver defines them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace capvane_sim {

// _IOC encoding: bits 0-7 number, 8-15 type (0xFF), 16-29 argument size, 30-31 direction.
constexpr unsigned long kReqGetDevInfos = 0x8084FF00;   // _IOR, 132-byte record
constexpr unsigned long kReqEnableSniffer = 0x4004FF01; // _IOW, u32 1/0
constexpr unsigned long kReqSetEpoch = 0x4008FF02;      // _IOW, u64 µs since 1970
constexpr unsigned long kReqInit = 0x0000FF03;          // _IO
constexpr unsigned long kReqWaitData = 0xC01CFF04;      // _IOWR, 28-byte transfer request
constexpr unsigned long kReqCancelWait = 0x0000FF05;    // _IO

constexpr std::size_t kDevInfosBytes = 132;
constexpr std::size_t kXferReqBytes = 28;
// Transfer request fields (host byte order, packed).
constexpr std::size_t kXferBufAddrOffset = 8; // u64 user address of the transfer buffer
constexpr std::size_t kXferBufLenOffset = 20; // u32 its size
constexpr std::size_t kXferLenOffset = 24;    // u32 bytes delivered, written back

// Identity the simulated card reports.
constexpr uint16_t kSimVendorId = 0x1d5a;
constexpr uint16_t kSimDeviceId = 0xf1b0;
constexpr uint16_t kSimSubsystemId = 0x0001;
constexpr int32_t kSimBarCount = 2;
constexpr uint64_t kSimBar0Bytes = 4096;
constexpr uint64_t kSimBar0Base = 0xfe800000;
constexpr uint64_t kSimBar1Bytes = 65536;
constexpr uint64_t kSimBar1Base = 0xfe900000;
constexpr int32_t kSimIrq = 17;
constexpr uint32_t kSimDriverVersion = 0x00010300;
constexpr uint32_t kSimAuxWord1 = 0x00000105; // low byte: the card's auxiliary code

// A request argument in host byte order, wherever it lies.
template <typename T> T read_arg(const uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Copies `len` bytes to the user buffer a transfer request names and writes the count back.
void deliver_transfer(uint8_t* req, const uint8_t* bytes, std::size_t len);

// Fills the 132-byte device information record of card `index`.
void fill_dev_infos(uint8_t* out, int32_t index, uint32_t serial);

} // namespace capvane_sim

// The capture card driver's request codes and the two records that cross the ioctl boundary.
// Both records are packed and in host byte order: the driver reads and writes them as raw bytes,
// so every size and offset below is checked at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

#include <sys/ioctl.h>

#pragma pack(push, 1)

// Filled by the driver on CV_IOC_GET_DEV_INFOS.
struct cv_dev_infos {
    std::int32_t index;        // card index as the driver numbers it
    std::uint32_t sn;          // serial number
    std::uint16_t vid;         // PCI vendor ID
    std::uint16_t did;         // PCI device ID
    std::uint16_t ssvid;       // PCI subsystem vendor ID
    std::uint16_t ssdid;       // PCI subsystem ID
    std::int32_t bar_cnt;      // valid entries in the two BAR arrays (0 to 6)
    std::uint64_t bar_bsz[6];  // size in bytes of each base address region
    std::uint64_t bar_base[6]; // base address of each region
    std::int32_t irq_number;   // interrupt line
    std::uint32_t drv_version; // driver version
    std::uint32_t aux_word0;   // not read
    std::uint32_t aux_word1;   // low byte published as FIPStats::aux_code
};

// Argument of CV_IOC_WAIT_DATA.
struct cv_xfer_req {
    std::uint64_t reserved0; // 0
    std::uint64_t buf_addr;  // address of the caller's transfer buffer
    std::uint32_t reserved1; // 0
    std::uint32_t buf_len;   // size of that buffer in bytes
    std::uint32_t xfer_len;  // 0 on the way in; bytes delivered on return
};

#pragma pack(pop)

static_assert(sizeof(cv_dev_infos) == 132);
static_assert(offsetof(cv_dev_infos, sn) == 4);
static_assert(offsetof(cv_dev_infos, vid) == 8);
static_assert(offsetof(cv_dev_infos, did) == 10);
static_assert(offsetof(cv_dev_infos, ssvid) == 12);
static_assert(offsetof(cv_dev_infos, ssdid) == 14);
static_assert(offsetof(cv_dev_infos, bar_cnt) == 16);
static_assert(offsetof(cv_dev_infos, bar_bsz) == 20);
static_assert(offsetof(cv_dev_infos, bar_base) == 68);
static_assert(offsetof(cv_dev_infos, irq_number) == 116);
static_assert(offsetof(cv_dev_infos, drv_version) == 120);
static_assert(offsetof(cv_dev_infos, aux_word0) == 124);
static_assert(offsetof(cv_dev_infos, aux_word1) == 128);

static_assert(sizeof(cv_xfer_req) == 28);
static_assert(offsetof(cv_xfer_req, buf_addr) == 8);
static_assert(offsetof(cv_xfer_req, reserved1) == 16);
static_assert(offsetof(cv_xfer_req, buf_len) == 20);
static_assert(offsetof(cv_xfer_req, xfer_len) == 24);

constexpr int kCvIocType = 0xFF; // ioctl type of every request of the driver

constexpr unsigned long CV_IOC_GET_DEV_INFOS = _IOR(kCvIocType, 0, cv_dev_infos);
constexpr unsigned long CV_IOC_ENABLE_SNIFFER = _IOW(kCvIocType, 1, std::uint32_t);
constexpr unsigned long CV_IOC_SET_EPOCH = _IOW(kCvIocType, 2, std::uint64_t);
constexpr unsigned long CV_IOC_INIT = _IO(kCvIocType, 3);
constexpr unsigned long CV_IOC_WAIT_DATA = _IOWR(kCvIocType, 4, cv_xfer_req);
constexpr unsigned long CV_IOC_CANCEL_WAIT = _IO(kCvIocType, 5);

// The driver decodes these numbers, not our macros: pin them.
static_assert(CV_IOC_GET_DEV_INFOS == 0x8084FF00UL);
static_assert(CV_IOC_ENABLE_SNIFFER == 0x4004FF01UL);
static_assert(CV_IOC_SET_EPOCH == 0x4008FF02UL);
static_assert(CV_IOC_INIT == 0x0000FF03UL);
static_assert(CV_IOC_WAIT_DATA == 0xC01CFF04UL);
static_assert(CV_IOC_CANCEL_WAIT == 0x0000FF05UL);

// Transfer buffer: a status word, 8 unread bytes, then the record area.
constexpr std::size_t kTransferBufferSize = 32780; // bytes handed over per wait request
constexpr std::size_t kRecordAreaOffset = 12;      // bytes before the first record
constexpr std::size_t kRecordAreaSize = kTransferBufferSize - kRecordAreaOffset; // 32768 bytes
constexpr std::uint32_t kReadyBits = 0xC0000000U; // status word bits 31 and 30: records present

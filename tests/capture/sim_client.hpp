// Test side of the simulated card: the driver's request codes and layouts written out again
// here (never shared with the card's code, so that a layout slip on either side shows), and
// small helpers that drive the card through open/ioctl/close and its control socket.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <initializer_list>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace simtest {

constexpr unsigned long kGetDevInfos = 0x8084FF00;
constexpr unsigned long kEnableSniffer = 0x4004FF01;
constexpr unsigned long kSetEpoch = 0x4008FF02;
constexpr unsigned long kInit = 0x0000FF03;
constexpr unsigned long kWaitData = 0xC01CFF04;
constexpr unsigned long kCancelWait = 0x0000FF05;

constexpr std::size_t kBufferBytes = 32780;
constexpr std::size_t kAreaOffset = 12;
constexpr std::size_t kAreaBytes = 32768;
constexpr std::size_t kHeaderBytes = 30;
constexpr uint32_t kReady31 = 1u << 31;
constexpr uint32_t kReady30 = 1u << 30;

#pragma pack(push, 1)
struct XferReq {
    uint64_t reserved0;
    uint64_t buf_addr;
    uint32_t reserved1;
    uint32_t buf_len;
    uint32_t xfer_len;
};
struct DevInfos {
    int32_t index;
    uint32_t sn;
    uint16_t vid, did, ssvid, ssdid;
    int32_t bar_cnt;
    uint64_t bar_bsz[6];
    uint64_t bar_base[6];
    int32_t irq_number;
    uint32_t drv_version;
    uint32_t aux_word0;
    uint32_t aux_word1;
};
#pragma pack(pop)
static_assert(sizeof(XferReq) == 28);
static_assert(sizeof(DevInfos) == 132);

// The request codes follow the _IOC encoding with type 0xFF and these sizes.
static_assert(kGetDevInfos == _IOR(0xFF, 0, DevInfos));
static_assert(kEnableSniffer == _IOW(0xFF, 1, uint32_t));
static_assert(kSetEpoch == _IOW(0xFF, 2, uint64_t));
static_assert(kInit == _IO(0xFF, 3));
static_assert(kWaitData == _IOWR(0xFF, 4, XferReq));
static_assert(kCancelWait == _IO(0xFF, 5));

inline uint64_t be(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) {
        v = (v << 8) | p[i];
    }
    return v;
}

// Bit-by-bit CRC, deliberately unlike the card's table version.
inline uint16_t crc16(int type, const uint8_t* data, std::size_t len) {
    const uint16_t poly = type == 2 ? 0x1DCF : 0x1021;
    uint16_t reg = type == 2 ? 0xFFFF : 0x0000;
    for (std::size_t i = 0; i < len; ++i) {
        reg ^= static_cast<uint16_t>(data[i] << 8);
        for (int b = 0; b < 8; ++b) {
            reg = (reg & 0x8000) ? static_cast<uint16_t>((reg << 1) ^ poly)
                                 : static_cast<uint16_t>(reg << 1);
        }
    }
    return static_cast<uint16_t>(~reg);
}

// First FIP check a frame fails ("ctrl", "fcs", "pdu", "len"), or "" when it passes all four.
inline std::string failed_check(const std::vector<uint8_t>& f, int fcs_type) {
    if (f.empty()) {
        return "";
    }
    const uint8_t c = f[0];
    auto in = [c](std::initializer_list<int> values) {
        for (int v : values) {
            if (v == c) {
                return true;
            }
        }
        return false;
    };
    const bool id = in({0x03, 0x05, 0x09, 0x29});
    const bool var = in({0x02, 0x06, 0x0A, 0x0E, 0x2A, 0x2E});
    const bool rq = in({0x08, 0x28});
    const bool msg = in({0x04, 0x14, 0x94});
    const bool ack = in({0x10, 0x30, 0x40, 0x90, 0xB0});
    if (!(id || var || rq || msg || ack)) {
        return "ctrl";
    }
    if ((fcs_type != 1 && fcs_type != 2) || f.size() <= 2 ||
        crc16(fcs_type, f.data(), f.size() - 2) != be(&f[f.size() - 2], 2)) {
        return "fcs";
    }
    if (var && f.size() > 2 && f[1] != 0x40 && f[1] != 0x50) {
        return "pdu";
    }
    const std::size_t n = f.size();
    const bool len_ok = id    ? n == 5
                        : var ? (n >= 5 && n <= 131)
                        : rq  ? (n >= 5 && n <= 131)
                        : msg ? (n >= 9 && n <= 265)
                              : n == 3;
    return len_ok ? "" : "len";
}

struct Record {
    std::vector<uint8_t> bytes;
    uint16_t length() const { return static_cast<uint16_t>(be(&bytes[1], 2)); }
    uint8_t fcs_type() const { return (bytes[3] >> 3) & 3; }
    uint8_t status() const { return bytes[4]; }
    uint64_t index() const { return be(&bytes[5], 8); }
    uint64_t time_ns() const { return be(&bytes[13], 8); }
    std::vector<uint8_t> frame() const { return {bytes.begin() + kHeaderBytes, bytes.end()}; }
    bool fcs_ok() const {
        const auto f = frame();
        if (f.size() < 3) {
            return false;
        }
        return crc16(fcs_type(), f.data(), f.size() - 2) == be(&f[f.size() - 2], 2);
    }
};

// Walks a record area the way a reader must: stops at a foreign type, a length under the
// header, or a record that would leave the area.
inline std::vector<Record> parse_area(const uint8_t* buffer) {
    std::vector<Record> records;
    std::size_t pos = 0;
    while (kAreaBytes - pos >= kHeaderBytes) {
        const uint8_t* r = buffer + kAreaOffset + pos;
        const auto len = static_cast<std::size_t>(be(r + 1, 2));
        if (r[0] != 0xC0 || len < kHeaderBytes || len > kAreaBytes - pos) {
            break;
        }
        records.push_back(Record{{r, r + len}});
        pos += len;
    }
    return records;
}

inline uint32_t status_word(const std::vector<uint8_t>& buffer) {
    uint32_t v;
    std::memcpy(&v, buffer.data(), sizeof v);
    return v;
}

// Clears every CAPVANE_SIM_* variable on construction and again on destruction.
class SimEnv {
public:
    SimEnv() { clear(); }
    ~SimEnv() { clear(); }
    void set(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }

private:
    static void clear() {
        for (const char* name :
             {"CAPVANE_SIM_CARDS", "CAPVANE_SIM_SERIAL", "CAPVANE_SIM_BITRATE", "CAPVANE_SIM_FCS",
              "CAPVANE_SIM_RECORDS", "CAPVANE_SIM_PACE", "CAPVANE_SIM_REPLAY",
              "CAPVANE_SIM_CONTROL", "CAPVANE_SIM_REPORT", "CAPVANE_SIM_PAUSED", "CAPVANE_SIM_RING",
              "CAPVANE_SIM_FLUSH_MS", "CAPVANE_SIM_SEED"}) {
            ::unsetenv(name);
        }
    }
};

// An open card node, closed on destruction.
class Node {
public:
    explicit Node(int card = 0) {
        const std::string path = "/dev/capvane" + std::to_string(card);
        fd_ = ::open(path.c_str(), O_RDWR);
    }
    ~Node() { close(); }
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    int fd() const { return fd_; }
    // The descriptor was closed by other means: do not close its number again.
    void forget() { fd_ = -1; }
    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    int sniffer(bool on) {
        uint32_t v = on ? 1 : 0;
        return ::ioctl(fd_, kEnableSniffer, &v);
    }
    int epoch(uint64_t us) { return ::ioctl(fd_, kSetEpoch, &us); }
    int infos(DevInfos& out) { return ::ioctl(fd_, kGetDevInfos, &out); }
    // One WAIT_DATA into `buffer` (resized to a whole transfer buffer and zeroed).
    int wait(std::vector<uint8_t>& buffer, uint32_t& xfer_len) {
        buffer.assign(kBufferBytes, 0);
        XferReq req{0, reinterpret_cast<uintptr_t>(buffer.data()), 0, kBufferBytes, 0};
        const int rc = ::ioctl(fd_, kWaitData, &req);
        xfer_len = req.xfer_len;
        return rc;
    }
    // Waits for good buffers until `count` records have arrived (or a wait fails).
    std::vector<Record> records(std::size_t count) {
        std::vector<Record> out;
        std::vector<uint8_t> buffer;
        uint32_t len = 0;
        while (out.size() < count && wait(buffer, len) == 0) {
            if (len != kBufferBytes || (status_word(buffer) & (kReady31 | kReady30)) == 0) {
                continue;
            }
            for (auto& r : parse_area(buffer.data())) {
                out.push_back(std::move(r));
            }
        }
        return out;
    }

private:
    int fd_ = -1;
};

// True if a wait on `node` is still pending after `ms` milliseconds; it is then released with
// a cancel, so the node stays usable.
inline bool wait_blocks(Node& node, int ms = 100) {
    auto pending = std::async(std::launch::async, [&node] {
        std::vector<uint8_t> buffer;
        uint32_t len = 0;
        return node.wait(buffer, len);
    });
    const bool blocked =
        pending.wait_for(std::chrono::milliseconds(ms)) == std::future_status::timeout;
    ::ioctl(node.fd(), kCancelWait, 0);
    pending.wait();
    return blocked;
}

// One connection to the control socket.
class Control {
public:
    explicit Control(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~Control() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool connected() const { return fd_ >= 0; }
    // Sends one command, returns the answer line without its newline ("" if the link broke).
    std::string send(const std::string& command) {
        const std::string line = command + "\n";
        if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return {};
        }
        std::string answer;
        char c;
        while (::read(fd_, &c, 1) == 1) {
            if (c == '\n') {
                return answer;
            }
            answer += c;
        }
        return {};
    }

private:
    int fd_ = -1;
};

// Value of a numeric JSON field `"name":123` (first occurrence), nullopt if absent.
inline std::optional<uint64_t> json_number(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto pos = json.find(key);
    if (pos == std::string::npos) {
        return std::nullopt;
    }
    return std::strtoull(json.c_str() + pos + key.size(), nullptr, 10);
}

// A fresh private directory for sockets and files, removed with its content on destruction.
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/capvane-sim-test.XXXXXX";
        path_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path_ + "'";
        if (path_ != "/tmp") {
            [[maybe_unused]] int rc = std::system(cmd.c_str());
        }
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace simtest

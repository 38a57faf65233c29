#include "tools/fipdump/output/baseline_file.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/fipdump/output/iso_time.hpp"
#include "wire/baseline.hpp"

namespace fipdump {

namespace {

// A baseline is a few kilobytes per hundred identifiers; anything far larger is not one.
constexpr std::uintmax_t kMaxBaselineBytes = 64U << 20;

std::string errno_text(int err) {
    return std::strerror(err);
}

// Closes a descriptor and removes the temporary file unless it was renamed into place.
class TempFile {
public:
    explicit TempFile(std::string pattern) : path_(std::move(pattern)) {
        fd_ = ::mkstemp(path_.data());
    }
    ~TempFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        if (!kept_) {
            ::unlink(path_.c_str());
        }
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    int close() {
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }
    void keep() { kept_ = true; }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

} // namespace

wire::BaselineRead read_baseline_file(const std::string& path) {
    wire::BaselineRead out;
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        out.error = "baseline " + path + ": " + ec.message();
        return out;
    }
    if (size > kMaxBaselineBytes) {
        out.error = "baseline " + path + ": " + std::to_string(size) +
                    " bytes is far too large for a baseline file";
        return out;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) {
        out.error = "baseline " + path + ": cannot be read";
        return out;
    }
    out = wire::parse_baseline(text.str());
    if (!out.baseline) {
        out.error = "baseline " + path + ": " + out.error;
    }
    return out;
}

std::string write_file_atomically(const std::string& path, const std::string& text) {
    TempFile tmp(path + ".XXXXXX");
    if (tmp.fd() < 0) {
        return "cannot create a temporary file beside " + path + ": " + errno_text(errno);
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(tmp.fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return "cannot write " + tmp.path() + ": " + errno_text(n < 0 ? errno : ENOSPC);
        }
        done += static_cast<std::size_t>(n);
    }
    // mkstemp makes the file readable by its owner only; a baseline is no secret.
    if (::fchmod(tmp.fd(), 0644) != 0 || ::fsync(tmp.fd()) != 0 || tmp.close() != 0) {
        return "cannot write " + tmp.path() + ": " + errno_text(errno);
    }
    if (::rename(tmp.path().c_str(), path.c_str()) != 0) {
        return "cannot rename " + tmp.path() + " to " + path + ": " + errno_text(errno);
    }
    tmp.keep();
    return "";
}

std::string save_baseline(const std::string& path, const std::vector<GatewayBus>& gateways,
                          std::int64_t now_us) {
    if (gateways.empty()) {
        return "no capture record was received, so there is nothing to keep";
    }
    if (gateways.size() > 1) {
        std::string names;
        for (const GatewayBus& g : gateways) {
            names += (names.empty() ? "" : ", ") + g.gateway;
        }
        return std::to_string(gateways.size()) + " gateways were seen (" + names +
               ") and a baseline describes one bus: listen to one gateway's port or read a "
               "recording of one";
    }
    const GatewayBus& g = gateways.front();
    const wire::BaselineOutcome made = wire::make_baseline(g.ids, g.scan, g.bus, g.gateway, now_us);
    if (!made.baseline) {
        return made.refusal;
    }
    return write_file_atomically(path, wire::baseline_to_json(*made.baseline));
}

void BaselineSaver::end(const Summary&) {
    const std::string why =
        save_baseline(path_, bus_.snapshot(), unix_micros(std::chrono::system_clock::now()));
    saved_ = why.empty();
    if (saved_) {
        notices_ << "fipdump: baseline saved to " << path_ << "\n";
    } else {
        notices_ << "fipdump: baseline not saved to " << path_ << ": " << why << "\n";
    }
}

} // namespace fipdump

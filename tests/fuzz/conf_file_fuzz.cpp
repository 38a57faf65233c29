// Arbitrary bytes as the configuration file: the reader must neither crash nor read out of
// bounds, whatever the line lengths, NUL bytes, separators or comments.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "log/logger.hpp"
#include "udp/destination.hpp"

namespace {

std::string input_path;

void remove_input() {
    unlink(input_path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader's syslog lines would only flood the machine's log.
    setlogmask(LOG_MASK(LOG_EMERG));
    // So would its warnings about unknown keys in the log.
    flog = std::fopen("/dev/null", "w");
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/conf-fuzz-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) {
        std::abort();
    }
    close(fd);
    input_path = pattern;
    std::atexit(remove_input);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FILE* file = std::fopen(input_path.c_str(), "wb");
    if (file == nullptr) {
        return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    app_cfg c{};
    reset_config(&c);
    replace_text(&c.conf_file_name, input_path.c_str());
    std::vector<std::string> problems;
    if (read_conf_file(&c, static_cast<int>(size & 1), &problems) < 0) {
        std::abort(); // the file exists: it must always be read
    }
    // The checked keys hold only values that passed their checks.
    if (c.multicast_ttl < 0 || c.multicast_ttl > 255 || c.datagram_cap < 1010 ||
        c.datagram_cap > 65507 ||
        (c.udp_address != nullptr && !Destination::address_problem(c.udp_address).empty()) ||
        (c.udp_interface != nullptr && !Destination::interface_problem(c.udp_interface).empty())) {
        std::abort();
    }
    // Only the file's keys may change anything.
    if (c.stats_period != default_stats_period || c.max_evt != default_max_evt ||
        c.buff_size != default_buffer_size || c.lifesign_period != default_lifesign_period ||
        c.udp_port < 1 || c.udp_port > 65535) {
        std::abort();
    }
    release_config_texts(&c);
    return 0;
}

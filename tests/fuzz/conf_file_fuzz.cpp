// Arbitrary bytes as the configuration file: the reader must neither crash nor read out of
// bounds, whatever the line lengths, NUL bytes, separators or comments.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>
#include <unistd.h>

#include "app/conf_file.hpp"
#include "app/config.hpp"

namespace {

std::string input_path;

void remove_input() {
    unlink(input_path.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The reader's syslog lines would only flood the machine's log.
    setlogmask(LOG_MASK(LOG_EMERG));
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
    if (read_conf_file(&c, static_cast<int>(size & 1)) < 0) {
        std::abort(); // the file exists: it must always be read
    }
    // Only the two keys may change anything.
    if (c.stats_period != default_stats_period || c.max_evt != default_max_evt ||
        c.buff_size != default_buffer_size || c.lifesign_period != default_lifesign_period ||
        c.udp_port < 1 || c.udp_port > 65535) {
        std::abort();
    }
    release_config_texts(&c);
    return 0;
}

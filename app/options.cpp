#include "app/options.hpp"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

#include "app/config.hpp"
#include "log/logger.hpp"

namespace {

constexpr const char* short_options = "i:p:ds:lR:M:B:S:C:L:P:hv";

// No option sets a flag variable: each long name returns its short letter.
const option long_options[] = {
    {"index", required_argument, nullptr, 'i'},
    {"port", required_argument, nullptr, 'p'},
    {"daemon", no_argument, nullptr, 'd'},
    {"stats_per", required_argument, nullptr, 's'},
    {"list", no_argument, nullptr, 'l'},
    {"lifesign", required_argument, nullptr, 'R'},
    {"max_evt", required_argument, nullptr, 'M'},
    {"buff_file", required_argument, nullptr, 'B'},
    {"buf_size", required_argument, nullptr, 'S'},
    {"buff_size", required_argument, nullptr, 'S'}, // the spelling the usage text shows
    {"conf_file", required_argument, nullptr, 'C'},
    {"log_file", required_argument, nullptr, 'L'},
    {"pid_file", required_argument, nullptr, 'P'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

// A command line the process cannot run with: the same answer as getopt's rejections.
int refuse(int* proceed, const char* what) {
    std::fprintf(stderr, "%s: %s\n", app_name, what);
    help();
    *proceed = 0;
    return 1;
}

} // namespace

// Kept word for word for compatibility: scripts and site documents quote this text.
void help() {
    std::printf("\n");
    std::printf("Usage: %s [OPTION]...\n\n", app_name);
    std::puts("It redirects all the Capvane(PCI)'s packets to the ethernet network (UDP).");
    std::puts("By default, if no option is added, the app opens the first Capvane found,");
    std::puts("and redirects the FIP flow to 57117 UDP port.\n");
    std::puts("Options:");
    std::puts("    -i, --index      device index [default=1st found]");
    std::printf("    -p, --port       udp port number [default=%d]\n", default_udp_port);
    std::puts("    -s, --stats_per  refresh period (ms) for displaying statistics "
              "[default=disabled]");
    std::puts("    -d, --daemon     daemonize this application (gnu/linux os only)");
    std::puts("    -l, --list       list host devices");
    std::puts("    -R, --lifesign   refresh period (ms) of lifesign packet [default=500 (500ms)]");
    std::puts("    -M, --max_evt    maximum events per udp datagram [default=1000]");
    std::puts(
        "    -B, --buff_file  path to the buffer file [default=/tmp/norvale/vimbo/buffer.bin]");
    // Kept with 50000000 for compatibility, although the real default is default_buffer_size.
    std::puts("    -S, --buff_size  max size of the buffer in bytes [default=50000000 (50MB)]");
    std::puts("    -C, --conf_file  read configuration from the file");
    std::puts("    -L, --log_file   write logs to the file");
    std::puts("    -P, --pid_file   PID file used by daemonized app");
    std::puts("    -v, --version    show version and exit");
    std::puts("    -h, --help       show this help and exit");
    std::printf("\n");
    std::puts("Examples: ");
    std::printf("    %s -i 1 -p 55010\n", app_name);
    std::printf("    %s -d\n", app_name);
    std::printf("\n");
}

int load_settings(int argc, char** argv, int* proceed) {
    app_name = base_name(argv[0]);
    *proceed = 1;
    reset_config(&cfg);
    replace_text(&pid_file_name, nullptr);

    int opt;
    while ((opt = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        // sscanf leaves the field alone when the text does not start with a number, and accepts
        // trailing characters ("12ms").
        switch (opt) {
        case 'i':
            std::sscanf(optarg, "%d", &cfg.device_index);
            break;
        case 'p': {
            long port = 0;
            if (std::sscanf(optarg, "%ld", &port) == 1) {
                if (!valid_udp_port(port)) {
                    return refuse(proceed, "--port must be between 1 and 65535");
                }
                cfg.udp_port = static_cast<std::int32_t>(port);
            }
            break;
        }
        case 'd':
            cfg.daemonize = 1;
            break;
        case 's':
            // Colour is for a person at a terminal; escapes in a file or a pipe are noise.
            logger::set_colorization(isatty(STDOUT_FILENO) == 1);
            std::sscanf(optarg, "%ld", &cfg.stats_period);
            break;
        case 'l':
            list_capture_devices();
            *proceed = 0;
            return 0;
        case 'R': {
            // Read signed: a negative period would wrap to a period of centuries.
            long period = 0;
            if (std::sscanf(optarg, "%ld", &period) == 1) {
                if (period < 0) {
                    return refuse(proceed, "--lifesign must not be negative");
                }
                cfg.lifesign_period = static_cast<std::uint64_t>(period);
            }
            break;
        }
        case 'M': {
            // With no event allowed per datagram the sender would spin without ever sending.
            int max_evt = 0;
            if (std::sscanf(optarg, "%d", &max_evt) == 1) {
                if (max_evt == 0) {
                    return refuse(proceed, "--max_evt must not be 0");
                }
                cfg.max_evt = max_evt;
            }
            break;
        }
        case 'B':
            replace_text(&cfg.buff_file_name, optarg);
            break;
        case 'S': {
            long size = 0;
            if (std::sscanf(optarg, "%ld", &size) == 1) {
                cfg.buff_size = static_cast<std::uint64_t>(size);
            }
            break;
        }
        case 'C':
            replace_text(&cfg.conf_file_name, optarg);
            break;
        case 'L':
            replace_text(&cfg.log_file_name, optarg);
            break;
        case 'P':
            replace_text(&pid_file_name, optarg);
            break;
        case 'h':
            help();
            *proceed = 0;
            return 0;
        case 'v':
            std::printf("%s %s\n", app_name, app_version);
            *proceed = 0;
            return 0;
        default:
            // getopt_long has already written its diagnostic to standard error.
            help();
            *proceed = 0;
            return 1;
        }
    }
    return 0;
}

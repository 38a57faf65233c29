#include "app/options.hpp"

#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <list>
#include <string>
#include <vector>

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
    {"conf_file", required_argument, nullptr, 'C'},
    {"log_file", required_argument, nullptr, 'L'},
    {"pid_file", required_argument, nullptr, 'P'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

// The spelling of -S that the usage text shows. It stays out of long_options: there it would
// make "--buff" ambiguous, which scripts use for --buff_file. It is accepted only written whole.
constexpr const char* whole_only_long_name = "--buff_size";
constexpr const char* table_long_name = "--buf_size";

// Whether the option at `arg` (a long option without its "=value", or a cluster of short ones)
// takes the next word of the command line as its argument.
bool takes_next_word(const char* arg) {
    if (arg[1] == '-') {
        const char* name = arg + 2;
        if (std::strchr(name, '=') != nullptr) {
            return false;
        }
        const std::size_t length = std::strlen(name);
        const option* found = nullptr;
        for (const option* o = long_options; o->name != nullptr; ++o) {
            if (std::strncmp(o->name, name, length) != 0) {
                continue;
            }
            if (std::strlen(o->name) == length) {
                return o->has_arg == required_argument;
            }
            if (found != nullptr) {
                return false; // ambiguous: getopt_long refuses it anyway
            }
            found = o;
        }
        return found != nullptr && found->has_arg == required_argument;
    }
    for (const char* c = arg + 1; *c != '\0'; ++c) {
        const char* in_table = std::strchr(short_options, *c);
        if (in_table != nullptr && in_table[1] == ':') {
            return c[1] == '\0'; // otherwise the rest of the word is the argument
        }
    }
    return false;
}

// A copy of the argument vector for getopt_long in which "--buff_size" written whole (alone or
// with "=value") reads "--buf_size". Only words in option position are touched: an option's
// argument that happens to read "--buff_size" is left as it is. `storage` owns the rewritten
// words.
std::vector<char*> with_whole_only_names(int argc, char** argv, std::list<std::string>& storage) {
    std::vector<char*> args(argv, argv + argc);
    const std::size_t whole_length = std::strlen(whole_only_long_name);
    for (int i = 1; i < argc; ++i) {
        const char* arg = args[static_cast<std::size_t>(i)];
        if (arg[0] != '-' || arg[1] == '\0') {
            continue; // not an option: getopt_long skips it
        }
        if (std::strcmp(arg, "--") == 0) {
            break;
        }
        if (std::strncmp(arg, whole_only_long_name, whole_length) == 0 &&
            (arg[whole_length] == '\0' || arg[whole_length] == '=')) {
            storage.push_back(std::string(table_long_name) + (arg + whole_length));
            args[static_cast<std::size_t>(i)] = storage.back().data();
            arg = args[static_cast<std::size_t>(i)];
        }
        if (takes_next_word(arg)) {
            ++i;
        }
    }
    args.push_back(nullptr);
    return args;
}

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

    std::list<std::string> rewritten;
    std::vector<char*> args = with_whole_only_names(argc, argv, rewritten);
    int opt;
    while ((opt = getopt_long(argc, args.data(), short_options, long_options, nullptr)) != -1) {
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
            // Whatever the stream: a log followed with `less -R` or a pager keeps its colours,
            // and scripts reading the log have relied on the escapes being there.
            logger::set_colorization(true);
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
                // A buffer that cannot take one transfer buffer's records drops part of every
                // buffer the card hands over; 0 or a negative size cannot even be built.
                if (size < 0 || static_cast<std::uint64_t>(size) < min_buffer_size) {
                    return refuse(proceed, "--buff_size must be at least 32768 bytes (the "
                                           "records of one transfer buffer)");
                }
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

#include "tools/fipdump/options.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <getopt.h>
#include <glob.h>
#include <limits>

namespace fipdump {

namespace {

enum LongOnly {
    opt_json = 1000,
    opt_stats,
    opt_kind,
    opt_id,
    opt_type,
    opt_rcvbuf,
    opt_metrics,
    opt_iface,
    opt_bus,
    opt_bad,
    opt_interval,
    opt_metrics_ids,
    opt_forget_gateway,
    opt_baseline,
    opt_save_baseline,
    opt_missing_threshold,
};

// An unsigned number in any base strtoull accepts (0x prefix for hex), within `max`.
std::optional<std::uint64_t> parse_unsigned(const char* text, std::uint64_t max) {
    if (text == nullptr || *text == '\0' || *text == '-') {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || v > max) {
        return std::nullopt;
    }
    return v;
}

// "HOST:PORT", "[IPv6]:PORT" or ":PORT" (every address); HOST may be a name ("localhost").
bool parse_metrics_address(const std::string& arg, Options& o) {
    std::string host;
    std::string port_text;
    if (!arg.empty() && arg[0] == '[') {
        const auto close = arg.find("]:");
        if (close == std::string::npos || close == 1) {
            return false;
        }
        host = arg.substr(1, close - 1);
        port_text = arg.substr(close + 2);
    } else {
        const auto colon = arg.rfind(':');
        if (colon == std::string::npos || arg.find(':') != colon) {
            return false; // a bare IPv6 address needs its brackets
        }
        host = arg.substr(0, colon);
        port_text = arg.substr(colon + 1);
    }
    const auto port = parse_unsigned(port_text.c_str(), std::numeric_limits<std::uint16_t>::max());
    if (!port) {
        return false;
    }
    o.metrics = true;
    o.metrics_addr = host;
    o.metrics_port = static_cast<std::uint16_t>(*port);
    return true;
}

bool is_multicast_group(const std::string& text) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 28) == 0xE; // 224.0.0.0/4
    }
    return inet_pton(AF_INET6, text.c_str(), &v6) == 1 && v6.s6_addr[0] == 0xFF;
}

// A -r argument: the file itself, or every file its wildcards match.
bool expand_read_path(const std::string& arg, std::vector<std::string>& paths) {
    if (arg.find_first_of("*?[") == std::string::npos) {
        paths.push_back(arg);
        return true;
    }
    glob_t g{};
    const int rc = glob(arg.c_str(), 0, nullptr, &g);
    if (rc == 0) {
        for (std::size_t i = 0; i < g.gl_pathc; ++i) {
            paths.emplace_back(g.gl_pathv[i]);
        }
    }
    globfree(&g);
    return rc == 0;
}

std::optional<std::uint32_t> parse_positive32(const std::string& arg) {
    const auto v = parse_unsigned(arg.c_str(), std::numeric_limits<std::uint32_t>::max());
    if (!v || *v == 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(*v);
}

// A combination of options that would be accepted and do nothing: said rather than ignored.
std::string useless_combination(const Options& o) {
    const bool event_filter = o.filter.kind || o.filter.id || o.filter.type || o.filter.bad;
    if (o.bus && (event_filter || o.count)) {
        return "--kind, --id, --type, --bad and -c choose the events printed, and --bus prints "
               "the analysis instead of events";
    }
    if (o.interval && !(o.bus && o.json)) {
        return "--interval needs --bus --json (the live table redraws every second on its own)";
    }
    if (o.metrics_ids_given && !(o.bus && o.metrics)) {
        return "--metrics-ids needs --bus and --metrics";
    }
    if (o.missing_threshold_given && !o.bus) {
        return "--missing-threshold needs --bus";
    }
    if (o.forget_gateway && !o.metrics) {
        return "--forget-gateway needs --metrics";
    }
    if (o.rcvbuf_bytes && !o.read_paths.empty()) {
        return "--rcvbuf applies to the socket, not to -r";
    }
    if (o.filter.type == RecordType::lifesign && (o.filter.kind || o.filter.id || o.filter.bad)) {
        return "--kind, --id and --bad choose capture records, which --type lifesign leaves out";
    }
    return "";
}

} // namespace

std::optional<wire::FrameKind> kind_from_name(const std::string& name) {
    if (name == "identifier") {
        return wire::FrameKind::identifier;
    }
    if (name == "variable") {
        return wire::FrameKind::variable_response;
    }
    if (name == "request-list") {
        return wire::FrameKind::request_list_response;
    }
    if (name == "message") {
        return wire::FrameKind::message;
    }
    if (name == "ack") {
        return wire::FrameKind::ack_end;
    }
    if (name == "unknown") {
        return wire::FrameKind::unknown;
    }
    return std::nullopt;
}

std::string usage(const std::string& program) {
    return "usage: " + program +
           " [options]\n"
           "Receives the gateway's UDP stream, checks it for loss and decodes every event.\n"
           "  -p, --port PORT    UDP port to listen on (default 57117); with -r, read only\n"
           "                     the datagrams to PORT (without -p, the stream on any port)\n"
           "  --json             one JSON object per event (and a JSON summary)\n"
           "  --stats            print a summary at the end (also on SIGINT/SIGTERM)\n"
           "  -c, --count N      stop after N printed events\n"
           "  -t, --time S       stop after S seconds (of capture time with -r)\n"
           "  -q, --quiet        quiet: no per-event output, the summary at the end\n"
           "  -w, --write FILE   also write the received datagrams to a pcap file\n"
           "  -C MB              with -w: start a new file after MB million bytes\n"
           "  -G SECONDS         with -w: start a new file every SECONDS (FILE may hold\n"
           "                     strftime conversions, e.g. rec-%Y%m%d-%H%M%S.pcap)\n"
           "  -W N               with -C or -G: keep at most N files, deleting the oldest\n"
           "  -r, --read FILE    read a pcap file instead of listening; repeat it or give a\n"
           "                     quoted glob to read several files as one stream\n"
           "  -g GROUP           join this multicast group (IPv4 or IPv6)\n"
           "  --iface NAME       receive on this interface only\n"
           "  --kind KIND        print capture records of one frame kind only: identifier,\n"
           "                     variable, request-list, message, ack, unknown\n"
           "  --id 0xNNNN        print this identifier's transactions only: its polls and\n"
           "                     the frames answering them\n"
           "  --type TYPE        print one record type only: capture or lifesign\n"
           "  --rcvbuf BYTES     socket receive buffer to ask of the kernel (default 32 MiB)\n"
           "  --metrics ADDR:PORT  serve Prometheus metrics over HTTP; ADDR may be a name,\n"
           "                     [IPv6] or empty (:PORT, every address)\n"
           "  --bus              analyse the bus instead of printing events: a live table on\n"
           "                     a terminal, else the final table (JSON objects with --json)\n"
           "  --interval S       with --bus --json, also print the analysis every S seconds\n"
           "                     (of capture time with -r)\n"
           "  --bad              print only frames that break a frame rule\n"
           "  --metrics-ids N    with --bus --metrics: identifiers exported at most\n"
           "                     (default 1024)\n"
           "  --forget-gateway S  with --metrics: leave out a gateway silent for S seconds\n"
           "                     (default: kept, fipgate_gateway_up 0, until fipdump ends)\n"
           "  --baseline FILE    with --bus, flag what differs from the baseline in FILE\n"
           "  --save-baseline FILE  with --bus, save what was learned of the bus to FILE\n"
           "  --missing-threshold PCT  with --bus, unanswered polls in the last 10 s above which\n"
           "                     an identifier is missing (default 1 %)\n"
           "  -h, --help         this text\n"
           "  -v, --version      version\n"
           "Exit status: 0; 1 when the socket, a file or the metrics address cannot be opened,\n"
           "or a file read is cut off or skipped; 2 for a bad command line; 3 when -w could not\n"
           "write every datagram (a full disk, an I/O error).\n";
}

ParseResult parse_options(int argc, char** argv) {
    static const option long_options[] = {
        {"port", required_argument, nullptr, 'p'},
        {"count", required_argument, nullptr, 'c'},
        {"time", required_argument, nullptr, 't'},
        {"write", required_argument, nullptr, 'w'},
        {"read", required_argument, nullptr, 'r'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'v'},
        {"json", no_argument, nullptr, opt_json},
        {"stats", no_argument, nullptr, opt_stats},
        {"kind", required_argument, nullptr, opt_kind},
        {"id", required_argument, nullptr, opt_id},
        {"type", required_argument, nullptr, opt_type},
        {"rcvbuf", required_argument, nullptr, opt_rcvbuf},
        {"metrics", required_argument, nullptr, opt_metrics},
        {"iface", required_argument, nullptr, opt_iface},
        {"quiet", no_argument, nullptr, 'q'},
        {"bus", no_argument, nullptr, opt_bus},
        {"bad", no_argument, nullptr, opt_bad},
        {"interval", required_argument, nullptr, opt_interval},
        {"metrics-ids", required_argument, nullptr, opt_metrics_ids},
        {"forget-gateway", required_argument, nullptr, opt_forget_gateway},
        {"baseline", required_argument, nullptr, opt_baseline},
        {"save-baseline", required_argument, nullptr, opt_save_baseline},
        {"missing-threshold", required_argument, nullptr, opt_missing_threshold},
        {nullptr, 0, nullptr, 0},
    };
    ParseResult r;
    Options& o = r.options;
    optind = 0; // full reinitialisation, so that tests may parse several command lines
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":p:c:t:w:r:hvqC:G:W:g:", long_options, nullptr)) != -1) {
        const std::string arg = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'p': {
            const auto v = parse_unsigned(optarg, std::numeric_limits<std::uint16_t>::max());
            if (!v || *v == 0) {
                r.error = "invalid port: " + arg;
                return r;
            }
            o.port = static_cast<std::uint16_t>(*v);
            o.port_given = true;
            break;
        }
        case 'c': {
            const auto v = parse_unsigned(optarg, std::numeric_limits<std::uint64_t>::max());
            if (!v || *v == 0) {
                r.error = "invalid count: " + arg;
                return r;
            }
            o.count = *v;
            break;
        }
        case 't': {
            char* end = nullptr;
            const double s = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(s > 0) || s > 1e9) {
                r.error = "invalid duration: " + arg;
                return r;
            }
            o.seconds = s;
            break;
        }
        case 'w':
            o.write_path = arg;
            break;
        case 'r':
            if (!expand_read_path(arg, o.read_paths)) {
                r.error = "no file matches " + arg;
                return r;
            }
            break;
        case 'q':
            o.quiet = true;
            break;
        case 'C': {
            char* end = nullptr;
            const double mb = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(mb > 0) || mb > 1e6) {
                r.error = "invalid file size: " + arg;
                return r;
            }
            o.rotate_mb = mb;
            break;
        }
        case 'G':
            o.rotate_seconds = parse_positive32(arg);
            if (!o.rotate_seconds) {
                r.error = "invalid rotation period: " + arg;
                return r;
            }
            break;
        case 'W':
            o.ring_files = parse_positive32(arg);
            if (!o.ring_files) {
                r.error = "invalid file count: " + arg;
                return r;
            }
            break;
        case 'g':
            if (!is_multicast_group(arg)) {
                r.error = "invalid multicast group: " + arg;
                return r;
            }
            o.group = arg;
            break;
        case opt_iface:
            if (arg.empty()) {
                r.error = "invalid interface name: " + arg;
                return r;
            }
            o.iface = arg;
            break;
        case 'h':
            o.help = true;
            break;
        case 'v':
            o.version = true;
            break;
        case opt_json:
            o.json = true;
            break;
        case opt_stats:
            o.stats = true;
            break;
        case opt_kind:
            o.filter.kind = kind_from_name(arg);
            if (!o.filter.kind) {
                r.error = "invalid frame kind: " + arg;
                return r;
            }
            break;
        case opt_id: {
            const auto v = parse_unsigned(optarg, std::numeric_limits<std::uint16_t>::max());
            if (!v) {
                r.error = "invalid identifier: " + arg;
                return r;
            }
            o.filter.id = static_cast<std::uint16_t>(*v);
            break;
        }
        case opt_type:
            if (arg == "capture") {
                o.filter.type = RecordType::capture;
            } else if (arg == "lifesign") {
                o.filter.type = RecordType::lifesign;
            } else {
                r.error = "invalid record type: " + arg;
                return r;
            }
            break;
        case opt_rcvbuf: {
            const auto v = parse_unsigned(optarg, std::numeric_limits<int>::max());
            if (!v || *v == 0) {
                r.error = "invalid receive buffer size: " + arg;
                return r;
            }
            o.rcvbuf_bytes = static_cast<int>(*v);
            break;
        }
        case opt_metrics:
            if (!parse_metrics_address(arg, o)) {
                r.error = "invalid metrics address (HOST:PORT, [IPv6]:PORT or :PORT): " + arg;
                return r;
            }
            break;
        case opt_bus:
            o.bus = true;
            break;
        case opt_bad:
            o.filter.bad = true;
            break;
        case opt_interval: {
            char* end = nullptr;
            const double s = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(s > 0) || s > 1e9) {
                r.error = "invalid interval: " + arg;
                return r;
            }
            o.interval = s;
            break;
        }
        case opt_metrics_ids: {
            const auto v = parse_unsigned(optarg, std::numeric_limits<std::uint32_t>::max());
            if (!v) {
                r.error = "invalid identifier count: " + arg;
                return r;
            }
            o.metrics_ids = static_cast<std::size_t>(*v);
            o.metrics_ids_given = true;
            break;
        }
        case opt_forget_gateway:
            o.forget_gateway = parse_positive32(arg);
            if (!o.forget_gateway) {
                r.error = "invalid duration: " + arg;
                return r;
            }
            break;
        case opt_baseline:
            o.baseline_path = arg;
            break;
        case opt_save_baseline:
            o.save_baseline_path = arg;
            break;
        case opt_missing_threshold: {
            char* end = nullptr;
            const double pct = std::strtod(arg.c_str(), &end);
            if (arg.empty() || *end != '\0' || !(pct >= 0) || pct > 100) {
                r.error = "invalid missing threshold (a percentage, 0 to 100): " + arg;
                return r;
            }
            o.missing_threshold = pct / 100;
            o.missing_threshold_given = true;
            break;
        }
        case ':':
            r.error = std::string("missing argument to ") + argv[optind - 1];
            return r;
        default:
            r.error = std::string("unknown option ") + argv[optind - 1];
            return r;
        }
    }
    if (optind < argc) {
        r.error = std::string("unexpected argument ") + argv[optind];
    } else if ((o.rotate_mb || o.rotate_seconds) && o.write_path.empty()) {
        r.error = "-C and -G need -w FILE";
    } else if (o.ring_files && !o.rotate_mb && !o.rotate_seconds) {
        r.error = "-W needs -C or -G";
    } else if ((!o.group.empty() || !o.iface.empty()) && !o.read_paths.empty()) {
        r.error = "-g and --iface apply to the socket, not to -r";
    } else if ((!o.baseline_path.empty() || !o.save_baseline_path.empty()) && !o.bus) {
        r.error = "--baseline and --save-baseline need --bus";
    } else {
        r.error = useless_combination(o);
    }
    return r;
}

} // namespace fipdump

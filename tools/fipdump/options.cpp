#include "tools/fipdump/options.hpp"

#include <cerrno>
#include <cstdlib>
#include <getopt.h>
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
    opt_bus,
    opt_bad,
    opt_interval,
    opt_metrics_ids,
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
           "  -p PORT            UDP port to listen on (default 57117)\n"
           "  --json             one JSON object per event (and a JSON summary)\n"
           "  --stats            print a summary at the end (also on SIGINT/SIGTERM)\n"
           "  -c N               stop after N printed events\n"
           "  -t S               stop after S seconds (of capture time with -r)\n"
           "  -w FILE            also write the received datagrams to a pcap file\n"
           "  -r FILE            read a pcap file instead of listening\n"
           "  --kind KIND        print capture records of one frame kind only: identifier,\n"
           "                     variable, request-list, message, ack, unknown\n"
           "  --id 0xNNNN        print identifier frames of this identifier only\n"
           "  --type TYPE        print one record type only: capture or lifesign\n"
           "  --rcvbuf BYTES     socket receive buffer to ask of the kernel\n"
           "  --metrics ADDR:PORT  serve Prometheus metrics over HTTP\n"
           "  --bus              analyse the bus instead of printing events: a live table on\n"
           "                     a terminal, else the final table (JSON objects with --json)\n"
           "  --interval S       with --bus --json, also print the analysis every S seconds\n"
           "                     (of capture time with -r)\n"
           "  --bad              print only frames that break a frame rule\n"
           "  --metrics-ids N    identifiers exported to the metrics at most (default 1024)\n"
           "  -h, --help         this text\n"
           "  -v, --version      version\n";
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
        {"bus", no_argument, nullptr, opt_bus},
        {"bad", no_argument, nullptr, opt_bad},
        {"interval", required_argument, nullptr, opt_interval},
        {"metrics-ids", required_argument, nullptr, opt_metrics_ids},
        {nullptr, 0, nullptr, 0},
    };
    ParseResult r;
    Options& o = r.options;
    optind = 0; // full reinitialisation, so that tests may parse several command lines
    opterr = 0;
    int c = 0;
    while ((c = getopt_long(argc, argv, ":p:c:t:w:r:hv", long_options, nullptr)) != -1) {
        const std::string arg = optarg != nullptr ? optarg : "";
        switch (c) {
        case 'p': {
            const auto v = parse_unsigned(optarg, std::numeric_limits<std::uint16_t>::max());
            if (!v || *v == 0) {
                r.error = "invalid port: " + arg;
                return r;
            }
            o.port = static_cast<std::uint16_t>(*v);
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
            o.read_path = arg;
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
        case opt_metrics: {
            const auto colon = arg.rfind(':');
            const auto port = colon == std::string::npos
                                  ? std::nullopt
                                  : parse_unsigned(arg.c_str() + colon + 1,
                                                   std::numeric_limits<std::uint16_t>::max());
            if (!port || colon == 0) {
                r.error = "invalid metrics address (ADDR:PORT): " + arg;
                return r;
            }
            o.metrics_addr = arg.substr(0, colon);
            o.metrics_port = static_cast<std::uint16_t>(*port);
            break;
        }
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
    }
    return r;
}

} // namespace fipdump

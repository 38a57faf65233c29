#include "app/gateway.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <syslog.h>
#include <vector>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "app/destination_choice.hpp"
#include "app/log_stream.hpp"
#include "app/options.hpp"
#include "app/service_notifier.hpp"
#include "app/signals.hpp"
#include "app/start_report.hpp"
#include "capture/capvane.hpp"
#include "capture/drop_warning.hpp"
#include "log/logger.hpp"
#include "monitoring/host_sampler.hpp"
#include "monitoring/monitoring.hpp"
#include "queue/syncmappedqueue.hpp"
#include "udp/udp_client.hpp"

namespace {

using event_queue = SyncMappedQueue<std::vector<char>>;

// One generation of components. The handles are renewed at every build cycle.
struct Components {
    std::shared_ptr<event_queue> queue;
    std::shared_ptr<HostSampler> host;
    std::shared_ptr<UDPClient> sender;
    std::shared_ptr<Capvane> capture;
    std::shared_ptr<Monitoring> monitor;

    // Dropping the queue's handle first frees nothing: every component holds the queue too. The
    // monitor, which the three publishers also hold, is its last owner and takes it along.
    void release() {
        queue.reset();
        sender.reset();
        capture.reset();
        host.reset();
        monitor.reset();
    }
};

// Reports a component that could not be built, in the log and in syslog.
void report_build_failure(const char* component, const char* reason) {
    logger::print(flog, logger::msg_type::err, "cannot build the %s: %s\n", component, reason);
    syslog(LOG_ERR, "Cannot build the %s: %s", component, reason);
    start_report::failed("cannot build the %s: %s", component, reason);
}

// Builds one generation in the fixed order queue, host metrics, sender, capture, monitor, and
// registers the monitor with the three publishers. Returns false (after reporting) when a
// component could not be built; what was built stays in `c` for the caller to release.
bool build_components(const app_cfg* c, DestinationChoice& destinations, Components& next) {
    const char* component = "event buffer";
    try {
        const std::string path =
            c->buff_file_name != nullptr ? c->buff_file_name : default_buffer_path;
        next.queue = std::make_shared<event_queue>(path, c->buff_size);
        if (!next.queue->is_valid()) {
            report_build_failure(component, next.queue->failure().c_str());
            return false;
        }
        component = "host metrics sampler";
        next.host = std::make_shared<HostSampler>(flog);
        component = "UDP sender";
        next.sender = std::make_shared<UDPClient>(destinations.next(c), c->lifesign_period,
                                                  c->max_evt, next.queue, flog,
                                                  static_cast<std::size_t>(c->datagram_cap));
        component = "capture object";
        next.capture = std::make_shared<Capvane>(next.queue, flog);
        component = "monitor";
        next.monitor =
            std::make_shared<Monitoring>(c->lifesign_period, c->stats_period, next.queue);
    } catch (const std::exception& e) {
        report_build_failure(component, e.what());
        return false;
    }
    next.host->add_observer(next.monitor);
    next.sender->add_observer(next.monitor);
    next.capture->add_observer(next.monitor);
    // Without these the first lifesign record and screen would carry zeros for figures that
    // exist (buffer size, RAM) until each publisher's first notification.
    next.monitor->take_first_snapshots({next.host.get(), next.sender.get(), next.capture.get()});
    return true;
}

// Warns at most once a second when the event buffer had to drop events since the last warning,
// and reports what is left when the wait ends. The only place that warns about drops: the queue
// counts every one, whoever enqueued it.
class DropReporter {
public:
    explicit DropReporter(const std::shared_ptr<event_queue>& q)
        : queue(q), seen(q->dropped_cnt()) {}

    // `all`: the end of the run, whatever the interval.
    void poll(bool all = false) {
        const std::uint64_t dropped = queue->dropped_cnt();
        warning.add(dropped - seen);
        seen = dropped;
        const std::uint64_t n = all ? warning.take_all() : warning.take(DropWarning::clock::now());
        if (n != 0) {
            logger::print(flog, logger::msg_type::warn, "event buffer full: %lu events dropped\n",
                          static_cast<unsigned long>(n));
        }
    }

private:
    std::shared_ptr<event_queue> queue;
    std::uint64_t seen;
    DropWarning warning;
};

// The threads whose progress the service manager's watchdog pings vouch for. The lifesign thread
// sleeps a whole period between two passes; with a period of hours it is not watched.
std::vector<ServiceNotifier::Watched> watched_threads(const Components& g, const app_cfg* c) {
    constexpr auto tx_stall_limit = std::chrono::seconds(5); // it passes every 10 ms
    constexpr std::uint64_t longest_watched_lifesign_ms = 3'600'000;
    std::vector<ServiceNotifier::Watched> threads{
        {"udp-tx", &g.sender->tx_heartbeat(), tx_stall_limit}};
    if (c->lifesign_period != 0 && c->lifesign_period <= longest_watched_lifesign_ms) {
        const auto period = std::chrono::milliseconds(c->lifesign_period);
        threads.push_back(
            {"lifesign", &g.monitor->lifesign_heartbeat(), 2 * period + std::chrono::seconds(5)});
    }
    return threads;
}

std::string service_status(const Components& g, const app_cfg* c) {
    const Monitoring::Snapshots s = g.monitor->get_snapshots();
    return service_status_line(c->device_index, s.fip_stats.frame_rcvd_cnt_per_sec,
                               s.udp_stats.pkt_sent_cnt_per_sec, g.queue->dropped_cnt());
}

} // namespace

int gateway_task(std::shared_ptr<Capvane>& capture, const std::shared_ptr<event_queue>& queue,
                 const std::function<void()>& each_pass) {
    if (!capture || !queue) {
        return -1;
    }
    logger::print(flog, logger::msg_type::info, "app is running... press Ctrl + C to exit.\n");
    DropReporter drops(queue);
    const bool by_signal = wait_while_running([&] {
        drops.poll();
        if (each_pass) {
            each_pass();
        }
        return capture->is_open();
    });
    drops.poll(true);
    if (!by_signal) {
        logger::print(flog, logger::msg_type::err, "device connection is broken\n");
        return -1;
    }
    return 0;
}

int app(app_cfg* c) {
    install_signal_handlers();
    select_log_stream(c);
    std::setvbuf(flog, nullptr, _IOLBF, 0);
    reload.store(0);

    ServiceNotifier notifier;
    Components current;
    DestinationChoice destinations;
    int result = 0;
    bool built = true;
    bool first_cycle = true;
    bool broken = false; // the device connection broke, or the acquisition thread failed
    for (;;) {
        // Taken and cleared in one step before the file is read: a SIGHUP that lands during the
        // read asks for one more cycle, which reads the file again.
        const int reload_requested = reload.exchange(0);
        std::vector<std::string> conf_problems;
        if (read_conf_file(c, first_cycle ? 0 : reload_requested, &conf_problems) ==
            conf_value_refused) {
            logger::print(flog, logger::msg_type::err,
                          "configuration file %s: UdpPort refused (a port is 1 to 65535)%s\n",
                          c->conf_file_name, first_cycle ? "" : "; the previous port stays");
            if (first_cycle) {
                start_report::failed("configuration file %s: UdpPort refused (a port is 1 to "
                                     "65535)",
                                     c->conf_file_name);
                built = false;
                break;
            }
        }
        if (!accept_conf_problems(c, conf_problems, !first_cycle)) {
            start_report::failed("configuration file %s: %s", c->conf_file_name,
                                 conf_problems.front().c_str());
            built = false;
            break;
        }
        if (!Capvane::is_available(&c->device_index)) {
            logger::print(flog, logger::msg_type::err, "capvane: device (idx=%d) not found\n",
                          c->device_index);
            start_report::failed("capvane: device (idx=%d) not found", c->device_index);
            help();
            notifier.stopping();
            current.release();
            close_log_stream();
            return 1;
        }
        // The previous generation goes first: its threads stop before the next ones start, and
        // two samplers or two senders never run side by side.
        current.release();
        if (!first_cycle) {
            reopen_log_stream(c); // after log rotation, the new file; no thread logs meanwhile
        }
        Components next;
        built = build_components(c, destinations, next);
        current = std::move(next);
        if (!built) {
            break;
        }
        result = current.capture->start(c->device_index);
        if (result != 0) {
            start_report::failed("the capture could not start: %s", failure_cause(result));
            break;
        }
        notifier.ready(watched_threads(current, c));
        start_report::ready();
        first_cycle = false;
        broken = gateway_task(current.capture, current.queue, [&] {
                     notifier.tick([&] { return service_status(current, c); });
                 }) != 0;
        if (reload.load() != 1) {
            break;
        }
        notifier.reloading();
        result = current.capture->stop();
        if (result != 0) {
            break;
        }
    }

    notifier.stopping();
    if (current.capture) {
        current.capture->stop();
    }
    if (result != 0) {
        print_error(result);
    }
    syslog(LOG_INFO, "Stopped FIP to UDP analyzer daemon");
    closelog();
    release_config_texts(c);
    // A lost card is a failure for the supervisor too: status 1 lets Restart=on-failure act.
    const int exit_status = (result != 0 || !built || broken) ? 1 : 0;
    current.release();
    log_signal_notices();
    close_log_stream();
    return exit_status;
}

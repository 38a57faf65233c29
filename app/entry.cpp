#include "app/entry.hpp"

#include <syslog.h>

#include "app/config.hpp"
#include "app/daemon.hpp"
#include "app/options.hpp"
#include "app/signals.hpp"
#include "app/syslog_session.hpp"

int run_process(int argc, char** argv, int (*gateway)(app_cfg*)) {
    // First of all: a stop or a reload (systemctl reload right after the start) must never meet
    // the default action, which would end the process without its orderly stop. A request that
    // comes this early is kept in the flags and acted on once the gateway waits.
    install_signal_handlers();
    int proceed = 1;
    const int status = load_settings(argc, argv, &proceed);
    if (proceed == 0) {
        return status; // help, version, device list or bad command line: syslog stays quiet
    }
    open_syslog(argv[0]);
    syslog(LOG_INFO, "Started FIP to UDP analyzer daemon");
    if (cfg.daemonize == 1) {
        return app_daemonize(&cfg, gateway);
    }
    return gateway(&cfg);
}

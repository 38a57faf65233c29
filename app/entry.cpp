#include "app/entry.hpp"

#include <syslog.h>

#include "app/config.hpp"
#include "app/daemon.hpp"
#include "app/options.hpp"
#include "app/syslog_session.hpp"

int run_process(int argc, char** argv, int (*gateway)(app_cfg*)) {
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

#include "app/gateway.hpp"

#include <syslog.h>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "app/log_stream.hpp"
#include "app/signals.hpp"
#include "log/logger.hpp"

// The components are not built yet: each cycle reads the configuration and waits.
int app(app_cfg* c) {
    install_signal_handlers();
    select_log_stream(c);
    reload.store(0);
    do {
        read_conf_file(c, reload.load());
        reload.store(0);
        logger::print(flog, logger::msg_type::info, "app is running... press Ctrl + C to exit.\n");
        wait_while_running();
    } while (reload.load() == 1);

    syslog(LOG_INFO, "Stopped FIP to UDP analyzer daemon");
    closelog();
    release_config_texts(c);
    log_signal_notices();
    close_log_stream();
    return 0;
}

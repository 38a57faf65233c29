// The process shell (command line, syslog, daemon mode, signals, configuration reloads) around a
// stand-in gateway that builds no component, so the shell's behaviour can be tested without a
// capture card. The log stream is line-buffered so that tests can watch it.
//
// FIPGATE_TEST_BUILD_MS: milliseconds each build cycle spends "building components" (announced
// by the line "building components\n") before its wait starts.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <syslog.h>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "app/entry.hpp"
#include "app/log_stream.hpp"
#include "app/signals.hpp"
#include "app/start_report.hpp"
#include "log/logger.hpp"

namespace {

// Sleeps the whole period even when signals interrupt it, like a constructor that is busy.
void build_components() {
    const char* ms = std::getenv("FIPGATE_TEST_BUILD_MS");
    if (ms == nullptr) {
        return;
    }
    logger::print(flog, logger::msg_type::info, "building components\n");
    const long total_ms = std::atol(ms);
    timespec left{total_ms / 1000, (total_ms % 1000) * 1'000'000};
    while (nanosleep(&left, &left) != 0) {
    }
}

int stand_in_gateway(app_cfg* c) {
    install_signal_handlers();
    select_log_stream(c);
    std::setvbuf(flog, nullptr, _IOLBF, 0);
    reload.store(0);
    do {
        read_conf_file(c, reload.exchange(0));
        logger::print(flog, logger::msg_type::info, "device_index=%d udp_port=%d\n",
                      c->device_index, c->udp_port);
        build_components();
        logger::print(flog, logger::msg_type::info, "app is running... press Ctrl + C to exit.\n");
        start_report::ready();
        wait_while_running();
    } while (reload.load() == 1);

    // A slow shutdown, during which a second terminating signal must end the process at once.
    build_components();
    syslog(LOG_INFO, "Stopped FIP to UDP analyzer daemon");
    closelog();
    release_config_texts(c);
    log_signal_notices();
    close_log_stream();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return run_process(argc, argv, stand_in_gateway);
}

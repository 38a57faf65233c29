#include "support/gateway_run.hpp"

#include <csignal>

namespace testsupport {

namespace {

std::string preload_value() {
    std::string value = SANITIZER_RUNTIME_PRELOAD;
    if (!value.empty()) {
        value += ":";
    }
    return value + CAPVANE_SIM_LIB;
}

} // namespace

GatewayRun::GatewayRun(const GatewayConfig& config) {
    std::vector<std::string> command = {"/usr/bin/env", "LD_PRELOAD=" + preload_value(),
                                        "CAPVANE_SIM_REPORT=" + report_path()};
    if (config.control) {
        command.push_back("CAPVANE_SIM_CONTROL=" + control_path());
    }
    for (const auto& [name, value] : config.card_env) {
        command.push_back(name + "=" + value);
    }
    command.push_back(FIPGATE_BIN);
    command.push_back("-B");
    command.push_back(buffer_path());
    command.insert(command.end(), config.options.begin(), config.options.end());
    child = std::make_unique<ChildProcess>(sink.wrap(command));
}

GatewayRun::~GatewayRun() = default;

bool GatewayRun::wait_running(int count, std::chrono::milliseconds timeout) {
    const std::string line = "app is running... press Ctrl + C to exit.\n";
    return child->wait_for_output(line, count, timeout);
}

int GatewayRun::stop(int signo, std::chrono::milliseconds timeout) {
    kill(child->pid(), signo);
    return child->wait_exit(timeout);
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace testsupport

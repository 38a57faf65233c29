#include "support/sim_env.hpp"

#include <chrono>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

#include "support/sim_control.hpp"

extern char** environ;

namespace testsupport {

SimEnv::SimEnv() {
    clear();
}

SimEnv::SimEnv(Vars vars) {
    clear();
    set("CAPVANE_SIM_CONTROL", dir.file("card.sock"));
    for (const auto& [name, value] : vars) {
        set(name, value);
    }
}

SimEnv::~SimEnv() {
    clear();
}

void SimEnv::set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
    if (name == "CAPVANE_SIM_CONTROL") {
        control_path = value;
    }
}

void SimEnv::clear() {
    // Names first: unsetenv rearranges environ under the loop.
    std::vector<std::string> names;
    const std::string prefix = "CAPVANE_SIM_";
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        if (entry.rfind(prefix, 0) == 0) {
            names.push_back(entry.substr(0, entry.find('=')));
        }
    }
    for (const std::string& name : names) {
        ::unsetenv(name.c_str());
    }
}

std::string SimEnv::command(const std::string& line) const {
    SimControl control(control_path, std::chrono::seconds(5));
    return control.command(line);
}

std::int64_t SimEnv::stat(const std::string& key) const {
    const std::string json = command("stats");
    const long long value = json_number(json, key);
    if (value < 0) {
        ADD_FAILURE() << "no " << key << " in " << json;
    }
    return value;
}

} // namespace testsupport

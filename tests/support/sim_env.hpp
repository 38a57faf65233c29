// The simulated card's environment for one test. The card reads it at the first open of a
// session, so every test starts from a clean card of its own.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "support/temp_dir.hpp"

namespace testsupport {

class SimEnv {
public:
    using Vars = std::initializer_list<std::pair<std::string, std::string>>;

    // Clears every CAPVANE_SIM_* variable, here and again at destruction, so that no test runs
    // on a card another one configured.
    SimEnv();
    // Also sets `vars`, and gives the card a control socket in a private directory (unless `vars`
    // names one) for command() and stat().
    explicit SimEnv(Vars vars);
    ~SimEnv();
    SimEnv(const SimEnv&) = delete;
    SimEnv& operator=(const SimEnv&) = delete;

    void set(const std::string& name, const std::string& value);

    // The control socket's path ("" while none is set).
    const std::string& control() const { return control_path; }
    // Sends one command line to the card and returns its answer line ("ok ..." or "error ...").
    // Waits up to 5 s for the socket, which exists only while a node of the card is open.
    std::string command(const std::string& line) const;
    // An integer field of the card's statistics; a test failure and -1 when it is absent.
    std::int64_t stat(const std::string& key) const;

private:
    static void clear();

    TempDir dir;
    std::string control_path;
};

} // namespace testsupport

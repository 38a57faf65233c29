// A line-oriented client of the simulated card's control socket, and the reading of the flat JSON
// objects the card (and fipdump) answer with.
#pragma once

#include <chrono>
#include <string>

namespace testsupport {

class SimControl {
public:
    // Connects, retrying until the socket exists or `timeout` passes (then ok() is false). The
    // socket exists only while a node of the card is open; 0 tries once.
    explicit SimControl(const std::string& path,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
    ~SimControl();
    SimControl(const SimControl&) = delete;
    SimControl& operator=(const SimControl&) = delete;

    bool ok() const { return fd >= 0; }
    // Sends one command; returns the answer line without its newline ("" on failure, or when no
    // answer came within 5 s).
    std::string command(const std::string& line);

private:
    int fd = -1;
    std::string pending; // bytes read past the last answer's newline
};

// A number from a flat JSON object such as the card's statistics ("records":123); -1 if absent.
long long json_number(const std::string& json, const std::string& key);

} // namespace testsupport

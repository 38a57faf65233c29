// What the capture tests share: the simulated card's environment and control socket, a log
// stream that can be read back, an event buffer in a private directory, and polling helpers.
#pragma once

#include <algorithm>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "capture/capvane.hpp"

namespace capture_test {

using namespace std::chrono_literals;

// Polls `pred` every 5 ms until it holds or `limit` passed; the result of the last poll.
inline bool wait_until(const std::function<bool()>& pred, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) {
            return pred();
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Sets the simulated card's environment for one test and clears it afterwards. The sim reads it
// at the first open of a session, so every test starts from its own values.
class SimEnv {
public:
    explicit SimEnv(std::initializer_list<std::pair<std::string, std::string>> init) {
        std::map<std::string, std::string> vars(init.begin(), init.end());
        static int serial = 0;
        control = "/tmp/fipgate-capture-" + std::to_string(::getpid()) + "-" +
                  std::to_string(serial++) + ".sock";
        vars.emplace("CAPVANE_SIM_CONTROL", control);
        for (const auto& [k, v] : vars) {
            ::setenv(k.c_str(), v.c_str(), 1);
            names.push_back(k);
        }
    }
    ~SimEnv() {
        for (const std::string& k : names) {
            ::unsetenv(k.c_str());
        }
    }
    SimEnv(const SimEnv&) = delete;
    SimEnv& operator=(const SimEnv&) = delete;

    // Sends one command line to the card, returns its answer line ("ok ..." or "error ...").
    // Waits for the socket, which exists only while a node of the card is open.
    std::string command(const std::string& line) const {
        std::string answer;
        wait_until([&] {
            const int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            control.copy(addr.sun_path, sizeof addr.sun_path - 1);
            if (::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                ::close(s);
                return false;
            }
            const std::string out = line + "\n";
            if (::write(s, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
                ::close(s);
                return false;
            }
            // Read in blocks: the stats answer is kilobytes long, and tests poll it in loops
            // where a read per byte would take the CPU the measured code should have.
            char block[4096];
            ssize_t n = 0;
            while (answer.find('\n') == std::string::npos &&
                   (n = ::read(s, block, sizeof block)) > 0) {
                answer.append(block, static_cast<std::size_t>(n));
            }
            answer.erase(std::min(answer.find('\n'), answer.size()));
            ::close(s);
            return true;
        });
        return answer;
    }

    // An integer field of the card's statistics object, found by its quoted key.
    std::int64_t stat(const std::string& key) const {
        const std::string json = command("stats");
        const std::string pattern = "\"" + key + "\":";
        const auto pos = json.find(pattern);
        if (pos == std::string::npos) {
            ADD_FAILURE() << "no " << key << " in " << json;
            return -1;
        }
        return std::strtoll(json.c_str() + pos + pattern.size(), nullptr, 10);
    }

    std::string control;

private:
    std::vector<std::string> names;
};

// A log stream for the capture object that the test reads back.
class LogFile {
public:
    LogFile() : file(std::tmpfile()) {}
    ~LogFile() { std::fclose(file); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    FILE* stream() const { return file; }
    std::string text() const {
        std::fflush(file);
        std::string out;
        char buf[4096];
        off_t off = 0;
        ssize_t n = 0;
        while ((n = ::pread(::fileno(file), buf, sizeof buf, off)) > 0) {
            out.append(buf, static_cast<std::size_t>(n));
            off += n;
        }
        return out;
    }
    bool contains(const std::string& s) const { return text().find(s) != std::string::npos; }
    std::size_t count(const std::string& s) const {
        const std::string t = text();
        std::size_t n = 0;
        for (auto pos = t.find(s); pos != std::string::npos; pos = t.find(s, pos + 1)) {
            ++n;
        }
        return n;
    }

private:
    FILE* file;
};

// An event buffer in a directory of its own, removed at the end.
inline std::shared_ptr<Capvane::event_queue> make_queue(unsigned long bytes = 16UL << 20) {
    static int serial = 0;
    const std::string dir =
        "/tmp/fipgate-capture-q-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);
    auto q = std::shared_ptr<Capvane::event_queue>(
        new Capvane::event_queue(dir + "/buffer.bin", bytes), [dir](Capvane::event_queue* p) {
            delete p;
            boost::filesystem::remove_all(dir);
        });
    EXPECT_TRUE(q->is_valid());
    return q;
}

// Every event waiting in the queue, in order.
inline std::vector<std::vector<char>> drain(Capvane::event_queue& q) {
    std::vector<std::vector<char>> out;
    std::vector<char> e;
    while (q.try_dequeue(e, boost::posix_time::milliseconds(0))) {
        out.push_back(e);
    }
    return out;
}

// Holds a node of the card open, so that its session (and its control socket) exists before
// and after the capture object's own descriptor.
class NodeHold {
public:
    explicit NodeHold(int card) : fd(::open(Capvane::node_name(card).c_str(), O_RDWR)) {}
    ~NodeHold() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    NodeHold(const NodeHold&) = delete;
    NodeHold& operator=(const NodeHold&) = delete;
    int fd;
};

} // namespace capture_test

// tshark with the fipgate dissectors loaded from personal plugin folders: the compiled plugin, the
// Lua file, or both. Wireshark ignores personal plugins when run as root, so as root tshark runs
// as `nobody` with a private home; the captures it reads must sit in readable() folders.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace testsupport {

enum class Dissectors { Lua, Plugin, Both };

struct TsharkRun {
    int status = -1; // wait status, -1 when it did not end in time
    std::string out;
    std::string err;
};

class TsharkHomes {
public:
    TsharkHomes(); // one home per set-up, with the plugin and the Lua file of this build
    // False without tshark or without the plugin in this build: the caller skips.
    static bool available();
    // Where the `make` target would put the plugin under `home`.
    static std::string personal_plugin_dir(const std::string& home);
    std::string home(Dissectors which) const;
    // A path the unprivileged tshark can read, for a capture the test writes.
    std::string readable(const std::string& name) const { return dir.file(name); }
    // tshark `args` with `which` loaded, run as an unprivileged user.
    TsharkRun run(Dissectors which, const std::vector<std::string>& args,
                  std::chrono::milliseconds timeout = std::chrono::seconds(120)) const;
    // tshark run with HOME=`home`, as an unprivileged user.
    static TsharkRun run_in(const std::string& home, const std::vector<std::string>& args,
                            std::chrono::milliseconds timeout = std::chrono::seconds(120));
    // Hands `path` (and what it holds) to the user tshark runs as.
    static void give_to_tshark_user(const std::string& path);

private:
    TempDir dir;
};

// Compares what the plugin and the Lua file register (protocol, fields with their types, bases
// and value strings, heuristic, port, preference); "" when the same, else the first difference.
std::string registration_disagreement(const TsharkHomes& homes);

// Decodes `pcap` with the plugin and with the Lua file (every field of every event in one pass,
// the trees and expert items in two, and the fipgate,ids table after each); "" when both say the
// same, else where they first differ.
// `plugin_trees`, when given, receives the plugin's trees.
std::string dissector_disagreement(const TsharkHomes& homes, const std::string& pcap,
                                   std::string* plugin_trees = nullptr);

} // namespace testsupport

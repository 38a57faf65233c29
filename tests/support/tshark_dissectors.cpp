#include "support/tshark_dissectors.hpp"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "support/child_process.hpp"

namespace testsupport {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUnprivilegedUser = "nobody";
constexpr const char* kWiresharkAbi = "4.0"; // the folder of the series the plugin is built for

std::string lua_file() {
    return std::string(FIPGATE_SOURCE_DIR) + "/wireshark/fipgate.lua";
}

std::string personal_lua_dir(const std::string& home) {
    return home + "/.local/lib/wireshark/plugins";
}

// The lines of `text` that name a fipgate field in `tshark -G fields` output.
std::vector<std::string> fipgate_fields(const std::string& text) {
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream cols(line);
        std::string kind, name, abbrev;
        std::getline(cols, kind, '\t');
        std::getline(cols, name, '\t');
        std::getline(cols, abbrev, '\t');
        if (kind == "F" && abbrev.rfind("fipgate.", 0) == 0) {
            names.push_back(abbrev);
        }
    }
    return names;
}

// The first line where `a` and `b` differ, with its number, or "" when they are equal.
std::string first_difference(const std::string& what, const std::string& a, const std::string& b) {
    if (a == b) {
        return "";
    }
    std::istringstream la(a), lb(b);
    std::string line_a, line_b;
    for (int n = 1;; ++n) {
        const bool more_a = static_cast<bool>(std::getline(la, line_a));
        const bool more_b = static_cast<bool>(std::getline(lb, line_b));
        if (!more_a && !more_b) {
            return what + ": outputs differ in line endings";
        }
        if (!more_a || !more_b || line_a != line_b) {
            return what + ", line " + std::to_string(n) +
                   ":\n  plugin: " + (more_a ? line_a : "<end>") +
                   "\n  Lua:    " + (more_b ? line_b : "<end>");
        }
    }
}

std::vector<std::string> split(const std::string& line, char separator) {
    std::vector<std::string> out;
    std::size_t from = 0;
    for (std::size_t at; (at = line.find(separator, from)) != std::string::npos; from = at + 1) {
        out.push_back(line.substr(from, at - from));
    }
    out.push_back(line.substr(from));
    return out;
}

// The first packet and field where two `-T fields` outputs (one line per packet, the -e columns
// of `names` then the expert and Info columns, the -z table after) differ.
std::string first_field_difference(std::vector<std::string> names, const std::string& a,
                                   const std::string& b) {
    for (const char* extra :
         {"_ws.expert.message", "_ws.expert.severity", "_ws.expert.group", "_ws.col.Info"}) {
        names.push_back(extra);
    }
    const std::vector<std::string> lines_a = split(a, '\n');
    const std::vector<std::string> lines_b = split(b, '\n');
    for (std::size_t n = 0; n < std::max(lines_a.size(), lines_b.size()); ++n) {
        const std::string la = n < lines_a.size() ? lines_a[n] : "<end>";
        const std::string lb = n < lines_b.size() ? lines_b[n] : "<end>";
        if (la == lb) {
            continue;
        }
        const std::vector<std::string> ca = split(la, '|');
        const std::vector<std::string> cb = split(lb, '|');
        if (ca.size() == names.size() && cb.size() == names.size()) {
            for (std::size_t c = 0; c < names.size(); ++c) {
                if (ca[c] != cb[c]) {
                    return "one pass, packet " + std::to_string(n + 1) + ", " + names[c] +
                           ":\n  plugin: " + ca[c] + "\n  Lua:    " + cb[c];
                }
            }
        }
        return "one pass, line " + std::to_string(n + 1) + ":\n  plugin: " + la +
               "\n  Lua:    " + lb;
    }
    return "";
}

} // namespace

bool TsharkHomes::available() {
#ifndef FIPGATE_WIRESHARK_PLUGIN
    return false;
#else
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
#endif
}

std::string TsharkHomes::personal_plugin_dir(const std::string& home) {
    return home + "/.local/lib/wireshark/plugins/" + kWiresharkAbi + "/epan";
}

TsharkHomes::TsharkHomes() {
    // The user tshark runs as must reach the captures and the homes.
    ::chmod(dir.path().c_str(), 0755);
    for (Dissectors which : {Dissectors::Lua, Dissectors::Plugin, Dissectors::Both}) {
        const std::string h = home(which);
        fs::create_directories(personal_lua_dir(h));
        if (which != Dissectors::Plugin) {
            fs::copy_file(lua_file(), personal_lua_dir(h) + "/fipgate.lua");
        }
#ifdef FIPGATE_WIRESHARK_PLUGIN
        if (which != Dissectors::Lua) {
            fs::create_directories(personal_plugin_dir(h));
            fs::copy_file(FIPGATE_WIRESHARK_PLUGIN, personal_plugin_dir(h) + "/fipgate.so");
        }
#endif
        give_to_tshark_user(h);
    }
}

std::string TsharkHomes::home(Dissectors which) const {
    switch (which) {
    case Dissectors::Lua:
        return dir.file("home-lua");
    case Dissectors::Plugin:
        return dir.file("home-plugin");
    default:
        return dir.file("home-both");
    }
}

void TsharkHomes::give_to_tshark_user(const std::string& path) {
    if (::geteuid() != 0) {
        return;
    }
    const passwd* user = ::getpwnam(kUnprivilegedUser);
    if (user == nullptr) {
        return;
    }
    const auto give = [user](const fs::path& p) {
        if (::chown(p.c_str(), user->pw_uid, user->pw_gid) != 0) {
            ::chmod(p.c_str(), 0755);
        }
    };
    give(path);
    if (fs::is_directory(path)) {
        for (const auto& entry : fs::recursive_directory_iterator(path)) {
            give(entry.path());
        }
    }
}

TsharkRun TsharkHomes::run_in(const std::string& home, const std::vector<std::string>& args,
                              std::chrono::milliseconds timeout) {
    std::vector<std::string> argv;
    if (::geteuid() == 0) {
        argv = {"runuser", "-u", kUnprivilegedUser, "--"};
    }
    for (const std::string& a : {std::string("env"), "HOME=" + home, std::string("tshark")}) {
        argv.push_back(a);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    ChildProcess child(argv);
    TsharkRun result;
    result.status = child.wait_exit(timeout);
    result.out = child.out();
    result.err = child.err();
    return result;
}

TsharkRun TsharkHomes::run(Dissectors which, const std::vector<std::string>& args,
                           std::chrono::milliseconds timeout) const {
    return run_in(home(which), args, timeout);
}

namespace {

// Runs `args` with the plugin and with the Lua file; "" when both succeed quietly.
std::string run_both(const TsharkHomes& homes, const std::vector<std::string>& args,
                     TsharkRun& plugin, TsharkRun& lua) {
    plugin = homes.run(Dissectors::Plugin, args);
    lua = homes.run(Dissectors::Lua, args);
    for (const TsharkRun* r : {&plugin, &lua}) {
        if (!WIFEXITED(r->status) || WEXITSTATUS(r->status) != 0 || !r->err.empty()) {
            return std::string("tshark failed (") + (r == &plugin ? "plugin" : "Lua") +
                   "): " + std::to_string(r->status) + "\n" + r->err;
        }
    }
    return std::string();
}

// The lines of a `tshark -G` report that belong to fipgate, sorted: registration order is the
// Lua table's hash order.
std::string fipgate_lines(const std::string& text) {
    std::vector<std::string> kept;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("fipgate") != std::string::npos) {
            kept.push_back(line);
        }
    }
    std::sort(kept.begin(), kept.end());
    std::string out;
    for (const std::string& line : kept) {
        out += line + "\n";
    }
    return out;
}

} // namespace

std::string registration_disagreement(const TsharkHomes& homes) {
    for (const char* report :
         {"protocols", "fields", "values", "heuristic-decodes", "decodes", "defaultprefs"}) {
        TsharkRun plugin, lua;
        if (std::string failed = run_both(homes, {"-G", report}, plugin, lua); !failed.empty()) {
            return failed;
        }
        const std::string mine = fipgate_lines(plugin.out);
        if (mine.empty()) {
            return std::string("tshark -G ") + report + " names no fipgate item";
        }
        if (std::string d =
                first_difference(std::string("tshark -G ") + report, mine, fipgate_lines(lua.out));
            !d.empty()) {
            return d;
        }
    }
    return "";
}

std::string dissector_disagreement(const TsharkHomes& homes, const std::string& pcap,
                                   std::string* plugin_trees) {
    const auto both = [&homes](const std::vector<std::string>& args, TsharkRun& plugin,
                               TsharkRun& lua) { return run_both(homes, args, plugin, lua); };
    TsharkRun plugin, lua;
    // The plugin's field list, asked once per process: the same for every capture.
    static const std::vector<std::string> names =
        fipgate_fields(homes.run(Dissectors::Plugin, {"-G", "fields"}).out);
    if (names.empty()) {
        return "the plugin registers no fipgate field";
    }

    std::vector<std::string> one_pass{"-n",           "-r", pcap,          "-T", "fields",     "-E",
                                      "occurrence=a", "-E", "separator=|", "-z", "fipgate,ids"};
    for (const std::string& n : names) {
        one_pass.insert(one_pass.end(), {"-e", n});
    }
    one_pass.insert(one_pass.end(), {"-e", "_ws.expert.message", "-e", "_ws.expert.severity", "-e",
                                     "_ws.expert.group", "-e", "_ws.col.Info"});
    if (std::string failed = both(one_pass, plugin, lua); !failed.empty()) {
        return failed;
    }
    if (std::string d = first_field_difference(names, plugin.out, lua.out); !d.empty()) {
        return d;
    }
    if (std::string failed =
            both({"-n", "-r", pcap, "-2", "-V", "-O", "fipgate", "-z", "fipgate,ids"}, plugin, lua);
        !failed.empty()) {
        return failed;
    }
    if (plugin_trees != nullptr) {
        *plugin_trees = plugin.out;
    }
    return first_difference("two passes, trees", plugin.out, lua.out);
}

} // namespace testsupport

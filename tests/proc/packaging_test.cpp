// The installed layout, the service units, the manual pages and the Debian package, checked with
// the tools that administrators and Debian use on them: systemd-analyze, groff and man, cpack,
// dpkg and lintian. Everything is installed into scratch directories, never onto this machine.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "fipgate_version.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace fs = std::filesystem;
using testsupport::ChildProcess;
using testsupport::read_file;
using testsupport::TempDir;

namespace {

constexpr std::chrono::seconds tool_time_limit{90};

struct ToolRun {
    int status = -1; // exit status, 128 + signal, or -1 when the time limit passed
    std::string out;
    std::string err;
};

ToolRun run(const std::vector<std::string>& argv) {
    ChildProcess child(argv);
    const int st = child.wait_exit(tool_time_limit);
    ToolRun r;
    if (st != -1) {
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    r.out = child.out();
    r.err = child.err();
    return r;
}

bool have_tool(const std::string& name) {
    return run({"sh", "-c", "command -v " + name}).status == 0;
}

// A sanitized build's binaries need their runtime preloaded and are never shipped: the release
// build checks the installation and the package.
bool sanitized_build() {
    return std::string(SANITIZER_RUNTIME_PRELOAD).size() > 0;
}

// The first file (or directory) named `name` under `root`, or "" when there is none.
std::string find_under(const std::string& root, const std::string& name, bool directory = false) {
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename() == name && entry.is_directory() == directory) {
            return entry.path().string();
        }
    }
    return "";
}

// The values of `key=` lines in a unit file, in order.
std::vector<std::string> unit_values(const std::string& text, const std::string& key) {
    std::vector<std::string> values;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            values.push_back(line.substr(key.size() + 1));
        }
    }
    return values;
}

// The argument of `option` in a command line ("" when the option is absent).
std::string option_value(const std::string& command, const std::string& option) {
    const std::size_t at = command.find(" " + option + " ");
    if (at == std::string::npos) {
        return "";
    }
    const std::size_t from = at + option.size() + 2;
    return command.substr(from, command.find(' ', from) - from);
}

// Long option names ("--name") that a usage text mentions.
std::set<std::string> long_options(const std::string& usage) {
    std::set<std::string> names;
    for (std::size_t at = usage.find("--"); at != std::string::npos; at = usage.find("--", at)) {
        std::size_t end = at + 2;
        while (end < usage.size() && (std::isalnum(static_cast<unsigned char>(usage[end])) ||
                                      usage[end] == '_' || usage[end] == '-')) {
            ++end;
        }
        if (end > at + 2) {
            names.insert(usage.substr(at, end - at));
        }
        at = end;
    }
    return names;
}

// What roff source shows as `text`: every '-' written as "\-".
std::string roff_escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '-' ? std::string("\\-") : std::string(1, c);
    }
    return out;
}

// One `cmake --install` of this build into a scratch directory, shared by the tests below.
class Installed : public testing::Test {
protected:
    static void SetUpTestSuite() {
        if (sanitized_build()) {
            return;
        }
        stage_dir = new TempDir();
        install_run =
            run({"env", "DESTDIR=" + stage_dir->path(), "cmake", "--install", FIPGATE_BINARY_DIR});
    }
    static void TearDownTestSuite() {
        delete stage_dir;
        stage_dir = nullptr;
    }
    void SetUp() override {
        if (sanitized_build()) {
            GTEST_SKIP() << "installation is checked in the release build only";
        }
        ASSERT_EQ(install_run.status, 0) << install_run.out << install_run.err;
    }
    static std::string stage() { return stage_dir->path(); }

    static TempDir* stage_dir;
    static ToolRun install_run;
};

TempDir* Installed::stage_dir = nullptr;
ToolRun Installed::install_run;

TEST_F(Installed, EachFileLandsWhereItsUserLooksForIt) {
    // The only file named fipgate that is executable (the log rotation file has the same name).
    std::string daemon;
    for (const auto& entry : fs::recursive_directory_iterator(stage())) {
        if (entry.path().filename() == "fipgate" && entry.is_regular_file() &&
            ::access(entry.path().c_str(), X_OK) == 0) {
            daemon = entry.path().string();
        }
    }
    EXPECT_NE(daemon.find("/sbin/fipgate"), std::string::npos) << daemon;
    EXPECT_EQ(::access(daemon.c_str(), X_OK), 0);
#ifdef FIPDUMP_BIN
    EXPECT_NE(find_under(stage(), "fipdump").find("/bin/fipdump"), std::string::npos);
    EXPECT_EQ(find_under(stage(), "fipdump").find("/sbin/"), std::string::npos);
#endif
    // In a directory of its own, never where the dynamic linker or a service would find it.
    const std::string sim = find_under(stage(), "libcapvane-sim.so");
    EXPECT_EQ(fs::path(sim).parent_path().filename(), "fipgate") << sim;
#ifdef FIPGATE_WIRESHARK_PLUGIN
    // The compiled plugin where Wireshark's own loads from; the Lua file beside the data, for
    // other Wireshark versions: in a plugin folder it would step aside at every start.
    const std::string plugin = find_under(stage(), "fipgate.so");
    const ToolRun plugin_folders = run({"tshark", "-G", "folders"});
    const std::string global = "Global Plugins:";
    const std::size_t global_at = plugin_folders.out.find(global);
    ASSERT_NE(global_at, std::string::npos) << plugin_folders.out << plugin_folders.err;
    std::string global_dir = plugin_folders.out.substr(global_at + global.size());
    global_dir = global_dir.substr(global_dir.find('/'));
    global_dir = global_dir.substr(0, global_dir.find('\n'));
    EXPECT_EQ(plugin, stage() + global_dir + "/epan/fipgate.so");
    EXPECT_NE(find_under(stage(), "fipgate.lua").find("/share/fipgate/wireshark/"),
              std::string::npos);
#else
    if (fs::exists(std::string(FIPGATE_SOURCE_DIR) + "/wireshark/fipgate.lua")) {
        const std::string lua = find_under(stage(), "fipgate.lua");
        EXPECT_EQ(fs::path(lua).parent_path().filename(), "plugins") << lua;
        EXPECT_NE(lua.find("/wireshark/plugins/"), std::string::npos) << lua;
        // Where this machine's Wireshark looks, for an install under its own prefix.
        const std::string prefix =
            daemon.substr(stage().size(), daemon.rfind("/sbin/") - stage().size());
        const ToolRun folders = run({"tshark", "-G", "folders"});
        const std::string label = "Global Lua Plugins:";
        const std::size_t at = folders.out.find(label);
        if (folders.status == 0 && at != std::string::npos) {
            std::string dir = folders.out.substr(at + label.size());
            dir = dir.substr(dir.find('/'));
            dir = dir.substr(0, dir.find('\n'));
            if (dir.rfind(prefix + "/", 0) == 0) {
                EXPECT_EQ(lua, stage() + dir + "/fipgate.lua");
            }
        }
    }
#endif
    EXPECT_NE(find_under(stage(), "fipgate.8.gz").find("/man/man8/"), std::string::npos);
    EXPECT_NE(find_under(stage(), "fipdump.1.gz").find("/man/man1/"), std::string::npos);
    EXPECT_NE(find_under(stage(), "fipgate.service").find("/systemd/system/"), std::string::npos);
    EXPECT_NE(find_under(stage(), "fipgate-forking.service").find("/systemd/system/"),
              std::string::npos);
    EXPECT_TRUE(fs::exists(stage() + "/etc/logrotate.d/fipgate"));
    // Where README tells a Prometheus configuration to look.
    EXPECT_NE(find_under(stage(), "fipgate-alerts.yml").find("/share/fipgate/prometheus/"),
              std::string::npos);
}

// The example configuration file documents each key commented out; uncommented, each line must
// be what the daemon's own reader understands, with the value the comments promise.
TEST_F(Installed, ExampleConfigurationKeysAreReadByTheDaemon) {
    const std::string example =
        read_file(std::string(FIPGATE_SOURCE_DIR) + "/packaging/fipgate.conf");
    ASSERT_FALSE(example.empty());
    std::string uncommented;
    std::istringstream in(example);
    for (std::string line; std::getline(in, line);) {
        for (const char* key : {"#DeviceIndex", "#UdpPort", "#UdpAddress", "#UdpInterface",
                                "#MulticastTtl", "#MaxDatagramBytes"}) {
            if (line.rfind(key, 0) == 0) {
                line.erase(0, 1);
            }
        }
        uncommented += line + "\n";
    }
    TempDir dir;
    const std::string path = dir.file("fipgate.conf");
    std::ofstream(path) << uncommented;

    app_cfg c{};
    reset_config(&c);
    c.device_index = 7;
    c.udp_port = 1234;
    replace_text(&c.conf_file_name, path.c_str());
    std::vector<std::string> problems;
    EXPECT_EQ(read_conf_file(&c, 0, &problems), 0);
    EXPECT_EQ(problems, std::vector<std::string>{});
    EXPECT_EQ(c.device_index, 0);
    EXPECT_EQ(c.udp_port, 57117);
    ASSERT_NE(c.udp_address, nullptr);
    EXPECT_STREQ(c.udp_address, "255.255.255.255");
    ASSERT_NE(c.udp_interface, nullptr);
    EXPECT_STREQ(c.udp_interface, "eth1");
    EXPECT_EQ(c.multicast_ttl, 1);
    EXPECT_EQ(c.datagram_cap, 65507);
    release_config_texts(&c);
}

TEST_F(Installed, ServiceUnitsPassSystemdVerification) {
    if (!have_tool("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd): units not "
                        "verified";
    }
    TempDir units;
    for (const std::string name : {"fipgate.service", "fipgate-forking.service"}) {
        const std::string text = read_file(find_under(stage(), name));
        ASSERT_FALSE(text.empty()) << name;
        // The staged binary stands in for the installed one, which this machine does not have.
        const std::vector<std::string> starts = unit_values(text, "ExecStart");
        ASSERT_EQ(starts.size(), 1u) << name;
        const std::string binary = starts[0].substr(0, starts[0].find(' '));
        ASSERT_EQ(::access((stage() + binary).c_str(), X_OK), 0) << binary;
        std::string staged = text;
        staged.replace(staged.find("ExecStart=" + binary), 10 + binary.size(),
                       "ExecStart=" + stage() + binary);
        std::ofstream(units.file(name)) << staged;

        if (name == "fipgate.service") {
            // Readiness and the watchdog come from the main process itself, in the foreground.
            EXPECT_EQ(unit_values(text, "Type"), std::vector<std::string>{"notify"});
            EXPECT_EQ(unit_values(text, "NotifyAccess"), std::vector<std::string>{"main"});
            EXPECT_EQ(unit_values(text, "WatchdogSec"), std::vector<std::string>{"10"});
            EXPECT_EQ(starts[0].find(" -d"), std::string::npos);
        } else {
            // systemd must read the very file the daemon writes and locks.
            EXPECT_EQ(unit_values(text, "Type"), std::vector<std::string>{"forking"});
            const std::vector<std::string> pid_files = unit_values(text, "PIDFile");
            ASSERT_EQ(pid_files.size(), 1u);
            EXPECT_NE(starts[0].find(" -d "), std::string::npos);
            EXPECT_NE(starts[0].find(" -P " + pid_files[0] + " "), std::string::npos);
        }
        EXPECT_EQ(unit_values(text, "ExecReload"),
                  std::vector<std::string>{"/bin/kill -HUP $MAINPID"});
        EXPECT_EQ(unit_values(text, "Restart"), std::vector<std::string>{"on-failure"});
        // The configuration file the unit names is the one the package installs.
        const std::string conf = option_value(starts[0], "-C");
        EXPECT_TRUE(fs::exists(stage() + conf)) << conf;
        // The file system is read-only to the service but for the directories systemd makes
        // for it: the buffer file and the log file must live there or the gateway cannot start.
        const std::string buffer = option_value(starts[0], "-B");
        ASSERT_EQ(unit_values(text, "StateDirectory").size(), 1u) << name;
        EXPECT_EQ(fs::path(buffer).parent_path(),
                  fs::path("/var/lib") / unit_values(text, "StateDirectory")[0])
            << name;
        const std::string log = option_value(starts[0], "-L");
        if (!log.empty()) {
            ASSERT_EQ(unit_values(text, "LogsDirectory").size(), 1u) << name;
            EXPECT_EQ(fs::path(log).parent_path(),
                      fs::path("/var/log") / unit_values(text, "LogsDirectory")[0])
                << name;
        }
    }
    // verify reports unknown keys and bad values on standard error but still exits 0: both
    // count. MANPATH lets it find the staged manual page that Documentation= names.
    const std::string man_dir = fs::path(find_under(stage(), "man8", true)).parent_path().string();
    const ToolRun verify =
        run({"env", "MANPATH=" + man_dir, "systemd-analyze", "verify",
             units.file("fipgate.service"), units.file("fipgate-forking.service")});
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.err, "");
}

// The rotation configuration names the directory the forking unit logs to, reloads through
// systemd, and is valid for logrotate itself.
TEST_F(Installed, LogRotationReloadsTheGatewayAndPassesLogrotate) {
    std::string rotation;
    for (const auto& entry : fs::recursive_directory_iterator(stage())) {
        if (entry.path().filename() == "fipgate" &&
            entry.path().parent_path().filename() == "logrotate.d") {
            rotation = entry.path().string();
        }
    }
    ASSERT_FALSE(rotation.empty()) << "no logrotate.d/fipgate installed";
    const std::string text = read_file(rotation);
    const std::string forking = read_file(find_under(stage(), "fipgate-forking.service"));
    const std::string log = option_value(unit_values(forking, "ExecStart")[0], "-L");
    ASSERT_FALSE(log.empty());
    std::string rotated = fs::path(log).parent_path().string();
    rotated += "/*.log {\n";
    EXPECT_NE(text.find(rotated), std::string::npos) << text;
    EXPECT_NE(text.find("systemctl try-reload-or-restart 'fipgate*.service'"), std::string::npos);
    EXPECT_NE(text.find("nocreate"), std::string::npos) << "the gateway creates its file, 0640";
    if (!have_tool("logrotate")) {
        GTEST_SKIP() << "logrotate is not installed: configuration not parsed";
    }
    TempDir scratch;
    const ToolRun debug = run({"logrotate", "--debug", "--state", scratch.file("state"), rotation});
    EXPECT_EQ(debug.status, 0) << debug.err;
    EXPECT_EQ(debug.err.find("error"), std::string::npos) << debug.err;
}

// The template units: one gateway per card and one recorder per port. Each instance must get
// files of its own (a shared buffer file would be removed by the first instance to stop), and
// both units pass systemd's verification as templates and as instances.
TEST_F(Installed, TemplateUnitsGiveEachInstanceItsOwnFiles) {
    const std::string gateway = read_file(find_under(stage(), "fipgate@.service"));
    const std::string recorder = read_file(find_under(stage(), "fipdump@.service"));
    ASSERT_FALSE(gateway.empty());
    ASSERT_FALSE(recorder.empty());

    const std::vector<std::string> gateway_start = unit_values(gateway, "ExecStart");
    ASSERT_EQ(gateway_start.size(), 1u);
    EXPECT_EQ(option_value(gateway_start[0], "-i"), "%i");
    const std::string conf = option_value(gateway_start[0], "-C");
    EXPECT_EQ(fs::path(conf).filename(), "fipgate-%i.conf");
    EXPECT_TRUE(fs::exists(stage() + fs::path(conf).parent_path().string()))
        << "the configuration directory the package installs";
    EXPECT_EQ(unit_values(gateway, "AssertPathExists"), std::vector<std::string>{conf});
    const std::string buffer = option_value(gateway_start[0] + " ", "-B");
    EXPECT_NE(buffer.find("%i"), std::string::npos) << buffer;
    ASSERT_EQ(unit_values(gateway, "StateDirectory").size(), 1u);
    EXPECT_EQ(fs::path(buffer).parent_path(),
              fs::path("/var/lib") / unit_values(gateway, "StateDirectory")[0]);
    EXPECT_EQ(unit_values(gateway, "Type"), std::vector<std::string>{"notify"});
    EXPECT_EQ(unit_values(gateway, "NotifyAccess"), std::vector<std::string>{"main"});
    EXPECT_EQ(unit_values(gateway, "WatchdogSec"), std::vector<std::string>{"10"});
    EXPECT_EQ(unit_values(gateway, "Restart"), std::vector<std::string>{"on-failure"});
    EXPECT_EQ(unit_values(gateway, "ExecReload"),
              std::vector<std::string>{"/bin/kill -HUP $MAINPID"});
    EXPECT_EQ(gateway_start[0].find(" -d"), std::string::npos) << "stays in the foreground";
    // An IPv6 UdpAddress needs its address family.
    EXPECT_NE(unit_values(gateway, "RestrictAddressFamilies")[0].find("AF_INET6"),
              std::string::npos);

    const std::vector<std::string> recorder_start = unit_values(recorder, "ExecStart");
    ASSERT_EQ(recorder_start.size(), 1u);
    EXPECT_EQ(option_value(recorder_start[0], "-p"), "%i");
    EXPECT_NE(recorder_start[0].find(" -q "), std::string::npos);
    const std::string pcap = option_value(recorder_start[0], "-w");
    ASSERT_EQ(unit_values(recorder, "StateDirectory").size(), 1u);
    EXPECT_EQ(fs::path(pcap).parent_path(),
              fs::path("/var/lib") / unit_values(recorder, "StateDirectory")[0]);
    EXPECT_NE(pcap.find("%i"), std::string::npos) << pcap;
    EXPECT_FALSE(option_value(recorder_start[0], "-C").empty()) << "the recording rotates";
    EXPECT_FALSE(option_value(recorder_start[0], "-W").empty()) << "the ring is bounded";

    if (!have_tool("systemd-analyze")) {
        GTEST_SKIP() << "systemd-analyze is not installed (Debian package systemd): units not "
                        "verified";
    }
    TempDir units;
    std::vector<std::string> files;
    for (const auto& [name, text] : {std::pair{std::string("fipgate@"), gateway},
                                     std::pair{std::string("fipdump@"), recorder}}) {
        // The staged binary stands in for the installed one, which this machine does not have.
        const std::string start = unit_values(text, "ExecStart")[0];
        const std::string binary = start.substr(0, start.find(' '));
        ASSERT_EQ(::access((stage() + binary).c_str(), X_OK), 0) << binary;
        std::string staged = text;
        staged.replace(staged.find("ExecStart=" + binary), 10 + binary.size(),
                       "ExecStart=" + stage() + binary);
        for (const std::string instance : {"", name == "fipgate@" ? "1" : "57118"}) {
            files.push_back(units.file(name + instance + ".service"));
            std::ofstream(files.back()) << staged;
        }
    }
    const std::string man_dir = fs::path(find_under(stage(), "man8", true)).parent_path().string();
    std::vector<std::string> argv = {"env", "MANPATH=" + man_dir, "systemd-analyze", "verify"};
    argv.insert(argv.end(), files.begin(), files.end());
    const ToolRun verify = run(argv);
    EXPECT_EQ(verify.status, 0) << verify.err;
    EXPECT_EQ(verify.err, "");
}

// groff's warnings and man's checks are the lint of a manual page.
TEST(ManPages, FormatWithoutWarningsAndDocumentEveryOption) {
    if (sanitized_build()) {
        GTEST_SKIP() << "manual pages are checked in the release build only";
    }
    const std::string dir = std::string(FIPGATE_BINARY_DIR) + "/packaging/man/";
    for (const std::string page : {"fipgate.8", "fipdump.1"}) {
        if (have_tool("groff")) {
            const ToolRun groff = run({"groff", "-man", "-ww", "-z", dir + page});
            EXPECT_EQ(groff.status, 0) << page;
            EXPECT_EQ(groff.err, "") << page;
        }
        if (have_tool("man")) {
            const ToolRun man =
                run({"env", "LC_ALL=C", "MANWIDTH=80", "man", "--warnings", "-l", dir + page});
            EXPECT_EQ(man.status, 0) << page;
            EXPECT_EQ(man.err, "") << page;
        }
    }
    if (!have_tool("groff") && !have_tool("man")) {
        GTEST_SKIP() << "neither groff nor man is installed: pages not formatted";
    }

    // Every option the program itself lists is in its page.
    const std::string fipgate_page = read_file(dir + "fipgate.8");
    EXPECT_NE(fipgate_page.find("\"fipgate " FIPGATE_VERSION "\""), std::string::npos);
    const ToolRun usage = run({FIPGATE_BIN, "-h"});
    ASSERT_EQ(usage.status, 0);
    const std::set<std::string> fipgate_options = long_options(usage.out);
    EXPECT_EQ(fipgate_options.size(), 14u) << usage.out;
    for (const std::string& name : fipgate_options) {
        if (name == "--buff_size") {
            continue; // the usage text's spelling; the page gives the accepted one and says so
        }
        EXPECT_NE(fipgate_page.find(roff_escaped(name)), std::string::npos) << name;
    }
#ifdef FIPDUMP_BIN
    const std::string fipdump_page = read_file(dir + "fipdump.1");
    EXPECT_NE(fipdump_page.find("\"fipgate " FIPGATE_VERSION "\""), std::string::npos);
    const ToolRun help = run({FIPDUMP_BIN, "--help"});
    ASSERT_EQ(help.status, 0) << help.err;
    const std::set<std::string> fipdump_options = long_options(help.out + help.err);
    EXPECT_FALSE(fipdump_options.empty());
    for (const std::string& name : fipdump_options) {
        EXPECT_NE(fipdump_page.find(roff_escaped(name)), std::string::npos) << name;
    }
#endif
}

// The .deb that `make package` makes: built with cpack from this build, installed into a scratch
// root with dpkg, run from there, and purged without a trace.
TEST(DebianPackage, InstallsRunsAndPurgesCleanly) {
    if (sanitized_build()) {
        GTEST_SKIP() << "the package is built from the release build only";
    }
    if (!have_tool("dpkg") || !have_tool("cpack") || !have_tool("dpkg-shlibdeps")) {
        GTEST_SKIP() << "dpkg, cpack or dpkg-shlibdeps (dpkg-dev) missing: package not built";
    }
    if (::geteuid() != 0) {
        GTEST_SKIP() << "dpkg --root needs root to give files their owners";
    }
    TempDir work;
    const ToolRun pack =
        run({"cpack", "--config", std::string(FIPGATE_BINARY_DIR) + "/CPackConfig.cmake", "-B",
             work.file("out")});
    ASSERT_EQ(pack.status, 0) << pack.out << pack.err;
    const std::string deb = work.file("out/fipgate_" FIPGATE_VERSION "_amd64.deb");
    ASSERT_TRUE(fs::exists(deb)) << pack.out;

    // Every Boost library the daemon links comes from a package the .deb depends on.
    const ToolRun depends = run({"dpkg-deb", "--field", deb, "Depends"});
    ASSERT_EQ(depends.status, 0);
    const ToolRun ldd = run({"ldd", FIPGATE_BIN});
    std::istringstream libs(ldd.out);
    int boost_libs = 0;
    for (std::string line; std::getline(libs, line);) {
        const std::size_t arrow = line.find("=> /");
        if (line.find("libboost_") == std::string::npos || arrow == std::string::npos) {
            continue;
        }
        const std::string path = line.substr(arrow + 3, line.find(' ', arrow + 3) - arrow - 3);
        const ToolRun owner = run({"dpkg-query", "--search", fs::canonical(path).string()});
        ASSERT_EQ(owner.status, 0) << path;
        const std::string package = owner.out.substr(0, owner.out.find(':'));
        EXPECT_NE(depends.out.find(package), std::string::npos) << package << " in " << depends.out;
        ++boost_libs;
    }
    EXPECT_GT(boost_libs, 0) << ldd.out;
    EXPECT_NE(depends.out.find("procps"), std::string::npos) << "ExecReload runs /bin/kill";

    // Local changes to the configuration survive updates only as a conffile.
    const ToolRun conffiles =
        run({"sh", "-c", "dpkg-deb --ctrl-tarfile '" + deb + "' | tar -xOf - ./conffiles"});
    EXPECT_NE(conffiles.out.find("/fipgate/fipgate.conf\n"), std::string::npos)
        << conffiles.out << conffiles.err;
    EXPECT_NE(conffiles.out.find("/logrotate.d/fipgate\n"), std::string::npos) << conffiles.out;

    // A scratch root with an empty dpkg database; maintainer scripts run outside it and see
    // DPKG_ROOT, so they leave this machine's systemd alone.
    const std::string root = work.file("root");
    for (const char* d : {"var/lib/dpkg/info", "var/lib/dpkg/updates", "var/lib/dpkg/triggers"}) {
        fs::create_directories(root + "/" + d);
    }
    std::ofstream(root + "/var/lib/dpkg/status").flush();
    std::ofstream(root + "/var/lib/dpkg/available").flush();
    const std::vector<std::string> dpkg = {"dpkg", "--root=" + root, "--force-script-chrootless",
                                           "--force-depends"};
    auto with = [&](std::vector<std::string> args) {
        std::vector<std::string> argv = dpkg;
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    };
    const ToolRun install = run(with({"--install", deb}));
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    const ToolRun listed = run(with({"--listfiles", "fipgate"}));
    std::string installed_daemon, installed_dump;
    std::istringstream files(listed.out);
    for (std::string line; std::getline(files, line);) {
        if (line.size() > 13 && line.compare(line.size() - 13, 13, "/sbin/fipgate") == 0) {
            installed_daemon = root + line;
        }
        if (line.size() > 12 && line.compare(line.size() - 12, 12, "/bin/fipdump") == 0) {
            installed_dump = root + line;
        }
    }
    ASSERT_FALSE(installed_daemon.empty()) << listed.out;
    const ToolRun version = run({installed_daemon, "-v"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "fipgate " FIPGATE_VERSION "\n");
#ifdef FIPDUMP_BIN
    ASSERT_FALSE(installed_dump.empty()) << listed.out;
    const ToolRun help = run({installed_dump, "--help"});
    EXPECT_EQ(help.status, 0) << help.err;
#endif

    // Debian's own checker finds neither error nor warning.
    if (have_tool("lintian")) {
        const ToolRun lint = run({"lintian", "--no-tag-display-limit", deb});
        EXPECT_EQ(lint.out.find("E: "), std::string::npos) << lint.out;
        EXPECT_EQ(lint.out.find("W: "), std::string::npos) << lint.out;
    } else {
        ADD_FAILURE() << "lintian is not installed (scripts/install-deps installs it)";
    }
#ifdef FIPGATE_WIRESHARK_PLUGIN
    // Wireshark loads the plugin only into the series it was built for.
    EXPECT_NE(depends.out.find("libwireshark"), std::string::npos) << depends.out;
    EXPECT_NE(depends.out.find("(<< "), std::string::npos) << depends.out;
#endif

    const ToolRun purge = run(with({"--purge", "fipgate"}));
    ASSERT_EQ(purge.status, 0) << purge.out << purge.err;
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string rel = entry.path().string().substr(root.size());
        if (rel.rfind("/var/lib/dpkg", 0) != 0 && rel != "/var" && rel != "/var/lib") {
            left.push_back(rel);
        }
    }
    EXPECT_TRUE(left.empty()) << left.size() << " left, first " << left.front();
}

} // namespace

// The configuration file: line compaction, comments, the two keys, the lines that end the
// reading, and what goes to syslog. The test process runs with its own /dev/log.

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <syslog.h>

#include "app/conf_file.hpp"
#include "app/config.hpp"
#include "log/logger.hpp"
#include "support/child_process.hpp"
#include "support/syslog_sink.hpp"
#include "support/temp_dir.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::SyslogSink;
using testsupport::TempDir;

class ConfFile : public testing::Test {
protected:
    static void SetUpTestSuite() {
        sink = std::make_unique<SyslogSink>();
        ASSERT_TRUE(sink->capture_this_process());
    }
    static void TearDownTestSuite() {
        closelog();
        sink.reset();
    }

    void SetUp() override {
        reset_config(&c);
        c.device_index = 1; // as if given with -i 1
    }
    void TearDown() override { release_config_texts(&c); }

    // Writes `text` as the configuration file and reads it.
    int read(const std::string& text, int reload = 0) {
        const std::string path = dir.file("fipgate.conf");
        FILE* f = std::fopen(path.c_str(), "w");
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
        replace_text(&c.conf_file_name, path.c_str());
        return read_conf_file(&c, reload);
    }

    static std::unique_ptr<SyslogSink> sink;
    TempDir dir;
    app_cfg c{};
};

std::unique_ptr<SyslogSink> ConfFile::sink;

TEST_F(ConfFile, BlanksAreDroppedAndCommentsEndTheLine) {
    EXPECT_EQ(read("# gateway settings\n\n   \nUdp Port = 5000 # note\n De vice Index=3\n"), 0);
    EXPECT_EQ(c.udp_port, 5000);
    EXPECT_EQ(c.device_index, 3);
}

TEST_F(ConfFile, OnlyExactKeysCount) {
    // A tab is not a blank: it stays in the key, which is then unknown. Keys are case-sensitive.
    read("DeviceIndex\t=7\nudpport=1234\nOther=9\nUdpPort=1=2\n");
    EXPECT_EQ(c.device_index, 1);
    EXPECT_EQ(c.udp_port, 1);
}

TEST_F(ConfFile, PortValues) {
    EXPECT_EQ(read("UdpPort=-3\n"), 0);
    EXPECT_EQ(c.udp_port, 57117);
    EXPECT_EQ(read("UdpPort==42\r\n"), 0); // runs of '=' separate once; the \r stays in the value
    EXPECT_EQ(c.udp_port, 42);
    EXPECT_EQ(read("UdpPort=65535"), 0); // no final newline needed
    EXPECT_EQ(c.udp_port, 65535);
}

// A port the sender cannot use is refused, whatever else the file sets: the field keeps its
// value, the rest of the file applies, and syslog names the file and the value.
TEST_F(ConfFile, PortsOutsideTheRangeAreRefused) {
    for (const char* value : {"0", "abc", "70000", "65536", "99999999999999999999999"}) {
        c.udp_port = 5000;
        c.device_index = 1;
        EXPECT_EQ(read(std::string("UdpPort=") + value + "\nDeviceIndex=3\n"), conf_value_refused)
            << value;
        EXPECT_EQ(c.udp_port, 5000) << value;
        EXPECT_EQ(c.device_index, 3) << value;
        EXPECT_TRUE(sink->wait_for("Invalid UdpPort in configuration file " +
                                       dir.file("fipgate.conf") + ": " + value +
                                       " (a port is 1 to 65535)",
                                   2s))
            << value;
    }
}

TEST_F(ConfFile, KeyWithoutValueEndsTheFileWhichStillCountsAsRead) {
    EXPECT_EQ(read("UdpPort=5001\nDeviceIndex=2\nDeviceIndex\nUdpPort=9\n"), 0);
    EXPECT_EQ(c.udp_port, 5001);
    EXPECT_EQ(c.device_index, 2);
    EXPECT_TRUE(sink->wait_for("Loaded configuration file " + dir.file("fipgate.conf"), 2s));

    read("DeviceIndex=4\n===\nUdpPort=9\n");
    EXPECT_EQ(c.device_index, 4);
    EXPECT_EQ(c.udp_port, 5001);
    read("DeviceIndex=\nUdpPort=9\n");
    EXPECT_EQ(c.udp_port, 5001);
}

TEST_F(ConfFile, LongLinesArriveInPieces) {
    // 8191 characters fill the read buffer; the rest of the line is read as a line of its own.
    std::string line(8191 - 8, 'x');
    line = "Comment=" + line + "UdpPort=6001\n";
    read(line);
    EXPECT_EQ(c.udp_port, 6001);

    // Keys and values are cut at 99 characters.
    read("UdpPort=" + std::string(99, '1') + "\n" + std::string(120, 'D') + "=3\n");
    EXPECT_EQ(c.device_index, 1);
}

TEST_F(ConfFile, SyslogWording) {
    const std::string path = dir.file("fipgate.conf");
    read("UdpPort=5000\n", 1);
    EXPECT_TRUE(sink->wait_for("Reloaded configuration file " + path, 2s));

    replace_text(&c.conf_file_name, dir.file("missing.conf").c_str());
    c.udp_port = 1234;
    EXPECT_EQ(read_conf_file(&c, 0), -1);
    EXPECT_EQ(c.udp_port, 1234);
    const std::string cannot = "Cannot open configuration file: " + dir.file("missing.conf") +
                               " (error=" + std::strerror(ENOENT) + ")";
    ASSERT_TRUE(sink->wait_for(cannot, 2s));
    for (const auto& m : sink->messages()) {
        if (m.text == cannot) {
            EXPECT_EQ(m.severity, LOG_ERR);
        }
    }

    replace_text(&c.conf_file_name, nullptr);
    const auto before = sink->messages().size();
    EXPECT_EQ(read_conf_file(&c, 0), 0);
    EXPECT_EQ(sink->messages().size(), before);
}

// What syslog gets about a file that cannot be read, the log gets too, with the reason and what
// the gateway does about it; a misspelt key is named once per reading, with its line.
TEST_F(ConfFile, UnreadableFilesAndUnknownKeysAreToldInTheLog) {
    testsupport::TempDir logs;
    const std::string log_path = logs.file("fipgate.log");
    FILE* saved = flog;
    flog = std::fopen(log_path.c_str(), "w+");
    ASSERT_NE(flog, nullptr);
    const auto log_text = [&] {
        std::fflush(flog);
        return testsupport::read_file(log_path);
    };

    replace_text(&c.conf_file_name, dir.path().c_str()); // a directory
    EXPECT_EQ(read_conf_file(&c, 0), -1);
    EXPECT_NE(log_text().find("[error] cannot read the configuration file " + dir.path() +
                              ": Is a directory (EISDIR); the gateway runs on its defaults and "
                              "the command line\n"),
              std::string::npos)
        << log_text();
    EXPECT_TRUE(sink->wait_for(
        "Cannot open configuration file: " + dir.path() + " (error=Is a directory)", 2s));
    replace_text(&c.conf_file_name, dir.file("missing.conf").c_str());
    EXPECT_EQ(read_conf_file(&c, 1), -1);
    EXPECT_NE(log_text().find("cannot read the configuration file " + dir.file("missing.conf") +
                              ": No such file or directory (ENOENT); the settings in force are "
                              "kept\n"),
              std::string::npos)
        << log_text();

    EXPECT_EQ(read("UdpPort=5000\nUdpAdress=239.1.1.1\n\n# note\nUdpAdress=239.1.1.2\nFoo=1\n"), 0);
    EXPECT_EQ(c.udp_port, 5000);
    EXPECT_EQ(c.udp_address, nullptr);
    const std::string text = log_text();
    EXPECT_EQ(text.find("unknown key 'UdpAdress'"), text.rfind("unknown key 'UdpAdress'")) << text;
    EXPECT_NE(text.find("[warn]  configuration file " + dir.file("fipgate.conf") +
                        " line 2: unknown key 'UdpAdress' ignored\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" line 6: unknown key 'Foo' ignored\n"), std::string::npos) << text;
    EXPECT_TRUE(sink->wait_for("Configuration file " + dir.file("fipgate.conf") +
                                   " line 2: unknown key 'UdpAdress' ignored",
                               2s));
    std::fclose(flog);
    flog = saved;
}

} // namespace

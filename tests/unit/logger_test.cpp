// The log entry layout, the level tags, colour, and the memory dump.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <string>
#include <syslog.h>

#include "log/logger.hpp"
#include "support/syslog_sink.hpp"

namespace {

// Captures what is written to a stream in memory.
class MemoryStream {
public:
    MemoryStream() : stream(open_memstream(&buffer, &size)) {}
    ~MemoryStream() {
        std::fclose(stream);
        std::free(buffer);
    }
    FILE* get() { return stream; }
    std::string text() {
        std::fflush(stream);
        return std::string(buffer, size);
    }

private:
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* stream;
};

const std::string stamp = R"(\[\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] )";

class Logger : public testing::Test {
protected:
    // print_error also writes to syslog: give the process a /dev/log of its own.
    static void SetUpTestSuite() {
        sink = std::make_unique<testsupport::SyslogSink>();
        ASSERT_TRUE(sink->capture_this_process());
    }
    static void TearDownTestSuite() { sink.reset(); }
    static std::unique_ptr<testsupport::SyslogSink> sink;

    void TearDown() override {
        logger::set_colorization(false);
        flog = stdout;
    }
    MemoryStream out;
};

std::unique_ptr<testsupport::SyslogSink> Logger::sink;

TEST_F(Logger, EntryLayoutAndTagsWithoutColour) {
    struct Case {
        int level;
        const char* tag;
    };
    for (const Case k :
         {Case{0, "[info] "}, Case{1, "[warn] "}, Case{2, "[error]"}, Case{3, "[event]"},
          Case{5, "[????] "}, Case{17, "[????] "}, Case{-1, "[????] "}}) {
        MemoryStream s;
        EXPECT_EQ(logger::print(s.get(), k.level, "value %d\n", 42), 9);
        const std::string text = s.text();
        ASSERT_EQ(text.size(), 24 + 7 + 1 + 9u) << text;
        EXPECT_TRUE(std::regex_match(text.substr(0, 24), std::regex(stamp))) << text;
        EXPECT_EQ(text.substr(24), std::string(k.tag) + " value 42\n") << text;
    }
}

TEST_F(Logger, TimeStampIsMonthDayAndMicroseconds) {
    logger::print(out.get(), logger::msg_type::info, "x\n");
    const std::string text = out.text();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(
        text, m, std::regex(R"(\[(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d)\.\d{6}\] .*\n)")))
        << text;
    const int month = std::stoi(m[1]);
    const int day = std::stoi(m[2]);
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31) << text;
    EXPECT_LT(std::stoi(m[3]), 24);
    EXPECT_LT(std::stoi(m[5]), 61);
}

TEST_F(Logger, DebugWritesNothing) {
    EXPECT_EQ(logger::print(out.get(), logger::msg_type::dbg, "hidden %s\n", "text"), 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(Logger, ColouredEntries) {
    logger::set_colorization(true);
    logger::print(out.get(), logger::msg_type::info, "ok\n");
    EXPECT_TRUE(std::regex_match(out.text(), std::regex("\033\\[0m\033\\[0;32m" + stamp +
                                                        "\033\\[0m\\[info\\]  ok\n\033\\[0m")))
        << out.text();

    struct Case {
        int level;
        std::string escape;
        std::string tag;
    };
    for (const Case& k :
         {Case{1, "\033\\[0;33m", "\\[warn\\] "}, Case{2, "\033\\[0;31m", "\\[error\\]"},
          Case{3, "\033\\[0;36m", "\\[event\\]"}, Case{9, "", "\\[\\?\\?\\?\\?\\] "}}) {
        MemoryStream s;
        logger::print(s.get(), k.level, "m\n");
        EXPECT_TRUE(
            std::regex_match(s.text(), std::regex("\033\\[0m\033\\[0;32m" + stamp + "\033\\[0m" +
                                                  k.escape + k.tag + " m\n\033\\[0m")))
            << s.text();
    }
}

TEST_F(Logger, MemoryDumpOffsetsAndWidths) {
    flog = out.get();
    const std::uint16_t words[3] = {0x1234, 0xabcd, 0x0042};
    const auto addr = reinterpret_cast<unsigned long>(words);
    print_mem("words", addr, 16, 3, 2);
    // Each piece is an entry of its own: drop the time stamps and tags to see the dump.
    const std::string text =
        std::regex_replace(out.text(), std::regex(stamp + R"(\[info\]  )"), "");
    char title[64];
    std::snprintf(title, sizeof title, "\nwords [=> address=0x%016lx]", addr);
    EXPECT_EQ(text, std::string(title) + "\n  [+0x00000000] 1234 abcd \n  [+0x00000004] 0042 \n");

    MemoryStream none;
    flog = none.get();
    print_mem("odd", addr, 12, 3, 2);
    EXPECT_EQ(none.text(), "");

    MemoryStream wide;
    flog = wide.get();
    const std::uint64_t quad[2] = {0x0102030405060708ull, 0xffull};
    print_mem("q", reinterpret_cast<unsigned long>(quad), 64, 2, 1);
    const std::string q = std::regex_replace(wide.text(), std::regex(stamp + R"(\[info\]  )"), "");
    EXPECT_NE(q.find("\n  [+0x00000000] 0102030405060708 \n  [+0x00000008] 00000000000000ff \n"),
              std::string::npos)
        << q;

    MemoryStream bytes;
    flog = bytes.get();
    const unsigned char b[3] = {0x0a, 0xff, 0x00};
    print_mem("b", reinterpret_cast<unsigned long>(b), 8, 3, 8);
    const std::string t = std::regex_replace(bytes.text(), std::regex(stamp + R"(\[info\]  )"), "");
    EXPECT_EQ(t.substr(t.find(']') + 1), "\n  [+0x00000000] 0a ff 00 \n");
}

TEST_F(Logger, PrintErrorGoesToTheLogAndToSyslog) {
    flog = out.get();
    print_error(ENOENT);
    const std::string text = out.text();
    const std::string expected =
        std::string("error code: 2 - failure cause: ") + failure_cause(ENOENT) + "\n";
    EXPECT_TRUE(std::regex_match(text, std::regex(stamp + R"(\[error\] .*\n)"))) << text;
    EXPECT_EQ(text.substr(24 + 8), expected);
    const std::string logged =
        std::string("Error Code: 2 - Failure Cause: ") + failure_cause(ENOENT);
    ASSERT_TRUE(sink->wait_for(logged, std::chrono::seconds(2)));
    EXPECT_EQ(sink->messages().back().severity, LOG_ERR);
    EXPECT_STRNE(failure_cause(-1), "");
}

} // namespace

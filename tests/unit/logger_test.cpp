// The log entry layout, the level tags, colour, the memory dump and the failure report.

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
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

constexpr std::size_t stamp_length = 24; // "[MM-DD hh:mm:ss.uuuuuu] "

// True when `text` holds a time stamp at `at`.
bool stamp_at(const std::string& text, std::size_t at) {
    static const char shape[] = "[dd-dd dd:dd:dd.dddddd] ";
    if (text.size() < at + stamp_length) {
        return false;
    }
    for (std::size_t i = 0; i < stamp_length; ++i) {
        const char c = text[at + i];
        if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(c)) : c != shape[i]) {
            return false;
        }
    }
    return true;
}

// What the callers wrote: every "<stamp><tag> " prefix removed.
std::string without_prefixes(const std::string& text, const std::string& tag) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (stamp_at(text, i) && text.compare(i + stamp_length, tag.size() + 1, tag + " ") == 0) {
            i += stamp_length + tag.size() + 1;
        } else {
            out += text[i++];
        }
    }
    return out;
}

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
        ASSERT_EQ(text.size(), stamp_length + 7 + 1 + 9) << text;
        EXPECT_TRUE(stamp_at(text, 0)) << text;
        EXPECT_EQ(text.substr(stamp_length), std::string(k.tag) + " value 42\n") << text;
    }
}

TEST_F(Logger, TimeStampIsMonthDayAndTime) {
    logger::print(out.get(), logger::msg_type::info, "x\n");
    const std::string text = out.text();
    ASSERT_TRUE(stamp_at(text, 0)) << text;
    const int month = std::stoi(text.substr(1, 2));
    const int day = std::stoi(text.substr(4, 2));
    EXPECT_TRUE(month >= 1 && month <= 12 && day >= 1 && day <= 31) << text;
    EXPECT_LT(std::stoi(text.substr(7, 2)), 24);
    EXPECT_LT(std::stoi(text.substr(10, 2)), 60);
}

TEST_F(Logger, DebugWritesNothing) {
    EXPECT_EQ(logger::print(out.get(), logger::msg_type::dbg, "hidden %s\n", "text"), 0);
    EXPECT_EQ(out.text(), "");
}

TEST_F(Logger, ColouredEntries) {
    logger::set_colorization(true);
    struct Case {
        int level;
        std::string after_stamp; // what follows the time stamp
    };
    const std::string before_stamp = "\033[0m\033[0;32m";
    for (const Case& k :
         {Case{0, "\033[0m[info]  m\n\033[0m"}, Case{1, "\033[0m\033[0;33m[warn]  m\n\033[0m"},
          Case{2, "\033[0m\033[0;31m[error] m\n\033[0m"},
          Case{3, "\033[0m\033[0;36m[event] m\n\033[0m"}, Case{9, "\033[0m[????]  m\n\033[0m"}}) {
        MemoryStream s;
        EXPECT_EQ(logger::print(s.get(), k.level, "m\n"), 2);
        const std::string text = s.text();
        EXPECT_EQ(text.substr(0, before_stamp.size()), before_stamp) << text;
        EXPECT_TRUE(stamp_at(text, before_stamp.size())) << text;
        EXPECT_EQ(text.substr(before_stamp.size() + stamp_length), k.after_stamp) << k.level;
    }
    logger::set_colorization(false);
    logger::print(out.get(), logger::msg_type::err, "plain\n");
    EXPECT_EQ(out.text().find('\033'), std::string::npos);
}

TEST_F(Logger, MemoryDumpOffsetsAndWidths) {
    flog = out.get();
    const std::uint16_t words[3] = {0x1234, 0xabcd, 0x0042};
    const auto addr = reinterpret_cast<unsigned long>(words);
    print_mem("words", addr, 16, 3, 2);
    char title[64];
    std::snprintf(title, sizeof title, "\nwords [=> address=0x%016lx]", addr);
    EXPECT_EQ(without_prefixes(out.text(), "[info] "),
              std::string(title) + "\n  [+0x00000000] 1234 abcd \n  [+0x00000004] 0042 \n");

    MemoryStream none;
    flog = none.get();
    print_mem("odd", addr, 12, 3, 2);
    EXPECT_EQ(none.text(), "");

    MemoryStream wide;
    flog = wide.get();
    const std::uint64_t quad[2] = {0x0102030405060708ull, 0xffull};
    print_mem("q", reinterpret_cast<unsigned long>(quad), 64, 2, 1);
    const std::string q = without_prefixes(wide.text(), "[info] ");
    EXPECT_EQ(q.substr(q.find(']') + 1),
              "\n  [+0x00000000] 0102030405060708 \n  [+0x00000008] 00000000000000ff \n");

    MemoryStream bytes;
    flog = bytes.get();
    const unsigned char b[3] = {0x0a, 0xff, 0x00};
    print_mem("b", reinterpret_cast<unsigned long>(b), 8, 3, 8);
    const std::string t = without_prefixes(bytes.text(), "[info] ");
    EXPECT_EQ(t.substr(t.find(']') + 1), "\n  [+0x00000000] 0a ff 00 \n");
}

TEST_F(Logger, PrintErrorGoesToTheLogAndToSyslog) {
    flog = out.get();
    print_error(ENOENT);
    const std::string text = out.text();
    EXPECT_EQ(without_prefixes(text, "[error]"),
              std::string("error code: 2 - failure cause: ") + failure_cause(ENOENT) + "\n");
    const std::string logged =
        std::string("Error Code: 2 - Failure Cause: ") + failure_cause(ENOENT);
    ASSERT_TRUE(sink->wait_for(logged, std::chrono::seconds(2)));
    EXPECT_EQ(sink->messages().back().severity, LOG_ERR);
    EXPECT_STRNE(failure_cause(-1), "");
}

} // namespace

// The signal handler's flags and notices, and the wait loop that writes the notices. Each test
// runs in a process of its own (ctest), since a stop request is never cleared.

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "app/signals.hpp"
#include "log/logger.hpp"

namespace {

class SignalNotices : public testing::Test {
protected:
    void SetUp() override {
        flog = open_memstream(&buffer, &size);
        running.store(0);
        reload.store(0);
    }
    void TearDown() override {
        std::fclose(flog);
        flog = stdout;
        std::free(buffer);
    }
    // The messages written so far, without time stamps.
    std::string messages() {
        std::fflush(flog);
        // Each entry starts with "[MM-DD hh:mm:ss.uuuuuu] ": 24 characters after its line start.
        const std::string text(buffer, size);
        std::string out;
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size() - 1);
            out += text.substr(at + 24, end + 1 - (at + 24));
            at = end + 1;
        }
        return out;
    }
    char* buffer = nullptr;
    std::size_t size = 0;
};

TEST_F(SignalNotices, ASignalEndsTheWaitAndItsNoticeIsWrittenThere) {
    install_signal_handlers();
    int looks = 0;
    const bool by_signal = wait_while_running([&] {
        if (++looks == 3) {
            raise(SIGHUP);
        }
        return true;
    });
    EXPECT_TRUE(by_signal);
    EXPECT_EQ(looks, 3);
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(reload.load(), 1);
    EXPECT_FALSE(stop_requested());
    EXPECT_EQ(messages(), "[event] SIGHUP signal received\n");

    // The handler stays installed for SIGHUP: a second one is handled the same way.
    reload.store(0);
    raise(SIGHUP);
    EXPECT_EQ(reload.load(), 1);
}

TEST_F(SignalNotices, WaitEndsWhenTheCallerSaysSo) {
    int looks = 0;
    EXPECT_FALSE(wait_while_running([&] { return ++looks < 2; }));
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(messages(), "");
}

TEST_F(SignalNotices, NoticesKeepTheOrderOfArrival) {
    handle_signal(SIGQUIT);
    handle_signal(SIGHUP);
    handle_signal(SIGINT);
    handle_signal(SIGUSR1); // not ours: no notice, no flag
    handle_signal(SIGTERM);
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(reload.load(), 1);
    EXPECT_TRUE(stop_requested());
    log_signal_notices();
    EXPECT_EQ(messages(), "[event] SIGQUIT signal received\n"
                          "[event] SIGHUP signal received\n"
                          "[event] SIGINT signal received\n"
                          "[event] SIGTERM signal received\n");
    // The terminating signals are back to their default action.
    for (const int signo : {SIGINT, SIGTERM, SIGQUIT}) {
        struct sigaction now {};
        sigaction(signo, nullptr, &now);
        EXPECT_EQ(now.sa_handler, SIG_DFL) << signo;
    }
}

TEST_F(SignalNotices, AStopRequestedBeforeTheWaitEndsItAtOnce) {
    handle_signal(SIGTERM); // while the components are being built
    int looks = 0;
    EXPECT_TRUE(wait_while_running([&] { return ++looks < 1000; }));
    EXPECT_EQ(looks, 0);
    EXPECT_EQ(running.load(), 0);
    EXPECT_EQ(messages(), "[event] SIGTERM signal received\n");
}

TEST_F(SignalNotices, AnEarlySighupKeepsItsReloadAndEndsTheWait) {
    handle_signal(SIGHUP);
    EXPECT_TRUE(wait_while_running([] { return true; }));
    EXPECT_EQ(reload.load(), 1);
    EXPECT_FALSE(stop_requested());
}

TEST_F(SignalNotices, AFloodOfSignalsIsCountedNotLost) {
    constexpr int sent = 40;
    for (int i = 0; i < sent; ++i) {
        handle_signal(SIGHUP);
    }
    log_signal_notices();
    const std::string text = messages();
    const std::string notice = "[event] SIGHUP signal received\n";
    int notices = 0;
    for (auto at = text.find(notice); at != std::string::npos; at = text.find(notice, at + 1)) {
        ++notices;
    }
    const std::string tail = " signal notices lost\n";
    const auto lost_at = text.find(tail);
    ASSERT_NE(lost_at, std::string::npos) << text;
    const auto number_at = text.rfind("[warn]  ", lost_at) + 8;
    const int lost = std::stoi(text.substr(number_at, lost_at - number_at));
    EXPECT_EQ(notices + lost, sent);

    // The queue is usable again afterwards.
    handle_signal(SIGHUP);
    log_signal_notices();
    EXPECT_EQ(messages().substr(messages().size() - notice.size()), notice);
}

} // namespace

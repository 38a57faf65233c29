// Files the gateway creates for itself: the log file and the buffer file's directories keep
// their modes whatever the umask, the log file can be replaced under the gateway (rotation), and
// the colour the status-screen option asked for reaches the file too.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>

#include "app/config.hpp"
#include "app/log_stream.hpp"
#include "log/logger.hpp"
#include "queue/segment_file.hpp"
#include "support/child_process.hpp"
#include "support/temp_dir.hpp"

namespace {

using testsupport::read_file;
using testsupport::TempDir;

mode_t mode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class CreatedFiles : public testing::Test {
protected:
    void SetUp() override {
        reset_config(&c);
        saved_umask = umask(0);
    }
    void TearDown() override {
        close_log_stream();
        release_config_texts(&c);
        umask(saved_umask);
        logger::set_colorization(false);
    }

    TempDir dir;
    app_cfg c{};
    mode_t saved_umask = 0;
};

TEST_F(CreatedFiles, TheLogFileIsCreated0640AndAnExistingOneKeepsItsMode) {
    for (const mode_t mask : {0000, 0077}) {
        umask(mask);
        const std::string path = dir.file("log-" + std::to_string(mask));
        replace_text(&c.log_file_name, path.c_str());
        select_log_stream(&c);
        ASSERT_NE(flog, stdout);
        EXPECT_EQ(mode_of(path), 0640u) << "umask " << mask;
        close_log_stream();
    }
    const std::string existing = dir.file("existing");
    std::fclose(std::fopen(existing.c_str(), "w"));
    ASSERT_EQ(chmod(existing.c_str(), 0600), 0);
    replace_text(&c.log_file_name, existing.c_str());
    select_log_stream(&c);
    EXPECT_EQ(mode_of(existing), 0600u);
}

TEST_F(CreatedFiles, AReopenFollowsARotationAndKeepsTheOldStreamOnFailure) {
    const std::string path = dir.file("fipgate.log");
    replace_text(&c.log_file_name, path.c_str());
    select_log_stream(&c);
    logger::print(flog, logger::msg_type::info, "before\n");
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    logger::print(flog, logger::msg_type::info, "moved\n");
    reopen_log_stream(&c);
    logger::print(flog, logger::msg_type::info, "after\n");
    EXPECT_NE(read_file(path + ".1").find("moved\n"), std::string::npos);
    EXPECT_EQ(read_file(path + ".1").find("after"), std::string::npos);
    EXPECT_NE(read_file(path).find("after\n"), std::string::npos);
    EXPECT_EQ(mode_of(path), 0640u);

    // The directory goes away: the stream in use stays, and says why.
    replace_text(&c.log_file_name, dir.file("gone/fipgate.log").c_str());
    reopen_log_stream(&c);
    logger::print(flog, logger::msg_type::info, "still here\n");
    const std::string text = read_file(path);
    EXPECT_NE(text.find("cannot reopen the log file"), std::string::npos) << text;
    EXPECT_NE(text.find("still here\n"), std::string::npos);
}

TEST_F(CreatedFiles, ALogFileKeepsTheColourThatTheStatusScreenOptionSwitchedOn) {
    logger::set_colorization(true);
    replace_text(&c.log_file_name, dir.file("fipgate.log").c_str());
    select_log_stream(&c);
    EXPECT_TRUE(logger::is_colorized());
    logger::print(flog, logger::msg_type::err, "coloured\n");
    std::fflush(flog); // the closing reset follows the line end, past the line buffer
    const std::string text = read_file(dir.file("fipgate.log"));
    EXPECT_EQ(text.rfind("\033[0m\033[0;32m[", 0), 0u) << text;
    EXPECT_NE(text.find("] \033[0m\033[0;31m[error] coloured\n\033[0m"), std::string::npos) << text;
}

TEST_F(CreatedFiles, BufferDirectoriesAreCreated0750AndExistingOnesKeepTheirModes) {
    const std::string parent = dir.file("kept");
    ASSERT_EQ(mkdir(parent.c_str(), 0700), 0);
    umask(0);
    segment_file::create_directories(parent + "/a/b");
    EXPECT_EQ(mode_of(parent), 0700u);
    EXPECT_EQ(mode_of(parent + "/a"), 0750u);
    EXPECT_EQ(mode_of(parent + "/a/b"), 0750u);
    umask(0077);
    segment_file::create_directories(parent + "/c");
    EXPECT_EQ(mode_of(parent + "/c"), 0750u);
    segment_file::create_directories(parent + "/c"); // already there: nothing to do
    std::fclose(std::fopen((parent + "/file").c_str(), "w"));
    EXPECT_THROW(segment_file::create_directories(parent + "/file/d"),
                 boost::filesystem::filesystem_error);
}

} // namespace

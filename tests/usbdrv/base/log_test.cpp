#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/log.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct captured {
    std::string out, err;
};

captured log_once(int threshold, int level, const char* message) {
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(threshold);
    CaptureStdout();
    CaptureStderr();
    usbdrv_log(level, "check_dir", "%s %d", message, 42);
    captured c;
    c.out = GetCapturedStdout();
    c.err = GetCapturedStderr();
    usbdrv_log_threshold = saved;
    return c;
}

TEST(Log, StartsAtInfo) {
    EXPECT_EQ(usbdrv_log_threshold, USBDRV_LOG_INFO);
}

TEST(Log, LevelsThresholdAndStreams) {
    const struct {
        int threshold, level;
        const char* out;
        const char* err;
    } rows[] = {
        {1, 0, "", ""},
        {1, 1, "usbdrv:info [check_dir] m 42\n", ""},
        {1, 2, "", "usbdrv:warning [check_dir] m 42\n"},
        {1, 3, "", "usbdrv:error [check_dir] m 42\n"},
        {1, 7, "", "usbdrv:unknown [check_dir] m 42\n"},
        {1, -1, "", ""},
        {0, 0, "", "usbdrv:debug [check_dir] m 42\n"},
        {2, 1, "", ""},
        {2, 2, "", "usbdrv:warning [check_dir] m 42\n"},
        {2, 3, "", "usbdrv:error [check_dir] m 42\n"},
    };
    for (const auto& r : rows) {
        captured c = log_once(r.threshold, r.level, "m");
        EXPECT_EQ(c.out, r.out) << "threshold " << r.threshold << " level " << r.level;
        EXPECT_EQ(c.err, r.err) << "threshold " << r.threshold << " level " << r.level;
    }
}

TEST(Log, MessagesHaveNoLengthLimit) {
    std::string big(5000, 'x');
    captured c = log_once(1, 3, big.c_str());
    EXPECT_EQ(c.err, "usbdrv:error [check_dir] " + big + " 42\n");
}

TEST(Log, ThresholdSetterStoresTheLevel) {
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(2);
    EXPECT_EQ(usbdrv_log_threshold, 2);
    usbdrv_set_log_threshold(saved);
}

TEST(Log, ASinkTakesWholeLinesInPlaceOfTheStreams) {
    struct taken {
        int level;
        std::string line;
    };
    std::vector<taken> lines;
    auto sink = [](int32_t level, const char* line, void* context) {
        static_cast<std::vector<taken>*>(context)->push_back({level, line});
    };
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_INFO);
    usbdrv_set_log_sink(sink, &lines);
    CaptureStdout();
    CaptureStderr();
    std::string big(5000, 'y');
    usbdrv_log(USBDRV_LOG_DEBUG, "check_dir", "below the threshold");
    usbdrv_log(USBDRV_LOG_INFO, "check_dir", "%s %d", "m", 42);
    usbdrv_log(USBDRV_LOG_ERROR, nullptr, "%s", big.c_str());
    usbdrv_log(USBDRV_LOG_WARNING, "check_dir", nullptr);
    usbdrv_set_log_sink(nullptr, nullptr);
    usbdrv_log(USBDRV_LOG_INFO, "check_dir", "back on the stream");
    std::string out = GetCapturedStdout();
    std::string err = GetCapturedStderr();
    usbdrv_log_threshold = saved;

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].level, USBDRV_LOG_INFO);
    EXPECT_EQ(lines[0].line, "usbdrv:info [check_dir] m 42");
    EXPECT_EQ(lines[1].level, USBDRV_LOG_ERROR);
    EXPECT_EQ(lines[1].line, "usbdrv:error [(null)] " + big);
    EXPECT_EQ(lines[2].line, "usbdrv:warning [check_dir] ");
    EXPECT_EQ(out, "usbdrv:info [check_dir] back on the stream\n");
    EXPECT_EQ(err, "");
}

// What a sink that passes the message on (the installer helper's) takes from a line: everything
// after the prefix, brackets and line ends of the message included.
TEST(Log, TheMessageOfALineIsWhatFollowsItsPrefix) {
    std::vector<std::string> messages;
    auto sink = [](int32_t, const char* line, void* context) {
        static_cast<std::vector<std::string>*>(context)->push_back(log_line_message(line));
    };
    usbdrv_set_log_sink(sink, &messages);
    usbdrv_log(USBDRV_LOG_INFO, "installer", "got parameter %s", "Corvane.inf");
    usbdrv_log(USBDRV_LOG_ERROR, "init_installer_dlls", "Unable to locate %s() in %s\n", "F", "M");
    usbdrv_log(USBDRV_LOG_WARNING, nullptr, "[122] [a] b");
    usbdrv_log(USBDRV_LOG_ERROR, "req_id", "%s", "");
    usbdrv_set_log_sink(nullptr, nullptr);
    EXPECT_EQ(messages,
              (std::vector<std::string>{"got parameter Corvane.inf", "Unable to locate F() in M\n",
                                        "[122] [a] b", ""}));
    // Not a line of the log: taken whole.
    EXPECT_STREQ(log_line_message("plain text"), "plain text");
    EXPECT_STREQ(log_line_message("usbdrv:info no brackets"), "usbdrv:info no brackets");
    EXPECT_STREQ(log_line_message(nullptr), "");
}

}  // namespace

// The dialog's log file without the system: its folder, its lines and when it makes room.
#include "log_file_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const log_time kTime = {2026, 12, 10, 7, 5, 9, 7};
const std::string kStamp = "2026-12-10 07:05:09.007 ";

TEST(LogFolder, IsBelowAFullLocalApplicationDataPath) {
    const struct {
        const char* local_app_data;
        std::string folder;
    } rows[] = {
        {"C:\\users\\root\\AppData\\Local", "C:\\users\\root\\AppData\\Local\\Corvane"},
        {"C:\\users\\root\\AppData\\Local\\", "C:\\users\\root\\AppData\\Local\\Corvane"},
        {"\\\\server\\home\\local", "\\\\server\\home\\local\\Corvane"},
        {"C:\\用户\\张三\\本地", "C:\\用户\\张三\\本地\\Corvane"},
        // Not set or not a full path: no log rather than one below the current directory.
        {nullptr, ""},
        {"", ""},
        {"AppData\\Local", ""},
        {"C:Local", ""},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.local_app_data ? r.local_app_data : "(not set)");
        EXPECT_EQ(log_folder(r.local_app_data), r.folder);
    }
}

TEST(LogLine, IsOneStampedLinePerEntry) {
    const std::string chinese = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文, three bytes each
    const struct {
        std::string text;
        std::string line;
    } rows[] = {
        {"usbdrv:info [check_dir] made", kStamp + "usbdrv:info [check_dir] made\r\n"},
        {"", kStamp + "\r\n"},
        // A message's own line end is not a second line.
        {"Unable to locate X() in y.dll\n", kStamp + "Unable to locate X() in y.dll\r\n"},
        {"ends\r\n\r\n", kStamp + "ends\r\n"},
        // Inner breaks would start lines without a stamp.
        {"first\nsecond\r\nthird\r", kStamp + "first second  third\r\n"},
        {"tab\tand " + chinese, kStamp + "tab\tand " + chinese + "\r\n"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(log_line(kTime, r.text), r.line);
    }
    log_time late = {2099, 1, 31, 23, 59, 59, 999};
    EXPECT_EQ(log_line(late, "x"), "2099-01-31 23:59:59.999 x\r\n");
}

TEST(LogLine, ALongMessageIsCutAtACharacterAndSaysSo) {
    const std::string full(kLogMessageMax, 'x');
    EXPECT_EQ(log_line(kTime, full), kStamp + full + "\r\n");
    EXPECT_EQ(log_line(kTime, full + "\n"), kStamp + full + "\r\n");  // the break is not counted
    EXPECT_EQ(log_line(kTime, full + "yz"), kStamp + full + " [2 more bytes]\r\n");

    // A three-byte character across the bound is left out whole.
    const std::string chinese = "\xE4\xB8\xAD";
    std::string text(kLogMessageMax - 1, 'x');
    text += chinese;
    EXPECT_EQ(log_line(kTime, text),
              kStamp + std::string(kLogMessageMax - 1, 'x') + " [3 more bytes]\r\n");
    text = std::string(kLogMessageMax - 3, 'x') + chinese + "a";
    EXPECT_EQ(log_line(kTime, text),
              kStamp + std::string(kLogMessageMax - 3, 'x') + chinese + " [1 more bytes]\r\n");

    // A megabyte without a break is one line of bounded size.
    std::string huge(1 << 20, 'h');
    EXPECT_LT(log_line(kTime, huge).size(), kLogMessageMax + 64);
}

TEST(LogRotation, MakesRoomBeforeALineWouldPassTheLimit) {
    const uint64_t limit = kLogFileLimit;
    const struct {
        uint64_t file_bytes;
        uint64_t line_bytes;
        bool rotates;
    } rows[] = {
        {0, 100, false},
        {0, 2 * limit, false},  // an empty file takes any line
        {3, 100, false},        // a new file's byte-order mark and one line
        {limit - 100, 100, false},
        {limit - 100, 101, true},
        {limit, 0, true},
        {limit, 1, true},
        {limit + 5000, 1, true},  // a file grown past the limit by another writer
        {UINT64_MAX, UINT64_MAX, true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.file_bytes) + " + " + std::to_string(r.line_bytes));
        EXPECT_EQ(log_needs_rotation(r.file_bytes, r.line_bytes), r.rotates);
    }
    EXPECT_TRUE(log_needs_rotation(11, 10, 20));
    EXPECT_FALSE(log_needs_rotation(10, 10, 20));
}

}  // namespace

// The dialog's log file without the system: its folder and when it makes room. Its lines are the
// front-end core's (tests/front_end/log_line_test.cpp).
#include "log_file_rules.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

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

TEST(LogFolder, IsMadeOneFolderAtATimeBelowItsRoot) {
    using folders = std::vector<std::string>;
    const struct {
        const char* folder;
        folders made;
    } rows[] = {
        {"C:\\users\\root\\Corvane", {"C:\\users", "C:\\users\\root", "C:\\users\\root\\Corvane"}},
        // Either separator, repeated or at the end: no empty name is made.
        {"c:/a//b\\", {"c:/a", "c:/a//b"}},
        {"C:\\Corvane", {"C:\\Corvane"}},
        // The share itself cannot be made: only what is below it.
        {"\\\\server\\share\\Corvane", {"\\\\server\\share\\Corvane"}},
        {"\\\\?\\C:\\a\\Corvane", {"\\\\?\\C:\\a", "\\\\?\\C:\\a\\Corvane"}},
        {"\\\\?\\unc\\server\\share\\Corvane", {"\\\\?\\unc\\server\\share\\Corvane"}},
        {"\\\\?\\Volume{1b3b}\\Corvane", {"\\\\?\\Volume{1b3b}\\Corvane"}},
        {"C:\\用户\\本地", {"C:\\用户", "C:\\用户\\本地"}},
        // Roots only, and paths that are not full: nothing to make.
        {"C:\\", {}},
        {"\\\\server\\share", {}},
        {"\\\\server\\share\\", {}},
        {"\\\\?\\C:\\", {}},
        {"", {}},
        {"Corvane\\logs", {}},
        {"C:Corvane", {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.folder);
        EXPECT_EQ(folders_to_make(r.folder), r.made);
    }
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

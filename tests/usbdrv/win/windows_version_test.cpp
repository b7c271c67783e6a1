// Built as several programs that the test prefix runs as different Windows versions; each is
// told through CORVANE_EXPECTED_VERSION which code the system it runs on must give.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "win/windows_version.h"

namespace {

TEST(DetectWindowsVersion, IsUnknownUntilDetected) {
    EXPECT_EQ(windows_version, -1);
}

TEST(DetectWindowsVersion, GivesTheCodeOfTheRunningSystem) {
    const char* expected = getenv("CORVANE_EXPECTED_VERSION");
    ASSERT_NE(expected, nullptr);
    detect_windows_version();
    EXPECT_EQ(windows_version, (int)strtol(expected, nullptr, 16));

    // A second run recomputes the same value.
    windows_version = 0x51;
    detect_windows_version();
    EXPECT_EQ(windows_version, (int)strtol(expected, nullptr, 16));
}

}  // namespace

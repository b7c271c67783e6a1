#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "test_support.h"
#include "windows_error.h"

namespace {

std::string system_text(DWORD code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, sizeof text, nullptr);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

TEST(WindowsErrorStr, PrefixThenSystemTextWithoutLineEnd) {
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_BAD_PATHNAME}) {
        std::string text = windows_error_str(code);
        char prefix[16];
        snprintf(prefix, sizeof prefix, "[#%08X] ", (unsigned)code);
        ASSERT_FALSE(system_text(code).empty());
        EXPECT_EQ(text, prefix + system_text(code));
        EXPECT_NE(text.back(), '\n');
        EXPECT_NE(text.back(), '\r');
    }
}

TEST(WindowsErrorStr, ZeroTakesTheThreadsLastError) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(std::string(windows_error_str(0)).rfind("[#00000003] ", 0), 0u);
}

TEST(WindowsErrorStr, CodeWithoutTextNamesBothCodesInDecimal) {
    std::string text = windows_error_str(0x2000FFFF);
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(R"(Windows error code 536936447 \(FormatMessage error code [1-9][0-9]*\))")))
        << text;
}

TEST(WindowsErrorStr, OneBufferOfAtMost255Characters) {
    const char* first = windows_error_str(5);
    const char* second = windows_error_str(2);
    EXPECT_EQ(first, second);
    for (DWORD code = 0; code < 2000; code++)
        EXPECT_LE(strlen(windows_error_str(code + 1)), 255u);
}

// A failed call is logged with the error read at the call, whatever the thread's last error says
// by the time the line is written; an error of 0 is logged as itself.
TEST(LogSystemError, LogsTheErrorItIsGivenNotTheThreadsLastOne) {
    for (DWORD given : {DWORD(ERROR_PATH_NOT_FOUND), DWORD(ERROR_SUCCESS)}) {
        SetLastError(ERROR_ALREADY_EXISTS);
        test::log_capture log;
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, "extract_binaries", given,
                         "failed to write file '%s' (%s)", "x.sys");
        char code[16];
        snprintf(code, sizeof code, "[#%08X] ", (unsigned)given);
        std::string front = "usbdrv:error [extract_binaries] failed to write file 'x.sys' (";
        EXPECT_EQ(log.text(), front + code + system_text(given) + ")\n");
    }
}

}  // namespace

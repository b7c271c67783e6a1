#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "test_support.h"
#include "win/windows_error.h"

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

TEST(WindowsErrorText, PrefixThenSystemTextWithoutLineEnd) {
    for (DWORD code : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_BAD_PATHNAME}) {
        std::string text = windows_error_text(code);
        char prefix[16];
        snprintf(prefix, sizeof prefix, "[#%08X] ", (unsigned)code);
        ASSERT_FALSE(system_text(code).empty());
        EXPECT_EQ(text, prefix + system_text(code));
        EXPECT_NE(text.back(), '\n');
        EXPECT_NE(text.back(), '\r');
    }
}

// 0 is the success code it is, never the thread's last error.
TEST(WindowsErrorText, ZeroIsErrorSuccess) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(std::string(windows_error_text(0)), "[#00000000] " + system_text(ERROR_SUCCESS));
    SetLastError(ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(std::string(install_error_text(0)), "[0] " + system_text(ERROR_SUCCESS));
}

TEST(WindowsErrorText, CodeWithoutTextNamesBothCodesInDecimal) {
    std::string text = windows_error_text(0x2000FFFF);
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(R"(Windows error code 536936447 \(FormatMessage error code [1-9][0-9]*\))")))
        << text;
}

TEST(WindowsErrorText, OneBufferOfAtMost255Characters) {
    const char* first = windows_error_text(5);
    const char* second = install_error_text(2);
    EXPECT_EQ(first, second);
    for (DWORD code = 0; code < 2000; code++) {
        EXPECT_LE(strlen(windows_error_text(code + 1)), 255u);
        EXPECT_LE(strlen(install_error_text(code + 1)), 255u);
    }
}

// The installer helper's text of an install call's error: the code in decimal before the
// system's text for it as an HRESULT, or a line that says why there is none.
TEST(InstallErrorText, TheCodeBeforeTheSystemsTextOrWhyThereIsNone) {
    std::string known = install_error_text(ERROR_ACCESS_DENIED);
    EXPECT_EQ(known, "[5] " + system_text(0x80070005));
    EXPECT_GT(known.size(), 4u) << known;
    EXPECT_EQ(known.find_first_of("\r\n"), std::string::npos) << known;

    // A setup error has no text here: the lookup's HRESULT and FormatMessage's own error.
    std::string setup = install_error_text(0xE0000204);
    EXPECT_EQ(setup, "Windows error code " + std::to_string(0x800F0204u) +
                         " (FormatMessage error code " + std::to_string(ERROR_MR_MID_NOT_FOUND) +
                         ")")
        << setup;
}

TEST(InstallErrorText, AMessageWithInsertsIsNotFilledFromNowhere) {
    // ERROR_WRONG_DISK (34) reads "... Insert %2 (Volume Serial Number: %3) into drive %1.".
    std::string text = install_error_text(ERROR_WRONG_DISK);
    EXPECT_EQ(text.rfind("[34] ", 0), 0u) << text;
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

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>

#include "test_support.h"
#include "win/windows_error.h"

namespace {

std::wstring wide_system_text(DWORD code) {
    wchar_t text[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), text, 512, nullptr);
    std::wstring s = text;
    while (!s.empty() && (s.back() == L'\n' || s.back() == L'\r'))
        s.pop_back();
    return s;
}

// The system's text for the code, in UTF-8.
std::string system_text(DWORD code) {
    std::wstring wide = wide_system_text(code);
    char text[1536] = {};
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, text, sizeof text, nullptr, nullptr);
    return text;
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

// The system's texts are in the user's language, and reach the log, the console and the dialog's
// log file in UTF-8 whatever the code page: under 936 (run so by the test
// usbdrv_win_tests.code_page_936) the ANSI text would be GBK bytes.
TEST(WindowsErrorText, SystemTextInUtf8UnderAnyCodePage) {
    std::wstring wide = wide_system_text(ERROR_ACCESS_DENIED);
    std::string text = windows_error_text(ERROR_ACCESS_DENIED);
    EXPECT_EQ(text, "[#00000005] " + system_text(ERROR_ACCESS_DENIED));
    wchar_t back[512] = {};
    ASSERT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.c_str(), -1, back, 512), 0)
        << "not UTF-8: " << text;
    EXPECT_EQ(std::wstring(back), L"[#00000005] " + wide);
    if (GetACP() != 936)
        GTEST_SKIP() << "code page " << GetACP() << ": the Chinese case runs under 936";
    bool chinese = false;
    for (wchar_t c : wide)
        chinese = chinese || (c >= 0x4E00 && c <= 0x9FFF);
    ASSERT_TRUE(chinese) << "no Chinese system text under code page 936";
    EXPECT_NE(
        text, "[#00000005] " + [] {
            char ansi[512] = {};
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           ERROR_ACCESS_DENIED, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), ansi,
                           sizeof ansi, nullptr);
            std::string s = ansi;
            while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
                s.pop_back();
            return s;
        }());
}

// A text cut to the buffer ends at a character's boundary: the setup-log line that carries it
// stays UTF-8.
TEST(WindowsErrorText, CutAtACharacterBoundary) {
    for (size_t size = 1; size < 40; size++) {
        char buffer[64];
        memset(buffer, 'x', sizeof buffer);
        format_system_error(buffer, size, "[#00000005] ", ERROR_ACCESS_DENIED);
        size_t length = strlen(buffer);
        ASSERT_LT(length, size);
        wchar_t back[64];
        EXPECT_TRUE(length == 0 || MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, buffer,
                                                       (int)length, back, 64) > 0)
            << size << ": " << buffer;
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

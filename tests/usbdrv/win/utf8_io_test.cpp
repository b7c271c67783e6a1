#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "test_support.h"
#include "win/handles.h"
#include "win/process_result.h"
#include "win/utf8_io.h"

namespace fs = std::filesystem;

namespace {

const char* const kGruesse =
    "Gr\xC3\xBC\xC3\x9F"
    "e";  // "Grüße" in UTF-8

TEST(GetFileAttributesU, TakesUtf8PathsAndOnePairOfQuotes) {
    test::temp_dir dir;
    fs::path sub = dir.path() / test::from_utf8(kGruesse);
    fs::create_directory(sub);
    std::ofstream(sub / "file.txt") << "x";
    std::string sub8 = test::utf8(sub), file8 = test::utf8(sub / "file.txt");

    const struct {
        std::string path;
        DWORD attributes;  // INVALID_FILE_ATTRIBUTES: not found
    } rows[] = {
        {sub8, FILE_ATTRIBUTE_DIRECTORY},
        {"\"" + sub8 + "\"", FILE_ATTRIBUTE_DIRECTORY},
        {file8, FILE_ATTRIBUTE_ARCHIVE},
        {"\"" + file8 + "\"", FILE_ATTRIBUTE_ARCHIVE},
        {"\"" + file8, INVALID_FILE_ATTRIBUTES},             // no closing quote: taken as it is
        {"\"\"" + file8 + "\"\"", INVALID_FILE_ATTRIBUTES},  // only one pair is removed
        {"\"", INVALID_FILE_ATTRIBUTES},                     // a lone quote is the empty path
        {"", INVALID_FILE_ATTRIBUTES},
        {sub8 + "\\missing", INVALID_FILE_ATTRIBUTES},
    };
    for (const auto& r : rows) {
        DWORD attributes = GetFileAttributesU(r.path.c_str());
        if (r.attributes == INVALID_FILE_ATTRIBUTES) {
            EXPECT_EQ(attributes, INVALID_FILE_ATTRIBUTES) << r.path;
        } else {
            EXPECT_NE(attributes, INVALID_FILE_ATTRIBUTES) << r.path;
            EXPECT_TRUE(attributes & r.attributes) << r.path;
        }
    }
    EXPECT_EQ(GetFileAttributesU(nullptr), INVALID_FILE_ATTRIBUTES);
}

TEST(GetFileAttributesU, KeepsTheSystemsLastError) {
    test::temp_dir dir;
    std::string missing = dir.utf8() + "\\missing";
    SetLastError(0);
    EXPECT_EQ(GetFileAttributesU(missing.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    std::string deeper = missing + "\\deeper";
    EXPECT_EQ(GetFileAttributesU(deeper.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_PATH_NOT_FOUND);
}

TEST(GetCurrentDirectoryU, GivesUtf8) {
    test::temp_dir dir;
    fs::path sub = dir.path() / test::from_utf8(kGruesse);
    fs::create_directory(sub);
    test::current_dir cd(sub);
    char buffer[MAX_PATH];
    DWORD written = GetCurrentDirectoryU(MAX_PATH, buffer);
    EXPECT_EQ(std::string(buffer), test::utf8(sub));
    EXPECT_EQ(written, test::utf8(sub).size() + 1);
}

TEST(GetCurrentDirectoryU, ADirectoryThatDoesNotFitIsAFailureWithAnEmptyText) {
    // 90 euro signs: 90 UTF-16 units, but 270 bytes of UTF-8.
    test::temp_dir dir;
    std::wstring name(90, L'\u20AC');
    fs::path sub = dir.path() / name;
    fs::create_directory(sub);
    test::current_dir cd(sub);
    char buffer[MAX_PATH];
    memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetCurrentDirectoryU(MAX_PATH, buffer), 0u);
    EXPECT_EQ(buffer[0], '\0');
}

TEST(ShellExecuteExU, WrongRecordSizeStartsNothing) {
    test::temp_dir dir;
    std::string program = test::utf8(test::beside_me("exit_with.exe"));
    std::string marker = dir.utf8() + "\\started";
    std::string parameters = "touch \"" + marker + "\" 0";
    SHELLEXECUTEINFOA info = {};
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_HIDE;
    for (DWORD size : {DWORD(0), DWORD(sizeof info - 1), DWORD(sizeof info + 1)}) {
        info.cbSize = size;
        SetLastError(0);
        EXPECT_FALSE(ShellExecuteExU(&info));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
        EXPECT_EQ(info.hProcess, nullptr);
    }
    Sleep(200);
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(ShellExecuteExU(nullptr));
}

TEST(ShellExecuteExU, StartsElevatedWithUtf8TextsAndHandsBackTheProcess) {
    test::temp_dir dir;
    std::string program = test::utf8(test::beside_me("exit_with.exe"));
    std::string directory = dir.utf8();
    std::string parameters = std::string("touch ") + kGruesse + ".txt 3";
    SHELLEXECUTEINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = "runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = directory.c_str();
    info.lpClass = "not read without SEE_MASK_CLASSNAME";
    info.nShow = SW_HIDE;
    ASSERT_TRUE(ShellExecuteExU(&info)) << GetLastError();
    child_process_guard child;
    child.adopt(info.hProcess);
    ASSERT_TRUE(child.started());
    EXPECT_GT((INT_PTR)info.hInstApp, 32);
    EXPECT_TRUE(child.wait(10000));
    EXPECT_EQ(child.exit_code(), 3u);
    EXPECT_EQ(exit_code_to_result(child.process()), USBDRV_ERR_OTHER);
    // The parameters and the working directory arrived as the UTF-8 texts meant them.
    EXPECT_TRUE(fs::exists(dir.path() / test::from_utf8(std::string(kGruesse) + ".txt")));
}

bool start(child_process_guard& child, const std::string& arguments,
           DWORD cb = sizeof(STARTUPINFOA)) {
    std::string command = "\"" + test::utf8(test::beside_me("exit_with.exe")) + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = cb;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessU(nullptr, command.c_str(), nullptr, nullptr, TRUE,
                                  CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info);
    DWORD error = GetLastError();
    child.adopt(info);
    SetLastError(error);  // for the caller's check, after the adoption
    return started;
}

TEST(CreateProcessU, WrongRecordSizeFailsWithBadLength) {
    child_process_guard c;
    SetLastError(0);
    EXPECT_FALSE(start(c, "0", 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_BAD_LENGTH);
    EXPECT_FALSE(start(c, "0", sizeof(STARTUPINFOA) + 1));
    EXPECT_FALSE(c.started());
}

TEST(ExitCodeToResult, MapsExitCodesAndRunningProcesses) {
    const struct {
        const char* arguments;
        usbdrv_result result;
    } rows[] = {{"0", USBDRV_OK}, {"1", USBDRV_ERR_OTHER}, {"-13", USBDRV_ERR_OTHER}};
    for (const auto& r : rows) {
        child_process_guard c;
        ASSERT_TRUE(start(c, r.arguments)) << GetLastError();
        ASSERT_TRUE(c.wait(10000));
        EXPECT_EQ(exit_code_to_result(c.process()), r.result) << r.arguments;
    }
    child_process_guard running;
    ASSERT_TRUE(start(running, "sleep 30000 0"));
    EXPECT_EQ(exit_code_to_result(running.process()), USBDRV_ERR_TIMEOUT);
    EXPECT_EQ(exit_code_to_result(nullptr), USBDRV_ERR_OTHER);
}

TEST(DeleteFileU, DeletesByUtf8Name) {
    test::temp_dir dir;
    fs::path file = dir.path() / test::from_utf8(std::string(kGruesse) + ".bin");
    std::ofstream(file) << "x";
    EXPECT_TRUE(DeleteFileU(test::utf8(file).c_str()));
    EXPECT_FALSE(fs::exists(file));
    SetLastError(0);
    EXPECT_FALSE(DeleteFileU(test::utf8(file).c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileU(nullptr));
}

}  // namespace

// extract_binaries: the package tree it writes, replacing files, the path-length bounds, and its
// failures.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "carried_files.h"
#include "carried_rows.h"
#include "package/embedded_files.h"
#include "package/extraction.h"
#include "test_support.h"
#include "win/handles.h"

namespace fs = std::filesystem;

namespace {

// The package tree the carried rows make, from the rows the build is told to carry rather than
// from the table under test: every file but the templates, and the folders they are in.
std::set<std::string> package_entries(bool folders) {
    std::set<std::string> entries;
    for (const carried::row& row : carried::kRows) {
        std::string subdir = row.subdir;
        if (row.from == carried::origin::template_file)
            continue;
        if (!folders) {
            entries.insert(subdir == "." ? row.name : subdir + "\\" + row.name);
        } else if (subdir != ".") {
            for (size_t slash = subdir.find('\\'); slash != std::string::npos;
                 slash = subdir.find('\\', slash + 1)) {
                entries.insert(subdir.substr(0, slash));
            }
            entries.insert(subdir);
        }
    }
    return entries;
}
const std::set<std::string> kPackageFiles = package_entries(false);
const std::set<std::string> kPackageFolders = package_entries(true);

std::set<std::string> entries_below(const fs::path& dir, bool folders) {
    std::set<std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_directory() == folders)
            found.insert(test::utf8(entry.path().lexically_relative(dir)));
    }
    return found;
}

fs::path file_of(const fs::path& package, const embedded_file& row) {
    fs::path folder = std::string(row.subdir) == "." ? package : package / row.subdir;
    return folder / row.name;
}

// A package folder path of exactly length characters below dir.
std::string package_path(const test::temp_dir& dir, size_t length) {
    std::string base = dir.utf8() + "\\";
    return base + std::string(length - base.size(), 'p');
}

std::string success_line(const std::string& package) {
    return "usbdrv:info [extract_binaries] successfully extracted driver files to " + package +
           "\n";
}

std::string too_long_line(const std::string& path) {
    return "usbdrv:error [extract_binaries] qualified path is too long: '" +
           path.substr(0, MAX_PATH - 1) + "'\n";
}

TEST(ExtractBinaries, WritesTheTwentyCarriedFilesByteForByte) {
    test::temp_dir dir;
    fs::path package = dir.path() / "usb_driver";  // made by the extraction
    test::log_capture log;
    ASSERT_EQ(extract_binaries(test::utf8(package).c_str()), USBDRV_OK);
    EXPECT_EQ(log.text(), success_line(test::utf8(package)));

    EXPECT_EQ(entries_below(package, false), kPackageFiles);
    EXPECT_EQ(entries_below(package, true), kPackageFolders);
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (*row.subdir) {
            EXPECT_EQ(test::read_file(file_of(package, row)), test::content_of(row)) << row.name;
        }
    }
    // The templates are filled by the preparation; as they stand they go nowhere.
    for (const auto& entry : fs::recursive_directory_iterator(dir.path())) {
        EXPECT_NE(entry.path().extension(), ".in") << entry.path();
    }
}

TEST(ExtractBinaries, ExtractingAgainReplacesEveryFile) {
    test::temp_dir dir;
    fs::path package = dir.path() / "pkg";
    test::log_capture log;
    ASSERT_EQ(extract_binaries(test::utf8(package).c_str()), USBDRV_OK);
    std::ofstream(package / "x86" / "libusb0.sys", std::ios::binary)
        << std::string(100000, 'x');                                 // longer
    std::ofstream(package / "installer_x64.exe", std::ios::binary);  // empty
    std::ofstream(package / "license" / "libusb0" / "installer_license.txt") << "changed";

    ASSERT_EQ(extract_binaries(test::utf8(package).c_str()), USBDRV_OK);
    EXPECT_EQ(entries_below(package, false), kPackageFiles);
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (*row.subdir) {
            EXPECT_EQ(test::read_file(file_of(package, row)), test::content_of(row)) << row.name;
        }
    }
}

// A full file path (package, folder, name and two separators) must fit in 259 characters. Row 12
// (license\libusb0\installer_license.txt) needs the most room, row 2
// (amd64\WdfCoInstaller01011.dll) the next most; each folder is made before its file's path is
// checked.
TEST(ExtractBinaries, StopsAtTheFirstFileWhosePathDoesNotFit) {
    const struct {
        size_t length;
        size_t failing_row;  // embedded_file_count: none
    } cases[] = {
        {221, embedded_file_count},  // the longest package path that takes every file
        {222, 12},                   // 222 + 15 + 21 = 258
        {229, 12},                   // row 2 still fits: 229 + 5 + 23 = 257
        {230, 2},                    // 230 + 5 + 23 = 258; rows 0 and 1 fit
        {255, 0},                    // the folder "x86" still fits, with nothing in it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("package path of " + std::to_string(c.length) + " characters");
        test::temp_dir dir;
        std::string package = package_path(dir, c.length);
        test::log_capture log;
        usbdrv_result result = extract_binaries(package.c_str());

        if (c.failing_row == embedded_file_count) {
            EXPECT_EQ(result, USBDRV_OK);
            EXPECT_EQ(log.text(), success_line(package));
            EXPECT_EQ(entries_below(test::from_utf8(package), false), kPackageFiles);
            continue;
        }
        const embedded_file& failing = embedded_files[c.failing_row];
        EXPECT_EQ(result, USBDRV_ERR_RESOURCE);
        EXPECT_EQ(log.text(), too_long_line(package + "\\" + failing.subdir + "\\" + failing.name));
        EXPECT_TRUE(fs::is_directory(test::from_utf8(package + "\\" + failing.subdir)));
        for (size_t i = 0; i < embedded_file_count; i++) {
            const embedded_file& row = embedded_files[i];
            if (*row.subdir) {
                EXPECT_EQ(fs::exists(file_of(test::from_utf8(package), row)), i < c.failing_row)
                    << "row " << i;
            }
        }
        if (c.failing_row <= 2) {
            EXPECT_FALSE(fs::exists(test::from_utf8(package + "\\license")));
        }
    }
}

// A folder path that would be cut is refused before anything is made: cut, it would name some
// other directory.
TEST(ExtractBinaries, APackagePathTooLongForItsFoldersCreatesNothing) {
    for (size_t length : {256, 300}) {
        SCOPED_TRACE("package path of " + std::to_string(length) + " characters");
        test::temp_dir dir;
        std::string package = package_path(dir, length);
        test::log_capture log;
        EXPECT_EQ(extract_binaries(package.c_str()), USBDRV_ERR_RESOURCE);
        EXPECT_EQ(log.text(), too_long_line(package + "\\x86"));
        EXPECT_TRUE(fs::is_empty(dir.path()));
    }
}

TEST(ExtractBinaries, NoPackagePathIsAnInvalidParameter) {
    for (const char* path : {(const char*)nullptr, ""}) {
        test::log_capture log;
        EXPECT_EQ(extract_binaries(path), USBDRV_ERR_INVALID_PARAM);
        EXPECT_EQ(log.text(), "usbdrv:error [extract_binaries] no package directory given\n");
    }
}

TEST(ExtractBinaries, AFolderThatCannotBeMadeStopsWithCheckDirsResult) {
    test::temp_dir dir;
    std::ofstream(dir.path() / "amd64") << "a file where the folder goes";
    test::log_capture log;
    EXPECT_EQ(extract_binaries(dir.utf8().c_str()), USBDRV_ERR_ACCESS);
    EXPECT_EQ(log.text(),
              "usbdrv:error [check_dir] " + dir.utf8() + "\\amd64 is a file, not a directory\n");
    EXPECT_EQ(entries_below(dir.path(), false),
              (std::set<std::string>{"amd64", "x86\\WdfCoInstaller01011.dll",
                                     "x86\\winusbcoinstaller2.dll"}));
}

TEST(ExtractBinaries, AFileThatCannotBeCreatedIsReported) {
    test::temp_dir dir;
    fs::create_directories(dir.path() / "x86" / "winusbcoinstaller2.dll");  // a folder in its way
    test::log_capture log;
    EXPECT_EQ(extract_binaries(dir.utf8().c_str()), USBDRV_ERR_RESOURCE);
    std::string line = "usbdrv:error [extract_binaries] failed to create file '" + dir.utf8() +
                       "\\x86\\winusbcoinstaller2.dll' ([#";
    EXPECT_EQ(log.text().compare(0, line.size(), line), 0) << log.text();
    EXPECT_TRUE(fs::exists(dir.path() / "x86" / "WdfCoInstaller01011.dll"));
    EXPECT_FALSE(fs::exists(dir.path() / "amd64"));
}

// CTest runs the cases below with a file size limit of CORVANE_FILE_SIZE_LIMIT bytes
// (tests/CMakeLists.txt): a write beyond it fails as on a full disk, after the bytes below the
// limit have reached the file. The first carried file larger than the limit, or
// embedded_file_count without a limit.
size_t first_file_over_the_limit() {
    const char* limit_text = getenv("CORVANE_FILE_SIZE_LIMIT");
    if (!limit_text)
        return embedded_file_count;
    uint64_t limit = strtoull(limit_text, nullptr, 10);
    size_t failing = 0;
    while (failing < embedded_file_count &&
           (!*embedded_files[failing].subdir || embedded_files[failing].size <= limit)) {
        failing++;
    }
    return failing;
}

// What a "failed to write file" line gives as the reason, in its last parentheses.
std::string reason_of(const std::string& line) {
    size_t open = line.rfind("' (");
    size_t close = line.rfind(")\n");
    if (open == std::string::npos || close == std::string::npos || close < open)
        return "(no reason in: " + line + ")";
    return line.substr(open + 3, close - open - 3);
}

// A write that fails part-way must not leave a file cut short behind.
TEST(ExtractBinaries, AFileCutShortByAFailedWriteIsDeleted) {
    if (!getenv("CORVANE_FILE_SIZE_LIMIT"))
        GTEST_SKIP() << "runs with a file size limit only (usbdrv_package_tests.file_size_limit)";
    size_t failing = first_file_over_the_limit();
    ASSERT_LT(failing, embedded_file_count) << "no carried file is larger than the limit";

    test::temp_dir dir;
    const embedded_file& cut = embedded_files[failing];
    fs::path cut_short = file_of(dir.path(), cut);
    test::log_capture log;
    EXPECT_EQ(extract_binaries(dir.utf8().c_str()), USBDRV_ERR_RESOURCE);
    std::string line = "usbdrv:error [extract_binaries] failed to write file '" + dir.utf8() +
                       "\\" + cut.subdir + "\\" + cut.name + "' (";
    EXPECT_EQ(log.text().compare(0, line.size(), line), 0) << log.text();
    EXPECT_FALSE(fs::exists(cut_short));
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (*row.subdir && i != failing) {
            EXPECT_EQ(fs::exists(file_of(dir.path(), row)), i < failing) << "row " << i;
        }
    }
}

// Replacing a file leaves ERROR_ALREADY_EXISTS as the thread's last error, and a write cut short
// sets no system error of its own: the line gives the write's own failure, the same as when the
// file is new, not that leftover.
TEST(ExtractBinaries, AFailedWriteOverAnOldFileGivesTheWritesOwnError) {
    if (!getenv("CORVANE_FILE_SIZE_LIMIT"))
        GTEST_SKIP() << "runs with a file size limit only (usbdrv_package_tests.file_size_limit)";
    size_t failing = first_file_over_the_limit();
    ASSERT_LT(failing, embedded_file_count) << "no carried file is larger than the limit";

    std::string reasons[2];  // a new file, an old one
    for (int old = 0; old < 2; old++) {
        test::temp_dir dir;
        fs::path cut_short = file_of(dir.path(), embedded_files[failing]);
        if (old) {
            fs::create_directories(cut_short.parent_path());
            std::ofstream(cut_short) << "an older file";
        }
        test::log_capture log;
        EXPECT_EQ(extract_binaries(dir.utf8().c_str()), USBDRV_ERR_RESOURCE);
        reasons[old] = reason_of(log.text());
        EXPECT_FALSE(fs::exists(cut_short));
    }
    EXPECT_EQ(reasons[1], reasons[0]);
    EXPECT_EQ(reasons[1].find("[#000000B7]"), std::string::npos) << reasons[1];
}

// The helper carried for this machine runs from the package; without the tool it refuses.
TEST(ExtractBinaries, TheCarriedHelperRunsFromThePackage) {
    test::temp_dir dir;
    test::log_capture log;
    ASSERT_EQ(extract_binaries(dir.utf8().c_str()), USBDRV_OK);
    fs::path helper = dir.path() / "installer_x64.exe";

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    unique_pipe read_end, write_end;
    ASSERT_TRUE(CreatePipe(read_end.put(), write_end.put(), &inherit, 0));
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    child_process_guard child;
    bool started = test::start_program(helper, L"", write_end.get(), child);
    write_end.reset();  // the helper holds the only write end: reading ends when it exits
    std::string output;
    char buffer[256];
    DWORD got = 0;
    while (started && ReadFile(read_end.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        output.append(buffer, got);
    ASSERT_TRUE(started);
    child.wait(10000);
    DWORD exit_code = child.exit_code();

    // Started without the tool, which serves the installer pipe: it refuses (a text stream).
    EXPECT_EQ(output,
              "This application can not be run from the command line.\r\n"
              "Please use your initial installer application if you want to install the "
              "driver.\r\n");
    EXPECT_EQ(static_cast<int>(exit_code), USBDRV_ERR_NOT_SUPPORTED);
}

}  // namespace

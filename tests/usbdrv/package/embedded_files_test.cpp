// The embedded file table as the build generates it: its rows, the machines of the carried
// programs, the sharing of identical content, the stand-ins and where each row comes from.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "carried_files.h"
#include "embedded_files.h"
#include "handles.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

const WORD kI386 = IMAGE_FILE_MACHINE_I386;
const WORD kAmd64 = IMAGE_FILE_MACHINE_AMD64;

const struct {
    const char* subdir;
    const char* name;
    WORD machine;             // 0: not a program
    uint64_t standin_time;    // the vendor file's time, which its stand-in carries
    const char* standin_for;  // the file a stand-in says it stands in for
    int standin_version;      // the last part of a stand-in's version: the row it was made for
} kRows[] = {
    {"x86", "WdfCoInstaller01011.dll", kI386, 1606897675, "WdfCoInstaller01011.dll", 0},
    {"x86", "winusbcoinstaller2.dll", kI386, 1606897730, "winusbcoinstaller2.dll", 1},
    {"amd64", "WdfCoInstaller01011.dll", kAmd64, 1606897786, "WdfCoInstaller01011.dll", 2},
    {"amd64", "winusbcoinstaller2.dll", kAmd64, 1606897786, "winusbcoinstaller2.dll", 3},
    {"x86", "libusb0_x86.dll", kI386, 1606898059, "libusb0_x86.dll", 4},
    {"x86", "install-filter.exe", kI386, 1606898639, "install-filter.exe", 5},
    {"x86", "libusb0.dll", kI386, 1606898639, "libusb0.dll", 6},
    // The vendor ships its 32-bit library in the amd64 folder too, under another name.
    {"amd64", "libusb0_x86.dll", kI386, 1606898639, "libusb0.dll", 6},
    {"x86", "libusb0.sys", kI386, 1606898059, "libusb0.sys", 8},
    {"amd64", "libusb0.dll", kAmd64, 1606898676, "libusb0.dll", 9},
    {"amd64", "libusb0.sys", kAmd64, 1606898676, "libusb0.sys", 10},
    {"amd64", "install-filter.exe", kAmd64, 1606898676, "install-filter.exe", 11},
    {"license\\libusb0", "installer_license.txt", 0, 1606898750, "installer_license.txt", 12},
    {"x86", "libusbK.sys", kI386, 1606898953, "libusbK.sys", 13},
    {"x86", "libusbK.dll", kI386, 1606899045, "libusbK.dll", 14},
    {"amd64", "libusbK_x86.dll", kI386, 1606899045, "libusbK.dll", 14},
    {"amd64", "libusbK.sys", kAmd64, 1606899100, "libusbK.sys", 16},
    {"amd64", "libusbK.dll", kAmd64, 1606899081, "libusbK.dll", 17},
    {".", "installer_x86.exe", kI386, 0, nullptr, 0},
    {".", "installer_x64.exe", kAmd64, 0, nullptr, 0},
    {"", "winusb.inf.in", 0, 0, nullptr, 0},
    {"", "libusb0.inf.in", 0, 0, nullptr, 0},
    {"", "libusbk.inf.in", 0, 0, nullptr, 0},
    {"", "usbser.inf.in", 0, 0, nullptr, 0},
    {"", "winusb.cat.in", 0, 0, nullptr, 0},
    {"", "libusb0.cat.in", 0, 0, nullptr, 0},
    {"", "libusbk.cat.in", 0, 0, nullptr, 0},
    {"", "usbser.cat.in", 0, 0, nullptr, 0},
};
const size_t kRowCount = sizeof kRows / sizeof kRows[0];
const size_t kFirstInstaller = 18, kFirstTemplate = 20;

std::string row_path(size_t i) {
    return std::string(kRows[i].subdir) + "\\" + kRows[i].name;
}

// A vendor file supplied for the row, or an empty path.
fs::path vendor_file(size_t i) {
    fs::path folder = test::path_from_environment("CORVANE_VENDOR_DRIVERS");
    if (folder.empty())
        return {};
    fs::path file = folder / kRows[i].subdir / kRows[i].name;
    return fs::is_regular_file(file) ? file : fs::path();
}

TEST(EmbeddedFiles, HasTheTwentyEightRowsInExtractionOrder) {
    ASSERT_EQ(embedded_file_count, kRowCount);
    for (size_t i = 0; i < kRowCount; i++) {
        EXPECT_STREQ(embedded_files[i].subdir, kRows[i].subdir) << "row " << i;
        EXPECT_STREQ(embedded_files[i].name, kRows[i].name) << "row " << i;
        EXPECT_GT(embedded_files[i].size, 0u) << "row " << i;
    }
}

TEST(EmbeddedFiles, ProgramsAreBuiltForTheirFoldersMachine) {
    for (size_t i = 0; i < kRowCount; i++) {
        if (kRows[i].machine) {
            EXPECT_EQ(test::pe_machine(test::content_of(embedded_files[i])), kRows[i].machine)
                << row_path(i);
        }
    }
}

// Rows share one block of bytes exactly when their contents are the same.
TEST(EmbeddedFiles, ContentIsStoredOnceAndSharedOnlyWhenIdentical) {
    for (size_t i = 0; i < embedded_file_count; i++) {
        for (size_t j = i + 1; j < embedded_file_count; j++) {
            bool identical =
                test::content_of(embedded_files[i]) == test::content_of(embedded_files[j]);
            EXPECT_EQ(embedded_files[i].data == embedded_files[j].data, identical)
                << row_path(i) << " and " << row_path(j);
        }
    }
}

TEST(EmbeddedFiles, VendorFilesReplaceTheirStandInsFileByFile) {
    test::temp_dir dir;
    for (size_t i = 0; i < kFirstInstaller; i++) {
        const embedded_file& row = embedded_files[i];
        std::string content = test::content_of(row);
        fs::path vendor = vendor_file(i);
        if (!vendor.empty()) {
            EXPECT_EQ(content, test::read_file(vendor)) << row_path(i);
            EXPECT_EQ(row.timestamp, test::unix_time_of(vendor)) << row_path(i);
            continue;
        }

        SCOPED_TRACE(row_path(i) + " (stand-in)");
        EXPECT_EQ(row.timestamp, kRows[i].standin_time);
        std::string says =
            std::string("Stand-in for ") + kRows[i].standin_for + ": not the vendor's file";
        if (!kRows[i].machine) {
            EXPECT_EQ(content.compare(0, says.size() + 1, says + "."), 0) << content;
            continue;
        }
        test::version_record version;
        ASSERT_TRUE(test::read_version(content, dir.path(), L"standin", &version));
        EXPECT_EQ(version.description, test::from_utf8(says).wstring());
        EXPECT_EQ(version.fixed.dwFileVersionMS, 0u);
        EXPECT_EQ(version.fixed.dwFileVersionLS, (DWORD)kRows[i].standin_version);
        EXPECT_EQ(test::pe_time_stamp(content), 0u) << "a link time stamp makes it irreproducible";
    }
    // Where both copies of the vendor's one 32-bit library are stand-ins, they are one file.
    for (size_t pair : {6, 14}) {
        if (vendor_file(pair).empty() && vendor_file(pair + 1).empty()) {
            EXPECT_EQ(embedded_files[pair].data, embedded_files[pair + 1].data) << row_path(pair);
        }
    }
}

TEST(EmbeddedFiles, InstallerRowsAreTheTwoBuildsOfTheHelper) {
    const char* variables[] = {"CORVANE_INSTALLER_X86", "CORVANE_INSTALLER_X64"};
    for (size_t k = 0; k < 2; k++) {
        fs::path build = test::path_from_environment(variables[k]);
        ASSERT_FALSE(build.empty()) << variables[k] << " is not set";
        const embedded_file& row = embedded_files[kFirstInstaller + k];
        EXPECT_EQ(test::content_of(row), test::read_file(build)) << build;
        EXPECT_EQ(row.timestamp, test::unix_time_of(build)) << build;

        // The host asks for elevation when it starts the helper; the helper runs as invoked.
        unique_module image(LoadLibraryExW(
            build.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE));
        ASSERT_TRUE(image) << build;
        HRSRC found = FindResourceW(image.get(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        ASSERT_NE(found, nullptr) << build << " has no manifest";
        std::string manifest(
            static_cast<const char*>(LockResource(LoadResource(image.get(), found))),
            SizeofResource(image.get(), found));
        EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos) << manifest;
    }
}

TEST(EmbeddedFiles, TemplatesAreTheSourceTreesFiles) {
    fs::path templates = test::path_from_environment("CORVANE_TEMPLATES");
    ASSERT_FALSE(templates.empty()) << "CORVANE_TEMPLATES is not set";
    for (size_t i = kFirstTemplate; i < kRowCount; i++) {
        fs::path file = templates / kRows[i].name;
        EXPECT_EQ(test::content_of(embedded_files[i]), test::read_file(file)) << file;
        EXPECT_EQ(embedded_files[i].timestamp, test::unix_time_of(file)) << file;
    }
}

}  // namespace

// The embedded file table as the build generates it: its rows, the machines of the carried
// programs, the sharing of identical content, the stand-ins and where each row comes from.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "carried_files.h"
#include "carried_rows.h"
#include "package/embedded_files.h"
#include "test_support.h"
#include "win/handles.h"

namespace fs = std::filesystem;

namespace {

using carried::kRowCount;
using carried::kRows;
using carried::origin;

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

TEST(EmbeddedFiles, HasTheCarriedRowsInExtractionOrder) {
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
    for (size_t i = 0; i < kRowCount; i++) {
        if (kRows[i].from != origin::vendor_file)
            continue;
        const embedded_file& row = embedded_files[i];
        std::string content = test::content_of(row);
        fs::path vendor = vendor_file(i);
        if (!vendor.empty()) {
            EXPECT_EQ(content, test::read_file(vendor)) << row_path(i);
            EXPECT_EQ(row.timestamp, test::unix_time_of(vendor)) << row_path(i);
            continue;
        }

        SCOPED_TRACE(row_path(i) + " (stand-in)");
        EXPECT_EQ(row.timestamp, kRows[i].vendor_time);
        if (!kRows[i].machine) {
            EXPECT_EQ(content, kRows[i].standin_text);
            continue;
        }
        test::version_record version;
        ASSERT_TRUE(test::read_version(content, dir.path(), L"standin", &version));
        EXPECT_EQ(version.description, test::from_utf8(kRows[i].standin_text).wstring());
        EXPECT_EQ(version.fixed.dwFileVersionMS, 0u);
        EXPECT_EQ(version.fixed.dwFileVersionLS, (DWORD)kRows[i].standin_version);
        EXPECT_EQ(test::pe_time_stamp(content), 0u) << "a link time stamp makes it irreproducible";
    }
    // Where both copies of the vendor's one 32-bit library are stand-ins, they are one file.
    for (size_t i = 0; i < kRowCount; i++) {
        int first = kRows[i].same_as;
        if (first >= 0 && vendor_file(first).empty() && vendor_file(i).empty()) {
            EXPECT_EQ(embedded_files[i].data, embedded_files[first].data) << row_path(i);
        }
    }
}

TEST(EmbeddedFiles, InstallerRowsAreTheTwoBuildsOfTheHelper) {
    for (size_t i = 0; i < kRowCount; i++) {
        if (kRows[i].from != origin::installer_build)
            continue;
        std::string variable = "CORVANE_INSTALLER_" + std::string(kRows[i].installer);
        for (char& c : variable)
            c = (char)toupper((unsigned char)c);
        fs::path build = test::path_from_environment(variable.c_str());
        ASSERT_FALSE(build.empty()) << variable << " is not set";
        const embedded_file& row = embedded_files[i];
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
    for (size_t i = 0; i < kRowCount; i++) {
        if (kRows[i].from != origin::template_file)
            continue;
        fs::path file = templates / kRows[i].name;
        EXPECT_EQ(test::content_of(embedded_files[i]), test::read_file(file)) << file;
        EXPECT_EQ(embedded_files[i].timestamp, test::unix_time_of(file)) << file;
    }
}

}  // namespace

// get_version_info, read_version_info and usbdrv_is_driver_supported: the versions of the carried
// reference driver files, their cache and TEMP, and which driver kinds the system supports.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "carried_files.h"
#include "package/driver_versions.h"
#include "package/embedded_files.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/windows_version.h"

namespace fs = std::filesystem;

namespace {

// The reference file of kinds 0 to 2: the first row of its name, the copy in "x86".
const struct {
    int32_t kind;
    size_t row;
} kReferenceRows[] = {
    {USBDRV_DRIVER_WINUSB, 1}, {USBDRV_DRIVER_LIBUSB0, 8}, {USBDRV_DRIVER_LIBUSBK, 13}};

bool operator==(const VS_FIXEDFILEINFO& a, const VS_FIXEDFILEINFO& b) {
    return memcmp(&a, &b, sizeof a) == 0;
}

VS_FIXEDFILEINFO filled_with(unsigned char byte) {
    VS_FIXEDFILEINFO record;
    memset(&record, byte, sizeof record);
    return record;
}

// The text in the ANSI code page, as the C runtime keeps the environment; empty when the code
// page cannot hold it.
std::string ansi(const std::wstring& text) {
    BOOL lossy = FALSE;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0,
                                   nullptr, &lossy);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, &result[0], size, nullptr,
                        &lossy);
    result.resize(size > 0 ? size - 1 : 0);
    return lossy ? std::string() : result;
}

// TEMP points at a fresh folder of its own, so that what the library leaves there shows. The
// cache holds what earlier tests of the program read; read_version_info reads whatever it holds.
// getenv reads the C runtime's copy of the environment, which _putenv_s sets.
class DriverVersions : public testing::Test {
protected:
    void SetUp() override {
        const char* temp = getenv("TEMP");
        saved_temp_ = temp ? temp : "";
        saved_windows_version_ = windows_version;
        set_temp(temp_.utf8());  // plain ASCII
    }
    void TearDown() override {
        _putenv_s("TEMP", saved_temp_.c_str());
        windows_version = saved_windows_version_;
    }
    static void set_temp(const std::string& ansi_text) { _putenv_s("TEMP", ansi_text.c_str()); }
    static void unset_temp() { _putenv_s("TEMP", ""); }

    // The version record of a row as the system reads it from the row's bytes.
    VS_FIXEDFILEINFO system_version_of(size_t row) {
        test::version_record version;
        EXPECT_TRUE(test::read_version(test::content_of(embedded_files[row]), scratch_.path(),
                                       L"reference", &version));
        return version.fixed;
    }

    test::temp_dir temp_, scratch_;

private:
    std::string saved_temp_;
    int saved_windows_version_ = -1;
};

TEST_F(DriverVersions, ReadsEachKindsReferenceFileWithItsTimeAsTheDate) {
    for (const auto& reference : kReferenceRows) {
        SCOPED_TRACE("kind " + std::to_string(reference.kind));
        const embedded_file& row = embedded_files[reference.row];
        VS_FIXEDFILEINFO record = filled_with(0xAB);
        test::log_capture log;
        ASSERT_EQ(read_version_info(reference.kind, &record), USBDRV_OK);
        EXPECT_EQ(log.text(), "");

        VS_FIXEDFILEINFO expected = system_version_of(reference.row);
        EXPECT_EQ(record.dwSignature, 0xFEEF04BDu);
        EXPECT_EQ(record.dwFileVersionMS, expected.dwFileVersionMS);
        EXPECT_EQ(record.dwFileVersionLS, expected.dwFileVersionLS);
        EXPECT_EQ(record.dwProductVersionMS, expected.dwProductVersionMS);
        EXPECT_EQ(record.dwFileType, expected.dwFileType);

        // The date is the carried file's time as a Windows file time.
        uint64_t date = (uint64_t)record.dwFileDateMS << 32 | record.dwFileDateLS;
        EXPECT_EQ(date, (row.timestamp + 11644473600ULL) * 10000000ULL);
        FILETIME file_time = {record.dwFileDateLS, record.dwFileDateMS};
        SYSTEMTIME utc;
        ASSERT_TRUE(FileTimeToSystemTime(&file_time, &utc));
        time_t seconds = (time_t)row.timestamp;
        const tm* calendar = gmtime(&seconds);
        EXPECT_EQ(utc.wYear, calendar->tm_year + 1900);
        EXPECT_EQ(utc.wMonth, calendar->tm_mon + 1);
        EXPECT_EQ(utc.wDay, calendar->tm_mday);
        EXPECT_EQ(utc.wHour * 3600 + utc.wMinute * 60 + utc.wSecond,
                  calendar->tm_hour * 3600 + calendar->tm_min * 60 + calendar->tm_sec);

        EXPECT_TRUE(fs::is_empty(temp_.path())) << "the temporary copy was left behind";
        // Kept: served without TEMP from now on.
        unset_temp();
        VS_FIXEDFILEINFO served = filled_with(0);
        EXPECT_EQ(get_version_info(reference.kind, &served), USBDRV_OK);
        EXPECT_TRUE(served == record);
        set_temp(temp_.utf8());
    }
}

TEST_F(DriverVersions, KindsWithoutAReferenceFileAndMissingRecordsAreRefused) {
    const struct {
        int32_t kind;
        bool with_record;
        usbdrv_result result;
    } cases[] = {
        {USBDRV_DRIVER_CDC, true, USBDRV_ERR_NOT_FOUND},  // the system's own driver
        {USBDRV_DRIVER_USER, true, USBDRV_ERR_INVALID_PARAM},
        {-1, true, USBDRV_ERR_INVALID_PARAM},
        {USBDRV_DRIVER_WINUSB, false, USBDRV_ERR_INVALID_PARAM},
    };
    for (const auto& c : cases) {
        for (auto* query : {&get_version_info, &read_version_info}) {
            SCOPED_TRACE("kind " + std::to_string(c.kind) +
                         (query == &get_version_info ? ", cached" : ", read anew"));
            VS_FIXEDFILEINFO record = filled_with(0xAB);
            test::log_capture log;
            EXPECT_EQ(query(c.kind, c.with_record ? &record : nullptr), c.result);
            EXPECT_EQ(log.text().rfind("usbdrv:warning [get_version_info] ", 0), 0u) << log.text();
            EXPECT_TRUE(record == filled_with(0xAB));
            EXPECT_TRUE(fs::is_empty(temp_.path()));
        }
    }
}

// What was read is served without touching TEMP; a read anew reads, and its failure keeps what
// was read before.
TEST_F(DriverVersions, AReadRecordIsServedWithoutTouchingTempAndReadAnewOnRequest) {
    VS_FIXEDFILEINFO first;
    ASSERT_EQ(read_version_info(USBDRV_DRIVER_LIBUSB0, &first), USBDRV_OK);

    // A TEMP that check_dir would refuse, then none at all.
    fs::path not_a_folder = temp_.path() / "file";
    std::ofstream(not_a_folder) << "x";
    set_temp(test::utf8(not_a_folder));
    VS_FIXEDFILEINFO again = filled_with(0);
    {
        test::log_capture log;
        EXPECT_EQ(get_version_info(USBDRV_DRIVER_LIBUSB0, &again), USBDRV_OK);
        EXPECT_TRUE(again == first);
        unset_temp();
        EXPECT_EQ(get_version_info(USBDRV_DRIVER_LIBUSB0, &again), USBDRV_OK);
        EXPECT_TRUE(again == first);
        EXPECT_EQ(log.text(), "");
    }

    VS_FIXEDFILEINFO anew = filled_with(0x5A);
    test::log_capture log;
    EXPECT_EQ(read_version_info(USBDRV_DRIVER_LIBUSB0, &anew), USBDRV_ERR_RESOURCE);
    EXPECT_EQ(log.text(), "usbdrv:warning [get_version_info] unable to use TEMP to extract file\n");
    EXPECT_TRUE(anew == filled_with(0x5A)) << "a failed read leaves the record alone";
    EXPECT_EQ(get_version_info(USBDRV_DRIVER_LIBUSB0, &again), USBDRV_OK);
    EXPECT_TRUE(again == first);
}

TEST_F(DriverVersions, WithoutAUsableTempNothingIsRead) {
    fs::path not_a_folder = temp_.path() / "file";
    std::ofstream(not_a_folder) << "x";
    const struct {
        bool set;
        std::string temp;
        usbdrv_result result;
        std::string log;
    } cases[] = {
        {false, "", USBDRV_ERR_RESOURCE,
         "usbdrv:warning [get_version_info] unable to use TEMP to extract file\n"},
        {true, test::utf8(not_a_folder), USBDRV_ERR_ACCESS,
         "usbdrv:error [check_dir] " + test::utf8(not_a_folder) + " is a file, not a directory\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        if (c.set)
            set_temp(c.temp);
        else
            unset_temp();
        VS_FIXEDFILEINFO record = filled_with(0xAB);
        test::log_capture log;
        EXPECT_EQ(read_version_info(USBDRV_DRIVER_LIBUSBK, &record), c.result);
        EXPECT_EQ(log.text(), c.log);
        EXPECT_TRUE(record == filled_with(0xAB));
    }
}

// The reference file's path must fit in 259 characters. Cut, it would name some other file of
// the folder, which would be replaced by the driver file and then deleted.
TEST_F(DriverVersions, ATempTooLongForTheFilesNameIsRefusedAndNothingIsTouched) {
    const std::string name = "winusbcoinstaller2.dll";  // kind 0's reference file
    for (size_t length : {MAX_PATH - 2 - name.size(), MAX_PATH - 1 - name.size()}) {
        SCOPED_TRACE("TEMP of " + std::to_string(length) + " characters");
        std::string base = temp_.utf8() + "\\";
        std::string temp = base + std::string(length - base.size(), 't');
        set_temp(temp);
        std::string path = temp + "\\" + name;
        bool fits = path.size() <= MAX_PATH - 1;
        fs::path users_file = test::from_utf8(path.substr(0, MAX_PATH - 1));  // the cut name
        if (!fits) {
            fs::create_directories(test::from_utf8(temp));
            std::ofstream(users_file) << "the user's own file";
        }

        VS_FIXEDFILEINFO record = filled_with(0xAB);
        test::log_capture log;
        usbdrv_result result = read_version_info(USBDRV_DRIVER_WINUSB, &record);
        if (fits) {
            EXPECT_EQ(result, USBDRV_OK);
            EXPECT_EQ(log.text(), "");
            EXPECT_TRUE(fs::is_empty(test::from_utf8(temp)));
            continue;
        }
        EXPECT_EQ(result, USBDRV_ERR_RESOURCE);
        EXPECT_EQ(log.text(), "usbdrv:warning [get_version_info] qualified path is too long: '" +
                                  path.substr(0, MAX_PATH - 1) + "'\n");
        EXPECT_TRUE(record == filled_with(0xAB));
        EXPECT_EQ(test::read_file(users_file), "the user's own file");
    }
}

// TEMP comes in the ANSI code page; the file goes to the system by its UTF-16 name.
TEST_F(DriverVersions, ATempFolderWithANonAsciiNameWorks) {
    std::wstring name = L"t\u00EBmp-\u00FC";
    fs::path folder = temp_.path() / name;
    fs::create_directory(folder);
    std::string temp = ansi(folder.wstring());
    ASSERT_FALSE(temp.empty()) << "the ANSI code page " << GetACP() << " cannot hold the name";
    set_temp(temp);

    VS_FIXEDFILEINFO record;
    test::log_capture log;
    EXPECT_EQ(read_version_info(USBDRV_DRIVER_WINUSB, &record), USBDRV_OK);
    EXPECT_EQ(log.text(), "");
    VS_FIXEDFILEINFO expected = system_version_of(1);
    EXPECT_EQ(record.dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(record.dwFileVersionMS, expected.dwFileVersionMS);
    EXPECT_EQ(record.dwFileVersionLS, expected.dwFileVersionLS);
    EXPECT_TRUE(fs::is_empty(folder));
}

// For kinds 0 to 2 a given record is cleared, then filled with the kind's version, which once read
// is served without TEMP; other kinds leave it alone.
TEST_F(DriverVersions, IsDriverSupportedFillsTheRecordOfKindsWithADriverFile) {
    windows_version = 0x61;
    const struct {
        int32_t kind;
        bool supported;
        bool fills;
        bool logs;
    } cases[] = {
        {USBDRV_DRIVER_WINUSB, true, true, false},
        {USBDRV_DRIVER_LIBUSB0, true, true, false},
        {USBDRV_DRIVER_LIBUSBK, true, true, false},
        {USBDRV_DRIVER_CDC, true, false, false},
        {USBDRV_DRIVER_USER, false, false, false},
        {7, false, false, true},
        {-1, false, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind));
        set_temp(temp_.utf8());
        VS_FIXEDFILEINFO expected = filled_with(0xAB);
        if (c.fills) {
            ASSERT_EQ(read_version_info(c.kind, &expected), USBDRV_OK);
        }
        for (bool temp_usable : {true, false}) {
            if (temp_usable)
                set_temp(temp_.utf8());
            else
                unset_temp();
            VS_FIXEDFILEINFO record = filled_with(0xAB);
            test::log_capture log;
            EXPECT_EQ(usbdrv_is_driver_supported(c.kind, &record), c.supported ? 1 : 0);
            EXPECT_TRUE(record == expected) << (c.fills ? "not the version read" : "touched");
            EXPECT_EQ(
                log.text(),
                c.logs ? "usbdrv:error [usbdrv_is_driver_supported] unknown driver type\n" : "");

            // Without a record only the answer is given, and nothing is logged for known kinds.
            test::log_capture quiet;
            EXPECT_EQ(usbdrv_is_driver_supported(c.kind, nullptr), c.supported ? 1 : 0);
            if (!c.logs) {
                EXPECT_EQ(quiet.text(), "");
            }
        }
    }
}

// In a process that has read no version yet: CTest runs it alone, with
// CORVANE_FRESH_VERSION_CACHE set (usbdrv_package_tests.fresh_version_cache). A read that fails
// keeps nothing, so the next asks the file again.
TEST_F(DriverVersions, AFailedFirstReadKeepsNothing) {
    if (!getenv("CORVANE_FRESH_VERSION_CACHE"))
        GTEST_SKIP()
            << "runs in a process of its own only (usbdrv_package_tests.fresh_version_cache)";
    windows_version = 0x61;
    unset_temp();
    const std::string no_temp =
        "usbdrv:warning [get_version_info] unable to use TEMP to extract file\n";
    VS_FIXEDFILEINFO record = filled_with(0xAB);
    {
        test::log_capture log;
        EXPECT_EQ(usbdrv_is_driver_supported(USBDRV_DRIVER_WINUSB, &record), 1);
        EXPECT_TRUE(record == filled_with(0)) << "cleared, and nothing read into it";
        EXPECT_EQ(get_version_info(USBDRV_DRIVER_WINUSB, &record), USBDRV_ERR_RESOURCE);
        EXPECT_EQ(log.text(), no_temp + no_temp);
    }
    set_temp(temp_.utf8());
    ASSERT_EQ(get_version_info(USBDRV_DRIVER_WINUSB, &record), USBDRV_OK);
    EXPECT_EQ(record.dwFileVersionLS, system_version_of(1).dwFileVersionLS);
    unset_temp();
    VS_FIXEDFILEINFO served = filled_with(0);
    EXPECT_EQ(get_version_info(USBDRV_DRIVER_WINUSB, &served), USBDRV_OK);
    EXPECT_TRUE(served == record);
}

TEST_F(DriverVersions, WinUsbNeedsXpOrLaterButNotServer2003) {
    const struct {
        int version;
        bool winusb;
    } cases[] = {{0x50, false}, {0x51, true}, {0x52, false},
                 {0x60, true},  {0x61, true}, {0xA0, true}};
    for (const auto& c : cases) {
        windows_version = c.version;
        EXPECT_EQ(usbdrv_is_driver_supported(USBDRV_DRIVER_WINUSB, nullptr), c.winusb ? 1 : 0)
            << std::hex << c.version;
        for (int32_t kind : {USBDRV_DRIVER_LIBUSB0, USBDRV_DRIVER_LIBUSBK, USBDRV_DRIVER_CDC}) {
            EXPECT_EQ(usbdrv_is_driver_supported(kind, nullptr), 1) << std::hex << c.version;
        }
        EXPECT_EQ(usbdrv_is_driver_supported(USBDRV_DRIVER_USER, nullptr), 0);
    }

    // Not known yet: detected first (the test prefix runs as a system with WinUSB).
    windows_version = -1;
    EXPECT_EQ(usbdrv_is_driver_supported(USBDRV_DRIVER_WINUSB, nullptr), 1);
    EXPECT_NE(windows_version, -1);
}

}  // namespace

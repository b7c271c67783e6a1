// usbdrv_prepare_driver on Wine's own services: the INF of every driver kind for a table of
// devices, read back with the system's INF parser; what the call refuses and how each step fails,
// and that a failure leaves the package folder as it was, an earlier package in it included
// (blocked paths, a folder too long, a full disk); the driver kind it falls back to; the
// catalog's condition; and the machine-wide busy marker, held by a second process.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "base/log.h"
#include "base/vendor_names.h"
#include "carried_files.h"
#include "folder_contents.h"
#include "package/embedded_files.h"
#include "package/extraction.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/utf8.h"
#include "win/windows_error.h"
#include "win/windows_version.h"

namespace fs = std::filesystem;

namespace {

const char* const kInfName = "Corvane.inf";
const char* const kAndroidGuid = "{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";

std::wstring wide(const std::string& utf8_text) {
    unique_malloc<wchar_t> converted(utf8_to_utf16(utf8_text.c_str()));
    return converted ? converted.get() : L"";
}

std::string narrow(const std::wstring& text) {
    unique_malloc<char> converted(utf16_to_utf8(text.c_str()));
    return converted ? converted.get() : "";
}

// The files below a folder, relative to it; none when it does not exist.
std::vector<std::string> files_below(const fs::path& folder) {
    std::vector<std::string> files;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(folder, error);
         !error && it != fs::recursive_directory_iterator(); ++it) {
        if (it->is_regular_file())
            files.push_back(test::utf8(it->path().lexically_relative(folder)));
    }
    return files;
}

size_t carried_file_count() {
    size_t count = 0;
    for (size_t i = 0; i < embedded_file_count; i++)
        count += *embedded_files[i].subdir ? 1 : 0;
    return count;
}

// An INF as written: its bytes, its text after the byte-order mark, and the system's parse.
struct written_inf {
    std::string bytes;
    std::wstring text;
    unique_inf inf;
    UINT error_line = 0;

    explicit written_inf(const fs::path& path) : bytes(test::read_file(path)) {
        if (bytes.size() >= 2 && bytes.size() % 2 == 0) {
            text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), bytes.size() / 2 - 1);
        }
        inf.reset(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &error_line));
    }

    // Field index of the first line of section with key (or the first line, without key), as
    // the parser gives it with its %...% references replaced.
    std::wstring field(const wchar_t* section, const wchar_t* key, DWORD index) const {
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf.get(), section, key, &line))
            return L"(no line)";
        DWORD size = 0;
        if (!SetupGetStringFieldW(&line, index, nullptr, 0, &size))
            return L"(no field)";
        std::wstring value(size, L'\0');
        if (!SetupGetStringFieldW(&line, index, &value[0], size, nullptr))
            return L"(unreadable field)";
        value.resize(size - 1);
        return value;
    }
    std::wstring string(const wchar_t* key) const { return field(L"Strings", key, 1); }
};

// What the call logged and returned.
struct outcome {
    usbdrv_result result;
    std::string log;

    bool logged(const std::string& line) const {
        return log.find(line + "\n") != std::string::npos;
    }
    // The folder the package was written into before it was moved into place.
    std::string staging() const {
        const std::string start = "writing the package into '";
        size_t at = log.find(start);
        if (at == std::string::npos)
            return "(no staging folder in the log)";
        at += start.size();
        return log.substr(at, log.find('\'', at) - at);
    }
};

outcome prepare(const usbdrv_device_entry* device, const char* path, const char* inf_name,
                const usbdrv_prepare_options* options) {
    test::log_capture log;
    usbdrv_result result = usbdrv_prepare_driver(device, path, inf_name, options);
    return {result, log.text()};
}

std::string line(const char* level, const std::string& message) {
    return std::string("usbdrv:") + level + " [usbdrv_prepare_driver] " + message;
}

// text with every "%P" replaced by folder.
std::string replaced(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find("%P")) != std::string::npos;)
        text.replace(at, 2, folder);
    return text;
}

// The entry points at description, which must outlive it.
usbdrv_device_entry entry(uint16_t vid, uint16_t pid, bool is_interface, uint8_t number,
                          const char* description) {
    usbdrv_device_entry e = {};
    e.vid = vid;
    e.pid = pid;
    e.is_interface = is_interface;
    e.interface_number = number;
    e.description = const_cast<char*>(description);
    return e;
}

usbdrv_prepare_options options_for(int32_t kind) {
    usbdrv_prepare_options options = {};
    options.driver_type = kind;
    options.no_catalog = 1;
    return options;
}

// TEMP points at a folder of the test's own, the Windows version is the one detected, and every
// log line down to info is kept.
class Preparation : public testing::Test {
protected:
    void SetUp() override {
        const char* temp = getenv("TEMP");
        saved_temp_ = temp ? temp : "";
        if (windows_version == -1)
            detect_windows_version();
        saved_version_ = windows_version;
        _putenv_s("TEMP", temp_.utf8().c_str());
    }
    void TearDown() override {
        _putenv_s("TEMP", saved_temp_.c_str());
        windows_version = saved_version_;
    }

    test::temp_dir temp_, work_;

private:
    std::string saved_temp_;
    int saved_version_ = -1;
};

// The kinds' reference driver files, whose version and time the INF's DriverVer gives.
const char* const kReferenceFiles[] = {"winusbcoinstaller2.dll", "libusb0.sys", "libusbK.sys"};

// "MM/DD/YYYY, a.b.c.d" as the INF of a kind must say it, from the carried file itself.
std::wstring expected_driver_ver(int32_t kind, const fs::path& scratch) {
    char text[64];
    if (kind == USBDRV_DRIVER_CDC) {  // today's date; its template fixes the version
        SYSTEMTIME now;
        GetLocalTime(&now);
        snprintf(text, sizeof text, "%02d/%02d/%04d, 1.0.0.0", now.wMonth, now.wDay, now.wYear);
        return wide(text);
    }
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (strcmp(row.name, kReferenceFiles[kind]) != 0)
            continue;
        test::version_record version;
        if (!test::read_version(test::content_of(row), scratch, L"reference", &version))
            return L"(no version record)";
        time_t seconds = (time_t)row.timestamp;
        const tm* local = localtime(&seconds);
        snprintf(text, sizeof text, "%02d/%02d/%04d, %u.%u.%u.%u", local->tm_mon + 1,
                 local->tm_mday, local->tm_year + 1900,
                 (unsigned)(version.fixed.dwFileVersionMS >> 16),
                 (unsigned)(version.fixed.dwFileVersionMS & 0xFFFF),
                 (unsigned)(version.fixed.dwFileVersionLS >> 16),
                 (unsigned)(version.fixed.dwFileVersionLS & 0xFFFF));
        return wide(text);
    }
    return L"(no reference file)";
}

// One device of the table, and what its INF must say whatever the kind.
struct device_row {
    const char* what;
    uint16_t vid, pid;
    bool is_interface;
    uint8_t number;
    std::string description;
    bool match_compatible_id;
    const char* manufacturer_name;  // given in the options
    const char* interface_guid;     // given in the options
    std::string hardware_id;        // empty: the kind's compatible ID
    std::string vendor;             // as the INF's parser reads it
    std::string guid;               // empty: a new random one
    // The description as the INF holds it between its quotes, and as the parser reads it; empty:
    // the description itself.
    std::string written = "", read = "";
};

// Wine's INF parser keeps the first 511 characters of a field (Windows keeps up to 4096); the
// INF's text holds the whole value.
std::wstring as_parsed(const std::wstring& value) {
    return value.substr(0, 511);
}

const std::wstring kCompatibleIds[] = {L"MS_COMP_WINUSB", L"MS_COMP_LIBUSB0", L"MS_COMP_LIBUSBK",
                                       L"MS_COMP_USBSER"};
const wchar_t* const kClasses[] = {L"USBDevice", L"libusb-win32 devices", L"libusbk devices",
                                   L"Ports"};

std::vector<device_row> device_table() {
    std::string long_description;
    for (int i = 0; long_description.size() < 1023; i++)
        long_description += std::to_string(i % 10);
    const char* google = usb_vendor_name_of(0x18D1);
    const char* linux_foundation = usb_vendor_name_of(0x1D6B);
    return {
        {"an interface", 0xC04A, 0x0C02, true, 2, "Serial Port", false, nullptr, nullptr,
         "VID_C04A&PID_0C02&MI_02", "(Undefined Vendor)", ""},
        {"a whole device", 0xC04A, 0x0C02, false, 0, "Serial Port", false, nullptr, nullptr,
         "VID_C04A&PID_0C02", "(Undefined Vendor)", ""},
        {"matched by the compatible ID", 0xC04A, 0x0C02, true, 0, "Serial Port", true, nullptr,
         nullptr, "", "(Undefined Vendor)", "UNUSED"},
        {"an Android pair", 0x18D1, 0x4EE7, true, 1, "Pixel", false, nullptr, nullptr,
         "VID_18D1&PID_4EE7&MI_01", google ? google : "(none)", kAndroidGuid},
        {"an Android pair with its own GUID and vendor", 0x18D1, 0x4EE7, true, 1, "Pixel", false,
         "Maker", "{01234567-89AB-CDEF-0123-456789ABCDEF}", "VID_18D1&PID_4EE7&MI_01", "Maker",
         "{01234567-89AB-CDEF-0123-456789ABCDEF}"},
        {"a listed vendor, with empty texts for the vendor and GUID", 0x1D6B, 0x0104, false, 0,
         "Gadget", false, "", "", "VID_1D6B&PID_0104",
         linux_foundation ? linux_foundation : "(none)", ""},
        {"a description of 1023 characters", 0xC04A, 0x0C02, true, 0, long_description, false,
         nullptr, nullptr, "VID_C04A&PID_0C02&MI_00", "(Undefined Vendor)", ""},
        // The limit counts the description as the INF writes it: its quotes doubled.
        {"a description of 1023 bytes with its quotes doubled", 0xC04A, 0x0C02, true, 0,
         std::string(10, '"') + std::string(1003, 'q'), false, nullptr, nullptr,
         "VID_C04A&PID_0C02&MI_00", "(Undefined Vendor)", "",
         std::string(20, '"') + std::string(1003, 'q'),
         std::string(10, '"') + std::string(1003, 'q')},
        {"a description beyond ASCII", 0xC04A, 0x0C02, true, 0,
         "Ger\xC3\xA4t \xE2\x80\x93 S\xC3\xA9rie \xE4\xB8\xB2\xE5\x8F\xA3 \xE2\x82\xAC "
         "\xF0\x9F\x94\x8C",
         false, nullptr, nullptr, "VID_C04A&PID_0C02&MI_00", "(Undefined Vendor)", ""},
        // Quotes are doubled inside the INF's quotes; a line break, which would end the line,
        // and a tab become spaces.
        {"a description and vendor with quotes, a line break and a tab", 0xC04A, 0x0C02, true, 0,
         "Board \"Rev 2\"\r\nsecond\tline", false, "Maker \"M\"", nullptr,
         "VID_C04A&PID_0C02&MI_00", "Maker \"M\"", "", "Board \"\"Rev 2\"\"  second line",
         "Board \"Rev 2\"  second line"},
    };
}

TEST_F(Preparation, TheInfOfEveryKindForATableOfDevices) {
    const std::wregex random_guid(
        L"\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    std::vector<std::wstring> random_guids;
    for (const device_row& d : device_table()) {
        for (int32_t kind = 0; kind < 4; kind++) {
            SCOPED_TRACE(std::string(d.what) + ", kind " + std::to_string(kind));
            test::temp_dir dir;
            usbdrv_device_entry device =
                entry(d.vid, d.pid, d.is_interface, d.number, d.description.c_str());
            usbdrv_prepare_options options = options_for(kind);
            options.match_compatible_id = d.match_compatible_id;
            options.manufacturer_name = const_cast<char*>(d.manufacturer_name);
            options.interface_guid = const_cast<char*>(d.interface_guid);
            outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
            ASSERT_EQ(o.result, USBDRV_OK) << o.log;
            std::string inf_path = o.staging() + "\\" + kInfName;
            EXPECT_TRUE(o.logged(line("info", "successfully created '" + inf_path + "'")));
            EXPECT_TRUE(o.logged(line("info", "moved the package into '" + dir.utf8() + "'")));
            EXPECT_TRUE(o.logged(line("info", ".cat generation disabled by user")));
            EXPECT_EQ(o.logged(line("info", "using Android Device Interface GUID")),
                      d.guid == kAndroidGuid);
            EXPECT_EQ(files_below(dir.path()).size(), carried_file_count() + 1);

            written_inf inf(dir.path() / kInfName);
            EXPECT_EQ(inf.bytes.substr(0, 2), "\xFF\xFE");
            // libusbK's template begins with UTF-8's mark, which is the text's first character.
            std::wstring text = inf.text;
            if (kind == USBDRV_DRIVER_LIBUSBK) {
                ASSERT_EQ(text.substr(0, 1), L"\uFEFF");
                text.erase(0, 1);
            }
            EXPECT_EQ(text.rfind(L"; Corvane.inf\r\n", 0), 0u);
            EXPECT_EQ(text.find(L'#'), std::wstring::npos) << "a token was left unreplaced";
            ASSERT_TRUE(inf.inf.valid())
                << "error " << GetLastError() << " at line " << inf.error_line;

            std::wstring written = wide(d.written.empty() ? d.description : d.written);
            std::wstring description = wide(d.read.empty() ? d.description : d.read);
            std::wstring hardware_id =
                d.hardware_id.empty() ? kCompatibleIds[kind] : wide(d.hardware_id);
            EXPECT_NE(text.find(L"\r\nDeviceName = \"" + written + L"\"\r\n"), std::wstring::npos);
            EXPECT_NE(text.find(L"\r\nSourceName = \"" + written + L" Install Disk\"\r\n"),
                      std::wstring::npos);
            EXPECT_EQ(inf.string(L"DeviceName"), as_parsed(description));
            EXPECT_EQ(inf.string(L"SourceName"), as_parsed(description + L" Install Disk"));
            EXPECT_EQ(inf.string(L"VendorName"), wide(d.vendor));
            EXPECT_EQ(inf.string(L"DeviceID"), hardware_id);
            std::wstring guid = inf.string(L"DeviceGUID");
            if (d.guid.empty()) {
                EXPECT_TRUE(std::regex_match(guid, random_guid)) << narrow(guid);
                random_guids.push_back(guid);
            } else {
                EXPECT_EQ(guid, wide(d.guid));
            }
            EXPECT_EQ(inf.field(L"Version", L"Class", 1), kClasses[kind]);
            EXPECT_EQ(inf.field(L"Version", L"CatalogFile", 1), L"Corvane.cat");
            EXPECT_EQ(inf.field(L"Version", L"DriverVer", 1) + L", " +
                          inf.field(L"Version", L"DriverVer", 2),
                      expected_driver_ver(kind, work_.path()));
            // The device line of the first platform's list names the device by its ID.
            std::wstring list = inf.field(L"Manufacturer", nullptr, 1) + L"." +
                                inf.field(L"Manufacturer", nullptr, 2);
            EXPECT_EQ(inf.field(L"Manufacturer", nullptr, 0), wide(d.vendor));
            EXPECT_EQ(inf.field(list.c_str(), nullptr, 0), as_parsed(description));
            EXPECT_EQ(inf.field(list.c_str(), nullptr, 2), L"USB\\" + hardware_id);
            if (kind == USBDRV_DRIVER_WINUSB || kind == USBDRV_DRIVER_LIBUSBK) {
                const wchar_t* add_reg = d.match_compatible_id ? L"AddReg = NoDeviceInterfaceGUID"
                                                               : L"AddReg = AddDeviceInterfaceGUID";
                EXPECT_NE(text.find(add_reg), std::wstring::npos);
            }
        }
    }
    // A new GUID for every package.
    std::sort(random_guids.begin(), random_guids.end());
    EXPECT_EQ(std::unique(random_guids.begin(), random_guids.end()), random_guids.end());
}

// The libusb0 package carries libusbK's DLLs too.
TEST_F(Preparation, ALibusb0InfNamesTheLibusbKDlls) {
    test::temp_dir dir;
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_LIBUSB0);
    outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
    ASSERT_EQ(o.result, USBDRV_OK) << o.log;
    EXPECT_TRUE(o.logged(
        line("info", "K driver available - adding the libusbK DLLs to the libusb-win32 inf")));
    written_inf inf(dir.path() / kInfName);
    ASSERT_TRUE(inf.inf.valid());
    EXPECT_EQ(inf.field(L"SourceDisksFiles.amd64", L"libusbk.dll", 2), L"amd64");
    EXPECT_EQ(inf.field(L"SourceDisksFiles.amd64", L"libusbk_x86.dll", 2), L"x86");
    EXPECT_EQ(inf.field(L"SourceDisksFiles.x86", L"libusbk_x86.dll", 2), L"x86");
    EXPECT_EQ(inf.field(L"libusb_files_dll_wow64", nullptr, 3), L"libusbk.dll");
    EXPECT_EQ(inf.field(L"libusb_files_dll_wow64", nullptr, 4), L"libusbk_x86.dll");
}

// The INF of an earlier preparation is replaced whole.
TEST_F(Preparation, PreparingAgainReplacesTheInf) {
    test::temp_dir dir;
    std::ofstream(dir.path() / kInfName, std::ios::binary) << std::string(20000, 'x');
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    ASSERT_EQ(prepare(&device, dir.utf8().c_str(), kInfName, &options).result, USBDRV_OK);
    written_inf inf(dir.path() / kInfName);
    EXPECT_LT(inf.bytes.size(), 20000u);
    EXPECT_EQ(inf.bytes.find("xxxx"), std::string::npos);
    ASSERT_TRUE(inf.inf.valid());
    EXPECT_EQ(inf.string(L"DeviceName"), L"Board");
}

// Over an earlier package only the package's own files are replaced: what else the folder holds
// stays, and an earlier catalog, which names another INF's hash, goes. Nothing is left beside it.
TEST_F(Preparation, PreparingOverAnEarlierPackageReplacesOnlyItsFiles) {
    test::temp_dir dir;
    const fs::path package = dir.path() / "usb_driver";
    usbdrv_device_entry earlier = entry(0xC04A, 0x0C02, true, 0, "Earlier board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    ASSERT_EQ(prepare(&earlier, test::utf8(package).c_str(), kInfName, &options).result, USBDRV_OK);
    std::ofstream(package / "notes.txt") << "the user's";
    std::ofstream(package / "x86" / "mine.txt") << "the user's too";
    std::ofstream(package / "Other.inf") << "another package's";
    std::ofstream(package / "Corvane.cat", std::ios::binary) << "an earlier catalog";

    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "New board");
    outcome o = prepare(&device, test::utf8(package).c_str(), kInfName, &options);
    ASSERT_EQ(o.result, USBDRV_OK) << o.log;
    EXPECT_TRUE(o.logged(
        line("info", "deleted existing cat file '" + test::utf8(package / "Corvane.cat") + "'")))
        << o.log;
    EXPECT_EQ(written_inf(package / kInfName).string(L"DeviceName"), L"New board");
    EXPECT_FALSE(fs::exists(package / "Corvane.cat"));
    EXPECT_EQ(test::read_file(package / "notes.txt"), "the user's");
    EXPECT_EQ(test::read_file(package / "x86" / "mine.txt"), "the user's too");
    EXPECT_EQ(test::read_file(package / "Other.inf"), "another package's");
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (*row.subdir) {
            fs::path file = std::string(row.subdir) == "." ? package / row.name
                                                           : package / row.subdir / row.name;
            EXPECT_EQ(test::read_file(file), test::content_of(row)) << row.name;
        }
    }
    EXPECT_EQ(files_below(package).size(), carried_file_count() + 4);
    EXPECT_TRUE(test::staging_left_in(dir.path()).empty());
}

// What stands at one of the package's paths in the package folder: a file where a folder goes, a
// folder where a file goes, a read-only file, a file another program holds. Each fails the
// preparation with a line that names the path and the cause, and leaves the folder as it was:
// an empty one with only the obstacle, and one with an earlier package, which survives byte for
// byte (a file held open is found only when the new files are being moved in, so the ones moved
// before it go back).
TEST_F(Preparation, WhatStandsInTheWayLeavesTheFolderAsItWas) {
    enum class obstacle { file, folder, read_only, held };
    const struct {
        const char* what;
        obstacle kind;
        const char* path;  // in the package folder
        usbdrv_result result;
        std::string log;  // %P: the obstacle's full path
    } rows[] = {
        {"a file where a folder of the package goes", obstacle::file, "amd64", USBDRV_ERR_ACCESS,
         "'%P' is a file, where the package needs a folder"},
        {"a file where a folder in a folder goes", obstacle::file, "license\\libusb0",
         USBDRV_ERR_ACCESS, "'%P' is a file, where the package needs a folder"},
        {"a folder where the INF goes", obstacle::folder, kInfName, USBDRV_ERR_ACCESS,
         "'%P' is a folder, where the package needs a file"},
        {"a folder where a carried file goes", obstacle::folder, "x86\\libusb0.sys",
         USBDRV_ERR_RESOURCE, "'%P' is a folder, where the package needs a file"},
        {"a read-only INF", obstacle::read_only, kInfName, USBDRV_ERR_ACCESS,
         "'%P' is read-only, so the package cannot replace it"},
        {"a read-only carried file", obstacle::read_only, "amd64\\libusbK.sys", USBDRV_ERR_RESOURCE,
         "'%P' is read-only, so the package cannot replace it"},
        {"an INF another program holds", obstacle::held, kInfName, USBDRV_ERR_ACCESS,
         "'%P' cannot be replaced: " + std::string(windows_error_text(ERROR_SHARING_VIOLATION))},
        {"a carried file another program holds", obstacle::held,
         "license\\libusb0\\installer_license.txt", USBDRV_ERR_RESOURCE,
         "'%P' cannot be replaced: " + std::string(windows_error_text(ERROR_SHARING_VIOLATION))},
    };
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    for (const auto& r : rows) {
        for (bool earlier_package : {false, true}) {
            SCOPED_TRACE(std::string(r.what) +
                         (earlier_package ? ", over an earlier package" : ""));
            test::temp_dir dir;
            const fs::path package = dir.path() / "usb_driver";
            const fs::path in_the_way = package / r.path;
            if (earlier_package) {
                usbdrv_device_entry earlier = entry(0xC04A, 0x0C02, true, 0, "Earlier board");
                ASSERT_EQ(prepare(&earlier, test::utf8(package).c_str(), kInfName, &options).result,
                          USBDRV_OK);
            }
            fs::create_directories(in_the_way.parent_path());
            if (r.kind == obstacle::file || r.kind == obstacle::folder)
                fs::remove_all(in_the_way);
            if (r.kind == obstacle::folder) {
                fs::create_directories(in_the_way);
                std::ofstream(in_the_way / "inside.txt") << "in a folder in the way";
            } else if (!fs::exists(in_the_way)) {
                std::ofstream(in_the_way) << "a file in the way";
            }
            if (r.kind == obstacle::read_only)
                SetFileAttributesW(in_the_way.c_str(), FILE_ATTRIBUTE_READONLY);
            unique_file_handle held;
            if (r.kind == obstacle::held) {
                held.reset(CreateFileW(in_the_way.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, 0, nullptr));
                ASSERT_TRUE(held) << GetLastError();
            }
            const test::folder_contents before = test::contents_of(package);

            usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "New board");
            outcome o = prepare(&device, test::utf8(package).c_str(), kInfName, &options);
            held.reset();
            EXPECT_EQ(o.result, r.result) << o.log;
            EXPECT_TRUE(o.logged(line("error", replaced(r.log, test::utf8(in_the_way))))) << o.log;
            EXPECT_EQ(test::contents_of(package), before);
            EXPECT_TRUE(test::staging_left_in(dir.path()).empty());
            SetFileAttributesW(in_the_way.c_str(), FILE_ATTRIBUTE_NORMAL);
        }
    }
}

// A folder that a preparation ended from outside left beside the package folder (it writes its
// package there first) goes at the next preparation, with its line. A folder whose name only
// looks like one stays, and a link in the left folder is deleted, never followed.
TEST_F(Preparation, WhatAPreparationThatDidNotEndLeftIsDeleted) {
    test::temp_dir dir;
    const fs::path left = dir.path() / "~usbdrv.0badf00d";
    fs::create_directories(left / "x86");
    std::ofstream(left / "x86" / "libusb0.sys") << "half a package";
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    std::ofstream(outside / "kept.txt") << "not the package's";
    const bool linked =
        CreateSymbolicLinkW((left / "link").c_str(), outside.c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    for (const char* name : {"~1a2b3c4d", "~usbdrv.notes", "~usbdrv.0badf00d0"}) {
        fs::create_directories(dir.path() / name);
        std::ofstream(dir.path() / name / "mine.txt") << "the user's";
    }

    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    outcome o = prepare(&device, test::utf8(dir.path() / "package").c_str(), kInfName, &options);
    ASSERT_EQ(o.result, USBDRV_OK) << o.log;
    EXPECT_TRUE(o.logged(line("info", "deleted '" + test::utf8(left) +
                                          "', which a preparation that did not end left behind")))
        << o.log;
    EXPECT_FALSE(fs::exists(left));
    EXPECT_EQ(test::read_file(outside / "kept.txt"), "not the package's")
        << (linked ? "the link was followed" : "no link could be made");
    for (const char* name : {"~1a2b3c4d", "~usbdrv.notes", "~usbdrv.0badf00d0"})
        EXPECT_EQ(test::read_file(dir.path() / name / "mine.txt"), "the user's") << name;
}

// Without a folder the package goes to TEMP.
TEST_F(Preparation, WithoutAFolderThePackageGoesToTemp) {
    for (const char* path : {(const char*)nullptr, ""}) {
        test::temp_dir temp;
        _putenv_s("TEMP", temp.utf8().c_str());
        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
        usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
        outcome o = prepare(&device, path, kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_OK) << o.log;
        EXPECT_TRUE(
            o.logged(line("info", "no path provided - extracting to '" + temp.utf8() + "'")));
        EXPECT_TRUE(fs::exists(temp.path() / kInfName));
        EXPECT_EQ(files_below(temp.path()).size(), carried_file_count() + 1);
    }
}

// What is left in the package folder after a call: nothing (what the row put there stays as it
// was), or the whole package.
enum class leaves { nothing, package };

struct failure_row {
    const char* what;
    std::string log;  // a text the log holds (a whole line ends in "\n"); %P: the package folder
    usbdrv_result result;
    leaves left;
    // Arranges the call: the package folder to use, and the arguments.
    bool null_device = false;
    const char* inf_name = kInfName;
    std::string long_inf_name;  // used when not empty
    bool no_path = false, no_temp = false, file_as_folder = false;
    const char* below = nullptr;  // the package folder is this one below the folder
    size_t path_length = 0;       // 0: a folder of a short name
    std::string description = "Serial Port";
    bool no_description = false;
    const char* manufacturer_name = nullptr;
    const char* interface_guid = nullptr;
    bool match_compatible_id = false;
    int32_t kind = USBDRV_DRIVER_CDC;
};

std::string inf_name_of_length(size_t length) {
    return std::string(length - 4, 'n') + ".inf";
}

std::string characters(size_t count) {
    return std::to_string(count) + (count == 1 ? " character" : " characters");
}

std::vector<failure_row> failure_table() {
    std::vector<failure_row> rows;
    auto add = [&](const char* what, std::string log, usbdrv_result result, leaves left) {
        failure_row row;
        row.what = what;
        row.log = std::move(log);
        row.result = result;
        row.left = left;
        rows.push_back(row);
        return &rows.back();
    };
    auto whole = [](const std::string& text) { return text + "\n"; };
    const std::string null_line = whole(line("error", "one of the required parameter is NULL"));
    const std::string extension =
        whole(line("error", "inf name provided must have a '.inf' extension"));
    const std::string unknown = whole(line("error", "unknown type"));
    const std::string no_id =
        whole(line("error", "no device ID was given for the device - aborting"));
    add("no device", null_line, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->null_device = true;
    add("no INF name", null_line, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->inf_name = nullptr;
    for (const char* name :
         {"Corvane.INF", "Corvane.Inf", "Corvane", "Corvane.inf.txt", "inf", ""}) {
        add(name, extension, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->inf_name = name;
    }
    // Names that would put the INF outside the package folder.
    for (const char* name : {"..\\Corvane.inf", "sub\\Corvane.inf", "C:\\Corvane.inf", "a/b.inf"}) {
        add(name,
            whole(line("error",
                       std::string("inf name provided must not contain a path: '") + name + "'")),
            USBDRV_ERR_INVALID_PARAM, leaves::nothing)
            ->inf_name = name;
    }
    failure_row* r = add("no folder and no TEMP",
                         whole(line("error", "no path provided and unable to use TEMP")),
                         USBDRV_ERR_INVALID_PARAM, leaves::nothing);
    r->no_path = r->no_temp = true;
    add("a file where the folder goes",
        whole(line("error", "'%P' is a file, where the package needs a folder")), USBDRV_ERR_ACCESS,
        leaves::nothing)
        ->file_as_folder = true;
    r = add("a file where a folder above it goes",
            whole(line("error", "'%P' is a file, where the package needs a folder")),
            USBDRV_ERR_ACCESS, leaves::nothing);
    r->file_as_folder = true;
    r->below = "sub\\usb_driver";
    add("kind 5", unknown, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->kind = 5;
    add("kind -1", unknown, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->kind = -1;
    add("no description", no_id, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->no_description = true;
    add("an empty description", no_id, USBDRV_ERR_INVALID_PARAM, leaves::nothing)->description = "";
    // The texts in the INF's quotes are held to what a token value holds, as the INF writes
    // them: one byte more is refused, never cut.
    auto too_long = [&](const char* what, size_t bytes) {
        return whole(line("error", std::string("the ") + what + " is " + std::to_string(bytes) +
                                       " bytes as the INF writes it, more than the 1023 it can "
                                       "hold"));
    };
    add("a description of 1024 bytes", too_long("device description", 1024),
        USBDRV_ERR_INVALID_PARAM, leaves::nothing)
        ->description = std::string(1024, 'd');
    add("a description of 30000 bytes", too_long("device description", 30000),
        USBDRV_ERR_INVALID_PARAM, leaves::nothing)
        ->description = std::string(30000, 'd');
    add("a description of 1023 characters, one a quote", too_long("device description", 1024),
        USBDRV_ERR_INVALID_PARAM, leaves::nothing)
        ->description = std::string(1022, 'd') + "\"";
    static const std::string long_vendor(1024, 'v'), long_guid(1024, 'g');
    add("a vendor name of 1024 bytes", too_long("vendor name", 1024), USBDRV_ERR_INVALID_PARAM,
        leaves::nothing)
        ->manufacturer_name = long_vendor.c_str();
    add("an interface GUID of 1024 bytes", too_long("device interface GUID", 1024),
        USBDRV_ERR_INVALID_PARAM, leaves::nothing)
        ->interface_guid = long_guid.c_str();
    // Matched by the compatible ID, the INF names no GUID: the given one is not used.
    r = add("an unused interface GUID of 1024 bytes",
            whole(line("info", "moved the package into '%P'")), USBDRV_OK, leaves::package);
    r->interface_guid = long_guid.c_str();
    r->match_compatible_id = true;
    // license\libusb0\installer_license.txt needs the most room: 222 + 1 + 37 = 260.
    add("a folder of 222 characters",
        whole(line("error", "qualified path is too long by " + characters(1) +
                                ": '%P\\license\\libusb0\\installer_license.txt'")),
        USBDRV_ERR_RESOURCE, leaves::nothing)
        ->path_length = 222;
    add("a folder of 229 characters",
        whole(line("error", "qualified path is too long by " + characters(8) +
                                ": '%P\\license\\libusb0\\installer_license.txt'")),
        USBDRV_ERR_RESOURCE, leaves::nothing)
        ->path_length = 229;
    add("a folder of 260 characters",
        whole(
            line("error", "the package folder's path is too long by " + characters(1) + ": '%P'")),
        USBDRV_ERR_INVALID_PARAM, leaves::nothing)
        ->path_length = 260;
    r = add("a folder of 221 characters and an INF name of 38",
            whole(line("error", "qualified path for inf file is too long by " + characters(1) +
                                    ": '%P\\" + inf_name_of_length(38) + "'")),
            USBDRV_ERR_RESOURCE, leaves::nothing);
    r->path_length = 221;
    r->long_inf_name = inf_name_of_length(38);
    // 100 + 1 + 260 characters: the whole path is counted, never the cut one.
    r = add("an INF name of 260 characters",
            whole(line("error", "qualified path for inf file is too long by " + characters(102) +
                                    ": '%P\\" + inf_name_of_length(260) + "'")),
            USBDRV_ERR_RESOURCE, leaves::nothing);
    r->path_length = 100;
    r->long_inf_name = inf_name_of_length(260);
    // The longest folder and INF name that fit: 221 + 1 + 37 = 259 characters.
    r = add("a folder of 221 characters and an INF name of 37",
            whole(line("info", "moved the package into '%P'")), USBDRV_OK, leaves::package);
    r->path_length = 221;
    r->long_inf_name = inf_name_of_length(37);
    return rows;
}

TEST_F(Preparation, EachRefusalAndFailureWithWhatItLeaves) {
    for (const failure_row& r : failure_table()) {
        SCOPED_TRACE(r.what);
        test::temp_dir dir;
        std::string folder = dir.utf8() + "\\package";
        if (r.path_length)
            folder = dir.utf8() + "\\" + std::string(r.path_length - dir.utf8().size() - 1, 'p');
        ASSERT_EQ(folder.size(), r.path_length ? r.path_length : folder.size());
        if (r.file_as_folder)
            std::ofstream(test::from_utf8(folder)) << "a file";
        if (r.no_temp)
            _putenv_s("TEMP", "");
        const test::folder_contents before = test::contents_of(dir.path());

        usbdrv_device_entry device =
            entry(0xC04A, 0x0C02, true, 0, r.no_description ? nullptr : r.description.c_str());
        usbdrv_prepare_options options = options_for(r.kind);
        options.manufacturer_name = const_cast<char*>(r.manufacturer_name);
        options.interface_guid = const_cast<char*>(r.interface_guid);
        options.match_compatible_id = r.match_compatible_id;
        const char* inf_name = r.long_inf_name.empty() ? r.inf_name : r.long_inf_name.c_str();
        const std::string target = r.below ? folder + "\\" + r.below : folder;
        outcome o = prepare(r.null_device ? nullptr : &device, r.no_path ? nullptr : target.c_str(),
                            inf_name, &options);
        _putenv_s("TEMP", temp_.utf8().c_str());

        EXPECT_EQ(o.result, r.result) << o.log;
        EXPECT_NE(o.log.find(replaced(r.log, folder)), std::string::npos) << o.log;
        EXPECT_TRUE(test::staging_left_in(dir.path()).empty());
        fs::path package = test::from_utf8(folder);
        switch (r.left) {
            case leaves::nothing:
                EXPECT_EQ(test::contents_of(dir.path()), before);
                EXPECT_TRUE(fs::is_empty(temp_.path()));
                break;
            case leaves::package:
                EXPECT_EQ(files_below(package).size(), carried_file_count() + 1);
                EXPECT_TRUE(fs::exists(test::from_utf8(folder + "\\" + inf_name)));
                break;
        }
    }
}

// CTest runs this with CORVANE_READ_ONLY_FOLDER naming a folder in which nothing can be created
// (tests/usbdrv/package/with-read-only-folder.sh).
TEST_F(Preparation, AReadOnlyPackageFolder) {
    fs::path folder = test::path_from_environment("CORVANE_READ_ONLY_FOLDER");
    if (folder.empty())
        GTEST_SKIP() << "runs with a read-only folder only (usbdrv_preparation_tests.read_only)";
    const struct {
        fs::path package;
        std::string failing;  // the line of the folder that cannot be made
    } rows[] = {
        // The package is written beside it, and its first folder cannot be made in it.
        {folder, line("error", "unable to create directory " + test::utf8(folder / "x86") + " (")},
        // The folder beside the package folder cannot be made.
        {folder / "sub", line("error", "could not make the folder '" + test::utf8(folder / "~"))},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(test::utf8(r.package));
        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
        usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
        outcome o = prepare(&device, test::utf8(r.package).c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_ACCESS) << o.log;
        EXPECT_NE(o.log.find(r.failing), std::string::npos) << o.log;
        EXPECT_TRUE(fs::is_empty(folder));
        EXPECT_TRUE(test::staging_left_in(folder.parent_path()).empty());
    }
}

// Free bytes on the drive of path, as the system tells them.
uint64_t free_bytes(const fs::path& path) {
    ULARGE_INTEGER available = {};
    EXPECT_TRUE(GetDiskFreeSpaceExW(path.c_str(), &available, nullptr, nullptr)) << GetLastError();
    return available.QuadPart;
}

// Fills the drive of `file` with it until `left` bytes are free (a multiple of the drive's
// block, as the measurements below are).
void fill_until(const fs::path& file, uint64_t left) {
    uint64_t free = free_bytes(file.parent_path());
    ASSERT_GE(free, left);
    unique_file_handle filler(
        CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(filler) << GetLastError();
    const std::string block(1 << 20, '\0');
    for (uint64_t rest = free - left; rest > 0;) {
        DWORD chunk = (DWORD)std::min<uint64_t>(rest, block.size()), written = 0;
        ASSERT_TRUE(WriteFile(filler.get(), block.data(), chunk, &written, nullptr) &&
                    written == chunk)
            << GetLastError();
        rest -= chunk;
    }
    ASSERT_EQ(free_bytes(file.parent_path()), left);
}

// CTest runs this with a small drive mapped as CORVANE_SMALL_DRIVE
// (tests/wine/with-small-drive.sh), which the test fills so that the disk is full part-way into
// the carried files, or just before the INF. The preparation fails with the system's error for
// the file it could not write, and the package folder is as it was: not there, or holding an
// earlier package byte for byte; nothing half-written is left on the drive.
TEST_F(Preparation, AFullDiskLeavesTheFolderAsItWas) {
    const fs::path drive = test::path_from_environment("CORVANE_SMALL_DRIVE");
    if (drive.empty())
        GTEST_SKIP() << "runs with a small drive only (usbdrv_preparation_tests.full_disk)";
    const fs::path root = drive / "\\";
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "New board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);

    // What the carried files take on this drive, in its blocks.
    const uint64_t empty = free_bytes(root);
    ASSERT_EQ(extract_binaries(test::utf8(root / "carried").c_str()), USBDRV_OK);
    const uint64_t carried = empty - free_bytes(root);
    fs::remove_all(root / "carried");
    ASSERT_EQ(free_bytes(root), empty);

    const std::string disk_full = windows_error_text(ERROR_DISK_FULL);
    const struct {
        const char* what;
        uint64_t room;  // what is left free for the preparation
        usbdrv_result result;
        const char* failing;  // the file that cannot be written, and by whom
        const char* caller;
    } rows[] = {
        {"full part-way into the carried files", carried / 2 / 4096 * 4096, USBDRV_ERR_RESOURCE,
         nullptr, "extract_binaries"},
        {"full just before the INF", carried, USBDRV_ERR_ACCESS, kInfName, "usbdrv_prepare_driver"},
    };
    for (const auto& r : rows) {
        for (bool earlier_package : {false, true}) {
            SCOPED_TRACE(std::string(r.what) +
                         (earlier_package ? ", over an earlier package" : ""));
            const fs::path package = root / "usb_driver";
            if (earlier_package) {
                usbdrv_device_entry earlier = entry(0xC04A, 0x0C02, true, 0, "Earlier board");
                ASSERT_EQ(prepare(&earlier, test::utf8(package).c_str(), kInfName, &options).result,
                          USBDRV_OK);
            }
            const test::folder_contents before = test::contents_of(package);
            fill_until(root / "filler", r.room);

            outcome o = prepare(&device, test::utf8(package).c_str(), kInfName, &options);
            EXPECT_EQ(o.result, r.result) << o.log;
            const std::string failed = std::string("usbdrv:error [") + r.caller +
                                       "] failed to write file '" + o.staging() + "\\";
            const size_t at = o.log.find(failed);
            ASSERT_NE(at, std::string::npos) << o.log;
            const std::string failed_line = o.log.substr(at, o.log.find('\n', at) - at);
            EXPECT_NE(failed_line.find("' (" + disk_full + ")"), std::string::npos) << failed_line;
            if (r.failing) {
                EXPECT_EQ(failed_line.find(failed + r.failing + "' ("), 0u) << failed_line;
            }
            EXPECT_EQ(test::contents_of(package), before);
            EXPECT_TRUE(test::staging_left_in(root).empty());

            fs::remove(root / "filler");
            fs::remove_all(package);
            EXPECT_EQ(free_bytes(root), empty) << "something was left on the drive";
        }
    }
}

// A kind the system cannot use falls back to the first that it can.
TEST_F(Preparation, AnUnsupportedKindFallsBackToTheFirstSupportedOne) {
    const struct {
        int version;
        int32_t kind;
        const char* used;  // null: no fallback
        const wchar_t* inf_class;
    } rows[] = {
        {0x61, USBDRV_DRIVER_USER, "WinUSB", L"USBDevice"},
        {0x52, USBDRV_DRIVER_WINUSB, "libusb0.sys", L"libusb-win32 devices"},  // Server 2003
        {0x52, USBDRV_DRIVER_USER, "libusb0.sys", L"libusb-win32 devices"},
        {0x50, USBDRV_DRIVER_CDC, nullptr, L"Ports"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(std::to_string(r.kind) + " on " + std::to_string(r.version));
        windows_version = r.version;
        test::temp_dir dir;
        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
        usbdrv_prepare_options options = options_for(r.kind);
        outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
        ASSERT_EQ(o.result, USBDRV_OK) << o.log;
        const std::string warning = "unsupported or no driver type specified, will use ";
        if (r.used) {
            EXPECT_TRUE(o.logged(line("warning", warning + r.used))) << o.log;
        } else {
            EXPECT_EQ(o.log.find(warning), std::string::npos);
        }
        written_inf inf(dir.path() / kInfName);
        EXPECT_EQ(inf.field(L"Version", L"Class", 1), r.inf_class);
    }
}

// Each preparation states the version it read itself: one that cannot read it (no TEMP) gives
// today's date and 0.0.0.0 whatever an earlier one read, and a kind chosen by fallback reads
// none.
TEST_F(Preparation, EachPreparationStatesTheDriverVersionItReadItself) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%02d/%02d/%04d, 0.0.0.0", now.wMonth, now.wDay, now.wYear);
    const std::wstring none = wide(text);
    const std::wstring winusb = expected_driver_ver(USBDRV_DRIVER_WINUSB, work_.path());
    const std::string no_temp =
        "usbdrv:warning [get_version_info] unable to use TEMP to extract file\n";
    const struct {
        const char* what;
        int version;
        int32_t kind;
        bool temp;
        std::wstring driver_ver;
        const wchar_t* inf_class;
    } rows[] = {
        {"WinUSB", 0x61, USBDRV_DRIVER_WINUSB, true, winusb, L"USBDevice"},
        {"WinUSB without TEMP", 0x61, USBDRV_DRIVER_WINUSB, false, none, L"USBDevice"},
        {"the user kind, as WinUSB", 0x61, USBDRV_DRIVER_USER, true, none, L"USBDevice"},
        {"WinUSB again", 0x61, USBDRV_DRIVER_WINUSB, true, winusb, L"USBDevice"},
        {"WinUSB on Server 2003, as libusb0", 0x52, USBDRV_DRIVER_WINUSB, true, none,
         L"libusb-win32 devices"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        windows_version = r.version;
        _putenv_s("TEMP", r.temp ? temp_.utf8().c_str() : "");
        test::temp_dir dir;
        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
        usbdrv_prepare_options options = options_for(r.kind);
        outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
        _putenv_s("TEMP", temp_.utf8().c_str());
        ASSERT_EQ(o.result, USBDRV_OK) << o.log;
        EXPECT_EQ(o.log.find(no_temp) != std::string::npos, !r.temp) << o.log;
        written_inf inf(dir.path() / kInfName);
        EXPECT_EQ(inf.field(L"Version", L"Class", 1), r.inf_class);
        EXPECT_EQ(
            inf.field(L"Version", L"DriverVer", 1) + L", " + inf.field(L"Version", L"DriverVer", 2),
            r.driver_ver);
    }
}

// A catalog needs Vista or later and administrator rights (the test prefix runs as an
// administrator) and is not switched off; null options ask for one, as WinUSB. The catalog
// service of this machine writes none, which does not fail the preparation. The catalog of an
// earlier preparation, which names another INF's hash, is gone whatever becomes of this one's.
TEST_F(Preparation, TheCatalogsCondition) {
    const std::string vista = line("info",
                                   "Vista or later detected - creating and self-signing a .cat "
                                   "file...");
    const std::string not_made = line("warning", "could not create cat file");
    const std::string old_system = line("info",
                                        "No .cat file generated (not running Vista or later, or "
                                        "missing elevated privileges)");
    const std::string switched_off = line("info", ".cat generation disabled by user");
    const struct {
        const char* what;
        int version;
        bool null_options;
        int no_catalog;
        std::vector<std::string> lines;  // in this order, after the INF's line
        const wchar_t* inf_class;
    } rows[] = {
        {"Windows 7", 0x61, false, 0, {vista, not_made}, L"Ports"},
        {"null options", 0x61, true, 0, {vista, not_made}, L"USBDevice"},
        {"switched off", 0x61, false, 1, {switched_off}, L"Ports"},
        {"Vista", 0x60, false, 0, {vista, not_made}, L"Ports"},
        {"XP", 0x51, false, 0, {old_system}, L"Ports"},
        {"XP, switched off", 0x51, false, 1, {old_system}, L"Ports"},
    };
    for (const auto& r : rows) {
        for (bool earlier_catalog : {false, true}) {
            SCOPED_TRACE(std::string(r.what) + (earlier_catalog ? ", an earlier catalog" : ""));
            windows_version = r.version;
            test::temp_dir dir;
            const std::string catalog = dir.utf8() + "\\Corvane.cat";
            const std::string deleted = line("info", "deleted existing cat file '" + catalog + "'");
            if (earlier_catalog)
                std::ofstream(dir.path() / "Corvane.cat", std::ios::binary) << "an earlier catalog";
            usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
            usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
            options.no_catalog = r.no_catalog;
            outcome o =
                prepare(&device, dir.utf8().c_str(), kInfName, r.null_options ? nullptr : &options);
            EXPECT_EQ(o.result, USBDRV_OK) << o.log;
            const size_t inf_line = o.log.find(line("info", "successfully created '"));
            ASSERT_NE(inf_line, std::string::npos) << o.log;
            size_t at = inf_line;
            for (const std::string& expected : r.lines) {
                size_t found = o.log.find(expected + "\n", at);
                EXPECT_NE(found, std::string::npos) << expected << "\nin\n" << o.log;
                at = found == std::string::npos ? at : found;
            }
            // It goes when the new package is moved in.
            EXPECT_EQ(o.logged(deleted), earlier_catalog) << o.log;
            if (earlier_catalog) {
                EXPECT_NE(o.log.find(deleted + "\n", inf_line), std::string::npos) << o.log;
            }
            for (const std::string& other : {vista, old_system, switched_off}) {
                bool expected = std::find(r.lines.begin(), r.lines.end(), other) != r.lines.end();
                EXPECT_EQ(o.log.find(other) != std::string::npos, expected) << other;
            }
            EXPECT_EQ(o.log.find("could not sign cat file"), std::string::npos);
            EXPECT_FALSE(fs::exists(dir.path() / "Corvane.cat"));
            written_inf inf(dir.path() / kInfName);
            EXPECT_EQ(inf.field(L"Version", L"Class", 1), r.inf_class);
        }
    }
}

// An earlier catalog that cannot be replaced would stay beside an INF it does not match: the
// preparation fails instead, and the folder keeps the earlier files as they were, nothing of the
// new package. A folder of the catalog's name is in the way of the catalog too.
TEST_F(Preparation, AnEarlierCatalogThatCannotBeReplacedFailsThePreparation) {
    test::temp_dir dir;
    const fs::path catalog = dir.path() / "Corvane.cat";
    const std::string catalog_text = test::utf8(catalog);
    std::ofstream(catalog, std::ios::binary) << "an earlier catalog";
    std::ofstream(dir.path() / kInfName, std::ios::binary) << "an earlier INF";
    const test::folder_contents before = test::contents_of(dir.path());
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    {
        // Another program reads it and lets nobody delete or rename it meanwhile.
        unique_file_handle held(CreateFileW(catalog.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held) << GetLastError();
        outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_ACCESS) << o.log;
        EXPECT_TRUE(o.logged(line("error", "'" + catalog_text + "' cannot be replaced: " +
                                               windows_error_text(ERROR_SHARING_VIOLATION))))
            << o.log;
    }
    EXPECT_EQ(test::contents_of(dir.path()), before);
    EXPECT_TRUE(test::staging_left_in(dir.path().parent_path()).empty());

    fs::remove(catalog);
    fs::create_directory(catalog);
    outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
    EXPECT_EQ(o.result, USBDRV_ERR_ACCESS) << o.log;
    EXPECT_TRUE(o.logged(
        line("error", "'" + catalog_text + "' is a folder, where the package needs a file")))
        << o.log;
    EXPECT_TRUE(fs::is_directory(catalog));
    EXPECT_EQ(test::read_file(dir.path() / kInfName), "an earlier INF");
}

// While a preparation runs anywhere, another fails at once and touches nothing; a marker of
// another kind of object makes the call fail as one that cannot be made.
TEST_F(Preparation, BusyWhileTheMarkerIsHeldAndRefusedWhenItCannotBeMade) {
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    test::temp_dir dir;
    std::string folder = dir.utf8() + "\\package";
    {
        unique_mutex marker(CreateMutexA(nullptr, TRUE, busy_marker_name(kPreparationMarker).text));
        ASSERT_TRUE(marker);
        outcome o = prepare(&device, folder.c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_BUSY);
        EXPECT_EQ(o.log, "");
    }
    {
        unique_event other(
            CreateEventA(nullptr, TRUE, FALSE, busy_marker_name(kPreparationMarker).text));
        ASSERT_TRUE(other);
        outcome o = prepare(&device, folder.c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_RESOURCE);
        EXPECT_EQ(o.log, "");
    }
    EXPECT_FALSE(fs::exists(test::from_utf8(folder)));
    EXPECT_EQ(prepare(&device, folder.c_str(), kInfName, &options).result, USBDRV_OK);
}

TEST_F(Preparation, ASecondPreparationFromAnotherProcessIsRefused) {
    // The other process writes its log into a pipe that holds nothing: its first line waits
    // until this process reads, in the middle of its preparation.
    std::wstring pipe_name =
        L"\\\\.\\pipe\\corvane-prepare-" + std::to_wstring(GetCurrentProcessId());
    unique_pipe server(CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_INBOUND,
                                        PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
    ASSERT_TRUE(server);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    unique_pipe client(
        CreateFileW(pipe_name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(client);

    test::temp_dir dir;
    std::string theirs = dir.utf8() + "\\theirs", mine = dir.utf8() + "\\mine";
    child_process_guard child;
    ASSERT_TRUE(test::start_program(test::beside_me("prepare_package.exe"),
                                    L"\"" + wide(theirs) + L"\"", client.get(), child));
    client.reset();  // the child holds the only write end: reading ends when it exits
    ASSERT_TRUE(test::wait_for_mutex(busy_marker_name(kPreparationMarker).text, 5000))
        << "the other process never started preparing";

    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    outcome o = prepare(&device, mine.c_str(), kInfName, &options);
    EXPECT_EQ(o.result, USBDRV_ERR_BUSY);
    EXPECT_EQ(o.log, "");
    EXPECT_FALSE(fs::exists(test::from_utf8(mine)));

    std::string their_log;
    char buffer[512];
    DWORD got = 0;
    while (ReadFile(server.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        their_log.append(buffer, got);
    ASSERT_TRUE(child.wait(20000));
    EXPECT_EQ(child.exit_code(99), 0u) << their_log;
    EXPECT_NE(their_log.find("successfully created"), std::string::npos) << their_log;

    EXPECT_EQ(prepare(&device, mine.c_str(), kInfName, &options).result, USBDRV_OK);  // free again
}

}  // namespace

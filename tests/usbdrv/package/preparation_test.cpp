// usbdrv_prepare_driver on Wine's own services: the INF of every driver kind for a table of
// devices, read back with the system's INF parser; what the call refuses and how each step fails,
// with what it leaves in the package folder; the driver kind it falls back to; the catalog's
// condition; and the machine-wide busy marker, held by a second process.
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
#include "package/embedded_files.h"
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
            std::string inf_path = dir.utf8() + "\\" + kInfName;
            EXPECT_TRUE(o.logged(line("info", "successfully created '" + inf_path + "'")));
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

// What is left in the package folder after a failure.
enum class leaves { no_folder, empty_folder, some_driver_files, driver_files, package };

struct failure_row {
    const char* what;
    std::string log;  // a text the log holds (a whole line ends in "\n"); %P: the package folder
    usbdrv_result result;
    leaves left;
    // Arranges the call: the package folder to use, and the arguments.
    bool null_device = false;
    const char* inf_name = kInfName;
    std::string long_inf_name;  // used when not empty
    bool no_path = false, no_temp = false, file_as_folder = false, folder_as_inf = false;
    size_t path_length = 0;  // 0: a folder of a short name
    const char* description = "Serial Port";
    int32_t kind = USBDRV_DRIVER_CDC;
};

std::string inf_name_of_length(size_t length) {
    return std::string(length - 4, 'n') + ".inf";
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
    add("no device", null_line, USBDRV_ERR_INVALID_PARAM, leaves::no_folder)->null_device = true;
    add("no INF name", null_line, USBDRV_ERR_INVALID_PARAM, leaves::no_folder)->inf_name = nullptr;
    for (const char* name :
         {"Corvane.INF", "Corvane.Inf", "Corvane", "Corvane.inf.txt", "inf", ""}) {
        add(name, extension, USBDRV_ERR_INVALID_PARAM, leaves::no_folder)->inf_name = name;
    }
    // Names that would put the INF outside the package folder.
    for (const char* name : {"..\\Corvane.inf", "sub\\Corvane.inf", "C:\\Corvane.inf", "a/b.inf"}) {
        add(name,
            whole(line("error",
                       std::string("inf name provided must not contain a path: '") + name + "'")),
            USBDRV_ERR_INVALID_PARAM, leaves::no_folder)
            ->inf_name = name;
    }
    failure_row* r = add("no folder and no TEMP",
                         whole(line("error", "no path provided and unable to use TEMP")),
                         USBDRV_ERR_INVALID_PARAM, leaves::no_folder);
    r->no_path = r->no_temp = true;
    add("a file where the folder goes", "usbdrv:error [check_dir] %P is a file, not a directory\n",
        USBDRV_ERR_ACCESS, leaves::no_folder)
        ->file_as_folder = true;
    add("kind 5", unknown, USBDRV_ERR_INVALID_PARAM, leaves::empty_folder)->kind = 5;
    add("kind -1", unknown, USBDRV_ERR_INVALID_PARAM, leaves::empty_folder)->kind = -1;
    add("no description", no_id, USBDRV_ERR_INVALID_PARAM, leaves::empty_folder)->description =
        nullptr;
    add("an empty description", no_id, USBDRV_ERR_INVALID_PARAM, leaves::empty_folder)
        ->description = "";
    // 222 + 15 + 21 + 2 separators = 260: the path logged is cut to the 259 characters it had.
    add("a folder of 222 characters",
        "usbdrv:error [extract_binaries] qualified path is too long: "
        "'%P\\license\\libusb0\\installer_license.tx'\n",
        USBDRV_ERR_RESOURCE, leaves::some_driver_files)
        ->path_length = 222;
    r = add("a folder of 221 characters and an INF name of 38",
            whole(line("error",
                       "qualified path for inf file is too long: '%P\\" + inf_name_of_length(38))),
            USBDRV_ERR_RESOURCE, leaves::driver_files);
    r->path_length = 221;
    r->long_inf_name = inf_name_of_length(38);
    r = add("an INF name of 260 characters",
            whole(line("error",
                       "qualified path for inf file is too long: '%P\\" + inf_name_of_length(260))),
            USBDRV_ERR_RESOURCE, leaves::driver_files);
    r->long_inf_name = inf_name_of_length(260);
    add("a folder where the INF goes",
        whole(line("error", "failed to create file: %P\\" + std::string(kInfName))),
        USBDRV_ERR_ACCESS, leaves::driver_files)
        ->folder_as_inf = true;
    // The longest folder and INF name that fit: 221 + 1 + 37 = 259 characters.
    r = add("a folder of 221 characters and an INF name of 37",
            whole(line("info", "successfully created '%P\\" + inf_name_of_length(37) + "'")),
            USBDRV_OK, leaves::package);
    r->path_length = 221;
    r->long_inf_name = inf_name_of_length(37);
    return rows;
}

std::string replaced(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find("%P")) != std::string::npos;)
        text.replace(at, 2, folder);
    return text;
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
        if (r.folder_as_inf)
            fs::create_directories(test::from_utf8(folder + "\\" + kInfName));
        if (r.no_temp)
            _putenv_s("TEMP", "");

        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, r.description);
        usbdrv_prepare_options options = options_for(r.kind);
        const char* inf_name = r.long_inf_name.empty() ? r.inf_name : r.long_inf_name.c_str();
        outcome o = prepare(r.null_device ? nullptr : &device, r.no_path ? nullptr : folder.c_str(),
                            inf_name, &options);
        _putenv_s("TEMP", temp_.utf8().c_str());

        EXPECT_EQ(o.result, r.result) << o.log;
        EXPECT_NE(o.log.find(replaced(r.log, folder)), std::string::npos) << o.log;
        fs::path package = test::from_utf8(folder);
        std::vector<std::string> files = files_below(package);
        switch (r.left) {
            case leaves::no_folder:
                EXPECT_FALSE(fs::is_directory(package));
                EXPECT_TRUE(fs::is_empty(temp_.path()));
                break;
            case leaves::empty_folder:
                EXPECT_TRUE(fs::is_directory(package));
                EXPECT_TRUE(files.empty());
                break;
            case leaves::some_driver_files:
                EXPECT_FALSE(files.empty());
                EXPECT_LT(files.size(), carried_file_count());
                break;
            case leaves::driver_files:
                EXPECT_EQ(files.size(), carried_file_count());
                break;
            case leaves::package:
                EXPECT_EQ(files.size(), carried_file_count() + 1);
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
        std::string failing;  // the folder that cannot be made
    } rows[] = {
        {folder, test::utf8(folder / "x86")},          // the carried files' first folder
        {folder / "sub", test::utf8(folder / "sub")},  // the package folder itself
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(test::utf8(r.package));
        usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
        usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
        outcome o = prepare(&device, test::utf8(r.package).c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_ACCESS) << o.log;
        EXPECT_NE(
            o.log.find("usbdrv:error [check_dir] unable to create directory " + r.failing + " ("),
            std::string::npos)
            << o.log;
        EXPECT_TRUE(fs::is_empty(folder));
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
            size_t at = o.log.find(line("info", "successfully created '"));
            ASSERT_NE(at, std::string::npos) << o.log;
            EXPECT_EQ(o.logged(deleted), earlier_catalog) << o.log;
            if (earlier_catalog) {
                size_t found = o.log.find(deleted + "\n", at);
                at = found == std::string::npos ? at : found;
            }
            for (const std::string& expected : r.lines) {
                size_t found = o.log.find(expected + "\n", at);
                EXPECT_NE(found, std::string::npos) << expected << "\nin\n" << o.log;
                at = found == std::string::npos ? at : found;
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

// An earlier catalog that cannot be deleted would stay beside an INF it does not match: the
// preparation fails instead, with the INF written. A folder of the catalog's name is no catalog
// and stays.
TEST_F(Preparation, AnEarlierCatalogThatCannotBeDeletedFailsThePreparation) {
    test::temp_dir dir;
    const fs::path catalog = dir.path() / "Corvane.cat";
    const std::string catalog_text = test::utf8(catalog);
    std::ofstream(catalog, std::ios::binary) << "an earlier catalog";
    usbdrv_device_entry device = entry(0xC04A, 0x0C02, true, 0, "Board");
    usbdrv_prepare_options options = options_for(USBDRV_DRIVER_CDC);
    {
        // Another program reads it and lets nobody delete it meanwhile.
        unique_file_handle held(CreateFileW(catalog.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held) << GetLastError();
        outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
        EXPECT_EQ(o.result, USBDRV_ERR_ACCESS) << o.log;
        EXPECT_TRUE(
            o.logged(line("error", "unable to delete existing cat file '" + catalog_text +
                                       "': " + windows_error_text(ERROR_SHARING_VIOLATION))))
            << o.log;
        EXPECT_EQ(o.log.find(".cat generation disabled by user"), std::string::npos) << o.log;
    }
    EXPECT_EQ(test::read_file(catalog), "an earlier catalog");
    EXPECT_EQ(written_inf(dir.path() / kInfName).string(L"DeviceName"), L"Board");

    fs::remove(catalog);
    fs::create_directory(catalog);
    outcome o = prepare(&device, dir.utf8().c_str(), kInfName, &options);
    EXPECT_EQ(o.result, USBDRV_OK) << o.log;
    EXPECT_EQ(o.log.find("delete"), std::string::npos) << o.log;
    EXPECT_TRUE(fs::is_directory(catalog));
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

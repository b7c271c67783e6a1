// The INF and catalog-list templates carried in the program, filled with the token engine and
// read back with the system's own INF parser.
#include <windows.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "base/tokens.h"
#include "carried_files.h"
#include "package/embedded_files.h"
#include "package/template_fill.h"
#include "test_support.h"
#include "win/handles.h"
#include "win/utf8.h"

namespace {

const embedded_file* find_template(const char* name) {
    for (size_t i = 0; i < embedded_file_count; i++) {
        if (!embedded_files[i].subdir[0] && strcmp(embedded_files[i].name, name) == 0) {
            return &embedded_files[i];
        }
    }
    return nullptr;
}

// Every token filled the way a preparation of a libusb0 package for a composite device's
// interface 2 fills it.
token_values every_token() {
    const struct {
        int id;
        const char* value;
    } values[] = {
        {TOKEN_INF_FILENAME, "Corvane.inf"},
        {TOKEN_CAT_FILENAME, "Corvane.cat"},
        {TOKEN_DEVICE_DESCRIPTION, "Serial Port"},
        {TOKEN_DEVICE_HARDWARE_ID, "VID_1234&PID_ABCD&MI_02"},
        {TOKEN_DEVICE_INTERFACE_GUID, "{6E0A2D34-1C8B-4F0E-9A57-3D2B1C0E4F61}"},
        {TOKEN_DEVICE_MANUFACTURER, "(Undefined Vendor)"},
        {TOKEN_DRIVER_DATE, "12/09/2026"},
        {TOKEN_DRIVER_VERSION, "0.1.0.0"},
        {TOKEN_USE_DEVICE_INTERFACE_GUID, "AddDeviceInterfaceGUID"},
        {TOKEN_WDF_VERSION, "01011"},
        {TOKEN_KMDF_VERSION, "1.11"},
        {TOKEN_LK_COMMA, ","},
        {TOKEN_LK_DLL, "libusbk.dll"},
        {TOKEN_LK_X86_DLL, "libusbk_x86.dll"},
        {TOKEN_LK_EQ_X86, "= 1,x86"},
        {TOKEN_LK_EQ_X64, "= 1,amd64"},
    };
    token_values tokens = {};
    for (const auto& v : values)
        set_token_value(tokens, v.id, v.value);
    return tokens;
}

// The same without the libusbK values, as for every other kind.
token_values without_libusbk() {
    token_values tokens = every_token();
    for (int id :
         {TOKEN_LK_COMMA, TOKEN_LK_DLL, TOKEN_LK_X86_DLL, TOKEN_LK_EQ_X86, TOKEN_LK_EQ_X64})
        tokens.set[id] = false;
    return tokens;
}

class Templates : public testing::Test {
protected:
    static std::string filled(const char* name, const token_values& tokens = every_token()) {
        char* output = nullptr;
        int result = tokenize_embedded(name, &output, tokens);
        unique_malloc<char> owned(output);
        EXPECT_GT(result, 0) << name;
        return result > 0 ? std::string(output, result) : "";
    }

    // The filled INF written as the preparation writes it: UTF-16 with a byte-order mark.
    static std::filesystem::path write_inf(const test::temp_dir& dir, const std::string& text) {
        std::filesystem::path path = dir.path() / "Corvane.inf";
        unique_malloc<wchar_t> wide(utf8_to_utf16(text.c_str()));
        std::ofstream out(path, std::ios::binary);
        out.write("\xFF\xFE", 2);
        out.write(reinterpret_cast<const char*>(wide.get()), wcslen(wide.get()) * 2);
        return path;
    }
};

std::wstring field(INFCONTEXT* line, DWORD index) {
    wchar_t text[512] = {};
    if (!SetupGetStringFieldW(line, index, text, 512, nullptr))
        return L"(none)";
    return text;
}

// The fields of every line of a section, from the system's parser.
std::vector<std::vector<std::wstring>> section(HINF inf, const wchar_t* name) {
    std::vector<std::vector<std::wstring>> lines;
    INFCONTEXT line;
    if (!SetupFindFirstLineW(inf, name, nullptr, &line))
        return lines;
    do {
        std::vector<std::wstring> fields;
        for (DWORD i = 0; i <= SetupGetFieldCount(&line); i++)
            fields.push_back(field(&line, i));
        lines.push_back(fields);
    } while (SetupFindNextLine(&line, &line));
    return lines;
}

TEST_F(Templates, EightTemplatesWithCrLfLineEnds) {
    for (const char* name :
         {"winusb.inf.in", "libusb0.inf.in", "libusbk.inf.in", "usbser.inf.in", "winusb.cat.in",
          "libusb0.cat.in", "libusbk.cat.in", "usbser.cat.in"}) {
        const embedded_file* row = find_template(name);
        ASSERT_NE(row, nullptr) << name;
        std::string text = test::content_of(*row);
        for (size_t i = 0; i < text.size(); i++) {
            bool crlf = text[i] == '\n'
                            ? i > 0 && text[i - 1] == '\r'
                            : text[i] != '\r' || (i + 1 < text.size() && text[i + 1] == '\n');
            ASSERT_TRUE(crlf) << name << ": a lone line-end byte at " << i;
        }
        bool bom = text.rfind("\xEF\xBB\xBF", 0) == 0;
        EXPECT_EQ(bom, strcmp(name, "libusbk.inf.in") == 0) << name;
    }
    // The catalog lists end without a line end, except the CDC one.
    EXPECT_EQ(test::content_of(*find_template("usbser.cat.in")),
              "# The USB CDC Serial driver doesn't need extra binaries\r\n");
    EXPECT_NE(test::content_of(*find_template("winusb.cat.in")).back(), '\n');
}

TEST_F(Templates, EachUsesItsTokens) {
    using names = std::set<std::string>;
    const names common = {"INF_FILENAME",       "DEVICE_DESCRIPTION",    "DEVICE_MANUFACTURER",
                          "DEVICE_HARDWARE_ID", "DEVICE_INTERFACE_GUID", "CAT_FILENAME",
                          "DRIVER_DATE"};
    auto with = [&](names more) {
        more.insert(common.begin(), common.end());
        return more;
    };
    const struct {
        const char* name;
        names tokens;
    } rows[] = {
        {"usbser.inf.in", common},
        {"winusb.inf.in",
         with({"DRIVER_VERSION", "KMDF_VERSION", "USE_DEVICE_INTERFACE_GUID", "WDF_VERSION"})},
        {"libusb0.inf.in",
         with({"DRIVER_VERSION", "LK_COMMA", "LK_DLL", "LK_X86_DLL", "LK_EQ_X86", "LK_EQ_X64"})},
        {"libusbk.inf.in",
         with({"DRIVER_VERSION", "USE_DEVICE_INTERFACE_GUID", "WDF_VERSION", "KMDF_VERSION"})},
    };
    const std::regex token("#([A-Z0-9_]+)#");
    for (const auto& r : rows) {
        std::string text = test::content_of(*find_template(r.name));
        names found;
        for (auto it = std::sregex_iterator(text.begin(), text.end(), token);
             it != std::sregex_iterator(); ++it) {
            found.insert((*it)[1]);
        }
        EXPECT_EQ(found, r.tokens) << r.name;
        // Filled, no token delimiter is left.
        EXPECT_EQ(filled(r.name).find('#'), std::string::npos) << r.name;
    }
}

TEST_F(Templates, TheCdcTemplateAsGiven) {
    const char* const expected =
        "; #INF_FILENAME#\r\n\r\n[Strings]\r\nDeviceName = \"#DEVICE_DESCRIPTION#\"\r\n"
        "VendorName = \"#DEVICE_MANUFACTURER#\"\r\nSourceName = \"#DEVICE_DESCRIPTION# Install "
        "Disk\"\r\nDeviceID   = \"#DEVICE_HARDWARE_ID#\"\r\nDeviceGUID = "
        "\"#DEVICE_INTERFACE_GUID#\"\r\nService    = \"USB COM Port\"\r\n\r\n[Version]\r\n"
        "Signature   = \"$Windows NT$\"\r\nClass       = Ports\r\nClassGuid   = "
        "{4D36E978-E325-11CE-BFC1-08002BE10318}\r\nProvider    = \"usbdrv\"\r\nCatalogFile = "
        "#CAT_FILENAME#\r\nDriverVer   = #DRIVER_DATE#, 1.0.0.0\r\n\r\n[Manufacturer]\r\n"
        "%VendorName% = DeviceList,NTx86,NTamd64,NTarm\r\n\r\n[DeviceList.NTx86]\r\n"
        "%DeviceName% = UsbSer_Install, USB\\%DeviceID%\r\n\r\n[DeviceList.NTamd64]\r\n"
        "%DeviceName% = UsbSer_Install, USB\\%DeviceID%\r\n\r\n[DeviceList.NTarm]\r\n"
        "%DeviceName% = UsbSer_Install, USB\\%DeviceID%\r\n\r\n[UsbSer_Install]\r\n"
        "include     = mdmcpq.inf\r\nCopyFiles   = FakeModemCopyFileSection ; defined in "
        "mdmcpq.inf\r\nAddReg      = UsbSer_Install.AddReg\r\nAddProperty = "
        "UsbSer_AddProperty\r\n\r\n[UsbSer_Install.AddReg]\r\nHKR,,DevLoader,,*ntkern\r\n"
        "HKR,,NTMPDriver,,usbser.sys\r\nHKR,,EnumPropPages32,,\"MsPorts.dll,"
        "SerialPortPropPageProvider\"\r\n\r\n[UsbSer_Install.Services]\r\nAddService = "
        "usbser,0x00000002,UsbSer_Service\r\n\r\n[UsbSer_Service]\r\nDisplayName   = "
        "%Service%\r\nServiceType   = 1\r\nStartType     = 3\r\nErrorControl  = 1\r\n"
        "ServiceBinary = %12%\\usbser.sys\r\n\r\n[UsbSer_AddProperty]\r\n"
        "GenericDriverInstalled,,,,1\r\n\r\n[DestinationDirs]\r\nDefaultDestDir = 12\r\n\r\n"
        "[SourceDisksNames]\r\n1 = %SourceName%\r\n\r\n[SourceDisksFiles]\r\n";
    EXPECT_EQ(test::content_of(*find_template("usbser.inf.in")), expected);
}

TEST_F(Templates, FilledInfsParseWithTheSystemsParser) {
    for (const char* name :
         {"usbser.inf.in", "winusb.inf.in", "libusb0.inf.in", "libusbk.inf.in"}) {
        SCOPED_TRACE(name);
        test::temp_dir dir;
        std::filesystem::path path = write_inf(dir, filled(name));
        UINT error_line = 0;
        unique_inf inf(SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, &error_line));
        ASSERT_TRUE(inf.valid()) << "error " << GetLastError() << " at line " << error_line;
        auto version = section(inf.get(), L"Version");
        ASSERT_FALSE(version.empty());
        EXPECT_EQ(version[0][1], L"$Windows NT$");
        INFCONTEXT line;
        ASSERT_TRUE(SetupFindFirstLineW(inf.get(), L"Version", L"CatalogFile", &line));
        EXPECT_EQ(field(&line, 1), L"Corvane.cat");
        ASSERT_TRUE(SetupFindFirstLineW(inf.get(), L"Strings", L"DeviceID", &line));
        EXPECT_EQ(field(&line, 1), L"VID_1234&PID_ABCD&MI_02");
        ASSERT_TRUE(SetupFindFirstLineW(inf.get(), L"Manufacturer", nullptr, &line));
        EXPECT_EQ(field(&line, 0), L"(Undefined Vendor)");  // %VendorName% from [Strings]
    }
}

TEST_F(Templates, TheCdcInfNamesTheDeviceOncePerPlatform) {
    test::temp_dir dir;
    std::string text = filled("usbser.inf.in");
    unique_inf inf(
        SetupOpenInfFileW(write_inf(dir, text).c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    ASSERT_TRUE(inf.valid());
    for (const wchar_t* list : {L"DeviceList.NTx86", L"DeviceList.NTamd64", L"DeviceList.NTarm"}) {
        auto lines = section(inf.get(), list);
        ASSERT_EQ(lines.size(), 1u) << list;
        EXPECT_EQ(lines[0], (std::vector<std::wstring>{L"Serial Port", L"UsbSer_Install",
                                                       L"USB\\VID_1234&PID_ABCD&MI_02"}));
    }
    // The raw text keeps the %...% references; [Strings] holds the device's values.
    EXPECT_NE(text.find("%DeviceName% = UsbSer_Install, USB\\%DeviceID%"), std::string::npos);
    EXPECT_NE(text.find("DeviceName = \"Serial Port\""), std::string::npos);
    EXPECT_NE(text.find("SourceName = \"Serial Port Install Disk\""), std::string::npos);
    EXPECT_NE(text.find("DriverVer   = 12/09/2026, 1.0.0.0"), std::string::npos);
    auto property = section(inf.get(), L"UsbSer_AddProperty");
    ASSERT_EQ(property.size(), 1u);
    EXPECT_EQ(property[0][1], L"GenericDriverInstalled");
}

TEST_F(Templates, TheLibusbKInfKeepsItsByteOrderMark) {
    std::string text = filled("libusbk.inf.in");
    EXPECT_EQ(text.rfind("\xEF\xBB\xBF; Corvane.inf\r\n", 0), 0u);
    EXPECT_NE(text.find("; Description: Installation inf for Serial Port device."),
              std::string::npos);
    // Written as UTF-16 it starts with FF FE and then the mark again, as a character.
    test::temp_dir dir;
    std::ifstream in(write_inf(dir, text), std::ios::binary);
    char head[4];
    in.read(head, 4);
    EXPECT_EQ(std::string(head, 4), "\xFF\xFE\xFF\xFE");
}

// What the catalog of each kind covers besides the INF: one name per line that is not empty or
// a comment.
std::vector<std::string> catalog_names(const std::string& list) {
    std::vector<std::string> names;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find_first_of("\r\n", at);
        if (end == std::string::npos)
            end = list.size();
        std::string line = list.substr(at, end - at);
        line.erase(0, line.find_first_not_of(" \t"));
        line.erase(line.find_last_not_of(" \t") + 1);
        if (!line.empty() && line[0] != '#')
            names.push_back(line);
        at = end + 1;
    }
    return names;
}

TEST_F(Templates, CatalogListsNameThePackagesFiles) {
    using v = std::vector<std::string>;
    const struct {
        const char* name;
        v files;
    } rows[] = {
        {"winusb.cat.in", {"WdfCoInstaller01011.dll", "winusbcoinstaller2.dll"}},
        {"libusb0.cat.in",
         {"libusb0.sys", "libusb0.dll", "libusb0_x86.dll", "libusbk.dll", "libusbk_x86.dll"}},
        {"libusbk.cat.in",
         {"WdfCoInstaller01011.dll", "libusbk.sys", "libusbk.dll", "libusbk_x86.dll", "libusb0.dll",
          "libusb0_x86.dll"}},
        {"usbser.cat.in", {}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(catalog_names(filled(r.name)), r.files) << r.name;
}

// The libusbK values have empty defaults: a libusb0 package without them names no libusbK DLL,
// and no token is left in its files. Each filling has only the values it is given, whatever an
// earlier filling had.
TEST_F(Templates, WithoutTheLibusbKValuesTheLibusb0PackageNamesNoLibusbKDll) {
    EXPECT_NE(filled("libusb0.inf.in").find("libusbk"), std::string::npos);
    std::string list = filled("libusb0.cat.in", without_libusbk());
    EXPECT_EQ(catalog_names(list),
              (std::vector<std::string>{"libusb0.sys", "libusb0.dll", "libusb0_x86.dll"}));
    EXPECT_EQ(list.find("#LK"), std::string::npos);
    std::string inf = filled("libusb0.inf.in", without_libusbk());
    EXPECT_EQ(inf.find("libusbk"), std::string::npos);
    EXPECT_NE(inf.find("\r\nlibusb0.dll, libusb0_x86.dll    \r\n"), std::string::npos);
    test::temp_dir dir;
    unique_inf parsed(
        SetupOpenInfFileW(write_inf(dir, inf).c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    ASSERT_TRUE(parsed.valid());
    auto files = section(parsed.get(), L"libusb_files_dll");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].back(), L"libusb0.dll");
}

// A token without value or default fails the filling, with a line that names it, before any
// text is given out; a token after it in the list is no matter.
TEST_F(Templates, ATokenWithoutValueFailsTheFillingAndIsNamed) {
    for (int missing : {TOKEN_INF_FILENAME, TOKEN_DEVICE_DESCRIPTION, TOKEN_KMDF_VERSION}) {
        SCOPED_TRACE(token_name(missing));
        token_values tokens = every_token();
        tokens.set[missing] = false;
        char* output = reinterpret_cast<char*>(0x1);
        int unset = -1;
        EXPECT_EQ(tokenize_embedded("winusb.inf.in", &output, tokens, &unset), kTokenUnset);
        EXPECT_EQ(output, nullptr);
        EXPECT_EQ(unset, missing);

        test::log_capture log;
        EXPECT_EQ(fill_embedded("winusb.inf.in", tokens, "usbdrv_prepare_driver"), nullptr);
        EXPECT_EQ(log.text(), "usbdrv:error [usbdrv_prepare_driver] no value for the token " +
                                  std::string(token_name(missing)) +
                                  " of winusb.inf.in\n"
                                  "usbdrv:error [usbdrv_prepare_driver] could not tokenize inf "
                                  "file (-1168)\n");
    }
    // The CDC template names no KMDF version: it fills without one.
    token_values tokens = every_token();
    tokens.set[TOKEN_KMDF_VERSION] = false;
    unique_malloc<char> cdc(fill_embedded("usbser.inf.in", tokens, "usbdrv_prepare_driver"));
    ASSERT_NE(cdc.get(), nullptr);
    EXPECT_EQ(std::string(cdc.get()), filled("usbser.inf.in"));
}

TEST_F(Templates, TokenizeEmbeddedFindsTemplatesOnly) {
    const embedded_file* cdc = find_template("usbser.inf.in");
    ASSERT_NE(cdc, nullptr);
    EXPECT_EQ(cdc - embedded_files, 23);
    char* direct = nullptr;
    const token_values tokens = every_token();
    int length = tokenize_text(reinterpret_cast<const char*>(cdc->data), (int)cdc->size, &direct,
                               &tokens, "#", "#");
    unique_malloc<char> owned(direct);
    EXPECT_EQ(filled("usbser.inf.in"), std::string(direct, length));

    for (const char* not_a_template :
         {"x86", "libusb0.sys", "installer_x64.exe", "nothing.in", ""}) {
        char* output = reinterpret_cast<char*>(0x1);
        EXPECT_EQ(tokenize_embedded(not_a_template, &output, tokens), kTokenNoTemplate)
            << not_a_template;
        EXPECT_EQ(output, reinterpret_cast<char*>(0x1));
    }
}

}  // namespace

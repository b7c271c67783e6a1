// The simulation DLLs as a program sees them: this program imports setupapi.dll and
// cfgmgr32.dll like any other, and the test prefix tells Wine to load the simulation copies for
// it (corvane_simulated_programs). Each test writes its scenario and points CORVANE_SCENARIO at
// it; the DLL reads the variable at each call.
#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "win/handles.h"

namespace {

// DEVPKEY_Device_BusReportedDeviceDesc; devpkey.h would define it in this file.
const DEVPROPKEY kBusReportedDescription = {
    {0x540b947e, 0x8b40, 0x45bc, {0xa8, 0xa2, 0x6a, 0x0b, 0x89, 0x4c, 0xbd, 0xa2}}, 4};
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const char* const kBoardInstance = "USB\\VID_C04A&PID_0C02\\CRV00001";
const char* const kSerialA = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
const char* const kDataA = "USB\\VID_C04A&PID_0C02&MI_01\\7&2F1C3A5&0&0001";
const char* const kSerialB = "USB\\VID_C04A&PID_0C02&MI_02\\7&2F1C3A5&0&0002";
const char* const kKeyboard = "HID\\VID_C04A&PID_0C09\\9&77777777&0&0000";
const char* const kController = "PCI\\VEN_8086&DEV_A36D\\3&11583659&0&A0";
// Driver keys of these tests only, so that they meet nobody else's in the prefix.
const wchar_t* const kDriverKeys[] = {
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{36fc9e60-c465-11cf-8056-444553540000}\\9910",
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\9911",
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\9912",
};

// A composite board: two serial functions (the second one unbound, the data interface between
// them unplugged), under a host controller that is named only as its parent, and a keyboard of
// another enumerator.
const char* const kBoardScenario = R"(
[device]
instance = USB\VID_C04A&PID_0C02\CRV00001
parent = PCI\VEN_8086&DEV_A36D\3&11583659&0&A0
service = usbccgp
driver = {36fc9e60-c465-11cf-8056-444553540000}\9910
driver_version = 10.0.19041.1
hardware_id = USB\VID_C04A&PID_0C02&REV_0100
hardware_id = USB\VID_C04A&PID_0C02
compatible_id = USB\COMPOSITE
description = USB Composite Device
bus_description = Corvane Dual Serial

[device]
instance = USB\VID_C04A&PID_0C02&MI_00\7&2F1C3A5&0&0000
parent = USB\VID_C04A&PID_0C02\CRV00001
service = usbser
driver = {4d36e978-e325-11ce-bfc1-08002be10318}\9911
driver_version = 10.0.22621.2
upper_filter = serenum
upper_filter = other
description = USB Serial Device
bus_description = "  Port A  "

[device]
instance = USB\VID_C04A&PID_0C02&MI_01\7&2F1C3A5&0&0001
parent = USB\VID_C04A&PID_0C02\CRV00001
present = no

[device]
instance = USB\VID_C04A&PID_0C02&MI_02\7&2F1C3A5&0&0002
parent = USB\VID_C04A&PID_0C02\CRV00001
driver = {4d36e978-e325-11ce-bfc1-08002be10318}\9912
hardware_id = USB\VID_C04A&PID_0C02&MI_02
unreadable = hardware_id, bus_description, driver, parent
bus_description = Hidden

[device]
instance = HID\VID_C04A&PID_0C09\9&77777777&0&0000
)";

SP_DEVINFO_DATA empty_data() {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    return data;
}

class SimMachine : public testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"CORVANE_SCENARIO", scenario_path().c_str());
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal_path().c_str());
        use(kBoardScenario);
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"CORVANE_SCENARIO", nullptr);
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr);
        for (const wchar_t* key : kDriverKeys)
            RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
    }

    std::filesystem::path scenario_path() const { return dir_.path() / "machine.scn"; }
    std::filesystem::path journal_path() const { return dir_.path() / "journal.txt"; }

    // Replaces the scenario in one step, as the README asks of everybody. Wine refuses to
    // rename over a file that is open, and a listing on another thread may be reading it.
    void use(const std::string& text) {
        const std::filesystem::path next = dir_.path() / "next.scn";
        std::ofstream(next, std::ios::binary) << text;
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (MoveFileExW(next.c_str(), scenario_path().c_str(), MOVEFILE_REPLACE_EXISTING))
                return;
            Sleep(1);
        }
        ADD_FAILURE() << "cannot replace the scenario: error " << GetLastError();
    }

    std::vector<std::string> journal() const {
        std::ifstream file(journal_path());
        std::vector<std::string> lines;
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
        return lines;
    }
    void forget_journal() { DeleteFileW(journal_path().c_str()); }

    static unique_device_info_set list(const char* enumerator,
                                       DWORD flags = DIGCF_PRESENT | DIGCF_ALLCLASSES,
                                       const GUID* class_guid = nullptr) {
        return unique_device_info_set(SetupDiGetClassDevsA(class_guid, enumerator, nullptr, flags));
    }

    static std::string instance_id(HDEVINFO set, SP_DEVINFO_DATA& data) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        if (!SetupDiGetDeviceInstanceIdA(set, &data, id, sizeof id, nullptr))
            return "(error " + std::to_string(GetLastError()) + ")";
        return id;
    }

    // The instance IDs of a listing, in its order.
    static std::vector<std::string> ids_of(HDEVINFO set) {
        std::vector<std::string> ids;
        SP_DEVINFO_DATA data = empty_data();
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i)
            ids.push_back(instance_id(set, data));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        return ids;
    }

    // The listing's entry for an instance ID, with the listing kept in the fixture.
    SP_DEVINFO_DATA entry(const char* instance) {
        held_ = list(nullptr, DIGCF_ALLCLASSES);
        SP_DEVINFO_DATA data = empty_data();
        for (DWORD i = 0; SetupDiEnumDeviceInfo(held_.get(), i, &data); ++i) {
            if (instance_id(held_.get(), data) == instance)
                return data;
        }
        ADD_FAILURE() << "no entry for " << instance;
        return data;
    }
    HDEVINFO held() const { return held_.get(); }

    static DEVINST locate(const char* instance, ULONG flags = CM_LOCATE_DEVNODE_NORMAL) {
        DEVINST devinst = 0;
        const CONFIGRET result = CM_Locate_DevNodeA(&devinst, const_cast<char*>(instance), flags);
        EXPECT_EQ(result, static_cast<CONFIGRET>(CR_SUCCESS)) << (instance ? instance : "(null)");
        return devinst;
    }

    static std::string id_of(DEVINST devinst) {
        char id[MAX_DEVICE_ID_LEN + 1] = {};
        const CONFIGRET result = CM_Get_Device_IDA(devinst, id, sizeof id, 0);
        return result == CR_SUCCESS ? id : "(CR " + std::to_string(result) + ")";
    }

private:
    test::temp_dir dir_;
    unique_device_info_set held_;
};

using strings = std::vector<std::string>;

TEST_F(SimMachine, ListingsFilterByEnumeratorAndPresence) {
    struct {
        const char* enumerator;
        DWORD flags;
        strings expected;
    } cases[] = {
        {"USB", DIGCF_PRESENT | DIGCF_ALLCLASSES, {kBoardInstance, kSerialA, kSerialB}},
        {"usb", DIGCF_PRESENT | DIGCF_ALLCLASSES, {kBoardInstance, kSerialA, kSerialB}},
        {"USB", DIGCF_ALLCLASSES, {kBoardInstance, kSerialA, kDataA, kSerialB}},
        {nullptr,
         DIGCF_PRESENT | DIGCF_ALLCLASSES,
         {kBoardInstance, kSerialA, kSerialB, kKeyboard}},
        {"HID", DIGCF_ALLCLASSES, {kKeyboard}},
        {"US", DIGCF_ALLCLASSES, {}},   // the whole first element, not a prefix
        {"PCI", DIGCF_ALLCLASSES, {}},  // a parent without a [device] is not listed
        {"USB", DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE, {}},
    };
    for (const auto& c : cases) {
        unique_device_info_set set = list(c.enumerator, c.flags);
        ASSERT_TRUE(set);
        EXPECT_EQ(ids_of(set.get()), c.expected)
            << (c.enumerator ? c.enumerator : "(null)") << " flags " << c.flags;
    }
}

TEST_F(SimMachine, TheWideListingMatchesTheAnsiOne) {
    unique_device_info_set wide(
        SetupDiGetClassDevsW(nullptr, L"usb", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    EXPECT_EQ(ids_of(wide.get()), (strings{kBoardInstance, kSerialA, kSerialB}));
}

// A class without DIGCF_ALLCLASSES keeps the devices whose driver key is of that class.
TEST_F(SimMachine, AClassListingKeepsTheDevicesOfThatClass) {
    unique_device_info_set ports = list("USB", DIGCF_PRESENT, &kPortsClass);
    EXPECT_EQ(ids_of(ports.get()), (strings{kSerialA, kSerialB}));
    SP_DEVINFO_DATA data = empty_data();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(ports.get(), 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.ClassGuid, kPortsClass));

    unique_device_info_set all = list("USB", DIGCF_PRESENT | DIGCF_ALLCLASSES, &kPortsClass);
    EXPECT_EQ(ids_of(all.get()).size(), 3u);
}

TEST_F(SimMachine, EnumerationChecksItsArguments) {
    unique_device_info_set set = list("USB");
    SP_DEVINFO_DATA data = empty_data();
    data.cbSize = sizeof(SP_DEVINFO_DATA) + 4;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set.get(), 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set.get(), 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    data = empty_data();
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set.get(), 3, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    int not_a_list = 0;
    EXPECT_FALSE(SetupDiEnumDeviceInfo(&not_a_list, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // By hand: the destruction and its result are what this case tests.
    HDEVINFO destroyed = SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES);
    ASSERT_TRUE(SetupDiDestroyDeviceInfoList(destroyed));
    EXPECT_FALSE(SetupDiEnumDeviceInfo(destroyed, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(destroyed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// An entry of one listing, or one with a damaged size, is no entry of another.
TEST_F(SimMachine, PropertyCallsRejectEntriesOfOtherListings) {
    unique_device_info_set usb = list("USB");
    unique_device_info_set hid = list("HID");
    SP_DEVINFO_DATA data = empty_data();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(usb.get(), 2, &data));
    char id[MAX_DEVICE_ID_LEN + 1];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(hid.get(), &data, id, sizeof id, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    data.cbSize = 1;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(usb.get(), &data, id, sizeof id, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(SimMachine, AListingKeepsItsDevicesWhenTheFileChanges) {
    unique_device_info_set before = list("USB");
    use("[device]\ninstance = USB\\VID_C04A&PID_0C0A\\NEW\nbus_description = Newcomer\n");
    unique_device_info_set after = list("USB");

    EXPECT_EQ(ids_of(before.get()), (strings{kBoardInstance, kSerialA, kSerialB}));
    SP_DEVINFO_DATA data = empty_data();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(before.get(), 1, &data));
    wchar_t text[64] = {};
    DEVPROPTYPE type = 0;
    ASSERT_TRUE(SetupDiGetDevicePropertyW(before.get(), &data, &kBusReportedDescription, &type,
                                          reinterpret_cast<BYTE*>(text), sizeof text, nullptr, 0));
    EXPECT_STREQ(text, L"  Port A  ");

    EXPECT_EQ(ids_of(after.get()), strings{"USB\\VID_C04A&PID_0C0A\\NEW"});
}

// The file is read again for a new listing whenever it is another file or has changed, even to
// a text of the same size; a file that does not parse leaves the last good machine in force.
TEST_F(SimMachine, TheFileIsReadAgainWhenItChanges) {
    const std::string one = "[device]\ninstance = USB\\VID_C04A&PID_0C0A\\AAA\n";
    const std::string two = "[device]\ninstance = USB\\VID_C04A&PID_0C0A\\BBB\n";
    use(one);
    EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\AAA"});
    use(two);
    EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\BBB"});

    forget_journal();
    use(two + "colour = red\n");
    {
        test::log_capture output;
        EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\BBB"});
        EXPECT_NE(output.text().find("line 3: unknown key 'colour' in [device]"), std::string::npos)
            << output.text();
    }
    const strings lines = journal();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "scenario\t" + test::utf8(scenario_path()) +
                            "\terror line 3: unknown key 'colour' in [device]");

    // The error is told once, not at every listing.
    forget_journal();
    list("USB");
    EXPECT_EQ(journal(), (strings{"SetupDiGetClassDevsA\tUSB\t0x6\tok 1",
                                  "SetupDiDestroyDeviceInfoList\tok"}));

    DeleteFileW(scenario_path().c_str());
    {
        test::log_capture output;
        EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\BBB"});
        EXPECT_NE(output.text().find("cannot be opened"), std::string::npos) << output.text();
    }

    use(one);
    EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\AAA"});
}

TEST_F(SimMachine, WithoutAScenarioTheMachineHasNoDevices) {
    EXPECT_EQ(ids_of(list(nullptr, DIGCF_ALLCLASSES).get()).size(), 5u);
    SetEnvironmentVariableW(L"CORVANE_SCENARIO", nullptr);
    EXPECT_EQ(ids_of(list(nullptr, DIGCF_ALLCLASSES).get()), strings{});
}

// A Unix path is read through the Z: drive. Wine tells the Unix name of the test's file.
TEST_F(SimMachine, AUnixPathNamesTheScenarioToo) {
    using unix_name_fn = char* CDECL(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_fn*>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    ASSERT_NE(unix_name, nullptr) << "not running under Wine";
    use("[device]\ninstance = USB\\VID_C04A&PID_0C0A\\UNIX\n");
    char* path = unix_name(scenario_path().c_str());
    unique_heap<char> path_owner(path);
    ASSERT_NE(path, nullptr);
    ASSERT_EQ(path[0], '/') << path;
    SetEnvironmentVariableA("CORVANE_SCENARIO", path);
    EXPECT_EQ(ids_of(list("USB").get()), strings{"USB\\VID_C04A&PID_0C0A\\UNIX"});
}

TEST_F(SimMachine, DeviceNumbersStayWithTheirInstanceIds) {
    const DEVINST board = locate(kBoardInstance);
    const DEVINST serial = locate(kSerialA);
    EXPECT_NE(board, serial);
    EXPECT_EQ(locate("usb\\vid_c04a&pid_0c02\\crv00001"), board);

    SP_DEVINFO_DATA data = entry(kSerialA);
    EXPECT_EQ(data.DevInst, serial);

    use("[device]\ninstance = USB\\VID_C04A&PID_0C0A\\OTHER\n");
    list("USB");
    EXPECT_NE(locate("USB\\VID_C04A&PID_0C0A\\OTHER"), board);
    use(kBoardScenario);
    list("USB");
    EXPECT_EQ(locate(kSerialA), serial);
    EXPECT_EQ(locate(kBoardInstance), board);
}

TEST_F(SimMachine, RegistryPropertiesHaveTheirTypesAndSizes) {
    struct {
        const char* instance;
        DWORD property;
        DWORD type;
        std::wstring value;  // a REG_MULTI_SZ with its inner terminators
    } cases[] = {
        {kBoardInstance, SPDRP_HARDWAREID, REG_MULTI_SZ,
         std::wstring(L"USB\\VID_C04A&PID_0C02&REV_0100\0USB\\VID_C04A&PID_0C02\0", 53)},
        {kBoardInstance, SPDRP_COMPATIBLEIDS, REG_MULTI_SZ, std::wstring(L"USB\\COMPOSITE\0", 14)},
        {kBoardInstance, SPDRP_DEVICEDESC, REG_SZ, L"USB Composite Device"},
        {kBoardInstance, SPDRP_SERVICE, REG_SZ, L"usbccgp"},
        {kSerialA, SPDRP_DRIVER, REG_SZ, L"{4d36e978-e325-11ce-bfc1-08002be10318}\\9911"},
        {kSerialA, SPDRP_UPPERFILTERS, REG_MULTI_SZ, std::wstring(L"serenum\0other\0", 14)},
        // The driver key is unreadable there, its name is not.
        {kSerialB, SPDRP_DRIVER, REG_SZ, L"{4d36e978-e325-11ce-bfc1-08002be10318}\\9912"},
    };
    for (const auto& c : cases) {
        SP_DEVINFO_DATA data = entry(c.instance);
        const DWORD size = static_cast<DWORD>((c.value.size() + 1) * sizeof(wchar_t));
        DWORD type = 0;
        DWORD required = 0;
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(held(), &data, c.property, &type, nullptr, 0,
                                                       &required));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(required, size) << c.property;

        std::vector<BYTE> buffer(size + 8, 0xCC);
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(held(), &data, c.property, &type,
                                                       buffer.data(), size - 1, &required));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(held(), &data, c.property, &type,
                                                      buffer.data(), size, &required))
            << c.property;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(required, size);
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(buffer.data()), c.value.size()),
                  c.value);
        EXPECT_EQ(reinterpret_cast<const wchar_t*>(buffer.data())[c.value.size()], L'\0');
        EXPECT_EQ(buffer[size], 0xCC) << "written past the size";
    }
}

TEST_F(SimMachine, MissingAndUnreadablePropertiesFailApart) {
    struct {
        const char* instance;
        DWORD property;
        DWORD error;
    } cases[] = {
        {kSerialA, SPDRP_HARDWAREID, ERROR_INVALID_DATA},
        {kBoardInstance, SPDRP_UPPERFILTERS, ERROR_INVALID_DATA},
        {kKeyboard, SPDRP_SERVICE, ERROR_INVALID_DATA},
        {kBoardInstance, SPDRP_FRIENDLYNAME, ERROR_NOT_SUPPORTED},  // not modelled
        {kSerialB, SPDRP_HARDWAREID, ERROR_ACCESS_DENIED},
        {kBoardInstance, SPDRP_MAXIMUM_PROPERTY + 1, ERROR_INVALID_REG_PROPERTY},
    };
    for (const auto& c : cases) {
        SP_DEVINFO_DATA data = entry(c.instance);
        BYTE buffer[512];
        EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(held(), &data, c.property, nullptr, buffer,
                                                       sizeof buffer, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << c.instance << " property " << c.property;
    }
}

// The text a conversion to the process code page gives, with its terminator.
std::string ansi(const wchar_t* text) {
    std::string result(256, '\0');
    const int length = WideCharToMultiByte(CP_ACP, 0, text, -1, result.data(),
                                           static_cast<int>(result.size()), nullptr, nullptr);
    result.resize(static_cast<std::size_t>(length > 0 ? length : 0));
    return result;
}

// The A functions answer in the process code page and count their sizes in its bytes.
TEST_F(SimMachine, AnsiCallsAnswerInTheProcessCodePage) {
    use("[device]\ninstance = USB\\VID_C04A&PID_0C0B\\1\ndescription = Caf\xC3\xA9 \xE2\x82\xAC\n"
        "hardware_id = USB\\VID_C04A&PID_0C0B\xC3\xA9\nhardware_id = X\n");
    SP_DEVINFO_DATA data = entry("USB\\VID_C04A&PID_0C0B\\1");
    char buffer[64] = {};
    DWORD required = 0;
    DWORD type = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(held(), &data, SPDRP_DEVICEDESC, &type,
                                                  reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                                  &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(std::string(buffer, required), ansi(L"Caf\u00e9 \u20ac"));

    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(held(), &data, SPDRP_HARDWAREID, &type,
                                                  reinterpret_cast<BYTE*>(buffer), sizeof buffer,
                                                  &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::string(buffer, required),
              ansi(L"USB\\VID_C04A&PID_0C0B\u00e9") + ansi(L"X") + std::string(1, '\0'));
}

TEST_F(SimMachine, TheBusReportedDescriptionIsADeviceProperty) {
    SP_DEVINFO_DATA data = entry(kSerialA);
    DEVPROPTYPE type = 0;
    DWORD required = 0;
    const DWORD size = sizeof L"  Port A  ";
    EXPECT_FALSE(SetupDiGetDevicePropertyW(held(), &data, &kBusReportedDescription, &type, nullptr,
                                           0, &required, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, size);
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_STRING));

    wchar_t text[32];
    EXPECT_FALSE(SetupDiGetDevicePropertyW(held(), &data, &kBusReportedDescription, &type,
                                           reinterpret_cast<BYTE*>(text), size - 2, &required, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(SetupDiGetDevicePropertyW(held(), &data, &kBusReportedDescription, &type,
                                          reinterpret_cast<BYTE*>(text), sizeof text, &required,
                                          0));
    EXPECT_STREQ(text, L"  Port A  ");

    struct {
        const char* instance;
        DEVPROPKEY key;
        DWORD error;
    } failures[] = {
        {kKeyboard, kBusReportedDescription, ERROR_NOT_FOUND},
        {kSerialB, kBusReportedDescription, ERROR_ACCESS_DENIED},
        {kSerialA, {kBusReportedDescription.fmtid, 2}, ERROR_NOT_SUPPORTED},  // not modelled
    };
    for (const auto& c : failures) {
        SP_DEVINFO_DATA other = entry(c.instance);
        EXPECT_FALSE(SetupDiGetDevicePropertyW(
            held(), &other, &c.key, &type, reinterpret_cast<BYTE*>(text), sizeof text, nullptr, 0));
        EXPECT_EQ(GetLastError(), c.error) << c.instance;
    }
}

TEST_F(SimMachine, InstanceIdsComeWithTheirSizes) {
    SP_DEVINFO_DATA data = entry(kSerialA);
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(held(), &data, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, std::strlen(kSerialA) + 1);
    std::vector<char> id(required);
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(held(), &data, id.data(), required - 1, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdA(held(), &data, id.data(), required, nullptr));
    EXPECT_STREQ(id.data(), kSerialA);

    wchar_t wide[MAX_DEVICE_ID_LEN + 1];
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(held(), &data, wide, MAX_DEVICE_ID_LEN + 1, &required));
    EXPECT_EQ(required, std::strlen(kSerialA) + 1);
    EXPECT_EQ(wide[4], L'V');
}

// An unreadable instance ID: the device is listed and located, its ID cannot be read.
TEST_F(SimMachine, AnUnreadableInstanceIdFailsEverywhereItIsRead) {
    const char* const hidden = "USB\\VID_C04A&PID_0C07&MI_00\\8&55555555&0&0000";
    use(std::string("[device]\ninstance = ") + hidden + "\nunreadable = instance\n");
    unique_device_info_set set = list("USB");
    SP_DEVINFO_DATA data = empty_data();
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set.get(), 0, &data));
    char id[MAX_DEVICE_ID_LEN + 1];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof id, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_EQ(locate(hidden), data.DevInst);
    EXPECT_EQ(CM_Get_Device_IDA(data.DevInst, id, sizeof id, 0),
              static_cast<CONFIGRET>(CR_FAILURE));
    ULONG length = 0;
    EXPECT_EQ(CM_Get_Device_ID_Size(&length, data.DevInst, 0), static_cast<CONFIGRET>(CR_FAILURE));
}

TEST_F(SimMachine, DeviceIdsAnswerInConfigurationManagerTerms) {
    const DEVINST serial = locate(kSerialA);
    EXPECT_EQ(id_of(serial), kSerialA);
    ULONG length = 0;
    ASSERT_EQ(CM_Get_Device_ID_Size(&length, serial, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(length, std::strlen(kSerialA));

    std::vector<char> exact(length);  // no room for the terminator
    EXPECT_EQ(CM_Get_Device_IDA(serial, exact.data(), length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    char id[MAX_DEVICE_ID_LEN + 1];
    EXPECT_EQ(CM_Get_Device_IDA(serial, id, sizeof id, 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_Device_IDA(serial, nullptr, sizeof id, 0),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
    EXPECT_EQ(CM_Get_Device_IDA(0x7FFFFFF0, id, sizeof id, 0),
              static_cast<CONFIGRET>(CR_INVALID_DEVNODE));

    // A node named only as a parent has an ID too.
    DEVINST parent = 0;
    ASSERT_EQ(CM_Get_Parent(&parent, locate(kBoardInstance), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(parent), kController);

    // A device gone from the machine keeps its number but is no longer found.
    use("[device]\ninstance = USB\\VID_C04A&PID_0C0A\\OTHER\n");
    list("USB");
    EXPECT_EQ(CM_Get_Device_IDA(serial, id, sizeof id, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
}

TEST_F(SimMachine, LocatingFindsAbsentDevicesOnlyAsPhantoms) {
    DEVINST devinst = 0;
    EXPECT_EQ(CM_Locate_DevNodeA(&devinst, const_cast<char*>(kDataA), CM_LOCATE_DEVNODE_NORMAL),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeA(&devinst, const_cast<char*>(kDataA), CM_LOCATE_DEVNODE_PHANTOM),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(devinst), kDataA);
    EXPECT_EQ(CM_Locate_DevNodeA(&devinst, const_cast<char*>("USB\\NOBODY\\1"), 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Locate_DevNodeA(&devinst, const_cast<char*>(kSerialA), 0x100),
              static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Locate_DevNodeA(nullptr, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
}

// Children are the present devices naming a node as their parent, in the order of the file.
TEST_F(SimMachine, TheTreeIsWalkedThroughParentsChildrenAndSiblings) {
    const DEVINST board = locate(kBoardInstance);
    DEVINST node = 0;
    ASSERT_EQ(CM_Get_Child(&node, board, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(node), kSerialA);
    ASSERT_EQ(CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(node), kSerialB);
    EXPECT_EQ(CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

    ASSERT_EQ(CM_Get_Parent(&node, locate(kSerialA), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, board);
    ASSERT_EQ(CM_Get_Parent(&node, board, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    const DEVINST host = node;
    ASSERT_EQ(CM_Get_Child(&node, host, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, board);

    // Both the node named only as a parent and the device without one hang below the root.
    DEVINST root = 0;
    ASSERT_EQ(CM_Get_Parent(&root, host, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(root), "HTREE\\ROOT\\0");
    ASSERT_EQ(CM_Get_Parent(&node, locate(kKeyboard), 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(node, root);
    EXPECT_EQ(CM_Get_Parent(&node, root, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Child(&node, locate(kSerialA), 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Get_Parent(&node, locate(kSerialB), 0), static_cast<CONFIGRET>(CR_FAILURE));
    EXPECT_EQ(CM_Get_Parent(&node, board, 2), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_Parent(nullptr, board, 0), static_cast<CONFIGRET>(CR_INVALID_POINTER));
}

// What every Windows machine guarantees, so that no test passes on an answer Windows cannot give.
TEST_F(SimMachine, TheTreeHasARootAndPhantomsHaveNoPlaceInIt) {
    // No ID, or an empty one, is the root, for the configuration manager and for setupapi.
    const DEVINST root = locate(nullptr);
    EXPECT_EQ(locate(""), root);
    EXPECT_EQ(id_of(root), "HTREE\\ROOT\\0");
    unique_device_info_set set = list("USB");
    for (const wchar_t* id : {static_cast<const wchar_t*>(nullptr), L""}) {
        SP_DEVINFO_DATA data = empty_data();
        ASSERT_TRUE(SetupDiOpenDeviceInfoW(set.get(), id, nullptr, 0, &data)) << GetLastError();
        EXPECT_EQ(data.DevInst, root);
        EXPECT_EQ(instance_id(set.get(), data), "HTREE\\ROOT\\0");
    }
    // Walking down from the root: the controller named only as a parent, then the keyboard.
    DEVINST node = 0;
    ASSERT_EQ(CM_Get_Child(&node, root, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(node), kController);
    ASSERT_EQ(CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(id_of(node), kKeyboard);
    EXPECT_EQ(CM_Get_Sibling(&node, node, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

    // An absent device is found as a phantom but has neither parent, child nor sibling.
    const DEVINST phantom = locate(kDataA, CM_LOCATE_DEVNODE_PHANTOM);
    for (auto walk : {&CM_Get_Parent, &CM_Get_Child, &CM_Get_Sibling})
        EXPECT_EQ(walk(&node, phantom, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
}

TEST_F(SimMachine, DeviceIdsAreCutAndSizedAsTheSystemDoes) {
    const DEVINST serial = locate(kSerialA);
    char id[16];
    std::memset(id, '#', sizeof id);
    EXPECT_EQ(CM_Get_Device_IDA(serial, id, 10, 0), static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(std::string(id, 10), std::string(kSerialA, 10));  // what fits, no terminator
    EXPECT_EQ(id[10], '#');

    use("[device]\ninstance = USB\\VID_C04A&PID_0C0A\\OTHER\n");
    list("USB");
    ULONG length = 99;
    EXPECT_EQ(CM_Get_Device_ID_Size(&length, serial, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(length, 0u);
}

// The device-property keys of the description and the hardware IDs read what the registry
// properties read; a missing one comes typed DEVPROP_TYPE_EMPTY; one the machine does not model
// is journalled as such.
TEST_F(SimMachine, DevicePropertiesReadTheRegistryPropertiesData) {
    const GUID device_fmtid = {
        0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}};
    const DEVPROPKEY description_key = {device_fmtid, 2};
    const DEVPROPKEY hardware_ids_key = {device_fmtid, 3};
    struct {
        DEVPROPKEY key;
        DWORD registry_property;
        DEVPROPTYPE type;
    } cases[] = {
        {description_key, SPDRP_DEVICEDESC, DEVPROP_TYPE_STRING},
        {hardware_ids_key, SPDRP_HARDWAREID, DEVPROP_TYPE_STRING_LIST},
    };
    SP_DEVINFO_DATA data = entry(kBoardInstance);
    for (const auto& c : cases) {
        BYTE by_key[512] = {};
        BYTE by_property[512] = {};
        DWORD key_size = 0;
        DWORD property_size = 0;
        DEVPROPTYPE type = 0;
        ASSERT_TRUE(SetupDiGetDevicePropertyW(held(), &data, &c.key, &type, by_key, sizeof by_key,
                                              &key_size, 0));
        ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(held(), &data, c.registry_property, nullptr,
                                                      by_property, sizeof by_property,
                                                      &property_size));
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(std::vector<BYTE>(by_key, by_key + key_size),
                  std::vector<BYTE>(by_property, by_property + property_size));
    }

    SP_DEVINFO_DATA keyboard = entry(kKeyboard);
    DEVPROPTYPE type = 0xFFFF;
    BYTE buffer[64];
    EXPECT_FALSE(SetupDiGetDevicePropertyW(held(), &keyboard, &description_key, &type, buffer,
                                           sizeof buffer, nullptr, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(type, static_cast<DEVPROPTYPE>(DEVPROP_TYPE_EMPTY));

    forget_journal();
    const DEVPROPKEY location = {device_fmtid, 15};
    SetupDiGetDevicePropertyW(held(), &keyboard, &location, &type, buffer, sizeof buffer, nullptr,
                              0);
    SetupDiGetDeviceRegistryPropertyW(held(), &keyboard, SPDRP_MFG, nullptr, buffer, sizeof buffer,
                                      nullptr);
    EXPECT_EQ(journal(), (strings{"SetupDiGetDevicePropertyW\t" + std::string(kKeyboard) +
                                      "\t{A45C254E-DF1C-4EFD-8020-67D146A850E0} 15\tunmodelled",
                                  "SetupDiGetDeviceRegistryPropertyW\t" + std::string(kKeyboard) +
                                      "\t0xB\tunmodelled"}));
}

std::wstring query_version(HKEY key, LSTATUS& status) {
    wchar_t text[64] = {};
    DWORD size = sizeof text - sizeof(wchar_t);
    DWORD type = 0;
    status = RegQueryValueExW(key, L"DriverVersion", nullptr, &type, reinterpret_cast<BYTE*>(text),
                              &size);
    if (status == ERROR_SUCCESS && type != REG_SZ)
        return L"(not REG_SZ)";
    return text;
}

TEST_F(SimMachine, TheDriverKeyIsARealRegistryKey) {
    SP_DEVINFO_DATA data = entry(kSerialA);
    unique_hkey key(SetupDiOpenDevRegKey(held(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    ASSERT_TRUE(key) << GetLastError();
    LSTATUS status = 0;
    EXPECT_EQ(query_version(key.get(), status), L"10.0.22621.2");
    EXPECT_EQ(status, ERROR_SUCCESS);
    // Opened with the access asked for: reading, not writing.
    const wchar_t value[] = L"x";
    EXPECT_EQ(RegSetValueExW(key.get(), L"Other", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                             sizeof value),
              ERROR_ACCESS_DENIED);

    // A scenario without the version takes the value away.
    key.reset();
    use(std::string(kBoardScenario)
            .replace(std::string(kBoardScenario).find("driver_version = 10.0.22621.2"), 29, ""));
    data = entry(kSerialA);
    key.reset(SetupDiOpenDevRegKey(held(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_QUERY_VALUE));
    ASSERT_TRUE(key) << GetLastError();
    query_version(key.get(), status);
    EXPECT_EQ(status, ERROR_FILE_NOT_FOUND);
}

TEST_F(SimMachine, DriverKeysThatCannotBeOpenedOrRead) {
    struct {
        const char* instance;
        DWORD key_type;
        DWORD error;
    } cases[] = {
        {kKeyboard, DIREG_DRV, ERROR_KEY_DOES_NOT_EXIST},  // no driver
        {kSerialB, DIREG_DRV, ERROR_ACCESS_DENIED},        // unreadable driver
        {kSerialA, DIREG_DEV, ERROR_KEY_DOES_NOT_EXIST},   // hardware keys are not simulated
        {kSerialA, 7, ERROR_INVALID_FLAGS},
    };
    for (const auto& c : cases) {
        SP_DEVINFO_DATA data = entry(c.instance);
        HKEY key = SetupDiOpenDevRegKey(held(), &data, DICS_FLAG_GLOBAL, 0, c.key_type, KEY_READ);
        DWORD error = GetLastError();
        unique_hkey closed_if_opened(key);
        EXPECT_EQ(key, INVALID_HANDLE_VALUE) << c.instance;
        EXPECT_EQ(error, c.error) << c.instance;
    }

    use("[device]\ninstance = USB\\VID_C04A&PID_0C0B\\1\n"
        "driver = {4d36e978-e325-11ce-bfc1-08002be10318}\\9912\ndriver_version = 1.2.3.4\n"
        "unreadable = driver_version\n");
    SP_DEVINFO_DATA data = entry("USB\\VID_C04A&PID_0C0B\\1");
    for (REGSAM access : {static_cast<REGSAM>(KEY_READ), static_cast<REGSAM>(KEY_QUERY_VALUE),
                          static_cast<REGSAM>(MAXIMUM_ALLOWED)}) {
        unique_hkey key(
            SetupDiOpenDevRegKey(held(), &data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, access));
        ASSERT_TRUE(key) << GetLastError();
        LSTATUS status = 0;
        query_version(key.get(), status);
        EXPECT_EQ(status, ERROR_ACCESS_DENIED) << access;
    }
}

TEST_F(SimMachine, TheJournalTellsWhatWasAsked) {
    use("[device]\ninstance = USB\\VID_1234&PID_ABCD&MI_00\\6&1A2B3C4D&0&0000\n"
        "bus_description = Serial\n"
        "[device]\ninstance = USB\\VID_1234&PID_ABCD&MI_02\\6&1A2B3C4D&0&0002\n"
        "[device]\ninstance = USB\\VID_1234&PID_ABCD\\5&1\n");
    forget_journal();
    {
        unique_device_info_set set = list("USB");
        SP_DEVINFO_DATA data = empty_data();
        ASSERT_TRUE(SetupDiEnumDeviceInfo(set.get(), 0, &data));
        char id[MAX_DEVICE_ID_LEN + 1];
        ASSERT_EQ(CM_Get_Device_IDA(data.DevInst, id, sizeof id, 0),
                  static_cast<CONFIGRET>(CR_SUCCESS));
        DWORD required = 0;
        SetupDiGetDeviceRegistryPropertyW(set.get(), &data, SPDRP_HARDWAREID, nullptr, nullptr, 0,
                                          &required);
        wchar_t text[4];
        DEVPROPTYPE type = 0;
        SetupDiGetDevicePropertyW(set.get(), &data, &kBusReportedDescription, &type,
                                  reinterpret_cast<BYTE*>(text), sizeof text, &required, 0);
        DEVINST parent = 0;
        CM_Get_Parent(&parent, data.DevInst, 0);
        SetupDiEnumDeviceInfo(set.get(), 3, &data);
        EXPECT_EQ(CMP_WaitNoPendingInstallEvents(1000), static_cast<DWORD>(WAIT_OBJECT_0));
    }
    const std::string first = "USB\\VID_1234&PID_ABCD&MI_00\\6&1A2B3C4D&0&0000";
    EXPECT_EQ(journal(),
              (strings{
                  "SetupDiGetClassDevsA\tUSB\t0x6\tok 3",
                  "SetupDiEnumDeviceInfo\t0\tok " + first,
                  "CM_Get_Device_IDA\t" + first + "\t0x0\tCR_SUCCESS",
                  "SetupDiGetDeviceRegistryPropertyW\t" + first +
                      "\tSPDRP_HARDWAREID\tERROR_INVALID_DATA",
                  "SetupDiGetDevicePropertyW\t" + first +
                      "\tDEVPKEY_Device_BusReportedDeviceDesc\tERROR_INSUFFICIENT_BUFFER 14",
                  "CM_Get_Parent\t" + first + "\t0x0\tCR_SUCCESS HTREE\\ROOT\\0",
                  "SetupDiEnumDeviceInfo\t3\tERROR_NO_MORE_ITEMS",
                  "CMP_WaitNoPendingInstallEvents\t1000\tWAIT_OBJECT_0",
                  "SetupDiDestroyDeviceInfoList\tok",
              }));
}

TEST_F(SimMachine, ListingWaitsTheEnumerationDelay) {
    use("[machine]\nenumeration_delay_ms = 300\n[device]\ninstance = USB\\A\\1\n");
    const ULONGLONG start = GetTickCount64();
    unique_device_info_set set = list("USB");
    // A floor, not a speed goal: the listing must have been held open.
    EXPECT_GE(GetTickCount64() - start, 250u);
    EXPECT_EQ(ids_of(set.get()), strings{"USB\\A\\1"});
}

// Threads list, read and walk while the file keeps changing; the shared state must hold.
TEST_F(SimMachine, ThreadsShareTheMachineSafely) {
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                unique_device_info_set set = list(nullptr, DIGCF_ALLCLASSES);
                SP_DEVINFO_DATA data = empty_data();
                for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
                    BYTE buffer[512];
                    SetupDiGetDeviceRegistryPropertyW(set.get(), &data, SPDRP_HARDWAREID, nullptr,
                                                      buffer, sizeof buffer, nullptr);
                    DEVINST parent = 0;
                    CM_Get_Parent(&parent, data.DevInst, 0);
                    char id[MAX_DEVICE_ID_LEN + 1];
                    if (SetupDiGetDeviceInstanceIdA(set.get(), &data, id, sizeof id, nullptr) &&
                        id[0] != 'U' && id[0] != 'H')
                        ++failures;
                }
            }
        });
    }
    for (int round = 0; round < 40; ++round)
        use(round % 2 ? kBoardScenario : "[device]\ninstance = USB\\A\\1\n");
    stop = true;
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(failures, 0);
}

// What the test prefix does for this program: both DLL names, imported or loaded from the
// system folder, are the one simulation, and Wine's own DLLs still load beside it.
TEST_F(SimMachine, BothNamesLoadTheOneSimulation) {
    unique_module cfgmgr32(LoadLibraryExA("Cfgmgr32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(cfgmgr32) << GetLastError();
    auto locate_dynamic = reinterpret_cast<decltype(&CM_Locate_DevNodeA)>(
        reinterpret_cast<void*>(GetProcAddress(cfgmgr32.get(), "CM_Locate_DevNodeA")));
    ASSERT_NE(locate_dynamic, nullptr);
    DEVINST devinst = 0;
    ASSERT_EQ(locate_dynamic(&devinst, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(devinst, locate(kSerialA));

    HMODULE setupapi = GetModuleHandleA("setupapi.dll");
    ASSERT_NE(setupapi, nullptr);
    EXPECT_EQ(reinterpret_cast<void*>(locate_dynamic),
              reinterpret_cast<void*>(GetProcAddress(setupapi, "CM_Locate_DevNodeA")));
}

TEST_F(SimMachine, WinesOwnDllsLoadBesideTheSimulation) {
    for (const char* name :
         {"user32.dll", "gdi32.dll", "comctl32.dll", "shell32.dll", "advapi32.dll", "version.dll",
          "ole32.dll", "newdev.dll", "wintrust.dll", "crypt32.dll"}) {
        unique_module module(LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
        EXPECT_TRUE(module) << name << ": error " << GetLastError();
    }
    // user32 asks setupapi for the monitors; the simulated machine has none.
    forget_journal();
    UINT32 paths = 16;
    UINT32 modes = 16;
    DISPLAYCONFIG_PATH_INFO path_info[16];
    DISPLAYCONFIG_MODE_INFO mode_info[16];
    QueryDisplayConfig(QDC_ALL_PATHS, &paths, path_info, &modes, mode_info, nullptr);
    const strings lines = journal();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0].rfind("SetupDiGetClassDevsW\tDISPLAY\t", 0), 0u) << lines[0];
}

}  // namespace

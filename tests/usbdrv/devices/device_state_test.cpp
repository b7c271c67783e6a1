// usbdrv_get_device_state and usbdrv_installation_running on the simulated machine: what a program
// reads of a device after the machine's driver update bound it (or did not), and the bad input.
#include <windows.h>
#include <newdev.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace {

using test::scenario_of;

const char* const kSerial = "USB\\VID_C04A&PID_0C0D&MI_00\\7&D0D&0&0000";
const wchar_t* const kSerialHardwareId = L"USB\\VID_C04A&PID_0C0D&MI_00";
// Known to the system from an earlier plugging in, bound then, unplugged now.
const char* const kUnplugged = "USB\\VID_C04A&PID_0C0D&MI_02\\7&E0E&0&0002";
// Bound, but its service cannot be read.
const char* const kUnreadable = "USB\\VID_C04A&PID_0C0D&MI_04\\7&D0D&0&0004";

const std::string kBoard = scenario_of({
    {"USB\\VID_C04A&PID_0C0D\\CRV0000D", "service = usbccgp\n"},
    {kSerial,
     "parent = USB\\VID_C04A&PID_0C0D\\CRV0000D\n"
     "hardware_id = USB\\VID_C04A&PID_0C0D&MI_00\n"
     "compatible_id = USB\\Class_02\n"},
    {kUnplugged, "present = no\nservice = usbser\nhardware_id = USB\\VID_C04A&PID_0C0D&MI_02\n"},
    {kUnreadable,
     "parent = USB\\VID_C04A&PID_0C0D\\CRV0000D\nservice = usbser\nunreadable = service\n"},
});

// What the machine's driver update takes from an INF: its version and service.
const char* const kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n"
    "DriverVer=12/10/2026,1.0.0.0\r\n"
    "[Serial.NT.Services]\r\nAddService=usbser, 0x00000002, Serial_Service\r\n";

// The machine state below HKEY_CURRENT_USER that an installation would have left on kSerial
// (tests/sim/README.md, "The machine's state"), for what no installation gives: a port name of
// any length.
class written_state {
public:
    explicit written_state(const std::vector<std::string>& entries) {
        SetEnvironmentVariableW(L"CORVANE_SIM_STATE", kName);
        std::wstring data;
        for (const std::string& entry : entries)
            data += test::from_utf8(entry).wstring() + L'\0';
        data += L'\0';
        unique_hkey key;
        RegCreateKeyExW(HKEY_CURRENT_USER, devices_key().c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, key.put(), nullptr);
        std::string instance = kSerial;
        for (char& c : instance)
            c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(RegSetValueExW(key.get(), test::from_utf8(instance).c_str(), 0, REG_MULTI_SZ,
                                 reinterpret_cast<const BYTE*>(data.data()),
                                 static_cast<DWORD>(data.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    ~written_state() {
        RegDeleteTreeW(HKEY_CURRENT_USER,
                       (L"Software\\Corvane\\Simulation\\" + std::wstring(kName)).c_str());
        SetEnvironmentVariableW(L"CORVANE_SIM_STATE", nullptr);
    }
    written_state(const written_state&) = delete;
    written_state& operator=(const written_state&) = delete;

private:
    static constexpr const wchar_t* kName = L"device state test";
    static std::wstring devices_key() {
        return L"Software\\Corvane\\Simulation\\" + std::wstring(kName) + L"\\Devices";
    }
};

struct answer {
    usbdrv_result result = USBDRV_OK;
    usbdrv_device_state state = {};
    std::string log;
};

answer state_of(const char* instance) {
    answer a;
    // Anything left in the record would show: the call clears it first.
    memset(&a.state, 0x5A, sizeof a.state);
    test::log_capture log;
    a.result = usbdrv_get_device_state(instance, &a.state);
    a.log = log.text();
    return a;
}

class DeviceState : public testing::Test {
protected:
    void SetUp() override {
        // The driver update writes its setup log and driver store below WINDIR: the test's own.
        GetEnvironmentVariableW(L"WINDIR", windows_, MAX_PATH);
        SetEnvironmentVariableW(L"WINDIR", dir_.path().c_str());
        std::ofstream(dir_.path() / "serial.inf", std::ios::binary) << kInf;
    }
    void TearDown() override { SetEnvironmentVariableW(L"WINDIR", windows_); }

    // The machine's driver update for kSerial, as the installer helper calls it.
    void update() {
        BOOL reboot = FALSE;
        UpdateDriverForPlugAndPlayDevicesW(nullptr, kSerialHardwareId,
                                           (dir_.path() / "serial.inf").c_str(), INSTALLFLAG_FORCE,
                                           &reboot);
    }

    wchar_t windows_[MAX_PATH] = {};
    test::temp_dir dir_;
};

TEST_F(DeviceState, WhatTheSystemKnowsOfADevice) {
    const std::string port_63(63, 'P');
    const struct {
        const char* what;
        std::string machine;
        bool updated;                      // the driver update ran for kSerial first
        std::vector<std::string> written;  // or this state was written for it
        const char* instance;
        usbdrv_result result;
        int present, needs_restart;
        std::string service, port;
        const char* logged;  // in the log; null: nothing at warning or above
    } rows[] = {
        {"connected, no driver yet", kBoard, false, {}, kSerial, USBDRV_OK, 1, 0, "", "", nullptr},
        {"bound by the update: the serial driver and its port",
         kBoard,
         true,
         {},
         kSerial,
         USBDRV_OK,
         1,
         0,
         "usbser",
         "COM3",
         nullptr},
        {"bound by an update that answered 3010: waits for the restart",
         kBoard + "\n[install]\nupdate = 3010\n",
         true,
         {},
         kSerial,
         USBDRV_OK,
         1,
         1,
         "usbser",
         "COM3",
         nullptr},
        {"known from an earlier plugging in, unplugged now",
         kBoard,
         false,
         {},
         kUnplugged,
         USBDRV_OK,
         0,
         0,
         "usbser",
         "",
         nullptr},
        {"unknown to the system",
         kBoard,
         false,
         {},
         "USB\\VID_C04A&PID_0C0D&MI_00\\7&F0F&0&0000",
         USBDRV_ERR_NO_DEVICE,
         0,
         0,
         "",
         "",
         "knows no device"},
        {"the longest port name the record holds",
         kBoard,
         false,
         {"service=usbser", "port_name=" + port_63},
         kSerial,
         USBDRV_OK,
         1,
         0,
         "usbser",
         port_63,
         nullptr},
        {"a port name one character longer: left out, never cut",
         kBoard,
         false,
         {"service=usbser", "port_name=" + port_63 + "Q"},
         kSerial,
         USBDRV_OK,
         1,
         0,
         "usbser",
         "",
         "port name of device"},
        {"a service that cannot be read: the rest is still read",
         kBoard,
         false,
         {},
         kUnreadable,
         USBDRV_ERR_IO,
         1,
         0,
         "",
         "",
         "could not read the service"},
        {"a node status that cannot be read (CR_FAILURE)",
         kBoard + "\n[install]\nstatus = 19\n",
         false,
         {"service=usbser", "port_name=COM9"},
         kSerial,
         USBDRV_ERR_IO,
         0,
         0,
         "usbser",
         "COM9",
         "node status"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::simulated_machine machine(r.machine);
        std::unique_ptr<written_state> written;
        if (!r.written.empty())
            written = std::make_unique<written_state>(r.written);
        if (r.updated)
            update();
        answer a = state_of(r.instance);
        EXPECT_EQ(a.result, r.result) << a.log;
        EXPECT_EQ(a.state.present, r.present);
        EXPECT_EQ(a.state.needs_restart, r.needs_restart);
        EXPECT_EQ(a.state.service, r.service);
        EXPECT_EQ(a.state.port_name, r.port);
        if (r.logged) {
            EXPECT_NE(a.log.find(r.logged), std::string::npos) << a.log;
            EXPECT_NE(a.log.find("[usbdrv_get_device_state]"), std::string::npos) << a.log;
        } else {
            EXPECT_EQ(a.log, "");
        }
    }
}

// The driver key's InfPath: the store's name of the package a device's driver came from.
TEST_F(DeviceState, NamesThePackageItsDriverCameFrom) {
    const char* const kOther = "USB\\VID_C04A&PID_0C0D&MI_06\\7&D0D&0&0006";
    const std::string other_maker = scenario_of({
        {kOther,
         "parent = USB\\VID_C04A&PID_0C0D\\CRV0000D\nservice = vendorser\n"
         "driver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0007\ninf = oem42.inf\n"},
    });
    const std::string driver = "driver={4d36e978-e325-11ce-bfc1-08002be10318}\\2345";
    const std::string inf_63 = std::string(59, 'n') + ".inf";
    const struct {
        const char* what;
        bool updated;
        std::vector<std::string> written;
        const char* instance;
        std::string inf;
        const char* logged;
    } rows[] = {
        {"no driver yet", false, {}, kSerial, "", nullptr},
        {"bound by the update: the store's name of its INF",
         true,
         {},
         kSerial,
         "oem0.inf",
         nullptr},
        {"another maker's package", false, {}, kOther, "oem42.inf", nullptr},
        {"a driver key without InfPath", false, {"service=usbser", driver}, kSerial, "", nullptr},
        {"the longest name the record holds",
         false,
         {driver, "inf_name=" + inf_63},
         kSerial,
         inf_63,
         nullptr},
        {"one character longer: left out, never cut",
         false,
         {driver, "inf_name=x" + inf_63},
         kSerial,
         "",
         "INF name of device"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::simulated_machine machine(kBoard + other_maker);
        std::unique_ptr<written_state> written;
        if (!r.written.empty())
            written = std::make_unique<written_state>(r.written);
        if (r.updated)
            update();
        answer a = state_of(r.instance);
        EXPECT_EQ(a.result, USBDRV_OK) << a.log;
        EXPECT_EQ(a.state.inf_name, r.inf);
        if (r.logged)
            EXPECT_NE(a.log.find(r.logged), std::string::npos) << a.log;
        else
            EXPECT_EQ(a.log, "");
    }
}

TEST_F(DeviceState, BadArgumentsAreRefusedAndLogged) {
    test::simulated_machine machine(kBoard);
    const std::string longest = "USB\\VID_C04A&PID_0C0D\\" + std::string(199 - 22, 'X');
    const std::string too_long = longest + "X";
    ASSERT_EQ(longest.size(), 199u);
    const struct {
        const char* what;
        const char* instance;
        usbdrv_result result;
    } rows[] = {
        {"no ID", nullptr, USBDRV_ERR_INVALID_PARAM},
        // An empty ID would name the root of the device tree.
        {"an empty ID", "", USBDRV_ERR_INVALID_PARAM},
        {"longer than a device instance ID", too_long.c_str(), USBDRV_ERR_INVALID_PARAM},
        {"the longest ID, of no device", longest.c_str(), USBDRV_ERR_NO_DEVICE},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        answer a = state_of(r.instance);
        EXPECT_EQ(a.result, r.result);
        usbdrv_device_state cleared = {};
        EXPECT_EQ(memcmp(&a.state, &cleared, sizeof cleared), 0);
        EXPECT_NE(a.log.find("usbdrv:error [usbdrv_get_device_state]"), std::string::npos) << a.log;
    }
    test::log_capture log;
    EXPECT_EQ(usbdrv_get_device_state(kSerial, nullptr), USBDRV_ERR_INVALID_PARAM);
    EXPECT_NE(log.text().find("usbdrv:error [usbdrv_get_device_state]"), std::string::npos);
}

// The machine-wide marker an installation and its helper hold (the installation tests run alone
// with this program, so nothing else holds it meanwhile).
TEST(InstallationRunning, WhileTheInstallationsMarkerIsHeld) {
    EXPECT_EQ(usbdrv_installation_running(), 0);
    {
        unique_mutex held(CreateMutexA(nullptr, TRUE, "Global\\install_driver_internal"));
        ASSERT_TRUE(held);
        EXPECT_EQ(usbdrv_installation_running(), 1);
    }
    EXPECT_EQ(usbdrv_installation_running(), 0);
    // The markers of other calls are not an installation's.
    unique_mutex listing(CreateMutexA(nullptr, TRUE, "Global\\usbdrv_create_list"));
    EXPECT_EQ(usbdrv_installation_running(), 0);
}

}  // namespace

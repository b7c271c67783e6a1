// usbdrv_uninstall_device, usbdrv_delete_driver_package and usbdrv_rescan_devices on the simulated
// machine: a device bound by the machine's driver update is taken off its driver and found again,
// a package goes from the driver store or stays, and each failure the machine can give.
#include <windows.h>
#include <newdev.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"

namespace {

using strings = std::vector<std::string>;

const char* const kSerial = "USB\\VID_C04A&PID_0C0D&MI_00\\7&D0D&0&0000";
const wchar_t* const kSerialHardwareId = L"USB\\VID_C04A&PID_0C0D&MI_00";
// Known to the system from an earlier plugging in, bound then, unplugged now.
const char* const kUnplugged = "USB\\VID_C04A&PID_0C0D&MI_02\\7&E0E&0&0002";

const std::string kBoard = test::scenario_of({
    {"USB\\VID_C04A&PID_0C0D\\CRV0000D", "service = usbccgp\n"},
    {kSerial,
     "parent = USB\\VID_C04A&PID_0C0D\\CRV0000D\n"
     "hardware_id = USB\\VID_C04A&PID_0C0D&MI_00\n"},
    {kUnplugged, "present = no\nservice = usbser\nhardware_id = USB\\VID_C04A&PID_0C0D&MI_02\n"},
});

const char* const kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\n"
    "DriverVer=12/10/2026,1.0.0.0\r\n"
    "[Serial.NT.Services]\r\nAddService=usbser, 0x00000002, Serial_Service\r\n";

struct answer {
    usbdrv_result result = USBDRV_OK;
    std::string log;
};

// The machine's driver store is the test's own (%WINDIR%), so that the first package is
// oem0.inf and nothing of other programs is deleted; the journal says what the library asked.
class DriverRemoval : public testing::Test {
protected:
    void SetUp() override {
        GetEnvironmentVariableW(L"WINDIR", windows_, MAX_PATH);
        SetEnvironmentVariableW(L"WINDIR", dir_.path().c_str());
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal().c_str());
        std::ofstream(dir_.path() / "serial.inf", std::ios::binary) << kInf;
        use("");
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr);
        SetEnvironmentVariableW(L"WINDIR", windows_);
    }

    void use(const std::string& sections) {
        machine_.set(kBoard + "[install]\nduration_ms = 0\n" + sections);
        SetEnvironmentVariableA("CORVANE_SCENARIO", machine_.path().c_str());
    }
    // The machine's driver update binds kSerial to serial.inf, stored as oem0.inf.
    void bind() {
        ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kSerialHardwareId,
                                                       (dir_.path() / "serial.inf").c_str(),
                                                       INSTALLFLAG_FORCE, nullptr))
            << GetLastError();
        ASSERT_TRUE(std::filesystem::exists(stored()));
    }
    std::filesystem::path stored() const { return dir_.path() / "inf" / "oem0.inf"; }
    std::filesystem::path journal() const { return dir_.path() / "journal.txt"; }
    std::vector<strings> calls(const char* function) const {
        return test::journal_calls(journal(), function);
    }

    static answer uninstall(const char* instance, int32_t* needs_restart = nullptr) {
        test::log_capture log;
        answer a;
        a.result = usbdrv_uninstall_device(instance, needs_restart);
        a.log = log.text();
        return a;
    }
    static answer delete_package(const char* name) {
        test::log_capture log;
        answer a;
        a.result = usbdrv_delete_driver_package(name);
        a.log = log.text();
        return a;
    }
    static answer rescan() {
        test::log_capture log;
        answer a;
        a.result = usbdrv_rescan_devices();
        a.log = log.text();
        return a;
    }
    static usbdrv_device_state state_of(const char* instance, usbdrv_result expected) {
        usbdrv_device_state state = {};
        test::log_capture log;
        EXPECT_EQ(usbdrv_get_device_state(instance, &state), expected) << log.text();
        return state;
    }

    wchar_t windows_[MAX_PATH] = {};
    test::temp_dir dir_;
    test::simulated_machine machine_;
};

// The console program's uninstall: the driver off the device, the package out of the store,
// the tree scanned again; the device is then as on a machine that never had the package.
TEST_F(DriverRemoval, TheDeviceComesBackWithoutThePackage) {
    bind();
    usbdrv_device_state bound = state_of(kSerial, USBDRV_OK);
    EXPECT_STREQ(bound.service, "usbser");
    EXPECT_STREQ(bound.inf_name, "oem0.inf");

    // Bound, the package stays.
    answer busy = delete_package("oem0.inf");
    EXPECT_EQ(busy.result, USBDRV_ERR_BUSY);
    EXPECT_NE(busy.log.find("in use by devices"), std::string::npos) << busy.log;
    EXPECT_TRUE(std::filesystem::exists(stored()));

    int32_t restart = -1;
    answer removed = uninstall(kSerial, &restart);
    EXPECT_EQ(removed.result, USBDRV_OK) << removed.log;
    EXPECT_EQ(restart, 0);
    EXPECT_EQ(calls("DiUninstallDevice"), (std::vector<strings>{{kSerial, "0x0", "ok"}}));
    // The node is gone until the tree is scanned again.
    state_of(kSerial, USBDRV_ERR_NO_DEVICE);

    answer deleted = delete_package("oem0.inf");
    EXPECT_EQ(deleted.result, USBDRV_OK) << deleted.log;
    EXPECT_FALSE(std::filesystem::exists(stored()));
    EXPECT_EQ(calls("SetupUninstallOEMInfW"),
              (std::vector<strings>{{"oem0.inf", "0x0", "ERROR_INF_IN_USE_BY_DEVICES"},
                                    {"oem0.inf", "0x0", "ok"}}));

    answer scanned = rescan();
    EXPECT_EQ(scanned.result, USBDRV_OK) << scanned.log;
    EXPECT_EQ(calls("CM_Reenumerate_DevNode").back(),
              (strings{"HTREE\\ROOT\\0", "0x3", "CR_SUCCESS 1 devices found"}));
    usbdrv_device_state back = state_of(kSerial, USBDRV_OK);
    EXPECT_EQ(back.present, 1);
    EXPECT_STREQ(back.service, "");
    EXPECT_STREQ(back.port_name, "");
    EXPECT_STREQ(back.inf_name, "");
}

// While the store still holds the package, the scan binds the device to it again.
TEST_F(DriverRemoval, AScanBindsTheDeviceToThePackageTheStoreStillHolds) {
    bind();
    ASSERT_EQ(uninstall(kSerial).result, USBDRV_OK);
    ASSERT_EQ(rescan().result, USBDRV_OK);
    usbdrv_device_state back = state_of(kSerial, USBDRV_OK);
    EXPECT_STREQ(back.service, "usbser");
    EXPECT_STREQ(back.inf_name, "oem0.inf");
}

TEST_F(DriverRemoval, UninstallOutcomes) {
    const struct {
        const char* what;
        const char* instance;
        const char* sections;
        usbdrv_result result;
        int32_t needs_restart;
        const char* logged;
    } rows[] = {
        {"connected and bound", kSerial, "", USBDRV_OK, 0, "uninstalled device"},
        {"unplugged, known to the system", kUnplugged, "", USBDRV_OK, 0, "uninstalled device"},
        {"a restart finishes it", kSerial, "[uninstall]\ndevice = 3010\n", USBDRV_OK, 1,
         "Windows must be restarted"},
        {"unknown to the system", "USB\\VID_C04A&PID_0C0D&MI_00\\7&F0F&0&0000", "",
         USBDRV_ERR_NO_DEVICE, 0, "knows no device"},
        {"refused to this user", kSerial, "[uninstall]\ndevice = 5\n", USBDRV_ERR_NEEDS_ADMIN, 0,
         "[#00000005]"},
        {"any other failure", kSerial, "[uninstall]\ndevice = 0xE0000219\n", USBDRV_ERR_OTHER, 0,
         "[#E0000219]"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        test::simulated_machine fresh;  // nothing uninstalled yet
        fresh.set(kBoard + "[install]\nduration_ms = 0\n" + r.sections);
        bind();
        int32_t restart = -1;
        answer a = uninstall(r.instance, &restart);
        EXPECT_EQ(a.result, r.result) << a.log;
        EXPECT_EQ(restart, r.needs_restart);
        EXPECT_NE(a.log.find(r.logged), std::string::npos) << a.log;
        EXPECT_NE(a.log.find("[usbdrv_uninstall_device]"), std::string::npos) << a.log;
        if (r.result != USBDRV_OK && r.result != USBDRV_ERR_NO_DEVICE) {
            // A failure names the device, and the device keeps its driver.
            EXPECT_NE(a.log.find(r.instance), std::string::npos) << a.log;
            EXPECT_STREQ(state_of(kSerial, USBDRV_OK).service, "usbser");
        }
    }
    // A null restart flag is allowed.
    use("");
    bind();
    EXPECT_EQ(uninstall(kSerial, nullptr).result, USBDRV_OK);
}

TEST_F(DriverRemoval, DeletePackageOutcomes) {
    bind();
    const std::string longest_path(MAX_PATH - 4, 'p');
    const std::string too_long = longest_path + "q.inf";
    const struct {
        const char* what;
        const char* name;
        const char* sections;
        usbdrv_result result;
        const char* logged;
        bool asked;  // the system was asked
    } rows[] = {
        {"no name", nullptr, "", USBDRV_ERR_INVALID_PARAM, "no package name", false},
        {"an empty name", "", "", USBDRV_ERR_INVALID_PARAM, "no package name", false},
        {"a full path", "C:\\windows\\inf\\oem0.inf", "", USBDRV_ERR_INVALID_PARAM,
         "without a path", false},
        {"a relative path", "..\\oem0.inf", "", USBDRV_ERR_INVALID_PARAM, "without a path", false},
        {"a slash", "inf/oem0.inf", "", USBDRV_ERR_INVALID_PARAM, "without a path", false},
        {"a drive", "C:oem0.inf", "", USBDRV_ERR_INVALID_PARAM, "without a path", false},
        {"another file of the store", "oem0.pnf", "", USBDRV_ERR_INVALID_PARAM, "ending in", false},
        {"only the extension", ".inf", "", USBDRV_ERR_INVALID_PARAM, "ending in", false},
        {"longer than MAX_PATH", too_long.c_str(), "", USBDRV_ERR_INVALID_PARAM, "at most 260",
         false},
        {"not in the store", "oem7.inf", "", USBDRV_ERR_NOT_FOUND, "[#00000002]", true},
        {"in use by the bound device", "OEM0.INF", "", USBDRV_ERR_BUSY, "[#E000023D]", true},
        {"refused to this user", "oem0.inf", "[uninstall]\npackage = 5\n", USBDRV_ERR_NEEDS_ADMIN,
         "[#00000005]", true},
        {"any other failure", "oem0.inf", "[uninstall]\npackage = 32\n", USBDRV_ERR_OTHER,
         "[#00000020]", true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        use(r.sections);
        DeleteFileW(journal().c_str());
        answer a = delete_package(r.name);
        EXPECT_EQ(a.result, r.result) << a.log;
        EXPECT_NE(a.log.find("usbdrv:error [usbdrv_delete_driver_package]"), std::string::npos)
            << a.log;
        EXPECT_NE(a.log.find(r.logged), std::string::npos) << a.log;
        EXPECT_EQ(calls("SetupUninstallOEMInfW").size(), r.asked ? 1u : 0u);
        EXPECT_TRUE(std::filesystem::exists(stored()));
    }
}

TEST_F(DriverRemoval, RescanOutcomes) {
    const struct {
        const char* sections;
        usbdrv_result result;
        const char* logged;
    } rows[] = {
        {"", USBDRV_OK, "scanned the device tree again"},
        {"[install]\nlocate = 13\n", USBDRV_ERR_OTHER, "root of the device tree: CR error 13"},
        {"[install]\nreenumerate = 19\n", USBDRV_ERR_OTHER, "scan the device tree: CR error 19"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.sections);
        use(r.sections);
        answer a = rescan();
        EXPECT_EQ(a.result, r.result) << a.log;
        EXPECT_NE(a.log.find(r.logged), std::string::npos) << a.log;
        EXPECT_NE(a.log.find("[usbdrv_rescan_devices]"), std::string::npos) << a.log;
    }
}

TEST_F(DriverRemoval, BadInstanceIdsAreRefusedBeforeTheSystemIsAsked) {
    const std::string too_long = "USB\\VID_C04A&PID_0C0D\\" + std::string(200 - 22, 'X');
    for (const char* id : {static_cast<const char*>(nullptr), "", too_long.c_str()}) {
        int32_t restart = -1;
        answer a = uninstall(id, &restart);
        EXPECT_EQ(a.result, USBDRV_ERR_INVALID_PARAM);
        EXPECT_EQ(restart, 0);
        EXPECT_NE(a.log.find("usbdrv:error [usbdrv_uninstall_device]"), std::string::npos) << a.log;
    }
    EXPECT_TRUE(calls("DiUninstallDevice").empty());
}

}  // namespace

// The install side of the simulated machine as the installer helper meets it: the driver update
// (newdev.dll), the INF copy, the property write and the configuration-manager calls
// (setupapi.dll, cfgmgr32.dll), the setup log they write, the state they leave for every other
// process of the prefix, the device uninstall and the driver store's package removal, and the
// local group-policy object (gpedit.dll, through COM).
#include <windows.h>
#include <cfgmgr32.h>
#include <gpedit.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "simulated_machine.h"
#include "test_support.h"
#include "win/handles.h"

namespace {

using strings = std::vector<std::string>;

// CONFIGFLAG_REINSTALL of the driver kit's regstr.h: install the device again when it returns.
constexpr DWORD kConfigFlagReinstall = 0x20;

SP_DEVINFO_DATA device_data() {
    SP_DEVINFO_DATA data = {};
    data.cbSize = sizeof data;
    return data;
}

const char* const kSerialA = "USB\\VID_C04A&PID_0C0E&MI_00\\7&3A4B5C6&0&0000";
const char* const kSerialB = "USB\\VID_C04A&PID_0C0E&MI_02\\7&3A4B5C6&0&0002";
const char* const kGone = "USB\\VID_C04A&PID_0C0E&MI_00\\7&99999999&0&0000";
const wchar_t* const kHardwareId = L"USB\\VID_C04A&PID_0C0E&MI_00";
const wchar_t* const kSecondHardwareId = L"USB\\VID_C04A&PID_0C0E&MI_02";

// Two serial functions of one board, and an earlier board with the first one's hardware ID that
// is unplugged now.
const std::string kBoard = test::scenario_of({
    {"USB\\VID_C04A&PID_0C0E\\CRV00002", "service = usbccgp\n"},
    {kSerialA,
     "parent = USB\\VID_C04A&PID_0C0E\\CRV00002\n"
     "hardware_id = USB\\VID_C04A&PID_0C0E&REV_0100&MI_00\n"
     "hardware_id = USB\\VID_C04A&PID_0C0E&MI_00\n"},
    {kSerialB,
     "parent = USB\\VID_C04A&PID_0C0E\\CRV00002\n"
     "hardware_id = USB\\VID_C04A&PID_0C0E&MI_02\n"},
    {kGone, "present = no\nhardware_id = USB\\VID_C04A&PID_0C0E&MI_00\n"},
});

const char* const kInf =
    "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Ports\r\nProvider=%Maker%\r\n"
    "DriverVer=12/10/2026,6.1.7600.16385\r\n"
    "[Serial.NT.Services]\r\nAddService=usbser, 0x00000002, Serial_Service\r\n"
    "[Strings]\r\nMaker=\"Corvane, Ltd.\"\r\n";

class InstallSide : public testing::Test {
protected:
    void SetUp() override {
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal_path().c_str());
        use("");
        std::ofstream(inf_path(), std::ios::binary) << kInf;
    }
    void TearDown() override { SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr); }

    // The board with the given service sections, in force for this process again.
    void use(const std::string& sections) {
        machine_.set(kBoard + sections);
        SetEnvironmentVariableA("CORVANE_SCENARIO", machine_.path().c_str());
    }

    std::filesystem::path journal_path() const { return dir_.path() / "journal.txt"; }
    std::filesystem::path inf_path() const { return dir_.path() / "corvane.inf"; }
    std::vector<strings> calls(const char* function) const {
        return test::journal_calls(journal_path(), function);
    }
    void forget_journal() { DeleteFileW(journal_path().c_str()); }

    // What a second process of the prefix reads of a device: "service=... version=... port=...".
    static std::string seen_elsewhere(const char* instance) {
        test::temp_dir out_dir;
        const std::filesystem::path out = out_dir.path() / "probe.txt";
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        unique_file_handle file(CreateFileW(out.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        child_process_guard child;
        if (!test::start_program(test::beside_me("sim_probe.exe"),
                                 L"\"" + test::from_utf8(instance).wstring() + L"\"", file.get(),
                                 child) ||
            !child.wait(30000))
            return "(probe did not run)";
        file.reset();
        std::ifstream in(out);
        std::string line;
        std::getline(in, line);
        return line;
    }

    static BOOL update(const wchar_t* hardware_id, const std::wstring& inf,
                       BOOL* reboot = nullptr) {
        return UpdateDriverForPlugAndPlayDevicesW(nullptr, hardware_id, inf.c_str(),
                                                  INSTALLFLAG_FORCE, reboot);
    }

    test::temp_dir dir_;
    test::simulated_machine machine_;
};

// Each outcome a scenario gives the update: what the caller sees, the journal's line, and
// whether the devices are bound afterwards, as another process sees them.
TEST_F(InstallSide, DriverUpdateOutcomes) {
    struct {
        const char* sections;
        BOOL returned;
        DWORD error;
        const char* outcome;  // the journal's, up to the INF name
        bool bound;
    } cases[] = {
        {"", TRUE, ERROR_SUCCESS, "ok oem", true},
        {"[install]\nupdate = 3010\n", FALSE, 3010, "error 0xBC2 (scenario) oem", true},
        {"[install]\nupdate = 0x240006\n", FALSE, 0x240006, "error 0x240006 (scenario) oem", true},
        {"[install]\nupdate = 0xE000020B\n", FALSE, 0xE000020B, "ERROR_NO_SUCH_DEVINST (scenario)",
         false},
        {"[install]\nupdate = 0xE0000235\n", FALSE, 0xE0000235, "error 0xE0000235 (scenario)",
         false},
        {"[install]\nupdate = 0xE000022F\n", FALSE, 0xE000022F, "error 0xE000022F (scenario)",
         false},
        {"[install]\nupdate = 122\n", FALSE, 122, "ERROR_INSUFFICIENT_BUFFER (scenario)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sections);
        test::simulated_machine fresh;  // a new file: a machine nothing was installed on
        fresh.set(kBoard + c.sections + "[install]\nduration_ms = 0\n");
        forget_journal();
        SetLastError(0);
        EXPECT_EQ(update(kHardwareId, inf_path().wstring()), c.returned);
        EXPECT_EQ(GetLastError(), c.error);
        const std::vector<strings> lines = calls("UpdateDriverForPlugAndPlayDevicesW");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0][0], "USB\\VID_C04A&PID_0C0E&MI_00");
        EXPECT_EQ(lines[0][1], test::utf8(inf_path()));
        EXPECT_EQ(lines[0][2], "0x1");
        EXPECT_EQ(lines[0][3].rfind(c.outcome, 0), 0u) << lines[0][3];
        if (c.bound) {
            EXPECT_EQ(seen_elsewhere(kSerialA), "service=usbser version=6.1.7600.16385 port=COM3");
        } else {
            EXPECT_EQ(seen_elsewhere(kSerialA), "service=- version=- port=-");
        }
        EXPECT_EQ(seen_elsewhere(kSerialB), "service=- version=- port=-");  // another ID
    }
}

// Without a scenario key the update answers what Windows answers.
TEST_F(InstallSide, DriverUpdateFailsAsWindowsDoes) {
    struct {
        const wchar_t* hardware_id;
        std::wstring inf;
        DWORD error;
    } cases[] = {
        {L"USB\\VID_C04A&PID_0C0F&MI_00", inf_path().wstring(), ERROR_NO_SUCH_DEVINST},
        // Only the unplugged board has it.
        {L"USB\\VID_C04A&PID_0C0E&MI_00&ONLY_GONE", inf_path().wstring(), ERROR_NO_SUCH_DEVINST},
        {kHardwareId, (dir_.path() / "missing.inf").wstring(), ERROR_FILE_NOT_FOUND},
        {nullptr, inf_path().wstring(), ERROR_INVALID_PARAMETER},
        {kHardwareId, L"", ERROR_INVALID_PARAMETER},
    };
    use("[install]\nduration_ms = 0\n");
    for (const auto& c : cases) {
        SetLastError(0);
        EXPECT_FALSE(update(c.hardware_id, c.inf));
        EXPECT_EQ(GetLastError(), c.error) << (c.hardware_id ? c.hardware_id : L"(null)");
    }
    EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kHardwareId, inf_path().c_str(), 0x80,
                                                    nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=- version=- port=-");
}

// A reboot-required success comes through the flag when the caller asks for it.
TEST_F(InstallSide, RebootRequiredComesThroughTheFlag) {
    use("[install]\nupdate = 3010\nduration_ms = 0\n");
    BOOL reboot = FALSE;
    EXPECT_TRUE(update(kHardwareId, inf_path().wstring(), &reboot));
    EXPECT_TRUE(reboot);
}

// Ports are handed out per device and kept across reinstalls; other machines see nothing of it.
TEST_F(InstallSide, BindingsKeepTheirPortsAndStayOnTheirMachine) {
    use("[install]\nduration_ms = 0\n");
    ASSERT_TRUE(update(kSecondHardwareId, inf_path().wstring()));
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    ASSERT_TRUE(update(kSecondHardwareId, inf_path().wstring()));
    EXPECT_EQ(seen_elsewhere(kSerialB), "service=usbser version=6.1.7600.16385 port=COM3");
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=usbser version=6.1.7600.16385 port=COM4");

    // The dialog's refresh in this process sees it too: the driver key's version.
    unique_device_info_set set(
        SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA data = device_data();
    ASSERT_TRUE(
        SetupDiOpenDeviceInfoW(set.get(), test::from_utf8(kSerialA).c_str(), nullptr, 0, &data));
    char service[32] = {};
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set.get(), &data, SPDRP_SERVICE, nullptr,
                                                  reinterpret_cast<BYTE*>(service), sizeof service,
                                                  nullptr));
    EXPECT_STREQ(service, "usbser");

    test::simulated_machine other;
    other.set(kBoard);
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=- version=- port=-");
}

TEST_F(InstallSide, TheInfCopyReusesTheNameOfTheSameContents) {
    wchar_t first[512] = {};
    DWORD required = 0;
    wchar_t* file_part = nullptr;
    ASSERT_TRUE(SetupCopyOEMInfW(inf_path().c_str(), nullptr, SPOST_PATH, 0, first, 512, &required,
                                 &file_part))
        << GetLastError();
    const std::wstring stored = first;
    EXPECT_EQ(required, stored.size() + 1);
    ASSERT_NE(file_part, nullptr);
    EXPECT_EQ(std::wstring(file_part).rfind(L"oem", 0), 0u) << file_part;
    std::ifstream copy(std::filesystem::path(stored), std::ios::binary);
    std::ostringstream copied;
    copied << copy.rdbuf();
    EXPECT_EQ(copied.str(), kInf);

    wchar_t again[512] = {};
    ASSERT_TRUE(
        SetupCopyOEMInfW(inf_path().c_str(), nullptr, SPOST_PATH, 0, again, 512, nullptr, nullptr));
    EXPECT_EQ(std::wstring(again), stored);

    std::ofstream(inf_path(), std::ios::binary)
        << kInf << "; another package " << GetTickCount64() << "\r\n";
    ASSERT_TRUE(
        SetupCopyOEMInfW(inf_path().c_str(), nullptr, SPOST_PATH, 0, again, 512, nullptr, nullptr));
    EXPECT_NE(std::wstring(again), stored);

    struct {
        std::wstring inf;
        DWORD size;
        const char* sections;
        DWORD error;
    } failures[] = {
        {(dir_.path() / "missing.inf").wstring(), 512, "", ERROR_FILE_NOT_FOUND},
        {inf_path().wstring(), 5, "", ERROR_INSUFFICIENT_BUFFER},
        {inf_path().wstring(), 512, "[install]\ncopy = 5\n", ERROR_ACCESS_DENIED},
    };
    for (const auto& f : failures) {
        use(f.sections);
        EXPECT_FALSE(SetupCopyOEMInfW(f.inf.c_str(), nullptr, SPOST_PATH, 0, again, f.size, nullptr,
                                      nullptr));
        EXPECT_EQ(GetLastError(), f.error);
    }
    const std::vector<strings> lines = calls("SetupCopyOEMInfW");
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0], (strings{test::utf8(inf_path()), "(null)", "1", "0x0",
                                 "ok " + test::utf8(std::filesystem::path(stored))}));
    EXPECT_EQ(lines[3][4], "ERROR_FILE_NOT_FOUND");
    EXPECT_EQ(lines[5][4], "ERROR_ACCESS_DENIED (scenario)");
}

// What the helper does to unplugged devices: find them by status, flag them for reinstallation.
TEST_F(InstallSide, PhantomsAreFlaggedThroughTheirConfigFlags) {
    unique_device_info_set set(SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
    SP_DEVINFO_DATA data = device_data();
    ASSERT_TRUE(
        SetupDiOpenDeviceInfoW(set.get(), test::from_utf8(kGone).c_str(), nullptr, 0, &data));
    ULONG status = 0;
    ULONG problem = 0;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    DWORD flags = 0xFFFF;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set.get(), &data, SPDRP_CONFIGFLAGS, nullptr,
                                                  reinterpret_cast<BYTE*>(&flags), sizeof flags,
                                                  nullptr));
    EXPECT_EQ(flags, 0u);
    flags |= kConfigFlagReinstall;
    ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyA(set.get(), &data, SPDRP_CONFIGFLAGS,
                                                  reinterpret_cast<BYTE*>(&flags), sizeof flags));
    // A new listing, as the next run of the helper would make.
    unique_device_info_set later(SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
    ASSERT_TRUE(
        SetupDiOpenDeviceInfoW(later.get(), test::from_utf8(kGone).c_str(), nullptr, 0, &data));
    flags = 0;
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(later.get(), &data, SPDRP_CONFIGFLAGS, nullptr,
                                                  reinterpret_cast<BYTE*>(&flags), sizeof flags,
                                                  nullptr));
    EXPECT_EQ(flags, static_cast<DWORD>(kConfigFlagReinstall));
    EXPECT_EQ(calls("SetupDiSetDeviceRegistryPropertyA"),
              (std::vector<strings>{{kGone, "SPDRP_CONFIGFLAGS", "0x20", "ok"}}));

    use("[install]\nset_property = 5\n");
    unique_device_info_set refused(SetupDiGetClassDevsA(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
    ASSERT_TRUE(
        SetupDiOpenDeviceInfoW(refused.get(), test::from_utf8(kGone).c_str(), nullptr, 0, &data));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(refused.get(), &data, SPDRP_CONFIGFLAGS,
                                                   reinterpret_cast<BYTE*>(&flags), sizeof flags));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(refused.get(), &data, SPDRP_FRIENDLYNAME,
                                                   reinterpret_cast<const BYTE*>("x"), 2));
    EXPECT_EQ(calls("SetupDiSetDeviceRegistryPropertyA").back().back(), "unmodelled");
}

// The configuration manager's answers: the root for no ID, statuses, and what scenarios say.
TEST_F(InstallSide, ConfigurationManagerCallsAnswerPerScenario) {
    DEVINST root = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Reenumerate_DevNode(root, CM_REENUMERATE_RETRY_INSTALLATION),
              static_cast<CONFIGRET>(CR_SUCCESS));
    DEVINST serial = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&serial, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    ULONG status = 0;
    ULONG problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, serial, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status & (DN_HAS_PROBLEM | DN_STARTED), static_cast<ULONG>(DN_HAS_PROBLEM));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_INSTALL));  // no driver yet
    EXPECT_EQ(CM_Reenumerate_DevNode(serial, 0x100), static_cast<CONFIGRET>(CR_INVALID_FLAG));

    use("[install]\nlocate = 13\nreenumerate = 0x17\nstatus = 0x1F\n");
    DEVINST node = 0;
    EXPECT_EQ(CM_Locate_DevNodeA(&node, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    EXPECT_EQ(CM_Reenumerate_DevNode(serial, CM_REENUMERATE_RETRY_INSTALLATION),
              static_cast<CONFIGRET>(0x17));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, serial, 0), static_cast<CONFIGRET>(0x1F));
    EXPECT_EQ(calls("CM_Reenumerate_DevNode").back(),
              (strings{kSerialA, "0x2", "CR 0x17 (scenario)"}));

    // After an installation the device runs its driver.
    use("[install]\nduration_ms = 0\n");
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, serial, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status & (DN_HAS_PROBLEM | DN_STARTED), static_cast<ULONG>(DN_STARTED));
    EXPECT_EQ(problem, 0u);
}

// A reboot-required update binds the devices, which then wait for the restart: their status says
// so until the machine's state is reset (the restart), whatever installs on them meanwhile.
TEST_F(InstallSide, ARebootRequiredUpdateLeavesItsDevicesWaitingForTheRestart) {
    const std::wstring state = L"restart test " + std::to_wstring(GetCurrentProcessId());
    const std::wstring state_key = L"Software\\Corvane\\Simulation\\" + state;
    SetEnvironmentVariableW(L"CORVANE_SIM_STATE", state.c_str());
    RegDeleteTreeW(HKEY_CURRENT_USER, state_key.c_str());
    struct node_status {
        ULONG status = 0;
        ULONG problem = 0;
    };
    auto status_of = [](const char* instance) {
        node_status s;
        DEVINST node = 0;
        if (CM_Locate_DevNodeA(&node, const_cast<char*>(instance), 0) != CR_SUCCESS ||
            CM_Get_DevNode_Status(&s.status, &s.problem, node, 0) != CR_SUCCESS)
            s.status = 0xFFFFFFFF;
        return s;
    };
    constexpr ULONG kRunning = 0x0180200A;

    use("[install]\nupdate = 3010\nduration_ms = 0\n");
    EXPECT_FALSE(update(kHardwareId, inf_path().wstring()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS_REBOOT_REQUIRED));
    EXPECT_EQ(status_of(kSerialA).status, kRunning | DN_NEED_RESTART);
    EXPECT_EQ(status_of(kSerialA).problem, 0u);
    EXPECT_EQ(status_of(kSerialB).status & DN_NEED_RESTART, 0u);  // not installed on

    use("[install]\nduration_ms = 0\n");
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    ASSERT_TRUE(update(kSecondHardwareId, inf_path().wstring()));
    EXPECT_EQ(status_of(kSerialA).status, kRunning | DN_NEED_RESTART);
    EXPECT_EQ(status_of(kSerialB).status, kRunning);
    EXPECT_EQ(calls("CM_Get_DevNode_Status").back(),
              (strings{kSerialB, "0x0", "CR_SUCCESS 0x180200A problem 0"}));

    // The restart: the machine as the file has it, and a plain update binds without a restart.
    RegDeleteTreeW(HKEY_CURRENT_USER, state_key.c_str());
    EXPECT_EQ(status_of(kSerialA).problem, static_cast<ULONG>(CM_PROB_FAILED_INSTALL));
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    EXPECT_EQ(status_of(kSerialA).status, kRunning);
    RegDeleteTreeW(HKEY_CURRENT_USER, state_key.c_str());
    SetEnvironmentVariableW(L"CORVANE_SIM_STATE", nullptr);
}

// The setup log grows while the update runs, with a placeholder line that is written over later
// and a last line whose break comes later, so that a follower has real work.
TEST_F(InstallSide, TheSetupLogGrowsDuringTheUpdate) {
    wchar_t windows[MAX_PATH] = {};
    GetEnvironmentVariableW(L"WINDIR", windows, MAX_PATH);
    const std::filesystem::path log = std::filesystem::path(windows) / "inf" / "setupapi.dev.log";
    // Make sure it exists, then follow it from its end as the helper's reader does.
    use("[install]\nduration_ms = 0\n");
    update(L"USB\\NOBODY", inf_path().wstring());
    use("[install]\nduration_ms = 800\n");
    unique_file_handle file(CreateFileW(log.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file);
    LARGE_INTEGER start = {};
    ASSERT_TRUE(GetFileSizeEx(file.get(), &start));

    std::atomic<bool> done{false};
    std::thread installer([&] {
        update(kHardwareId, inf_path().wstring());
        done = true;
    });
    std::vector<std::string> snapshots;  // what followed the start, at each poll during the call
    while (!done) {
        Sleep(50);
        LARGE_INTEGER size = {};
        GetFileSizeEx(file.get(), &size);
        std::string text(static_cast<std::size_t>(size.QuadPart - start.QuadPart), '\0');
        DWORD read = 0;
        SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN);
        ReadFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
        text.resize(read);
        if (!done)
            snapshots.push_back(text);
    }
    installer.join();
    const std::string section =
        ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - USB\\VID_C04A&PID_0C0E&MI_00]";
    bool saw_placeholder = false;
    bool saw_unfinished = false;
    bool saw_partial = false;
    for (const std::string& text : snapshots) {
        if (text.find(section) == std::string::npos)
            continue;
        saw_partial = saw_partial || text.find("<<<  [Exit status:") == std::string::npos;
        saw_placeholder = saw_placeholder || text.find("\r\n<ins>\r\n") != std::string::npos;
        saw_unfinished = saw_unfinished || (!text.empty() && text.back() != '\n');
    }
    EXPECT_TRUE(saw_partial);
    EXPECT_TRUE(saw_placeholder);
    EXPECT_TRUE(saw_unfinished);

    std::string whole(1 << 20, '\0');
    DWORD read = 0;
    SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN);
    ReadFile(file.get(), whole.data(), static_cast<DWORD>(whole.size()), &read, nullptr);
    whole.resize(read);
    const std::size_t ours = whole.find(section);
    ASSERT_NE(ours, std::string::npos) << whole;
    const std::string mine =
        whole.substr(ours, whole.find("<<<  [Exit status: SUCCESS]\r\n", ours) - ours);
    EXPECT_EQ(mine.find("<ins>"), std::string::npos) << mine;
    EXPECT_NE(mine.find("     ndv: Installing driver on device: " + std::string(kSerialA) + "\r\n"),
              std::string::npos)
        << mine;
    EXPECT_NE(mine.find("<<<  Section end 20"), std::string::npos) << mine;
}

// The driver store's package removal and the device uninstall, in a driver store of the test's
// own (%WINDIR% is the test's folder), so that store names are known and nothing else's goes.
class Removal : public InstallSide {
protected:
    void SetUp() override {
        InstallSide::SetUp();
        GetEnvironmentVariableW(L"WINDIR", windows_, MAX_PATH);
        std::filesystem::create_directories(dir_.path() / "windows" / "inf");
        SetEnvironmentVariableW(L"WINDIR", (dir_.path() / "windows").c_str());
        use("[install]\nduration_ms = 0\n");
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"WINDIR", windows_);
        InstallSide::TearDown();
    }

    std::filesystem::path stored(const char* name) const {
        return dir_.path() / "windows" / "inf" / name;
    }
    static BOOL uninstall_inf(const wchar_t* name, DWORD flags = 0) {
        return SetupUninstallOEMInfW(name, flags, nullptr);
    }
    // Not in the import library: looked up as a program on Windows 7 does.
    static BOOL uninstall_device(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD flags, BOOL* reboot) {
        auto uninstall = reinterpret_cast<decltype(&DiUninstallDevice)>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"newdev.dll"), "DiUninstallDevice")));
        EXPECT_NE(uninstall, nullptr);
        return uninstall ? uninstall(nullptr, set, data, flags, reboot) : FALSE;
    }
    // The device opened in a set of its own, as the library opens it.
    struct opened {
        unique_device_info_set set;
        SP_DEVINFO_DATA data = device_data();
        DWORD error = ERROR_SUCCESS;
    };
    static opened open_device(const char* instance) {
        opened o;
        o.set.reset(SetupDiCreateDeviceInfoList(nullptr, nullptr));
        if (!SetupDiOpenDeviceInfoW(o.set.get(), test::from_utf8(instance).c_str(), nullptr, 0,
                                    &o.data))
            o.error = GetLastError();
        return o;
    }
    // The driver key's value as the program reads it; "-" when it is not there.
    static std::string driver_value(const char* instance, const wchar_t* name) {
        opened o = open_device(instance);
        unique_hkey key(
            SetupDiOpenDevRegKey(o.set.get(), &o.data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
        if (!key || key.get() == INVALID_HANDLE_VALUE)
            return "-";
        wchar_t text[256] = {};
        DWORD size = sizeof text - sizeof(wchar_t);
        DWORD type = 0;
        if (RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(text),
                             &size) != ERROR_SUCCESS)
            return "-";
        return type == REG_SZ ? test::utf8(std::filesystem::path(text)) : "(not REG_SZ)";
    }
    static CONFIGRET rescan() {
        DEVINST root = 0;
        CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
        return CM_Reenumerate_DevNode(root, CM_REENUMERATE_RETRY_INSTALLATION);
    }

    wchar_t windows_[MAX_PATH] = {};
};

// The driver key of a bound device names the package and its provider, as Windows writes them.
TEST_F(Removal, TheDriverKeyNamesThePackageItCameFrom) {
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "-");  // no driver key yet
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    EXPECT_EQ(calls("UpdateDriverForPlugAndPlayDevicesW").back().back(), "ok oem0.inf 1 devices");
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "oem0.inf");
    EXPECT_EQ(driver_value(kSerialA, L"ProviderName"), "Corvane, Ltd.");
    EXPECT_EQ(driver_value(kSerialA, L"DriverVersion"), "6.1.7600.16385");
}

TEST_F(Removal, APackageInUseStaysAndOneNotInUseGoes) {
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    ASSERT_TRUE(std::filesystem::exists(stored("oem0.inf")));

    // A package nobody uses goes without force; its number is handed out again.
    const std::filesystem::path another = dir_.path() / "another.inf";
    std::ofstream(another, std::ios::binary) << kInf << "; another package\r\n";
    wchar_t copied[MAX_PATH] = {};
    ASSERT_TRUE(SetupCopyOEMInfW(another.c_str(), nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr,
                                 nullptr));
    EXPECT_EQ(std::filesystem::path(copied), stored("oem1.inf"));
    EXPECT_TRUE(uninstall_inf(L"oem1.inf")) << GetLastError();
    EXPECT_FALSE(std::filesystem::exists(stored("oem1.inf")));
    ASSERT_TRUE(SetupCopyOEMInfW(another.c_str(), nullptr, SPOST_PATH, 0, copied, MAX_PATH, nullptr,
                                 nullptr));
    EXPECT_EQ(std::filesystem::path(copied), stored("oem1.inf"));

    // The bound device's package stays, unless forced; its precompiled form goes with it.
    std::ofstream(stored("oem0.pnf"), std::ios::binary) << "precompiled";
    EXPECT_FALSE(uninstall_inf(L"oem0.inf"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES));
    EXPECT_TRUE(std::filesystem::exists(stored("oem0.inf")));
    EXPECT_TRUE(uninstall_inf(L"OEM0.INF", SUOI_FORCEDELETE)) << GetLastError();
    EXPECT_FALSE(std::filesystem::exists(stored("oem0.inf")));
    EXPECT_FALSE(std::filesystem::exists(stored("oem0.pnf")));
    EXPECT_TRUE(std::filesystem::exists(stored("oem1.inf")));

    EXPECT_EQ(calls("SetupUninstallOEMInfW"),
              (std::vector<strings>{{"oem1.inf", "0x0", "ok"},
                                    {"oem0.inf", "0x0", "ERROR_INF_IN_USE_BY_DEVICES"},
                                    {"OEM0.INF", "0x1", "ok"}}));
}

TEST_F(Removal, PackageRemovalFailsAsWindowsDoes) {
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    const std::wstring full = stored("oem0.inf").wstring();
    struct {
        const wchar_t* name;
        DWORD flags;
        const char* sections;
        DWORD error;
        const char* journalled;
    } cases[] = {
        {nullptr, 0, "", ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {L"", 0, "", ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {full.c_str(), 0, "", ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {L"inf/oem0.inf", 0, "", ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {L"oem0.inf", 0x2, "", ERROR_INVALID_FLAGS, "ERROR_INVALID_FLAGS"},
        {L"oem7.inf", 0, "", ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {L"oem7.inf", SUOI_FORCEDELETE, "", ERROR_FILE_NOT_FOUND, "ERROR_FILE_NOT_FOUND"},
        {L"oem0.inf", SUOI_FORCEDELETE, "[uninstall]\npackage = 5\n", ERROR_ACCESS_DENIED,
         "ERROR_ACCESS_DENIED (scenario)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.journalled);
        use(std::string("[install]\nduration_ms = 0\n") + c.sections);
        forget_journal();
        SetLastError(0);
        EXPECT_FALSE(uninstall_inf(c.name, c.flags));
        EXPECT_EQ(GetLastError(), c.error);
        const std::vector<strings> lines = calls("SetupUninstallOEMInfW");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0][2], c.journalled);
    }
    EXPECT_TRUE(std::filesystem::exists(stored("oem0.inf")));
    EXPECT_FALSE(SetupUninstallOEMInfW(L"oem0.inf", 0, reinterpret_cast<void*>(1)));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// An uninstalled device is unknown until a scan of the tree finds it: bound again to its package
// while the store holds that, as the file gives it once the package is gone.
TEST_F(Removal, AnUninstalledDeviceComesBackAtTheNextScan) {
    ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
    {
        opened serial = open_device(kSerialA);
        ASSERT_EQ(serial.error, ERROR_SUCCESS);
        BOOL reboot = TRUE;
        EXPECT_TRUE(uninstall_device(serial.set.get(), &serial.data, 0, &reboot)) << GetLastError();
        EXPECT_FALSE(reboot);
        // What the set still holds names a device the system no longer has.
        EXPECT_FALSE(uninstall_device(serial.set.get(), &serial.data, 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    }
    EXPECT_EQ(calls("DiUninstallDevice"),
              (std::vector<strings>{{kSerialA, "0x0", "ok"},
                                    {kSerialA, "0x0", "ERROR_NO_SUCH_DEVINST"}}));
    EXPECT_EQ(open_device(kSerialA).error, static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_EQ(seen_elsewhere(kSerialA), "");  // not listed
    DEVINST node = 0;
    EXPECT_EQ(CM_Locate_DevNodeA(&node, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    // Back at the scan, with the package the store still holds.
    EXPECT_EQ(rescan(), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(calls("CM_Reenumerate_DevNode").back().back(), "CR_SUCCESS 1 devices found");
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=usbser version=6.1.7600.16385 port=COM3");
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "oem0.inf");

    // Uninstalled again and its package deleted: the scan finds the device without a driver.
    {
        opened serial = open_device(kSerialA);
        ASSERT_TRUE(uninstall_device(serial.set.get(), &serial.data, 0, nullptr));
    }
    EXPECT_TRUE(uninstall_inf(L"oem0.inf")) << GetLastError();
    EXPECT_EQ(rescan(), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=- version=- port=-");
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "-");
    EXPECT_EQ(rescan(), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(calls("CM_Reenumerate_DevNode").back().back(), "CR_SUCCESS");
}

TEST_F(Removal, DeviceUninstallOutcomes) {
    // A device of another maker's package, from the file: uninstalled, it reads as the file
    // gives it once found again (its package is not in this store).
    const std::string other = test::scenario_of({
        {"USB\\VID_C04A&PID_0C0E&MI_04\\7&3A4B5C6&0&0004",
         "parent = USB\\VID_C04A&PID_0C0E\\CRV00002\nservice = vendorser\n"
         "driver = {4d36e978-e325-11ce-bfc1-08002be10318}\\0007\ninf = oem42.inf\n"},
    });
    const char* const kOther = "USB\\VID_C04A&PID_0C0E&MI_04\\7&3A4B5C6&0&0004";
    struct {
        const char* what;
        const char* instance;
        const char* sections;
        BOOL returned;
        DWORD error;
        BOOL reboot;
        const char* journalled;
        bool gone;  // unknown to the system afterwards
    } cases[] = {
        {"bound by the update", kSerialA, "", TRUE, ERROR_SUCCESS, FALSE, "ok", true},
        {"unplugged: a phantom goes too", kGone, "", TRUE, ERROR_SUCCESS, FALSE, "ok", true},
        {"the scenario's own binding", kOther, "", TRUE, ERROR_SUCCESS, FALSE, "ok", true},
        {"a restart finishes it", kSerialA, "[uninstall]\ndevice = 3010\n", TRUE, ERROR_SUCCESS,
         TRUE, "ok reboot (scenario)", true},
        {"refused", kSerialA, "[uninstall]\ndevice = 5\n", FALSE, ERROR_ACCESS_DENIED, FALSE,
         "ERROR_ACCESS_DENIED (scenario)", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        test::simulated_machine fresh;
        fresh.set(kBoard + other + "[install]\nduration_ms = 0\n" + c.sections);
        SetEnvironmentVariableA("CORVANE_SCENARIO", fresh.path().c_str());
        ASSERT_TRUE(update(kHardwareId, inf_path().wstring()));
        forget_journal();
        opened device = open_device(c.instance);
        ASSERT_EQ(device.error, ERROR_SUCCESS);
        BOOL reboot = !c.reboot;
        SetLastError(0);
        EXPECT_EQ(uninstall_device(device.set.get(), &device.data, 0, &reboot), c.returned);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_EQ(reboot, c.reboot);
        EXPECT_EQ(calls("DiUninstallDevice"),
                  (std::vector<strings>{{c.instance, "0x0", c.journalled}}));
        EXPECT_EQ(open_device(c.instance).error, c.gone ? ERROR_NO_SUCH_DEVINST : ERROR_SUCCESS);
        EXPECT_EQ(rescan(), static_cast<CONFIGRET>(CR_SUCCESS));
        if (c.instance == kOther) {
            EXPECT_EQ(driver_value(kOther, L"InfPath"), "oem42.inf");
        } else if (c.instance == kGone) {
            // Not connected: no scan finds it.
            EXPECT_EQ(open_device(kGone).error, static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
        } else {
            EXPECT_EQ(seen_elsewhere(kSerialA), "service=usbser version=6.1.7600.16385 port=COM3");
        }
    }
    use("[install]\nduration_ms = 0\n");
}

// What the call refuses before it looks at the device.
TEST_F(Removal, DeviceUninstallFailsAsWindowsDoes) {
    opened serial = open_device(kSerialA);
    ASSERT_EQ(serial.error, ERROR_SUCCESS);
    SP_DEVINFO_DATA wrong_size = serial.data;
    wrong_size.cbSize = 4;
    SP_DEVINFO_DATA other_position = serial.data;
    other_position.Reserved += 5;
    unique_device_info_set empty(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    int not_a_set = 0;
    struct {
        const char* what;
        HDEVINFO set;
        SP_DEVINFO_DATA* data;
        DWORD flags;
        DWORD error;
        const char* journalled;
    } cases[] = {
        {"flags", serial.set.get(), &serial.data, 0x1, ERROR_INVALID_FLAGS, "ERROR_INVALID_FLAGS"},
        {"no record", serial.set.get(), nullptr, 0, ERROR_INVALID_PARAMETER,
         "ERROR_INVALID_PARAMETER"},
        {"a record of another size", serial.set.get(), &wrong_size, 0, ERROR_INVALID_PARAMETER,
         "ERROR_INVALID_PARAMETER"},
        {"a record of no device of the set", serial.set.get(), &other_position, 0,
         ERROR_INVALID_PARAMETER, "ERROR_INVALID_PARAMETER"},
        {"a record of another set", empty.get(), &serial.data, 0, ERROR_INVALID_PARAMETER,
         "ERROR_INVALID_PARAMETER"},
        {"no set", reinterpret_cast<HDEVINFO>(&not_a_set), &serial.data, 0, ERROR_INVALID_HANDLE,
         "ERROR_INVALID_HANDLE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forget_journal();
        BOOL reboot = TRUE;
        EXPECT_FALSE(uninstall_device(c.set, c.data, c.flags, &reboot));
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_FALSE(reboot);
        const std::vector<strings> lines = calls("DiUninstallDevice");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0], (strings{"(none)", c.flags ? "0x1" : "0x0", c.journalled}));
    }
    EXPECT_EQ(open_device(kSerialA).error, ERROR_SUCCESS);
}

// The local group-policy object, created as the helper creates it; its machine root is a key of
// the prefix's registry below the machine's state key, which a test reads directly.
// Plug and Play serves a board plugged in from the driver store: the package whose model lines
// name the first of its IDs. What was connected when the machine was first read is left as the
// file gives it, and so is a device with a driver of its own.
TEST_F(Removal, APluggedInBoardGetsTheStoresPackageForIt) {
    const std::string plug_and_play =
        "[machine]\nplug_and_play = yes\n[install]\nduration_ms = 0\n";
    const std::string board_only = test::scenario_of({
        {"USB\\VID_C04A&PID_0C0E\\CRV00002", "service = usbccgp\n"},
    });
    machine_.set(board_only + plug_and_play);
    EXPECT_EQ(open_device(kSerialA).error, static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));

    // A package for interface 0 in the store, its ID made of a [Strings] text.
    const std::filesystem::path models = dir_.path() / "models.inf";
    std::ofstream(models, std::ios::binary)
        << kInf << "[Manufacturer]\r\n%Maker% = Models,NTamd64\r\n[Models.NTamd64]\r\n"
        << "%Name% = Serial_Install, USB\\%DeviceID%\r\n[Strings]\r\n"
        << "DeviceID = \"VID_C04A&PID_0C0E&MI_00\"\r\nName = \"Serial\"\r\n";
    wchar_t stored_path[MAX_PATH] = {};
    ASSERT_TRUE(SetupCopyOEMInfW(models.c_str(), nullptr, SPOST_PATH, 0, stored_path, MAX_PATH,
                                 nullptr, nullptr));

    forget_journal();
    machine_.set(kBoard + plug_and_play);  // the board is plugged in
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "oem0.inf");
    EXPECT_EQ(seen_elsewhere(kSerialA), "service=usbser version=6.1.7600.16385 port=COM3");
    EXPECT_EQ(driver_value(kSerialB, L"InfPath"), "-");
    const std::vector<strings> served = calls("PlugAndPlay");
    ASSERT_EQ(served.size(), 2u);
    EXPECT_EQ(served[0], (strings{kSerialA, "ok oem0.inf"}));
    EXPECT_EQ(served[1], (strings{kSerialB, "no package"}));

    // Connected at the machine's first reading: there before, not plugged in now.
    test::simulated_machine fresh(kBoard + plug_and_play);
    SetEnvironmentVariableA("CORVANE_SCENARIO", fresh.path().c_str());
    EXPECT_EQ(driver_value(kSerialA, L"InfPath"), "-");
    SetEnvironmentVariableA("CORVANE_SCENARIO", machine_.path().c_str());
}

class GroupPolicy : public InstallSide {
protected:
    void SetUp() override {
        InstallSide::SetUp();
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        SetEnvironmentVariableW(L"CORVANE_SIM_STATE", state_name().c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"CORVANE_SIM_STATE", nullptr);
        CoUninitialize();
        InstallSide::TearDown();
    }
    std::wstring state_name() const {
        return L"gpo test " + std::to_wstring(GetCurrentProcessId());
    }
    std::wstring machine_root() const {
        return L"Software\\Corvane\\Simulation\\" + state_name() + L"\\Group Policy\\Machine";
    }

    static HRESULT create(IGroupPolicyObject** object) {
        const CLSID clsid = {
            0xea502722, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};
        const IID iid = {
            0xea502723, 0xa23d, 0x11d1, {0xa7, 0xd3, 0x00, 0x00, 0xf8, 0x75, 0x71, 0xe3}};
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                                reinterpret_cast<void**>(object));
    }
};

TEST_F(GroupPolicy, TheMachineRootHoldsWhatIsSetThroughTheObject) {
    RegDeleteTreeW(HKEY_CURRENT_USER, machine_root().c_str());
    IGroupPolicyObject* gpo = nullptr;
    ASSERT_EQ(create(&gpo), S_OK);
    ASSERT_EQ(gpo->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY), S_OK);
    HKEY root = nullptr;
    ASSERT_EQ(gpo->GetRegistryKey(GPO_SECTION_MACHINE, &root), S_OK);
    unique_hkey root_owner(root);
    HKEY settings = nullptr;
    ASSERT_EQ(
        RegCreateKeyExA(root, "Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings", 0,
                        nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &settings, nullptr),
        ERROR_SUCCESS);
    unique_hkey settings_owner(settings);
    const DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(settings, "DisableSystemRestore", 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    GUID extension = REGISTRY_EXTENSION_GUID;
    GUID tool = {0x3d271cfc, 0x2bc6, 0x4ac2, {0xb6, 0x33, 0x3b, 0xdf, 0xf5, 0xbd, 0xab, 0x2a}};
    EXPECT_EQ(gpo->Save(TRUE, TRUE, &extension, &tool), S_OK);
    EXPECT_EQ(gpo->GetName(nullptr, 0), E_NOTIMPL);
    gpo->Release();

    DWORD value = 0;
    DWORD size = sizeof value;
    const std::wstring settings_path =
        machine_root() + L"\\Software\\Policies\\Microsoft\\Windows\\DeviceInstall\\Settings";
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, settings_path.c_str(), L"DisableSystemRestore",
                           RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(calls("IGroupPolicyObject::Save"),
              (std::vector<strings>{{"machine", "add", "{35378EAC-683F-11D2-A89A-00C04FBBCFA2}",
                                     "{3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}", "ok"}}));
    EXPECT_EQ(calls("IGroupPolicyObject::GetName"),
              (std::vector<strings>{{"unmodelled E_NOTIMPL"}}));
    const std::vector<strings> opened = calls("IGroupPolicyObject::OpenLocalMachineGPO");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0][1], test::utf8(std::filesystem::path(machine_root())));
    RegDeleteTreeW(HKEY_CURRENT_USER, machine_root().c_str());
}

TEST_F(GroupPolicy, EachCallFailsAsTheScenarioSays) {
    struct {
        const char* key;
        HRESULT error;
    } cases[] = {
        {"create", static_cast<HRESULT>(0x80040154)},
        {"open", static_cast<HRESULT>(0x80070005)},
        {"registry_key", static_cast<HRESULT>(0x80004005)},
        {"save", static_cast<HRESULT>(0x8007000E)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        use(std::string("[group_policy]\n") + c.key + " = " +
            std::to_string(static_cast<unsigned long>(c.error)) + "\n");
        IGroupPolicyObject* gpo = nullptr;
        HRESULT result = create(&gpo);
        HKEY root = nullptr;
        GUID extension = REGISTRY_EXTENSION_GUID;
        GUID tool = {};
        if (SUCCEEDED(result))
            result = gpo->OpenLocalMachineGPO(GPO_OPEN_LOAD_REGISTRY);
        if (SUCCEEDED(result))
            result = gpo->GetRegistryKey(GPO_SECTION_MACHINE, &root);
        unique_hkey root_owner(root);
        if (SUCCEEDED(result))
            result = gpo->Save(TRUE, FALSE, &extension, &tool);
        if (gpo)
            gpo->Release();
        EXPECT_EQ(result, c.error);
    }
}

}  // namespace

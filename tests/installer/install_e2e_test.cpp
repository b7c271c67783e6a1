// Installation from end to end on the simulated machine: the library's host starts the real
// installer_x64.exe from a prepared CDC package, the helper installs through the simulated driver
// update, INF copy, configuration manager and group-policy object, and the tool's log shows what
// the helper and the setup log said.
//
// The outcome table runs under each Windows version setting (tests/CMakeLists.txt): the package
// is prepared as the install command prepares it there, its catalog signed with the certificate
// algorithm of that version.
#include <windows.h>
#include <cfgmgr32.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/device_id.h"
#include "base/install_errors.h"
#include "e2e_fixture.h"
#include "win/handles.h"

namespace {

namespace fs = std::filesystem;
using namespace e2e;

// An earlier board with the same function, unplugged now.
const char kPhantom[] =
    "[device]\ninstance = USB\\VID_C04A&PID_0C0E&MI_00\\7&1D2E3F4&0&0000\npresent = no\n"
    "hardware_id = USB\\VID_C04A&PID_0C0E&REV_0100&MI_00\n";

// The version of the package's INF (its DriverVer's second field), as the device list gives it.
// The INF is UTF-16 after its byte-order mark.
uint64_t package_version(const fs::path& inf) {
    const std::string bytes = read_text(inf);
    if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0)
        return 0;
    std::wstring wide((bytes.size() - 2) / 2, L'\0');
    memcpy(&wide[0], bytes.data() + 2, wide.size() * sizeof(wchar_t));
    std::istringstream lines(test::utf8(fs::path(wide)));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("DriverVer", 0) == 0) {
            std::string version = line.substr(line.find(',') + 1);
            version.erase(0, version.find_first_not_of(' '));
            version.erase(version.find_last_not_of(" \r") + 1);
            return parse_driver_version(version.c_str());
        }
    }
    return 0;
}

class EndToEnd : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(prepared_package::get().ok()); }
};

TEST_F(EndToEnd, EachOutcomeOfTheMachineEndsAsDocumented) {
    EXPECT_TRUE(prepared_package::get().catalog_signed()) << prepared_package::get().log();
    const std::string inf = prepared_package::get().dir() + "\\Corvane.inf";
    const std::string device = kSerialA;
    const std::string copying =
        "Copying inf file (for the next time device is plugged) - please wait...";
    // The lines of the helper's table for a code, and a text's line, as the host logs them.
    auto error_lines = [&](uint32_t code) {
        strings lines;
        for (const std::string& line : describe_install_error(code, inf.c_str()).lines)
            lines.push_back(helper_line(line + "\n"));
        return lines;
    };
    auto then = [](strings lines, const strings& more) {
        lines.insert(lines.end(), more.begin(), more.end());
        return lines;
    };
    const strings not_detected = error_lines(0xE000020B);
    const std::string installing =
        std::string("Installing driver for ") + kSerialAHardwareId + " - please wait...";
    const strings reenumerated = {helper_line("re-enumerating driver node " + device + "..."),
                                  helper_line("re-enumeration succeeded...")};
    struct {
        const char* name;
        std::string sections;
        usbdrv_result result;
        strings lines;  // in the tool's log, in this order
        int copies;     // INF copies asked for
        bool bound;     // the device runs the package's driver afterwards
    } cases[] = {
        {"success",
         "",
         USBDRV_OK,
         {helper_line(installing), helper_line("driver update completed\n"), reenumerated[0],
          reenumerated[1]},
         0,
         true},
        {"reboot required", "[install]\nupdate = 3010\n", USBDRV_OK,
         then(then({helper_line(installing)}, error_lines(3010)),
              {helper_line(copying + "\n"), helper_line("copied inf to C:\\windows\\inf\\oem"),
               reenumerated[0], reenumerated[1]}),
         1, true},
        {"already installed", "[install]\nupdate = 0x240006\n", USBDRV_OK,
         then(error_lines(0x240006),
              {helper_line(copying + "\n"), helper_line("copied inf to "), reenumerated[0]}),
         1, true},
        {"device not present", "[install]\nupdate = 0xE000020B\n", USBDRV_OK,
         then(not_detected,
              {helper_line(copying + "\n"), helper_line("copied inf to "), reenumerated[0]}),
         1, false},
        {"device not present, the copy says so too",
         std::string("[install]\nupdate = 0xE000020B\ncopy = 0xE000020B\n") + kPhantom, USBDRV_OK,
         then(then(then(not_detected, {helper_line(copying + "\n")}), not_detected),
              {helper_line("flagged 1 removed devices for reinstallation\n")}),
         1, false},
        {"device not present, the copy refused", "[install]\nupdate = 0xE000020B\ncopy = 5\n",
         USBDRV_ERR_NEEDS_ADMIN,
         then(then(not_detected, {helper_line(copying + "\n")}), error_lines(ERROR_ACCESS_DENIED)),
         1, false},
        {"32-bit installer", "[install]\nupdate = 0xE0000235\n", USBDRV_ERR_WOW64,
         then({helper_line(installing)}, error_lines(0xE0000235)), 0, false},
        {"unsigned", "[install]\nupdate = 0xE000022F\n", USBDRV_ERR_UNSIGNED,
         error_lines(0xE000022F), 0, false},
        {"unlisted error",
         "[install]\nupdate = 122\n",
         USBDRV_ERR_OTHER,
         {helper_line("unhandled error 0x7A (122)\n"), helper_line("[122] ")},
         0,
         false},
    };
    const uint64_t version = package_version(prepared_package::get().inf());
    ASSERT_NE(version, 0u);
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_machine machine("outcome " + std::to_string(index++));
        // Long enough that the reader relays the update's first lines before it ends.
        machine.use(c.sections + "[install]\nduration_ms = 1000\n");
        test::install_outcome outcome = install_serial_a();
        const std::string& log = outcome.log;
        EXPECT_EQ(outcome.result, c.result) << log;
        EXPECT_TRUE(logged_in_order(log, c.lines)) << log;

        // The setup log's lines of this update came through the relay.
        EXPECT_TRUE(outcome.logged(setup_log_line(
            std::string(">>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - ") +
            kSerialAHardwareId + "]\n")))
            << log;
        if (c.result == USBDRV_OK) {
            // The host read on to the helper's end: the section's last lines came too.
            EXPECT_TRUE(outcome.logged(setup_log_line("<<<  [Exit status: "))) << log;
        }
        if (c.result == USBDRV_ERR_OTHER) {
            // The system's text for the code behind its prefix, whatever its words.
            size_t text = log.find(helper_line("[122] "));
            ASSERT_NE(text, std::string::npos) << log;
            EXPECT_GT(log.find('\n', text), text + helper_line("[122] ").size()) << log;
        }

        // The completion came before the status; a failing status ended the reading at once.
        const std::string completed = "[process_message] installer process completed\n";
        size_t at = log.find(completed);
        ASSERT_NE(at, std::string::npos) << log;
        const std::string after = log.substr(at + completed.size());
        if (c.result != USBDRV_OK) {
            EXPECT_EQ(after.find(helper_line("")), std::string::npos) << log;
        } else {
            EXPECT_NE(after.find(helper_line(
                          "successfully restored the system restore point creation setting\n")),
                      std::string::npos)
                << log;
        }
        EXPECT_TRUE(test::nothing_left());

        // What the machine was asked.
        const std::vector<strings> updates = machine.calls("UpdateDriverForPlugAndPlayDevicesW");
        ASSERT_EQ(updates.size(), 1u);
        EXPECT_EQ(updates[0][0], kSerialAHardwareId);
        EXPECT_EQ(updates[0][1], inf);
        EXPECT_EQ(updates[0][2], "0x1");
        EXPECT_EQ(machine.calls("SetupCopyOEMInfW").size(), static_cast<size_t>(c.copies));

        const auto listed = board_machine::list_entry(kSerialA);
        ASSERT_TRUE(listed);
        if (c.bound) {
            EXPECT_EQ(listed->driver, "usbser");
            EXPECT_EQ(listed->version, version);
        } else {
            EXPECT_EQ(listed->driver, "");
        }

        // The next installation, on a machine that answers well again, works.
        machine.use("[install]\nduration_ms = 0\n");
        machine.forget_journal();
        test::install_outcome again = install_serial_a();
        EXPECT_EQ(again.result, USBDRV_OK) << again.log;
        EXPECT_TRUE(test::nothing_left());
        const auto now = board_machine::list_entry(kSerialA);
        ASSERT_TRUE(now);
        EXPECT_EQ(now->driver, "usbser");
    }
}

TEST_F(EndToEnd, PendingInstallationsStopItBeforeTheHelperStarts) {
    board_machine machine("pending");
    machine.use("[machine]\npending_installations_ms = 5000\n");
    usbdrv_install_options options = {nullptr, 0, 0};
    test::install_outcome outcome = install_serial_a(&options);
    EXPECT_EQ(outcome.result, USBDRV_ERR_PENDING_INSTALLATION) << outcome.log;
    EXPECT_TRUE(
        outcome.logged("usbdrv:warning [install_driver_internal] timeout expired while "
                       "waiting for another pending installation - aborting\n"))
        << outcome.log;
    EXPECT_FALSE(outcome.logged(helper_line(""))) << outcome.log;
    EXPECT_TRUE(machine.calls("UpdateDriverForPlugAndPlayDevicesW").empty());
    EXPECT_TRUE(test::nothing_left());

    machine.use("[install]\nduration_ms = 0\n");
    options.pending_wait_ms = 10000;
    EXPECT_EQ(install_serial_a(&options).result, USBDRV_OK);
    EXPECT_TRUE(test::nothing_left());
}

// After a failing status the helper still ends its run from the package folder; once the call
// has returned it is gone, so preparing the same folder again and retrying work at once (what a
// user or a factory script does after fixing the cause).
TEST_F(EndToEnd, ARetryRightAfterAFailurePreparesAndInstallsAgain) {
    board_machine machine("retry");
    machine.use("[install]\nupdate = 0xE000022F\nduration_ms = 0\n");
    ASSERT_EQ(install_serial_a().result, USBDRV_ERR_UNSIGNED);
    EXPECT_TRUE(test::nothing_left());

    EXPECT_EQ(prepared_package::get().prepare_again(), USBDRV_OK);
    machine.use("[install]\nduration_ms = 0\n");
    EXPECT_EQ(install_serial_a().result, USBDRV_OK);
}

// A reboot-required installation leaves the device waiting for the restart.
TEST_F(EndToEnd, AfterARebootRequiredInstallationTheDeviceWaitsForTheRestart) {
    board_machine machine("restart");
    machine.use("[install]\nupdate = 3010\nduration_ms = 0\n");
    ASSERT_EQ(install_serial_a().result, USBDRV_OK);
    DEVINST node = 0;
    ASSERT_EQ(CM_Locate_DevNodeA(&node, const_cast<char*>(kSerialA), 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    ULONG status = 0;
    ULONG problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, node, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(status & (DN_NEED_RESTART | DN_STARTED),
              static_cast<ULONG>(DN_NEED_RESTART | DN_STARTED));
}

// The restore-point setting in the machine's local group-policy object, read directly from the
// prefix's registry while the helper installs and after it.
class RestorePolicy : public EndToEnd {
protected:
    void TearDown() override { forget_restore_record(); }
    static std::optional<DWORD> read_setting(const board_machine& machine) {
        return machine.restore_setting();
    }
    static void preset(const board_machine& machine, DWORD value) {
        machine.preset_restore_setting(value);
    }
};

TEST_F(RestorePolicy, OffWhileTheHelperInstallsAndPutBackAfterwards) {
    const struct {
        const char* name;
        std::optional<DWORD> before;
    } cases[] = {{"preset 0", DWORD{0}}, {"none before", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_machine machine(std::string("policy ") + c.name);
        machine.use("[install]\nduration_ms = 1500\n");
        if (c.before)
            preset(machine, *c.before);

        // Watch the setting while the installation runs.
        std::atomic<bool> installing{true};
        std::atomic<bool> seen_off{false};
        std::thread watcher([&] {
            while (installing) {
                if (read_setting(machine) == std::optional<DWORD>(1))
                    seen_off = true;
                Sleep(20);
            }
        });
        test::install_outcome outcome = install_serial_a();
        installing = false;
        watcher.join();

        EXPECT_EQ(outcome.result, USBDRV_OK) << outcome.log;
        EXPECT_TRUE(seen_off);
        EXPECT_EQ(read_setting(machine), c.before);
        EXPECT_TRUE(logged_in_order(
            outcome.log,
            {helper_line("successfully disabled the system restore point creation setting\n"),
             helper_line("Installing driver for "),
             helper_line("successfully restored the system restore point creation setting\n")}))
            << outcome.log;
        const std::vector<strings> saves = machine.calls("IGroupPolicyObject::Save");
        const strings guids = {"{35378EAC-683F-11D2-A89A-00C04FBBCFA2}",
                               "{3D271CFC-2BC6-4AC2-B633-3BDFF5BDAB2A}", "ok"};
        ASSERT_EQ(saves.size(), 2u);
        EXPECT_EQ(saves[0], (strings{"machine", "add", guids[0], guids[1], guids[2]}));
        EXPECT_EQ(saves[1], (strings{"machine", "remove", guids[0], guids[1], guids[2]}));
    }
}

// A run that ends before the disable call has nothing to put back and leaves the setting alone.
TEST_F(RestorePolicy, ARunThatEndsBeforeTheDisableCallLeavesItAlone) {
    const struct {
        const char* name;
        std::wstring arguments;
    } cases[] = {
        {"no argument", L""},
        {"an INF path that does not fit", L"\"" + std::wstring(520, L'a') + L".inf\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_machine machine(std::string("early end ") + c.name);
        machine.use("");
        preset(machine, 0);
        test::helper_folder folder;
        test::helper_run run = test::run_helper(folder, c.arguments);
        ASSERT_TRUE(run.finished) << run.dump();
        EXPECT_EQ(static_cast<int>(run.exit_code), USBDRV_ERR_INVALID_PARAM) << run.dump();
        EXPECT_GE(run.log_index("system restore point creation setting left alone: this run did "
                                "not change it"),
                  0)
            << run.dump();
        EXPECT_EQ(read_setting(machine), std::optional<DWORD>(0));
        EXPECT_TRUE(machine.calls("IGroupPolicyObject::Save").empty());
        EXPECT_TRUE(machine.calls("IGroupPolicyObject::CreateInstance").empty());
    }
}

// A group-policy object that fails at any step costs the setting, never the installation.
TEST_F(RestorePolicy, EachFailureOfThePolicyObjectIsLoggedAndTheInstallationGoesOn) {
    const struct {
        const char* key;
        const char* value;
        std::string line;
    } cases[] = {
        {"create", "0x80040154", "CoCreateInstance failed; hr = 80040154\n"},
        {"open", "0x80070005", "OpenLocalMachineGPO failed - error 80070005\n"},
        {"registry_key", "0x80004005", "GetRegistryKey failed - error 80004005\n"},
        {"save", "0x8007000E", "unable to apply DisableSystemRestore policy - error 8007000e\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        board_machine machine(std::string("policy failure ") + c.key);
        machine.use(std::string("[install]\nduration_ms = 0\n[group_policy]\n") + c.key + " = " +
                    c.value + "\n");
        test::install_outcome outcome = install_serial_a();
        EXPECT_EQ(outcome.result, USBDRV_OK) << outcome.log;
        EXPECT_TRUE(logged_in_order(outcome.log, {helper_line(c.line), helper_line("Installing "),
                                                  helper_line("driver update completed\n")}))
            << outcome.log;
        EXPECT_FALSE(outcome.logged(helper_line("successfully disabled"))) << outcome.log;
        EXPECT_TRUE(test::nothing_left());
    }
}

}  // namespace

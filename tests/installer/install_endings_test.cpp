// Installations whose ending goes wrong around them, with the library's host, the real
// installer_x64.exe and the simulated machine: a helper ended from outside in the middle of its
// driver update, and a tool whose answer comes after the helper stopped waiting for it.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>

#include "base/installer_protocol.h"
#include "e2e_fixture.h"

namespace {

using namespace e2e;

class Endings : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(prepared_package::get().ok());
        forget_restore_record();
    }
    void TearDown() override { forget_restore_record(); }
};

std::string setting_text(std::optional<DWORD> value) {
    return value ? std::to_string(*value) : "none";
}

// Ended from outside (the task manager, a crash, a power cut) while its update runs, the helper
// cannot put the restore-point setting back, nor say how its work went. Whatever its exit code,
// the installation is no success; the setting's record survives it, and the next installation
// puts the setting back before it changes it.
TEST_F(Endings, AHelperEndedInItsUpdateIsNoSuccessAndTheNextOnePutsTheSettingBack) {
    const struct {
        const char* name;
        UINT exit_code;
        std::optional<DWORD> before;
    } cases[] = {
        {"exit code 0, the setting was 0", 0, DWORD{0}},
        {"exit code 99, there was no setting", 99, std::nullopt},
        {"exit code 0, the setting was 1", 0, DWORD{1}},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_machine machine("ended helper " + std::to_string(index++));
        machine.use("[install]\nduration_ms = 30000\n");
        machine.preset_restore_setting(c.before);

        usbdrv_result result = USBDRV_OK;
        std::string log;
        {
            locked_log lines;
            serial_a device;
            std::thread installing([&] {
                result = usbdrv_install_driver(&device.entry, prepared_package::get().dir().c_str(),
                                               "Corvane.inf", nullptr);
            });
            const bool updating = lines.wait_for(helper_line("Installing driver for "), 20000);
            EXPECT_TRUE(updating) << lines.text();
            EXPECT_EQ(machine.restore_setting(), std::optional<DWORD>(1));
            EXPECT_EQ(restore_record(), c.before.value_or(kNoRecordedValue))
                << "recorded before it was changed";
            unique_process helper = running_helper();
            EXPECT_TRUE(helper);
            if (helper) {
                TerminateProcess(helper.get(), c.exit_code);
                WaitForSingleObject(helper.get(), 10000);
            }
            installing.join();
            log = lines.text();
        }
        EXPECT_NE(result, USBDRV_OK) << log;
        EXPECT_TRUE(log.find("usbdrv:error [install_driver_internal] the installer ended with exit "
                             "code " +
                             std::to_string(c.exit_code)) != std::string::npos)
            << log;
        EXPECT_NE(log.find("without sending its status"), std::string::npos) << log;
        EXPECT_TRUE(test::nothing_left());

        // Left as the ended helper left it; the record knows what it was.
        EXPECT_EQ(machine.restore_setting(), std::optional<DWORD>(1));
        EXPECT_EQ(restore_record(), c.before.value_or(kNoRecordedValue));
        const auto listed = board_machine::list_entry(kSerialA);
        ASSERT_TRUE(listed);
        EXPECT_EQ(listed->driver, "") << "the update was cut off before it bound the device";

        machine.use("[install]\nduration_ms = 0\n");
        test::install_outcome next = install_serial_a();
        EXPECT_EQ(next.result, USBDRV_OK) << next.log;
        EXPECT_TRUE(logged_in_order(
            next.log,
            {helper_line("put back the system restore point creation setting (" +
                         setting_text(c.before) +
                         ") that an installation which did not end had changed\n"),
             helper_line("successfully disabled the system restore point creation setting\n"),
             helper_line("successfully restored the system restore point creation setting\n")}))
            << next.log;
        EXPECT_EQ(machine.restore_setting(), c.before);
        EXPECT_FALSE(restore_record()) << "the record goes once its run has put the setting back";
        EXPECT_TRUE(test::nothing_left());
    }
}

// A tool that answers the device-ID request only after the helper stopped waiting: the answer
// must not be read as the hardware ID (which would install the driver for the device's instance
// ID, answered "no such device", and then merely store the package). The helper asks nothing
// more and installs nothing.
TEST_F(Endings, AnAnswerThatComesAfterTheRequestTimedOutIsTakenForNoOther) {
    board_machine machine("late answer");
    machine.use("");
    machine.preset_restore_setting(DWORD{0});
    test::helper_folder folder;
    test::tool_answers answers;
    answers.device_id = std::string(kSerialA);
    answers.hardware_id = std::string(kSerialAHardwareId);
    answers.device_id_delay_ms = kRequestTimeoutMs + 700;
    test::helper_run run = test::run_helper(folder, L"\"Corvane.inf\"", answers);
    ASSERT_TRUE(run.finished) << run.dump();

    EXPECT_EQ(static_cast<int>(run.exit_code), USBDRV_ERR_TIMEOUT) << run.dump();
    const int status = run.code_index(MSG_SET_STATUS);
    ASSERT_GE(status, 0) << run.dump();
    EXPECT_EQ(static_cast<int8_t>(run.messages[status].text[0]), USBDRV_ERR_TIMEOUT);
    EXPECT_GE(run.log_index("message request: timed out"), 0) << run.dump();
    EXPECT_GE(run.log_index("the tool did not answer the request for the device_id - nothing is "
                            "installed"),
              0)
        << run.dump();
    EXPECT_EQ(run.code_index(MSG_GET_HARDWARE_ID), -1) << "no further request: " << run.dump();
    EXPECT_TRUE(machine.calls("UpdateDriverForPlugAndPlayDevicesW").empty());
    EXPECT_TRUE(machine.calls("SetupCopyOEMInfW").empty());
    EXPECT_EQ(machine.restore_setting(), std::optional<DWORD>(0)) << "never touched";
}

}  // namespace

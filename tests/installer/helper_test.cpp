// The real installer_x64.exe under Wine: with the test program as the tool (every message in
// order), and under the library's own host, on a simulated machine that has the device plugged
// in: its driver update, INF copy and group-policy object answer as Windows does.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/install_errors.h"
#include "base/installer_protocol.h"
#include "helper_run.h"
#include "simulated_machine.h"
#include "win/handles.h"

namespace {

namespace fs = std::filesystem;
using test::helper_folder;
using test::helper_run;
using test::run_helper;
using test::tool_answers;

const std::wstring kInfArgument = L"\"Corvane.inf\"";
const char kPolicyDisabled[] = "successfully disabled the system restore point creation setting";
const char kPolicyRestored[] = "successfully restored the system restore point creation setting";
const char kPolicyLeftAlone[] =
    "system restore point creation setting left alone: this run did not change it";

int8_t status_of(const helper_run& run) {
    int at = run.code_index(MSG_SET_STATUS);
    if (at < 0 || run.messages[at].text.empty())
        return 0x7F;  // none: no result has this value
    return static_cast<int8_t>(run.messages[at].text[0]);
}

// The end sequence: MSG_INSTALLER_COMPLETED, at once MSG_SET_STATUS with the result, which is the
// exit code too, and nothing after it but log and setup-log lines.
void expect_ends_with(const helper_run& run, usbdrv_result result) {
    ASSERT_TRUE(run.finished) << run.dump();
    int completed = run.code_index(MSG_INSTALLER_COMPLETED);
    int status = run.code_index(MSG_SET_STATUS);
    ASSERT_GE(completed, 0) << run.dump();
    EXPECT_EQ(status, completed + 1) << run.dump();
    EXPECT_EQ(status_of(run), result) << run.dump();
    EXPECT_EQ(static_cast<int>(run.exit_code), result) << run.dump();
    for (size_t i = status + 1; i < run.messages.size(); i++) {
        EXPECT_TRUE(run.messages[i].code == MSG_PRINT_MESSAGE ||
                    run.messages[i].code == MSG_SYSLOG_MESSAGE)
            << run.dump();
    }
}

// Each log text of `in_order` comes, in this order (others may come between).
void expect_in_order(const helper_run& run, const std::vector<std::string>& in_order) {
    std::vector<std::string> logs = run.logs();
    size_t at = 0;
    for (const std::string& text : in_order) {
        while (at < logs.size() && logs[at] != text)
            at++;
        EXPECT_LT(at, logs.size()) << "'" << text << "' missing or out of order\n" << run.dump();
        if (at == logs.size())
            return;
    }
}

// A WINDIR without any setup log, unless a test writes one.
class Helper : public testing::Test {
protected:
    fs::path setup_log() const { return windir_.path() / "inf" / "setupapi.dev.log"; }

    test::temp_dir windir_;
    test::scoped_environment windir_set_{"WINDIR", windir_.utf8()};
    // The device plugged in; a machine of its own for each test.
    test::simulated_machine machine_{test::scenario_of(
        {{test::kDeviceId, "hardware_id = " + std::string(test::kHardwareId) + "\n"}})};
};

TEST_F(Helper, StartedWithoutTheToolItRefusesWithTwoLines) {
    helper_folder folder;
    helper_run run = test::run_helper_without_tool(folder);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(static_cast<int>(run.exit_code), USBDRV_ERR_NOT_SUPPORTED);
    EXPECT_EQ(run.console,
              "This application can not be run from the command line.\r\n"
              "Please use your initial installer application if you want to install the "
              "driver.\r\n");
}

TEST_F(Helper, TheDriverUpdateForTheHardwareId) {
    helper_folder folder;
    helper_run run = run_helper(folder, kInfArgument);
    expect_ends_with(run, USBDRV_OK);
    const std::string device = test::kDeviceId;
    const std::string hardware = test::kHardwareId;
    expect_in_order(
        run, {"got parameter Corvane.inf", "got device_id: '" + device + "'",
              "got hardware_id: '" + hardware + "'", "got user_sid: 'S-1-5-21-1-2-3-1000'",
              "Could not open any syslog", "syslog reader thread terminating",
              "Unable to create syslog reader thread", kPolicyDisabled,
              "Installing driver for " + hardware + " - please wait...", "driver update completed",
              "re-enumerating driver node " + device + "...", kPolicyRestored});
    // The requests in their order, each answered before the next; the long call between its
    // time-out hints.
    std::vector<int> codes;
    for (int code : run.codes()) {
        if (code != MSG_PRINT_MESSAGE && code != MSG_SYSLOG_MESSAGE)
            codes.push_back(code);
    }
    EXPECT_EQ(codes, (std::vector<int>{2, 3, 4, 5, 6, 8, 7})) << run.dump();
    EXPECT_LT(run.code_index(MSG_SET_TIMEOUT_INFINITE),
              run.log_index("Installing driver for " + hardware + " - please wait..."));
    EXPECT_GT(run.code_index(MSG_SET_TIMEOUT_DEFAULT),
              run.log_index("driver update completed") - 2);
    EXPECT_EQ(run.log_index("Copying inf file (for the next time device is plugged) - please "
                            "wait..."),
              -1)
        << run.dump();
}

TEST_F(Helper, WithoutAHardwareIdTheInfIsCopied) {
    const struct {
        const char* name;
        bool with_inf;
        usbdrv_result result;
    } rows[] = {
        {"the INF is there: copied", true, USBDRV_OK},
        {"no INF: the copy's error", false, USBDRV_ERR_NOT_FOUND},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        helper_folder folder(r.with_inf);
        // The copy's error, in the words of the helper's table.
        const std::string missing =
            describe_install_error(ERROR_FILE_NOT_FOUND, folder.inf_path().c_str()).lines.at(0);
        const std::string line = r.with_inf ? "copied inf to " : missing;
        tool_answers answers;
        answers.hardware_id.reset();
        helper_run run = run_helper(folder, kInfArgument, answers);
        expect_ends_with(run, r.result);
        // One zero byte: the tool has none, which the helper logs as empty.
        expect_in_order(run, {"got hardware_id: ''",
                              "Copying inf file (for the next time device is plugged) - please "
                              "wait..."});
        int at = run.log_index(line, true);
        ASSERT_GE(at, 0) << run.dump();
        EXPECT_EQ(run.log_index("Installing driver for ", true), -1) << run.dump();
        // The copy between its own time-out hints, after the ones of the installation.
        std::vector<int> codes;
        for (int code : run.codes()) {
            if (code == MSG_SET_TIMEOUT_INFINITE || code == MSG_SET_TIMEOUT_DEFAULT)
                codes.push_back(code);
        }
        EXPECT_EQ(codes, (std::vector<int>{5, 5, 6})) << run.dump();
        if (r.with_inf) {
            // Where the system stored it (oem<N>.inf in the test's own %WINDIR%\inf).
            std::string stored = run.messages[at].text.substr(strlen("copied inf to "));
            EXPECT_TRUE(DeleteFileA(stored.c_str())) << stored;
            expect_in_order(run,
                            {"copied inf to " + stored,
                             "re-enumerating driver node " + std::string(test::kDeviceId) + "..."});
        } else {
            EXPECT_EQ(run.messages[at].text, missing);
        }
    }
}

TEST_F(Helper, WithoutItsArgumentItSaysHowToCallIt) {
    helper_folder folder;
    helper_run run = run_helper(folder, L"");
    expect_ends_with(run, USBDRV_ERR_INVALID_PARAM);
    std::string program = test::utf8(folder.path() / "installer_x64.exe");
    EXPECT_EQ(run.console, "usage: " + program + " <inf_name>\r\n");
    EXPECT_EQ(run.logs(),
              (std::vector<std::string>{"missing inf_name parameter", kPolicyLeftAlone}))
        << run.dump();
    EXPECT_EQ(run.code_index(MSG_GET_DEVICE_ID), -1) << "nothing is asked before the argument";
}

TEST_F(Helper, AnInfPathThatDoesNotFitIsRefusedNotCut) {
    helper_folder folder;
    std::wstring name(520, L'a');
    helper_run run = run_helper(folder, L"\"" + name + L".inf\"");
    expect_ends_with(run, USBDRV_ERR_INVALID_PARAM);
    EXPECT_GE(run.log_index("the INF path is longer than 511 bytes"), 0) << run.dump();
    EXPECT_EQ(run.code_index(MSG_GET_DEVICE_ID), -1);
}

TEST_F(Helper, ANonAsciiInfNameTravelsAsUtf8) {
    helper_folder folder;
    std::filesystem::copy_file(folder.path() / "Corvane.inf", folder.path() / L"\u00e9t\u00e9.inf");
    helper_run run = run_helper(folder, L"\"\u00e9t\u00e9.inf\"");
    expect_ends_with(run, USBDRV_OK);
    EXPECT_GE(run.log_index("got parameter \xC3\xA9t\xC3\xA9.inf"), 0) << run.dump();
}

TEST_F(Helper, TheSetupLogWrittenDuringTheInstallationIsRelayed) {
    fs::create_directories(setup_log().parent_path());
    std::ofstream(setup_log(), std::ios::binary) << ">>>  [an earlier section]\r\n";
    helper_folder folder;
    tool_answers answers;
    // Only the INF copy, which writes no section of its own: the log holds the test's lines only.
    answers.hardware_id.reset();
    const fs::path log = setup_log();
    answers.on_log = [log](const std::string& text) {
        if (text == "syslog reader thread started") {
            std::ofstream(log, std::ios::binary | std::ios::app)
                << ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices)]\r\n"
                   "     ndv: INF path: Corvane.inf\r\n"
                   "     ndv: never finished";
        }
    };
    helper_run run = run_helper(folder, kInfArgument, answers);
    expect_ends_with(run, USBDRV_OK);
    expect_in_order(run, {"using syslog '" + test::utf8(log) + "'", "syslog reader thread started",
                          kPolicyDisabled, "syslog reader thread terminating"});
    EXPECT_EQ(run.syslog_lines(),
              (std::vector<std::string>{">>>  [Device Install (UpdateDriverForPlugAndPlayDevices)]",
                                        "     ndv: INF path: Corvane.inf"}))
        << run.dump();
    EXPECT_EQ(run.log_index("Unable to create syslog reader thread"), -1);
}

// Under the library's host, as the install command runs it.
TEST_F(Helper, UnderTheHostTheResultAndTheRelayedLines) {
    fs::create_directories(setup_log().parent_path());
    std::ofstream(setup_log(), std::ios::binary) << "";
    helper_folder folder;
    usbdrv_device_entry device = {};
    device.device_id = const_cast<char*>(test::kDeviceId);
    device.hardware_id = const_cast<char*>(test::kHardwareId);

    // Lines keep coming while the host serves the helper.
    std::atomic<bool> installing{true};
    std::thread writer([&] {
        for (int n = 0; installing; n++) {
            std::ofstream(setup_log(), std::ios::binary | std::ios::app)
                << "     ndv: line " << n << "\r\n";
            Sleep(50);
        }
    });
    test::installation outcome = test::install_with_helper(folder, device);
    installing = false;
    writer.join();

    EXPECT_EQ(outcome.result, USBDRV_OK) << outcome.log;
    const std::string from = "usbdrv:debug [installer process] ";
    for (const std::string& text :
         {std::string("got parameter Corvane.inf"), std::string(kPolicyDisabled),
          "Installing driver for " + std::string(test::kHardwareId) + " - please wait...",
          std::string("syslog reader thread started")}) {
        EXPECT_TRUE(outcome.logged(from + text + "\n")) << text << "\n" << outcome.log;
    }
    EXPECT_TRUE(outcome.logged("usbdrv:debug [syslog]      ndv: line ")) << outcome.log;
    EXPECT_TRUE(outcome.logged("usbdrv:debug [process_message] installer process completed\n"));
}

// The real relay and the host together: a setup-log line that would drive a terminal is one
// escaped line, and one longer than a message may be is cut by the helper, so that the host
// takes it.
TEST_F(Helper, UnderTheHostAHostileOrLongSetupLogLineIsOneLineThatFits) {
    fs::create_directories(setup_log().parent_path());
    std::ofstream(setup_log(), std::ios::binary) << "";
    helper_folder folder;
    usbdrv_device_entry device = {};
    device.device_id = const_cast<char*>(test::kDeviceId);
    device.hardware_id = const_cast<char*>(test::kHardwareId);

    std::atomic<bool> installing{true};
    std::thread writer([&] {
        while (installing) {
            std::ofstream(setup_log(), std::ios::binary | std::ios::app)
                << "     ndv: \x1B[2J\x1B[31mred\x07\r\n"
                << std::string(70000, 'L') << "\r\n";
            Sleep(100);
        }
    });
    test::installation outcome = test::install_with_helper(folder, device);
    installing = false;
    writer.join();

    EXPECT_EQ(outcome.result, USBDRV_OK) << outcome.log.substr(0, 4000);
    EXPECT_TRUE(outcome.logged("usbdrv:debug [syslog]      ndv: \\x1B[2J\\x1B[31mred\\x07\n"))
        << outcome.log.substr(0, 4000);
    EXPECT_TRUE(
        outcome.logged("usbdrv:debug [installer process] a setup-log line of 70000 bytes "
                       "is cut to its first 65534 bytes\n"));
    EXPECT_TRUE(outcome.logged("usbdrv:debug [syslog] " + std::string(kSyslogTextMax, 'L') + "\n"));
    EXPECT_FALSE(outcome.logged("refused as malformed"));
    EXPECT_FALSE(outcome.logged("\x1B"));
}

TEST_F(Helper, UnderTheHostAFailedCopyEndsWithItsStatus) {
    helper_folder folder(false);
    usbdrv_device_entry device = {};
    device.device_id = const_cast<char*>(test::kDeviceId);
    test::installation outcome = test::install_with_helper(folder, device);
    EXPECT_EQ(outcome.result, USBDRV_ERR_NOT_FOUND) << outcome.log;
    // The status ends the host's reading at once: the completion came before it.
    size_t completed = outcome.position("[process_message] installer process completed\n");
    size_t error = outcome.position(
        "[installer process] " +
        describe_install_error(ERROR_FILE_NOT_FOUND, folder.inf_path().c_str()).lines.at(0) + "\n");
    EXPECT_NE(completed, std::string::npos) << outcome.log;
    EXPECT_LT(error, completed) << outcome.log;
}

}  // namespace

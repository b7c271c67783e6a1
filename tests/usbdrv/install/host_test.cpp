// usbdrv_install_driver on the simulated machine, started elevated through the shell (as on
// Vista and later for an administrator), serving the scripted stand-in of the installer helper.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "base/loggable_text.h"
#include "host_fixture.h"
#include "pipe_squatter.h"
#include "simulated_machine.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"

namespace {

using test::helper_package;
using test::install;
using test::install_outcome;
using test::test_device;

const char kSuccess[] = "connect\nstatus 0\nexit 0\n";
const std::string kHost = "usbdrv:error [install_driver_internal] ";

class Host : public testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(test::nothing_left()); }

    // An installation right after another one works: nothing of the earlier one is in its way.
    void expect_next_installation_works(const char* after) {
        helper_package package;
        package.script(kSuccess);
        test_device device;
        install_outcome next = install(package, device);
        EXPECT_EQ(next.result, USBDRV_OK) << "after " << after << "\n" << next.log;
        EXPECT_TRUE(test::nothing_left()) << "after " << after;
    }
};

TEST_F(Host, HowTheConversationEndsGivesTheResult) {
    const std::string kProcess = "usbdrv:error [process_message] ";
    const struct {
        const char* name;
        const char* script;
        usbdrv_result result;
        std::vector<std::string> logged;
        std::vector<std::string> not_logged;
    } rows[] = {
        {"status 0xF3 ends the installation at once",
         "connect\nlog before\nstatus -13\npause 300\nlog after the status\nexit 0\n",
         USBDRV_ERR_EXISTS,
         {"usbdrv:debug [installer process] before\n"},
         {"after the status"}},
        {"the identifiers, status 0, then exit 0",
         "connect\nrequest 2\nrequest 3\nrequest 4\ncode 8\nstatus 0\nexit 0\n",
         USBDRV_OK,
         {"usbdrv:debug [process_message] got request for device_id\n",
          "usbdrv:debug [installer process] got device_id: '" + std::string(test::kDeviceId) +
              "'\n",
          "usbdrv:debug [installer process] got hardware_id: '" + std::string(test::kHardwareId) +
              "'\n",
          "usbdrv:debug [installer process] got user_sid: '" + test::current_user_sid() + "'\n",
          "usbdrv:debug [process_message] installer process completed\n"},
         {}},
        {"exit 1 without a status",
         "connect\nlog working\nexit 1\n",
         USBDRV_ERR_OTHER,
         {kHost + "the installer ended with exit code 1 (0x1) without sending its status\n"},
         {}},
        // A helper ended from outside (or crashed) may leave any exit code: without its status
        // it did not say that it installed.
        {"exit 0 without a status",
         "connect\nlog working\ncode 8\nexit 0\n",
         USBDRV_ERR_OTHER,
         {kHost + "the installer ended with exit code 0 (0x0) without sending its status\n"},
         {}},
        {"status 0x9D", "connect\nstatus -99\nexit 0\n", USBDRV_ERR_OTHER, {}, {}},
        {"a setup-log line of 2000 bytes",
         "connect\nsyslog-filled 1998 x\nstatus 0\nexit 0\n",
         USBDRV_OK,
         // Whether a piece was waited for (async) or there at once (sync) is the system's timing.
         {" - increasing buffer size to 1024 bytes\n", " - increasing buffer size to 2048 bytes\n",
          "usbdrv:debug [syslog] " + std::string(1998, 'x') + "\n"},
         {"4096 bytes"}},
        {"an unknown code",
         "connect\ncode 9\npause 500\nexit 0\n",
         USBDRV_ERR_NOT_FOUND,
         {kProcess + "unrecognized installer message\n"},
         {}},
        {"an empty message",
         "connect\nraw\npause 500\nexit 0\n",
         USBDRV_ERR_INVALID_PARAM,
         {},
         {"[process_message]"}},
        {"a status without its byte",
         "connect\nraw 07\nexit 0\n",
         USBDRV_ERR_NOT_FOUND,
         {kProcess + "set status: no data\n"},
         {}},
        {"a log message without its text",
         "connect\nraw 00\nexit 0\n",
         USBDRV_ERR_NOT_FOUND,
         {kProcess + "print_message: no data\n"},
         {}},
        {"a setup-log message without its line",
         "connect\nraw 01\nexit 0\n",
         USBDRV_ERR_NOT_FOUND,
         {kProcess + "syslog_message: no data\n"},
         {}},
        {"texts without their zero byte are malformed, not the end",
         "connect\nraw 00616263\nraw 0178797A\nstatus 0\nexit 0\n",
         USBDRV_OK,
         {"usbdrv:warning [process_message] malformed print_message: no terminating zero in its "
          "3 bytes of text\n",
          "usbdrv:debug [installer process] abc\n", "usbdrv:debug [syslog] xyz\n"},
         {}},
        {"exits with 3 before connecting", "exit 3\n", USBDRV_ERR_OTHER, {}, {}},
        {"exits with 0 before connecting",
         "exit 0\n",
         USBDRV_ERR_OTHER,
         {kHost + "the installer ended with exit code 0 (0x0) without sending its status\n"},
         {}},
        {"connects late", "pause 400\nconnect\nstatus -13\nexit 0\n", USBDRV_ERR_EXISTS, {}, {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        helper_package package;
        package.script(r.script);
        test_device device;
        install_outcome outcome = install(package, device);
        EXPECT_EQ(outcome.result, r.result) << outcome.log;
        for (const std::string& line : r.logged)
            EXPECT_TRUE(outcome.logged(line)) << line << "\n--- in ---\n" << outcome.log;
        for (const std::string& text : r.not_logged)
            EXPECT_FALSE(outcome.logged(text)) << text << "\n--- in ---\n" << outcome.log;
        EXPECT_TRUE(test::nothing_left());
        expect_next_installation_works(r.name);
    }
}

TEST_F(Host, TheFolderAndTheRequiredParameters) {
    helper_package package;
    package.script(kSuccess);
    test_device device;

    std::string saved_temp = getenv("TEMP") ? getenv("TEMP") : "";
    _putenv_s("TEMP", package.dir().c_str());
    install_outcome from_temp = install(nullptr, device.entry(), nullptr);
    install_outcome from_empty = install("", device.entry(), nullptr);
    _putenv_s("TEMP", "");
    install_outcome without_temp = install(nullptr, device.entry(), nullptr);
    _putenv_s("TEMP", saved_temp.c_str());

    const std::string from =
        "usbdrv:info [install_driver_internal] no path provided - installing "
        "from '" +
        package.dir() + "'\n";
    EXPECT_EQ(from_temp.result, USBDRV_OK) << from_temp.log;
    EXPECT_TRUE(from_temp.logged(from)) << from_temp.log;
    EXPECT_EQ(from_empty.result, USBDRV_OK) << from_empty.log;
    EXPECT_TRUE(from_empty.logged(from)) << from_empty.log;
    EXPECT_EQ(without_temp.result, USBDRV_ERR_INVALID_PARAM);
    EXPECT_TRUE(without_temp.logged(kHost + "no path provided and unable to use TEMP\n"))
        << without_temp.log;

    for (bool no_device : {true, false}) {
        install_outcome o = install(package.dir().c_str(), no_device ? nullptr : device.entry(),
                                    nullptr, no_device ? "Corvane.inf" : nullptr);
        EXPECT_EQ(o.result, USBDRV_ERR_INVALID_PARAM);
        EXPECT_TRUE(o.logged(kHost + "one of the required parameter is NULL\n")) << o.log;
    }
    EXPECT_TRUE(test::nothing_left());
    expect_next_installation_works("a refused request");
}

// The helper reads each identifier into 512 bytes and needs a zero byte after it: a longer one
// is refused before anything starts.
TEST_F(Host, AnIdentifierTheHelperCannotReadWholeIsRefused) {
    helper_package package;
    package.script("connect\nrequest 3\nstatus 0\nexit 0\n");
    test_device device;
    device.hardware_id = std::string(511, 'H');
    install_outcome longest = install(package, device);
    EXPECT_EQ(longest.result, USBDRV_OK) << longest.log;
    // The helper's log line is cut at 254 bytes: the identifier's start shows it arrived.
    EXPECT_TRUE(longest.logged("[installer process] got hardware_id: 'HHHHHHHH")) << longest.log;

    for (const char* which : {"device_id", "hardware_id"}) {
        test_device too_long;
        (std::string(which) == "device_id" ? too_long.device_id : too_long.hardware_id) =
            std::string(512, 'T');
        install_outcome refused = install(package, too_long);
        EXPECT_EQ(refused.result, USBDRV_ERR_INVALID_PARAM);
        EXPECT_TRUE(refused.logged(kHost + which +
                                   " of 512 bytes is longer than the installer can take (at most "
                                   "511)\n"))
            << refused.log;
        EXPECT_FALSE(refused.logged("[installer process]")) << "the helper was started";
    }
}

TEST_F(Host, APackageWithoutTheHelper) {
    helper_package package;
    package.remove_helper();
    test_device device;
    install_outcome o = install(package, device);
    EXPECT_EQ(o.result, USBDRV_ERR_NOT_FOUND);
    EXPECT_TRUE(o.logged(
        kHost + "this application does not contain the required 64 bit installer\n" + kHost +
        "please contact the application provider for a 64 bit compatible "
        "version\n"))
        << o.log;
}

TEST_F(Host, PendingInstallations) {
    test::simulated_machine machine("[machine]\npending_installations_ms = 300\n");
    helper_package package;
    package.script(kSuccess);
    test_device device;

    usbdrv_install_options no_wait = {nullptr, 0, 0};
    install_outcome pending = install(package, device, &no_wait);
    EXPECT_EQ(pending.result, USBDRV_ERR_PENDING_INSTALLATION) << pending.log;
    EXPECT_TRUE(
        pending.logged("usbdrv:warning [install_driver_internal] timeout expired while "
                       "waiting for another pending installation - aborting\n"))
        << pending.log;

    usbdrv_install_options long_enough = {nullptr, 0, 5000};
    install_outcome waited = install(package, device, &long_enough);
    EXPECT_EQ(waited.result, USBDRV_OK) << waited.log;

    install_outcome no_options = install(package, device, nullptr);
    EXPECT_EQ(no_options.result, USBDRV_OK) << no_options.log;
    EXPECT_TRUE(
        no_options.logged("usbdrv:debug [install_driver_internal] "
                          "CMP_WaitNoPendingInstallEvents not available\n"))
        << no_options.log;
}

// Elevated, the filter installer's console cannot be handed the pipe: its result is its exit
// code, and its arguments show in the file it writes them to.
TEST_F(Host, TheFilterInstallerStartedElevated) {
    helper_package package;
    package.add_filter_installer();
    package.remove_helper();
    const std::filesystem::path record = package.path() / "record.txt";
    SetEnvironmentVariableA("CORVANE_FILTER_RECORD", test::utf8(record).c_str());
    for (const test::filter_case& filter : test::filter_cases()) {
        install_outcome o = test::install_with_filter(package, filter);
        EXPECT_EQ(o.result, filter.result) << o.log;
        EXPECT_EQ(test::read_file(record),
                  "install-filter called with: " + filter.arguments + "\n");
        EXPECT_TRUE(
            o.logged("usbdrv:info [install_driver_internal] the output of an elevated "
                     "install-filter cannot be relayed\n"))
            << o.log;
    }
    SetEnvironmentVariableA("CORVANE_FILTER_RECORD", nullptr);
}

TEST_F(Host, ASecondInstallationWhileOneRunsIsBusyInThisProcessAndInAnother) {
    helper_package slow;
    slow.script("connect\npause 1500\nstatus 0\nexit 0\n");
    helper_package other;
    other.script(kSuccess);
    test_device device;

    {
        SCOPED_TRACE("another thread of this process");
        usbdrv_result first = USBDRV_ERR_OTHER;
        std::thread running([&] {
            test_device own;
            first = usbdrv_install_driver(own.entry(), slow.dir().c_str(), "Corvane.inf", nullptr);
        });
        ASSERT_TRUE(test::wait_for_mutex(busy_marker_name(kInstallationMarker).text, 5000));
        install_outcome second = install(other, device);
        running.join();
        EXPECT_EQ(second.result, USBDRV_ERR_BUSY);
        EXPECT_EQ(second.log, "usbdrv:debug [usbdrv_install_driver] using standard mode\n");
        EXPECT_EQ(first, USBDRV_OK) << "the running installation was left alone";
    }
    {
        SCOPED_TRACE("another process");
        child_process_guard child;
        ASSERT_TRUE(test::start_program(test::beside_me("install_package.exe"),
                                        L"\"" + slow.path().wstring() + L"\"", nullptr, child));
        ASSERT_TRUE(test::wait_for_mutex(busy_marker_name(kInstallationMarker).text, 5000));
        install_outcome second = install(other, device);
        EXPECT_EQ(second.result, USBDRV_ERR_BUSY);
        EXPECT_EQ(second.log, "usbdrv:debug [usbdrv_install_driver] using standard mode\n");
        ASSERT_TRUE(child.wait(10000));
        EXPECT_EQ(child.exit_code(), 0u);
    }
}

// Another program that creates the pipe's name first is refused, whether the system lets the
// tool make a second instance beside it (Wine does) or not; the helper is not started, and the
// other program hears nothing.
TEST_F(Host, APipeNameAnotherProgramCreatedFirstIsRefused) {
    for (int instances : {255, 1}) {
        SCOPED_TRACE(std::to_string(instances) + " instances");
        helper_package package;
        package.script(kSuccess);
        test::pipe_squatter squatter;
        ASSERT_TRUE(squatter.start(instances, 1500));

        test_device device;
        install_outcome o = install(package, device);
        EXPECT_EQ(o.result, USBDRV_ERR_RESOURCE);
        EXPECT_TRUE(o.logged(kHost + "could not create read pipe: ")) << o.log;
        EXPECT_FALSE(o.logged("[installer process]"));

        EXPECT_EQ(squatter.bytes_received(), 0u);
        EXPECT_EQ(squatter.output(), "") << "the other program was connected to";
        expect_next_installation_works("the other program ended");
    }
}

// Any process of any user may connect to the pipe, and one that connects before the helper is
// not served: it is told nothing, nothing it sends reaches the log or ends the installation, it
// cannot hold the pipe, and the helper that connects after it is served as usual. One that keeps
// coming back ends the installation after five refusals, with nothing installed.
TEST_F(Host, OnlyTheProcessTheHostStartedIsServed) {
    // The helper connects a second after its start; the intruder polls for the pipe and is first.
    const char kLateHelper[] =
        "pause 1000\nconnect\nrequest 2\nrequest 3\nrequest 4\nstatus -13\nexit 0\n";
    const struct {
        const char* behaviour;
        const char* script;
        usbdrv_result result;
    } rows[] = {
        {"ask", kLateHelper, USBDRV_ERR_EXISTS},
        {"status-0", kLateHelper, USBDRV_ERR_EXISTS},
        {"cancel", kLateHelper, USBDRV_ERR_EXISTS},
        {"hold", kLateHelper, USBDRV_ERR_EXISTS},
        {"flood", kLateHelper, USBDRV_ERR_EXISTS},
        {"reconnect", "pause 3000\nconnect\nstatus 0\nexit 0\n", USBDRV_ERR_ACCESS},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.behaviour);
        helper_package package;
        package.script(r.script);
        test::pipe_intruder intruder;
        ASSERT_TRUE(intruder.start(r.behaviour, 8000));
        test_device device;
        install_outcome o = install(package, device);
        EXPECT_EQ(o.result, r.result) << o.log;

        const std::string refused = kHost + "refused a connection from process " +
                                    std::to_string(intruder.id()) +
                                    ", which is not the installer (process ";
        EXPECT_TRUE(o.logged(refused)) << o.log;
        EXPECT_FALSE(o.logged("intruder")) << o.log;
        EXPECT_FALSE(o.logged("switching timeout to infinite")) << o.log;
        EXPECT_EQ(intruder.bytes_received(), 0u) << intruder.output();
        const std::string said = intruder.output();
        EXPECT_EQ(said.find("connected\r\n"), 0u) << said;
        EXPECT_NE(said.find("dropped\r\n"), std::string::npos) << said;
        if (r.result == USBDRV_ERR_EXISTS) {
            EXPECT_TRUE(o.logged("usbdrv:debug [installer process] got device_id: '" +
                                 std::string(test::kDeviceId) + "'\n"))
                << o.log;
        } else {
            EXPECT_TRUE(o.logged(kHost + "refused 5 connections of other processes to the "
                                         "installer pipe - aborting\n"))
                << o.log;
            EXPECT_FALSE(o.logged("[installer process]")) << o.log;
            EXPECT_TRUE(test::helpers_end_within(10000)) << "the helper found no pipe and ended";
        }
    }
    expect_next_installation_works("the intruders");
}

// The hex digits of a message of `code` and `text` with its zero byte, for a script's "raw".
std::string raw_text(uint8_t code, const std::string& text) {
    std::string hex;
    char digits[3];
    snprintf(digits, sizeof digits, "%02X", code);
    hex += digits;
    for (char c : text) {
        snprintf(digits, sizeof digits, "%02X", static_cast<uint8_t>(c));
        hex += digits;
    }
    return "raw " + hex + "00\n";
}

void record_line(int32_t, const char* line, void* lines) {
    static_cast<std::vector<std::string>*>(lines)->push_back(line);
}

// A message over the bound is refused whole and the conversation goes on; what the helper sends
// is one escaped line each, as the library's sink (the dialog's log file, the console program's
// standard error) receives it.
TEST_F(Host, OversizeMessagesAndForgedLines) {
    const std::string forged = "usbdrv:info [install_driver_internal] installed OK";
    helper_package package;
    package.script("connect\nsyslog-filled 65535 y\nsyslog-filled 1000000 z\n" +
                   raw_text(MSG_PRINT_MESSAGE, "done\n" + forged) +
                   raw_text(MSG_SYSLOG_MESSAGE, "\x1B[2J\x1B[31mred\r") +
                   raw_text(MSG_PRINT_MESSAGE, "caf\xE9 \xC0\xAF") +
                   "syslog-filled 65534 w\nstatus -13\nexit 0\n");
    test_device device;

    std::vector<std::string> lines;
    const int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    usbdrv_set_log_sink(record_line, &lines);
    const usbdrv_result result =
        usbdrv_install_driver(device.entry(), package.dir().c_str(), "Corvane.inf", nullptr);
    usbdrv_set_log_sink(nullptr, nullptr);
    usbdrv_set_log_threshold(saved);
    std::string all;
    for (const std::string& line : lines)
        all += line + "\n";

    EXPECT_EQ(result, USBDRV_ERR_EXISTS) << "an oversize message is not the end";
    auto has_line = [&](const std::string& line) {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    };
    const std::string refused =
        "usbdrv:warning [install_driver_internal] message of more than 65536 bytes refused as "
        "malformed (code 0x01)";
    EXPECT_EQ(std::count(lines.begin(), lines.end(), refused), 2) << all.substr(0, 4000);
    EXPECT_EQ(all.find("yyyy"), std::string::npos);
    EXPECT_EQ(all.find("zzzz"), std::string::npos);
    EXPECT_EQ(all.find("131072"), std::string::npos) << "the buffer never grows past the bound";
    EXPECT_TRUE(has_line("usbdrv:debug [syslog] " + std::string(kSyslogTextMax, 'w')));
    EXPECT_TRUE(has_line("usbdrv:debug [installer process] done\\n" + forged)) << all;
    EXPECT_TRUE(has_line("usbdrv:debug [syslog] \\x1B[2J\\x1B[31mred\\r")) << all;
    EXPECT_TRUE(
        has_line("usbdrv:debug [installer process] caf\xEF\xBF\xBD "
                 "\xEF\xBF\xBD\xEF\xBF\xBD"))
        << all;
    for (const std::string& line : lines) {
        EXPECT_NE(line.rfind(forged, 0), 0u) << "a forged line";
        EXPECT_EQ(loggable_text(line.data(), line.size()), line) << "no control, all UTF-8";
    }
}

// The message time-out is the host's for the life of the process: "no limit" from one
// installation holds in the next until the helper asks for the default again, and then ten
// seconds of silence end the installation. The silent helper is not ended: it goes on and ends
// by itself. (The one test that waits out the product's time-outs.)
TEST_F(Host, TheMessageTimeOutCarriesOverHoldsAndRunsOut) {
    test_device device;
    helper_package first;
    first.script("connect\ncode 5\nstatus 0\nexit 0\n");
    install_outcome set = install(first, device);
    ASSERT_EQ(set.result, USBDRV_OK) << set.log;
    EXPECT_TRUE(set.logged("usbdrv:debug [process_message] switching timeout to infinite\n"));

    helper_package second;
    second.script(
        "connect\npause 10500\nlog still served\ncode 6\npause 11000\nlog too late\n"
        "exit 0\n");
    install_outcome o = install(second, device);
    EXPECT_EQ(o.result, USBDRV_ERR_TIMEOUT) << o.log;
    EXPECT_TRUE(o.logged("usbdrv:debug [installer process] still served\n")) << o.log;
    EXPECT_TRUE(o.logged("usbdrv:debug [process_message] switching timeout back to finite\n"));
    EXPECT_TRUE(o.logged(kHost + "installer failed to respond - aborting\n")) << o.log;
    EXPECT_FALSE(o.logged("too late"));
    EXPECT_EQ(test::running_helpers(), 1) << "the silent helper was left to itself";
    EXPECT_TRUE(test::helpers_end_within(5000)) << "and it ended by itself";
}

}  // namespace

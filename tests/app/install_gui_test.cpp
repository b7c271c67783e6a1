// "Install driver" of the real Corvane.exe run to its end on the simulated machine, with the real
// installer helper: the progress window over the dialog, the box of each outcome, what the
// machine lists afterwards, and the log file the program keeps for support.
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/device_id.h"
#include "base/install_errors.h"
#include "command_rules.h"
#include "command_session.h"
#include "device_rules.h"
#include "dialog_texts.h"
#include "log_file_rules.h"
#include "resource.h"
#include "usbdrv/usbdrv.h"

namespace fs = std::filesystem;

namespace {

using namespace gui;

// The box of an installation that bound the device, with its port and whether Windows must be
// restarted.
std::wstring installed_box(const char* port, bool restart = false) {
    installation_outcome outcome;
    outcome.kind = installation_outcome::installed;
    outcome.port = port;
    outcome.needs_restart = restart;
    return widen(installation_box_text(outcome).c_str());
}
const std::wstring kStored = widen(kStoredText);
const std::wstring kInstall = widen(kInstallCaption);
const std::wstring kReinstall = widen(kReinstallCaption);

// One of the dialog's own lines in its log file.
std::string own_line(const std::string& text) {
    return kOwnLinePrefix + text;
}
// The board's second CDC function (interface 2) in two-cdc-board.scn.
const char* const kSecondInterface = "USB\\VID_C04A&PID_0C0E&MI_02\\7&3A4B5C6&0&0002";
const char* const kSecondHardwareId = "USB\\VID_C04A&PID_0C0E&REV_0100&MI_02";

// The shipped board with two CDC functions, its installations answered as `install` says.
std::string twin_board(const std::string& install) {
    return read_text(test::from_utf8(test::shipped_scenario("two-cdc-board.scn"))) +
           "\n[install]\n" + install;
}

// The progress window of the session's program, while it shows.
HWND progress_window(command_session& session) {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"usbdrv_progress_class", nullptr))) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == GetProcessId(session.program().process()) && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

// Selects the board's second CDC function, as the user does.
void select_second_interface(command_session& session) {
    ASSERT_EQ(combo_items(session.program().item(IDC_COMBO_DEVICE)),
              (std::vector<std::wstring>{L"Corvane Twin Serial A (Interface 0)",
                                         L"Corvane Twin Serial B (Interface 2)"}));
    ASSERT_EQ(text_of(session.program().item(IDC_BUTTON_INSTALL)), kInstall);
    select_item(session.dialog(), 1);
}

// The caption the install button shows once a refresh has run after the box was closed.
std::wstring caption_after_refresh(command_session& session) {
    size_t listings = session.calls("SetupDiGetClassDevsA").size();
    eventually([&] { return session.calls("SetupDiGetClassDevsA").size() >= listings + 2; }, 10000);
    return text_of(session.program().item(IDC_BUTTON_INSTALL));
}

// The device as the library lists it on the session's machine now (the dialog's refreshes may
// hold the listing's busy marker for a moment).
struct listed_device {
    bool found = false;
    std::string driver;
    uint64_t version = 0;
};
listed_device listed(const char* instance) {
    listed_device device;
    usbdrv_list_options options = {1, 1, 1};
    usbdrv_device_entry* list = nullptr;
    if (!eventually([&] { return usbdrv_create_list(&list, &options) == USBDRV_OK; }, 5000))
        return device;
    for (const usbdrv_device_entry* e = list; e; e = e->next) {
        if (e->device_id && std::string(e->device_id) == instance) {
            device.found = true;
            device.driver = e->driver_name ? e->driver_name : "";
            device.version = e->driver_version;
        }
    }
    eventually([&] { return usbdrv_destroy_list(list) == USBDRV_OK; }, 5000);
    return device;
}

// The driver version the package's INF gives ("DriverVer = <date>, <version>").
uint64_t package_version(const fs::path& inf) {
    std::wstring text = read_inf(inf);
    size_t line = text.find(L"DriverVer");
    size_t comma = text.find(L',', line);
    size_t end = text.find_first_of(L"\r\n", comma);
    if (line == std::wstring::npos || comma == std::wstring::npos)
        return 0;
    std::string version = test::utf8(text.substr(comma + 1, end - comma - 1));
    return parse_driver_version(version.c_str());
}

TEST(Install, TheSecondInterfaceGetsTheDriverUnderTheProgressWindow) {
    // Long enough an update to see the progress window.
    command_session session(twin_board("duration_ms = 4000\n"));
    ASSERT_NE(session.dialog(), nullptr);
    select_second_interface(session);

    session.press(IDC_BUTTON_INSTALL);
    HWND progress = wait_for([&] { return progress_window(session); }, 60000);
    ASSERT_NE(progress, nullptr) << "no progress window";
    take_screenshot("install-progress");
    EXPECT_EQ(GetWindow(progress, GW_OWNER), session.dialog());
    EXPECT_EQ(text_of(progress), L"Installing Driver...");
    EXPECT_FALSE(IsWindowEnabled(session.dialog()));

    // The second function is the machine's first with a port: COM3.
    const std::wstring installed = installed_box("COM3");
    EXPECT_EQ(installed, L"The driver was installed successfully on COM3.");
    message_box box = session.wait_for_box(installed.c_str(), 120000);
    take_screenshot("install-done");
    expect_box(session, box, installed, "information");
    EXPECT_EQ(progress_window(session), nullptr);
    ASSERT_TRUE(session.close(box));
    // The progress window gave the dialog back, and the box let it go.
    EXPECT_TRUE(eventually([&] { return IsWindowEnabled(session.dialog()) != FALSE; }));

    // The next refresh shows the driver on the device that stays selected, and its port in the
    // list.
    EXPECT_EQ(caption_after_refresh(session), kReinstall);
    EXPECT_EQ(SendMessageW(session.program().item(IDC_COMBO_DEVICE), CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(combo_items(session.program().item(IDC_COMBO_DEVICE)),
              (std::vector<std::wstring>{L"Corvane Twin Serial A (Interface 0)",
                                         L"Corvane Twin Serial B (Interface 2) (COM3)"}));
    take_screenshot("install-reinstall");
    listed_device second = listed(kSecondInterface);
    ASSERT_TRUE(second.found);
    EXPECT_EQ(second.driver, "usbser");
    EXPECT_EQ(second.version, package_version(session.installed() / kInfName));
    EXPECT_NE(second.version, 0u);
    // The first function was not installed.
    EXPECT_EQ(listed("USB\\VID_C04A&PID_0C0E&MI_00\\7&3A4B5C6&0&0000").driver, "");

    // The helper asked for the second function's hardware ID, once.
    std::vector<std::vector<std::string>> updates =
        session.calls("UpdateDriverForPlugAndPlayDevicesW");
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0][0], kSecondHardwareId);
    EXPECT_EQ(updates[0].back().rfind("ok", 0), 0u) << updates[0].back();

    // The log file tells the story: the command, the host, the helper's steps as the library
    // relayed them, and the box.
    std::string log = read_text(session.log());
    for (const std::string& expected :
         {own_line(kInstallCommand + std::string(" for \"Corvane Twin Serial B (Interface 2)\"")),
          std::string("usbdrv:debug [usbdrv_install_driver] using progress bar mode"),
          std::string("usbdrv:debug [installer process] Installing driver for "),
          std::string(kSecondHardwareId), own_line(kBoxLinePrefix + test::utf8(installed))}) {
        EXPECT_NE(log.find(expected), std::string::npos) << expected << " not in:\n" << log;
    }
    EXPECT_EQ(log.rfind(kUtf8ByteOrderMark, 0), 0u);

    // The package of the selected device carries its name, not the list's port beside it.
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
    EXPECT_NE(
        read_inf(session.extracted() / kInfName).find(L"\"Corvane Twin Serial B (Interface 2)\""),
        std::wstring::npos);
}

// What the library reports for an installation that needs a reboot and for failing ones: the box
// the dialog gives each result, and the helper's lines for the code in the log file. The results
// and the lines are the helper's own table's. A failure's box carries the library's text and its
// code, the Windows error where the helper's lines name it, the next step where there is one,
// and where the log is.
TEST(Install, EachOutcomeShowsWhatTheLibraryReports) {
    const struct {
        uint32_t update;
        const char* screenshot;
        const std::wstring& caption;      // after the next refresh
        std::vector<std::string> saying;  // in a failure's box
    } rows[] = {
        // A reboot is due, but the driver is installed: the success, and the restart.
        {3010, "install-reboot", kReinstall, {}},
        {0xE000022F,
         "install-unsigned",
         kInstall,
         {"driver installation policy", "\\INF\\setupapi.dev.log says what refused it"}},
        {122, "install-failed", kInstall, {"Windows error 122)"}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.update);
        install_error expected = describe_install_error(r.update, "");
        command_session session(twin_board("update = " + std::to_string(r.update) + "\n"));
        ASSERT_NE(session.dialog(), nullptr);
        select_second_interface(session);
        session.press(IDC_BUTTON_INSTALL);
        message_box box = session.wait_for_box(nullptr, 120000);
        take_screenshot(r.screenshot);
        if (expected.result == USBDRV_OK) {
            expect_box(session, box, installed_box("COM3", true), "information");
        } else {
            EXPECT_EQ(box.icon, "error");
            const std::wstring start = library_text(expected.result) + L" (library error " +
                                       std::to_wstring(expected.result);
            EXPECT_EQ(box.text.compare(0, start.size(), start), 0) << test::utf8(box.text);
            std::vector<std::string> saying = r.saying;
            saying.push_back("The log file " + test::utf8(session.log()) + " has the detail.");
            for (const std::string& part : saying) {
                EXPECT_NE(test::utf8(box.text).find(part), std::string::npos)
                    << part << " not in " << test::utf8(box.text);
            }
        }
        ASSERT_TRUE(session.close(box));
        EXPECT_EQ(caption_after_refresh(session), r.caption);
        EXPECT_EQ(session.calls("UpdateDriverForPlugAndPlayDevicesW").size(), 1u);

        std::string log = read_text(session.log());
        for (const std::string& line : expected.lines) {
            EXPECT_NE(log.find("usbdrv:debug [installer process] " + line), std::string::npos)
                << line << " not in:\n"
                << log;
        }
        EXPECT_NE(log.find(own_line(kBoxLinePrefix + test::utf8(box.text))), std::string::npos)
            << log;
    }
}

// An installation that bound nothing is never reported as installed: the board was unplugged
// before its update (the update answers "no such device"), or there was no board at all (the
// package is for the typed identifiers). The helper stores the driver for the next plugging in,
// and the box says so.
TEST(Install, AnInstallationThatBoundNothingSaysTheDriverWasStored) {
    const struct {
        const char* what;
        std::string scenario;
        bool listed;  // a board was listed and selected
        const char* screenshot;
    } rows[] = {
        {"the board unplugged before its update", twin_board("update = 0xE000020B\n"), true,
         "install-stored-unplugged"},
        {"no board", "", false, "install-stored-no-board"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        command_session session(r.scenario);
        ASSERT_NE(session.dialog(), nullptr);
        if (r.listed)
            select_second_interface(session);
        session.press(IDC_BUTTON_INSTALL);
        message_box box = session.wait_for_box(nullptr, 120000);
        take_screenshot(r.screenshot);
        expect_box(session, box, kStored, "warning");
        ASSERT_TRUE(session.close(box));
        // The INF went to the driver store, and nothing was bound.
        std::vector<std::vector<std::string>> copies = session.calls("SetupCopyOEMInfW");
        ASSERT_FALSE(copies.empty());
        EXPECT_EQ(copies.back().back().rfind("ok", 0), 0u) << copies.back().back();
        if (r.listed) {
            EXPECT_EQ(caption_after_refresh(session), kInstall);
            EXPECT_EQ(listed(kSecondInterface).driver, "");
        }
        EXPECT_NE(
            read_text(session.log()).find(own_line(kBoxLinePrefix + std::string(kStoredText))),
            std::string::npos);
    }
}

// An installation that changed nothing (the update failed) leaves the list as it was, and the
// refresh after it, which lists again in case a driver changed, rewrites nothing the user sees:
// a drop-down opened meanwhile stays open, the selection and the text marked in a box stay.
TEST(Install, OneThatChangedNothingLeavesTheListAsTheUserHasIt) {
    command_session session(twin_board("update = 122\n"));
    ASSERT_NE(session.dialog(), nullptr);
    select_second_interface(session);
    HWND combo = session.program().item(IDC_COMBO_DEVICE);
    HWND uid = session.program().item(IDC_EDIT_UID);
    const std::vector<std::wstring> before = combo_items(combo);
    const std::wstring uid_text = text_of(uid);
    message_box box = session.run(IDC_BUTTON_INSTALL, 120000);
    ASSERT_EQ(box.icon, "error");

    SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    SendMessageW(uid, EM_SETSEL, 2, 6);
    size_t listings = session.calls("SetupDiGetClassDevsA").size();
    ASSERT_TRUE(eventually(
        [&] { return session.calls("SetupDiGetClassDevsA").size() >= listings + 2; }, 10000));
    EXPECT_EQ(combo_items(combo), before);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 1);
    EXPECT_TRUE(SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0));
    DWORD start = 0, end = 0;
    SendMessageW(uid, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 2u);
    EXPECT_EQ(end, 6u);
    EXPECT_EQ(text_of(uid), uid_text);
    SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
}

// A file that has reached the limit makes room for the next line: it becomes the older file,
// replacing the one before, and the line starts a new file.
TEST(LogFile, AFullFileBecomesTheOlderOne) {
    test::temp_dir local;
    const fs::path folder = local.path() / kLogFolderName;
    fs::create_directory(folder);
    const std::string full = "the full file\n" + std::string(kLogFileLimit - 20, 'f') + "\n";
    std::ofstream(folder / kLogFileName, std::ios::binary) << full;
    std::ofstream(folder / kOldLogFileName, std::ios::binary) << "the oldest";

    auto session = command_session::with_local_app_data("", local.path().wstring());
    ASSERT_NE(session->dialog(), nullptr);
    expect_box(*session, session->run(IDC_BUTTON_EXTRACT), session->extracted_text(),
               "information");

    EXPECT_EQ(read_text(folder / kOldLogFileName), full);
    std::string log = read_text(folder / kLogFileName);
    EXPECT_EQ(log.rfind(std::string(kUtf8ByteOrderMark) + "20", 0), 0u) << log.substr(0, 80);
    EXPECT_NE(log.find(own_line(kStartedLine) + "\r\n"), std::string::npos) << log;
    EXPECT_NE(
        log.find(own_line(kExtractCommand + std::string(" for \"") + kPlaceholderName + "\"")),
        std::string::npos);
    EXPECT_LT(log.size(), kLogFileLimit);
}

// A local application data folder that does not exist yet: it is made, with every folder above
// it that is missing, and the log goes there.
TEST(LogFile, TheFoldersAboveItThatAreMissingAreMade) {
    test::temp_dir dir;
    const fs::path local = dir.path() / "not" / "there" / "yet";
    auto session = command_session::with_local_app_data("", local.wstring());
    ASSERT_NE(session->dialog(), nullptr);
    expect_box(*session, session->run(IDC_BUTTON_EXTRACT), session->extracted_text(),
               "information");
    std::string log = read_text(local / kLogFolderName / kLogFileName);
    EXPECT_NE(log.find(own_line(kStartedLine)), std::string::npos) << log;
    EXPECT_NE(log.find(own_line(kExtractCommand)), std::string::npos) << log;
}

// LOCALAPPDATA that names no folder: the log goes below the system's local application data.
TEST(LogFile, WithoutLocalAppDataItGoesToTheSystemsFolder) {
    wchar_t system[MAX_PATH] = {};
    ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, system),
              S_OK);
    const fs::path log = fs::path(system) / kLogFolderName / kLogFileName;
    std::error_code error;
    const uintmax_t before = fs::exists(log) ? fs::file_size(log, error) : 0;
    auto session = command_session::with_local_app_data("", L"");
    ASSERT_NE(session->dialog(), nullptr);
    expect_box(*session, session->run(IDC_BUTTON_EXTRACT), session->extracted_text(),
               "information");
    std::string text = read_text(log);
    ASSERT_GT(text.size(), before);
    EXPECT_NE(text.find(own_line(kExtractCommand), before), std::string::npos) << text;
}

// A log folder that cannot be made (below a file) leaves the program without a log, and working.
TEST(LogFile, AFolderThatCannotBeWrittenDoesNotStopTheDialog) {
    test::temp_dir dir;
    fs::path file = dir.path() / "a-file";
    std::ofstream(file) << "not a folder";
    auto session = command_session::with_local_app_data("", (file / "local").wstring());
    ASSERT_NE(session->dialog(), nullptr);
    expect_box(*session, session->run(IDC_BUTTON_EXTRACT), session->extracted_text(),
               "information");
    EXPECT_TRUE(fs::is_regular_file(session->extracted() / kInfName));
    EXPECT_EQ(read_text(file), "not a folder");
    EXPECT_FALSE(fs::exists(session->log()));
}

}  // namespace

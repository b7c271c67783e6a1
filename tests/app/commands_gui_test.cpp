// "Install driver" and "Extract driver" of the real Corvane.exe on the simulated machine: the
// package each writes and where, the boxes they show (text, icon, owner), the busy dialog, and
// every way a command stops before it installs. Installations that run to their end are in
// install_gui_test.cpp.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "command_rules.h"
#include "command_session.h"
#include "device_rules.h"
#include "dialog_texts.h"
#include "package/embedded_files.h"
#include "resource.h"
#include "usbdrv/usbdrv.h"

namespace fs = std::filesystem;

namespace {

using namespace gui;
using test::scenario_of;
using test::shipped_scenario;

std::string one_board() {
    return read_text(test::from_utf8(shipped_scenario("one-board.scn")));
}

void set_text(HWND control, const wchar_t* text) {
    SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// Types VID and PID into the placeholder's boxes, which the refreshes leave alone while no device
// is listed.
void type_identifiers(command_session& session, const wchar_t* vid, const wchar_t* pid) {
    set_text(session.program().item(IDC_EDIT_VID), vid);
    set_text(session.program().item(IDC_EDIT_PID), pid);
}

// Waits until the program has listed the machine `ticks` more times.
bool wait_for_refreshes(command_session& session, size_t ticks) {
    size_t listings = session.calls("SetupDiGetClassDevsA").size();
    return eventually(
        [&] { return session.calls("SetupDiGetClassDevsA").size() >= listings + ticks; }, 10000);
}

// Presses a button and checks that the box ending the command is an error box of the dialog; a
// screenshot of it is kept. Returns the box, closed.
message_box failed_command(command_session& session, int button, const char* screenshot) {
    session.press(button);
    message_box box = session.wait_for_box();
    take_screenshot(screenshot);
    EXPECT_NE(box.window, nullptr) << "no box";
    EXPECT_EQ(box.icon, "error");
    EXPECT_EQ(box.owner, session.dialog());
    EXPECT_TRUE(box.window && session.close(box));
    return box;
}

TEST(Commands, ExtractWritesThePackageOfTheSelectedDeviceIntoUsbDriver) {
    command_session session(one_board());
    ASSERT_NE(session.dialog(), nullptr);
    select_item(session.dialog(), 1);  // "Corvane Serial B (Interface 2)"

    session.press(IDC_BUTTON_EXTRACT);
    message_box box = session.wait_for_box();
    take_screenshot("extract-done");
    expect_box(session, box, session.extracted_text(), "information");
    ASSERT_TRUE(session.close(box));

    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (!*row.subdir)
            continue;  // a template, not carried into the package
        fs::path file = session.extracted() / row.subdir / row.name;
        EXPECT_TRUE(fs::is_regular_file(file)) << file;
        if (fs::is_regular_file(file)) {
            EXPECT_EQ(fs::file_size(file), row.size) << file;
        }
    }
    std::wstring inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"VID_C04A&PID_0C02&MI_02\""), std::wstring::npos) << test::utf8(inf);
    EXPECT_NE(inf.find(L"\"Corvane Serial B (Interface 2)\""), std::wstring::npos);
    // The simulation writes a catalog when the library asks for one, for the INF.
    bool catalog_written = false;
    for (const auto& call : session.calls("CryptCATPersistStore")) {
        catalog_written |= call.size() == 3 && call[2].rfind("ok", 0) == 0;
    }
    // The catalog is named after the INF.
    EXPECT_EQ(fs::exists(session.extracted() / fs::path(kInfName).replace_extension(".cat")),
              catalog_written);
    // Extracting installs nothing, in the profile or anywhere.
    EXPECT_FALSE(fs::exists(session.installed()));
    EXPECT_TRUE(session.calls("CMP_WaitNoPendingInstallEvents").empty());
}

// With no device connected the user types the identifiers of the board a package is for; the
// refreshes that follow leave them as typed (the placeholder is written only when the list
// becomes empty), so the package is for them however long the user takes.
TEST(Commands, WithNoDeviceThePackageIsForTheTypedIdentifiers) {
    command_session session;
    ASSERT_NE(session.dialog(), nullptr);
    type_identifiers(session, L"ab12", L"00fe");
    ASSERT_TRUE(wait_for_refreshes(session, 3)) << "no refreshes";
    EXPECT_EQ(text_of(session.program().item(IDC_EDIT_VID)), L"ab12");
    EXPECT_EQ(text_of(session.program().item(IDC_EDIT_PID)), L"00fe");
    take_screenshot("typed-identifiers");
    message_box box = session.run(IDC_BUTTON_EXTRACT);
    expect_box(session, box, session.extracted_text(), "information");
    std::wstring inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"VID_AB12&PID_00FE&MI_00\""), std::wstring::npos) << test::utf8(inf);
    EXPECT_NE(inf.find(L"\"" + widen(kPlaceholderName) + L"\""), std::wstring::npos);
}

TEST(Commands, BadIdentifiersAreReportedAndStartNothing) {
    command_session session;
    ASSERT_NE(session.dialog(), nullptr);
    const struct {
        const wchar_t* vid;
        const wchar_t* pid;
        int button;
        command_start refusal;
    } rows[] = {
        {L"12G4", L"0C01", IDC_BUTTON_EXTRACT, command_start::bad_vid},
        {L"C04A", L"0x12", IDC_BUTTON_EXTRACT, command_start::bad_pid},
        {L"", L"", IDC_BUTTON_INSTALL, command_start::bad_vid},  // VID before PID
        {L"C04A", L"0C011", IDC_BUTTON_INSTALL, command_start::bad_pid},
        {L" C04", L"0C01", IDC_BUTTON_INSTALL, command_start::bad_vid},
    };
    bool shot = false;
    for (const auto& r : rows) {
        SCOPED_TRACE(test::utf8(std::wstring(r.vid) + L"/" + r.pid));
        type_identifiers(session, r.vid, r.pid);
        session.press(r.button);
        message_box box = session.wait_for_box(nullptr, 10000);
        if (!shot) {
            take_screenshot("bad-vid");
            shot = true;
        }
        expect_box(session, box, widen(command_start_text(r.refusal)), "error");
        ASSERT_TRUE(session.close(box));
    }
    Sleep(500);
    EXPECT_TRUE(session.boxes().empty());
    EXPECT_FALSE(fs::exists(session.extracted()));
    EXPECT_FALSE(fs::exists(session.installed()));
    EXPECT_TRUE(session.calls("CryptCATOpen").empty());
    // Not left busy: a command with good identifiers starts.
    type_identifiers(session, L"C04A", L"0C01");
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
}

TEST(Commands, WhileACommandRunsPressesAndClosingAreRefused) {
    command_session session(one_board());
    ASSERT_NE(session.dialog(), nullptr);
    const std::wstring operating = widen(command_start_text(command_start::busy));
    // The second press and Esc arrive while the first command is under way; the command stays
    // under way until its box is closed.
    session.press(IDC_BUTTON_EXTRACT);
    session.press(IDC_BUTTON_INSTALL);
    message_box refused = session.wait_for_box(operating.c_str());
    take_screenshot("operating");
    expect_box(session, refused, operating, "error");
    const std::wstring extracted = session.extracted_text();
    message_box done = session.wait_for_box(extracted.c_str());
    ASSERT_NE(done.window, nullptr);
    ASSERT_TRUE(session.close(refused));

    PostMessageW(session.dialog(), WM_COMMAND, IDCANCEL, 0);  // Esc
    refused = session.wait_for_box(operating.c_str(), 10000);
    expect_box(session, refused, operating, "error");
    ASSERT_TRUE(session.close(refused));
    EXPECT_FALSE(session.program().ends_within(500)) << "closed while a command ran";

    ASSERT_TRUE(session.close(done));
    // One command ran: nothing was prepared for the install press.
    EXPECT_FALSE(fs::exists(session.installed()));
    EXPECT_LE(session.calls("CryptCATOpen").size(), 1u);
    // Idle again: Esc closes.
    Sleep(500);
    PostMessageW(session.dialog(), WM_COMMAND, IDCANCEL, 0);
    EXPECT_TRUE(session.program().ends_within(10000));
}

TEST(Commands, AFailingPreparationShowsTheLibrarysTextAndInstallsNothing) {
    test::temp_dir dir;
    fs::path file = dir.path() / "a-file";
    std::ofstream(file) << "not a folder";
    std::wstring below_a_file = (file / "profile").wstring();
    command_session session(one_board(), below_a_file.c_str());
    ASSERT_NE(session.dialog(), nullptr);
    message_box box = failed_command(session, IDC_BUTTON_INSTALL, "preparation-failed");
    // The package folder cannot be made below a file: the library's text with its code, the
    // folder, and where the log is. The preparation finds the file before it calls the system,
    // so no Windows error stands behind it.
    const std::wstring start = library_text(USBDRV_ERR_ACCESS) + L" (library error " +
                               std::to_wstring(USBDRV_ERR_ACCESS) + L")";
    EXPECT_EQ(box.text.compare(0, start.size(), start), 0) << test::utf8(box.text);
    for (const std::wstring& part :
         {(file / "profile" / kPackageFolderName).wstring(),
          L"The log file " + session.log().wstring() + L" has the detail."}) {
        EXPECT_NE(box.text.find(part), std::wstring::npos) << test::utf8(part);
    }
    // No installation began: the host never waited for other installations.
    EXPECT_TRUE(session.calls("CMP_WaitNoPendingInstallEvents").empty());
    EXPECT_TRUE(fs::is_regular_file(file));
}

TEST(Commands, AProfileThatNamesNoUsableFolderWritesNothing) {
    const std::wstring too_long = L"C:\\" + std::wstring(250, L'p');
    // 1,024 characters and more are as much too long: never taken for a profile not set.
    const std::wstring far_too_long = L"C:\\" + std::wstring(1021, L'p');
    const std::wstring longest = L"C:\\" + std::wstring(32763, L'p');
    const std::wstring not_text = L"C:\\users\\\xDC00";
    const struct {
        const wchar_t* profile;
        package_folder::outcome_kind outcome;
    } rows[] = {
        {nullptr, package_folder::not_set},
        {L"relative\\profile", package_folder::not_full_path},
        {too_long.c_str(), package_folder::too_long},
        {far_too_long.c_str(), package_folder::too_long},
        {longest.c_str(), package_folder::too_long},
        {not_text.c_str(), package_folder::not_text},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.profile ? std::to_string(wcslen(r.profile)) + " characters" : "(not set)");
        command_session session(one_board(), r.profile);
        ASSERT_NE(session.dialog(), nullptr);
        message_box box = session.run(IDC_BUTTON_INSTALL);
        expect_box(session, box, widen(package_folder_text(r.outcome)), "error");
        // Nothing below the current directory, where a relative folder would have gone, beside
        // the session's own journal, profile and local application data (with the log).
        std::vector<fs::path> written;
        for (auto entry = fs::recursive_directory_iterator(session.folder());
             entry != fs::recursive_directory_iterator(); ++entry) {
            if (entry->path() == session.local_app_data()) {
                entry.disable_recursion_pending();
            } else if (entry->path() != session.journal() && entry->path() != session.profile()) {
                written.push_back(entry->path());
            }
        }
        EXPECT_TRUE(written.empty()) << written.front();
        EXPECT_TRUE(session.calls("CryptCATOpen").empty());
    }
}

// A name the INF cannot hold whole (the front-end core's rule) is refused when the button is
// pressed, before anything is written; one at the limit is written whole.
TEST(Commands, ANameTooLongForTheInfIsRefusedWithItsLimit) {
    command_session session(one_board());
    ASSERT_NE(session.dialog(), nullptr);
    click(session.program().item(IDC_CHECK_EDIT));
    const std::wstring longest(USBDRV_DESCRIPTION_MAX, L'n');
    const std::wstring refusal = widen(command_start_text(command_start::long_name));
    const struct {
        std::wstring name;
        int button;
    } rows[] = {
        {longest + L"n", IDC_BUTTON_EXTRACT},
        {longest.substr(1) + L"\"", IDC_BUTTON_EXTRACT},  // a quote counts twice
        {std::wstring(30000, L'n'), IDC_BUTTON_INSTALL},
        // 342 Chinese characters are 684 bytes in the code page but 1,026 in UTF-8.
        {std::wstring(342, L'串'), IDC_BUTTON_EXTRACT},
    };
    bool shot = false;
    for (const auto& r : rows) {
        SCOPED_TRACE(testing::Message() << r.name.size() << " characters");
        set_text(session.program().item(IDC_EDIT_NAME), r.name.c_str());
        ASSERT_EQ(SendMessageW(session.program().item(IDC_EDIT_NAME), WM_GETTEXTLENGTH, 0, 0),
                  static_cast<LRESULT>(r.name.size()))
            << "the edit box took the whole name";
        session.press(r.button);
        message_box box = session.wait_for_box(nullptr, 10000);
        if (!shot) {
            take_screenshot("name-too-long");
            shot = true;
        }
        expect_box(session, box, refusal, "error");
        ASSERT_TRUE(box.window && session.close(box));
    }
    EXPECT_FALSE(fs::exists(session.extracted()));
    EXPECT_FALSE(fs::exists(session.installed()));
    EXPECT_TRUE(session.calls("CryptCATOpen").empty());

    set_text(session.program().item(IDC_EDIT_NAME), longest.c_str());
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
    std::wstring inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"" + longest + L"\""), std::wstring::npos) << "the name whole";
}

// The selected device's name is read whole from the list, even when it is longer than the 255
// bytes the framework reads from a drop-down list that reports no length.
TEST(Commands, ALongListedNameReachesThePackageWhole) {
    // The longest name a device reports, 126 characters of 2 bytes each in the code page: with
    // " (Interface 0)" 266 bytes.
    std::string chinese;
    for (int i = 0; i < 126; i++)
        chinese += "\xE4\xB8\xB2";  // 串
    test::sim_device board = {"USB\\VID_C04A&PID_0C02&MI_00\\7&C&0&0000",
                              "compatible_id = USB\\Class_02\nbus_description = " + chinese + "\n"};
    command_session session(scenario_of({board}));
    ASSERT_NE(session.dialog(), nullptr);
    ASSERT_EQ(combo_items(session.program().item(IDC_COMBO_DEVICE)),
              std::vector<std::wstring>{std::wstring(126, L'串') + L" (Interface 0)"});
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
    std::wstring inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"" + std::wstring(126, L'串') + L" (Interface 0)\""), std::wstring::npos)
        << test::utf8(inf);
}

TEST(Commands, ADeviceReplacedUnderTheSameCountIsNotInstalled) {
    test::sim_device a = {"USB\\VID_C04A&PID_0A00&MI_00\\7&A&0&0000",
                          "compatible_id = USB\\Class_02\nbus_description = Port A\n"};
    test::sim_device b = {"USB\\VID_C04A&PID_0B00&MI_00\\7&B&0&0000",
                          "compatible_id = USB\\Class_02\nbus_description = Port B\n"};
    command_session session(scenario_of({a}));
    ASSERT_NE(session.dialog(), nullptr);
    // A replaced by B within a tick: the count is the same, so the combo box keeps showing A.
    size_t listings = session.calls("SetupDiGetClassDevsA").size();
    session.machine().set(scenario_of({b}));
    ASSERT_TRUE(eventually(
        [&] { return session.calls("SetupDiGetClassDevsA").size() >= listings + 2; }, 10000));
    ASSERT_EQ(combo_items(session.program().item(IDC_COMBO_DEVICE)),
              std::vector<std::wstring>{L"Port A (Interface 0)"});

    message_box box = session.run(IDC_BUTTON_INSTALL);
    expect_box(session, box, widen(kSelectionGoneText), "error");
    EXPECT_FALSE(fs::exists(session.installed()));
    EXPECT_TRUE(session.calls("CMP_WaitNoPendingInstallEvents").empty());
    // The next tick shows the device that is there.
    EXPECT_TRUE(eventually(
        [&] {
            return combo_items(session.program().item(IDC_COMBO_DEVICE)) ==
                   std::vector<std::wstring>{L"Port B (Interface 0)"};
        },
        5000));
}

// The dialog runs with the Chinese code page (936); the library takes UTF-8.
TEST(Commands, ChineseTextsArriveInThePackageAsTheyWere) {
    test::sim_device chinese = {"USB\\VID_C04A&PID_0C02&MI_00\\7&C&0&0000",
                                "compatible_id = USB\\Class_02\nbus_description = 中文串口\n"};
    command_session session(scenario_of({chinese}));
    ASSERT_NE(session.dialog(), nullptr);
    ASSERT_EQ(combo_items(session.program().item(IDC_COMBO_DEVICE)),
              std::vector<std::wstring>{L"中文串口 (Interface 0)"});

    // The description from the list.
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
    std::wstring inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"中文串口 (Interface 0)\""), std::wstring::npos) << test::utf8(inf);

    // A name typed while "Edit" is ticked.
    click(session.program().item(IDC_CHECK_EDIT));
    set_text(session.program().item(IDC_EDIT_NAME), L"调试板 串口");
    expect_box(session, session.run(IDC_BUTTON_EXTRACT), session.extracted_text(), "information");
    inf = read_inf(session.extracted() / kInfName);
    EXPECT_NE(inf.find(L"\"调试板 串口\""), std::wstring::npos) << test::utf8(inf);
    take_screenshot("chinese-name");
}

// Read wide and handed to the library as UTF-8, a profile folder arrives whole whatever the code
// page. Wine stores such a name only where the Unix locale is a UTF-8 one that exists (the
// CTest entry corvane_gui_tests.unicode_profile runs this with C.UTF-8).
TEST(Commands, AProfileFolderWithAChineseNameGetsThePackage) {
    test::temp_dir dir;
    fs::path profile = dir.path() / L"用户 张三";
    std::error_code error;
    if (!fs::create_directory(profile, error))
        GTEST_SKIP() << "this locale gives Wine no file names in Chinese: " << error.message();
    command_session session(one_board(), profile.c_str());
    ASSERT_NE(session.dialog(), nullptr);
    message_box box = session.run(IDC_BUTTON_INSTALL);
    ASSERT_NE(box.window, nullptr);
    EXPECT_TRUE(fs::is_regular_file(profile / kPackageFolderName / kInfName));
    EXPECT_EQ(session.calls("CMP_WaitNoPendingInstallEvents").size(), 1u);
}

}  // namespace

// Drives the real Corvane.exe on the test run's virtual display: finds the dialog by its caption
// and checks what a user sees and does. Runs in the same Wine virtual desktop as the dialog.
//   CORVANE_EXE      the program (Unix or Windows path)
//   CORVANE_RESULTS  folder for the screenshot (Unix path)
#include <windows.h>

#include <gtest/gtest.h>

#include "device_rules.h"
#include "gui_driver.h"
#include "identifiers.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "win/handles.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

using namespace gui;

const char* const kPersisted =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
    "Assistant\\Persisted";

// Pixels from dialog units, with the base units the dialog's font gave.
struct dialog_scale {
    int base_x = 0, base_y = 0;
    int x(int units) const { return MulDiv(units, base_x, 4); }
    int y(int units) const { return MulDiv(units, base_y, 8); }
};

// Style bits of the resource script that a running control does not keep, or not as such: the
// dialog manager turns an edit control's WS_BORDER into WS_EX_CLIENTEDGE, the combo box keeps
// WS_VSCROLL and WS_EX_CLIENTEDGE for its list, and the program hides the name box. The template
// itself is compared bit for bit by the resource tests.
const DWORD kStyleNotKept = WS_VISIBLE | WS_BORDER | WS_VSCROLL;

// The placeholder the dialog shows with no device: its name and identifiers.
const std::wstring kPlaceholder = widen(kPlaceholderName);
const std::wstring kPlaceholderVidText = widen(hex4_text(kPlaceholderVid).c_str());
const std::wstring kPlaceholderPidText = widen(hex4_text(kPlaceholderPid).c_str());

// What the first refresh shows where the script has no text: with no device, the placeholder.
// Null: not compared (the name box holds the placeholder's name or, after the data exchange that
// ends the initialisation, the still empty name, until the next tick).
const wchar_t* first_refresh_text(int id, const wchar_t* designed) {
    switch (id) {
        case IDC_COMBO_DEVICE:
            return kPlaceholder.c_str();
        case IDC_EDIT_VID:
            return kPlaceholderVidText.c_str();
        case IDC_EDIT_PID:
            return kPlaceholderPidText.c_str();
        case IDC_EDIT_NAME:
            return nullptr;
        default:
            return designed;
    }
}

TEST(MainDialog, ShowsItsControlsAsDesignedAndClosesWithEsc) {
    const rc::dialog& design = rc::dialog_of(IDD_MAIN_DIALOG);
    corvane program;
    ASSERT_TRUE(program.started()) << GetLastError();
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr) << "no window captioned " << test::utf8(main_caption());

    DWORD style = (DWORD)GetWindowLongW(dialog, GWL_STYLE);
    EXPECT_EQ(style & design.style, design.style) << std::hex << style;
    DWORD ex_style = (DWORD)GetWindowLongW(dialog, GWL_EXSTYLE);
    EXPECT_EQ(ex_style & design.ex_style, design.ex_style) << std::hex << ex_style;
    EXPECT_EQ(text_of(dialog), main_caption());
    // The icons cannot be asked for from here: Wine refuses messages that answer with a handle
    // (WM_GETICON, WM_QUERYDRAGICON, WM_GETFONT) across processes. The screenshot shows them.

    RECT client;
    GetClientRect(dialog, &client);
    dialog_scale scale;
    scale.base_x = (client.right * 4 + design.cx / 2) / design.cx;
    scale.base_y = (client.bottom * 8 + design.cy / 2) / design.cy;
    ASSERT_EQ(scale.x(design.cx), client.right) << "the client area is as wide as designed";
    ASSERT_EQ(scale.y(design.cy), client.bottom) << "the client area is as high as designed";

    std::vector<HWND> children;
    for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        children.push_back(c);
    }
    ASSERT_EQ(children.size(), design.control_count);
    for (size_t i = 0; i < children.size(); i++) {
        const rc::control& e = design.controls[i];
        HWND c = children[i];
        SCOPED_TRACE("control " + std::to_string(i) + " (id " + std::to_string(e.id) + ")");
        EXPECT_EQ((int)(short)GetDlgCtrlID(c), e.id);
        EXPECT_EQ(_wcsicmp(window_class_of(c).c_str(), e.class_name), 0)
            << window_class_of(c).c_str();
        if (const wchar_t* text = first_refresh_text(e.id, e.text)) {
            EXPECT_EQ(text_of(c), text);
        }
        DWORD actual = (DWORD)GetWindowLongW(c, GWL_STYLE);
        DWORD kept = e.style & ~kStyleNotKept;
        EXPECT_EQ(actual & kept, kept) << std::hex << actual;
        if (_wcsicmp(e.class_name, L"Edit") == 0 && (e.style & WS_BORDER)) {
            bool border =
                (actual & WS_BORDER) || (GetWindowLongW(c, GWL_EXSTYLE) & WS_EX_CLIENTEDGE);
            EXPECT_TRUE(border);
        }
        // Hidden: the name box until "Edit" is ticked. Disabled: "Edit" while only the
        // placeholder is listed.
        EXPECT_EQ(IsWindowVisible(c) != FALSE, e.id != IDC_EDIT_NAME);
        EXPECT_EQ(IsWindowEnabled(c) != FALSE, e.id != IDC_CHECK_EDIT);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_NEAR(r.left, scale.x(e.x), 1);
        EXPECT_NEAR(r.top, scale.y(e.y), 1);
        EXPECT_NEAR(r.right - r.left, scale.x(e.cx), 1);
        // A closed combo box is not as high as the template's, which includes its list.
        if (_wcsicmp(e.class_name, L"ComboBox") != 0) {
            EXPECT_NEAR(r.bottom - r.top, scale.y(e.cy), 1);
        }
    }

    HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICE);
    EXPECT_EQ(SendMessageW(combo, CB_GETCOUNT, 0, 0), 1);
    EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 0);
    EXPECT_FALSE(GetWindowLongW(combo, GWL_STYLE) & CBS_SORT);
    // The VID and PID boxes are editable while no device is listed; the UID box never is.
    EXPECT_FALSE(GetWindowLongW(GetDlgItem(dialog, IDC_EDIT_VID), GWL_STYLE) & ES_READONLY);
    EXPECT_FALSE(GetWindowLongW(GetDlgItem(dialog, IDC_EDIT_PID), GWL_STYLE) & ES_READONLY);
    EXPECT_TRUE(GetWindowLongW(GetDlgItem(dialog, IDC_EDIT_UID), GWL_STYLE) & ES_READONLY);

    take_screenshot("main-dialog");

    HWND focus = focus_of(dialog);
    ASSERT_NE(focus, nullptr);
    PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0000001);
    EXPECT_TRUE(program.ends_within(10000)) << "Esc did not end the program";
    EXPECT_EQ(program.exit_code(), 0u);
}

// Each tick lists the machine again: a board plugged in shows within about a second, and so does
// the placeholder, with its identifiers, when it is unplugged again.
TEST(MainDialog, TheTimerRefreshesTheListEverySecond) {
    test::simulated_machine machine("");
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICE), vid = GetDlgItem(dialog, IDC_EDIT_VID);
    const std::vector<std::wstring> board = {L"Ticking Port (Interface 0)"};
    for (int round = 0; round < 2; round++) {
        SCOPED_TRACE(round);
        SendMessageW(vid, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"1234"));
        machine.set(test::scenario_of(
            {{"USB\\VID_C04A&PID_0A00&MI_00\\7&A&0&0000",
              "hardware_id = USB\\VID_C04A&PID_0A00&MI_00\ncompatible_id = USB\\Class_02\n"
              "bus_description = Ticking Port\n"}}));
        DWORD start = GetTickCount();
        ASSERT_TRUE(eventually([&] { return combo_items(combo) == board; }, 5000));
        EXPECT_LT(GetTickCount() - start, 2500u);
        EXPECT_EQ(text_of(vid), L"C04A");

        machine.set("");
        start = GetTickCount();
        ASSERT_TRUE(eventually(
            [&] { return combo_items(combo) == std::vector<std::wstring>{kPlaceholder}; }, 5000));
        EXPECT_LT(GetTickCount() - start, 2500u);
        EXPECT_EQ(text_of(vid), kPlaceholderVidText);
    }
}

TEST(MainDialog, EnterInAnEditBoxCloses) {
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    HWND vid = GetDlgItem(dialog, IDC_EDIT_VID);
    PostMessageW(vid, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(vid, WM_KEYUP, VK_RETURN, 0xC0000001);
    EXPECT_TRUE(program.ends_within(10000)) << "Enter in the VID box did not end the program";
}

TEST(MainDialog, SystemCommands0x10To0x1FOpenTheAboutBox) {
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    for (WPARAM command : {0x10, 0x11, 0x1F}) {
        SCOPED_TRACE(command);
        PostMessageW(dialog, WM_SYSCOMMAND, command, 0);
        HWND about = wait_for([&] { return program.find(about_caption()); }, 10000);
        ASSERT_NE(about, nullptr) << "no about box";
        EXPECT_EQ(GetWindow(about, GW_OWNER), dialog);
        EXPECT_FALSE(IsWindowEnabled(dialog));  // modal
        // The icon static names icon 128, which the program does not hold: it shows nothing.
        HWND icon = GetWindow(about, GW_CHILD);
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ(SendMessageW(icon, STM_GETICON, 0, 0), 0);
        PostMessageW(about, WM_COMMAND, IDOK, 0);
        EXPECT_NE(wait_for([&] { return program.find(about_caption()) ? nullptr : dialog; }, 10000),
                  nullptr)
            << "the about box did not close";
    }
    // The dialog is still there and usable.
    EXPECT_TRUE(wait_for([&] { return IsWindowEnabled(dialog) ? dialog : nullptr; }, 5000));
    EXPECT_FALSE(program.ends_within(0));
}

TEST(MainDialog, OtherSystemCommandsBehaveAsInAPlainDialog) {
    corvane program;
    HWND dialog = program.dialog();
    ASSERT_NE(dialog, nullptr);
    PostMessageW(dialog, WM_SYSCOMMAND, 0x20, 0);
    Sleep(500);
    EXPECT_EQ(program.find(about_caption()), nullptr);

    PostMessageW(dialog, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_NE(wait_for([&] { return IsIconic(dialog) ? dialog : nullptr; }, 5000), nullptr);
    PostMessageW(dialog, WM_SYSCOMMAND, SC_RESTORE, 0);
    EXPECT_NE(wait_for([&] { return IsIconic(dialog) ? nullptr : dialog; }, 5000), nullptr);

    PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(program.ends_within(10000));
}

// The Program Compatibility Assistant's list under HKEY_CURRENT_USER.
class CompatibilityValue : public testing::Test {
protected:
    void SetUp() override { RegDeleteTreeA(HKEY_CURRENT_USER, kPersisted); }
    void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, kPersisted); }

    static bool key_exists() {
        unique_hkey key;
        return RegOpenKeyExA(HKEY_CURRENT_USER, kPersisted, 0, KEY_READ, key.put()) ==
               ERROR_SUCCESS;
    }
    // Every value of the key: name and DWORD data.
    static std::vector<std::pair<std::wstring, DWORD>> values() {
        std::vector<std::pair<std::wstring, DWORD>> result;
        unique_hkey key;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kPersisted, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
            return result;
        }
        for (DWORD i = 0;; i++) {
            wchar_t name[MAX_PATH];
            DWORD name_size = MAX_PATH, type = 0, data = 0, data_size = sizeof data;
            if (RegEnumValueW(key.get(), i, name, &name_size, nullptr, &type,
                              reinterpret_cast<BYTE*>(&data), &data_size) != ERROR_SUCCESS) {
                break;
            }
            EXPECT_EQ(type, (DWORD)REG_DWORD);
            result.emplace_back(name, data);
        }
        return result;
    }
    static void run_once() {
        corvane program;
        ASSERT_NE(program.dialog(), nullptr);
        PostMessageW(program.dialog(), WM_COMMAND, IDCANCEL, 0);
        ASSERT_TRUE(program.ends_within(10000));
    }
};

TEST_F(CompatibilityValue, AnAbsentKeyIsNotCreated) {
    run_once();
    EXPECT_FALSE(key_exists());
}

TEST_F(CompatibilityValue, APresentKeyGetsTheProgramsPathAndAgainAtTheNextStart) {
    unique_hkey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kPersisted, 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    key.reset();

    run_once();
    auto after_first = values();
    ASSERT_EQ(after_first.size(), 1u);
    EXPECT_EQ(_wcsicmp(after_first[0].first.c_str(),
                       test::path_from_environment("CORVANE_EXE").wstring().c_str()),
              0)
        << "value named " << std::string(after_first[0].first.begin(), after_first[0].first.end());
    EXPECT_EQ(after_first[0].second, 1u);

    // Whatever the value holds, the next start writes it again.
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kPersisted, 0, KEY_WRITE, key.put()), ERROR_SUCCESS);
    DWORD zero = 0;
    RegSetValueExW(key.get(), after_first[0].first.c_str(), 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    key.reset();
    run_once();
    auto after_second = values();
    ASSERT_EQ(after_second.size(), 1u);
    EXPECT_EQ(after_second[0], after_first[0]);
}

}  // namespace

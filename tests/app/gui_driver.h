// Driving the real Corvane.exe from a test program in its Wine desktop.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "corvane_rc.h"
#include "win/handles.h"

namespace gui {

// The captions app/Corvane.rc gives the main dialog and the about box.
inline const wchar_t* main_caption() {
    return rc::dialog_of(IDD_MAIN_DIALOG).caption;
}
inline const wchar_t* about_caption() {
    return rc::dialog_of(IDD_ABOUTBOX).caption;
}

// UTF-8 as UTF-16: the program's own texts, for comparing with what it shows.
std::wstring widen(const char* text);

// WM_GETTEXT: GetWindowText cannot read an edit control of another process.
std::wstring text_of(HWND window);
std::wstring window_class_of(HWND window);

// Polls until check() gives a window or the time is up.
template <typename Check>
HWND wait_for(Check check, DWORD timeout_ms = 20000) {
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        if (HWND found = check())
            return found;
        Sleep(50);
    }
    return nullptr;
}

// Polls until condition() holds; false when the time is up.
template <typename Condition>
bool eventually(Condition condition, DWORD timeout_ms = 5000) {
    for (DWORD waited = 0; waited < timeout_ms; waited += 50) {
        if (condition())
            return true;
        Sleep(50);
    }
    return condition();
}

// One run of Corvane.exe (CORVANE_EXE), ended at the latest when the object goes. It inherits
// this process's environment, CORVANE_SCENARIO among it.
class corvane {
public:
    corvane();
    explicit corvane(const std::wstring& exe);
    corvane(const corvane&) = delete;
    corvane& operator=(const corvane&) = delete;
    bool started() const { return program_.started(); }

    // The main dialog of this process, once it is shown.
    HWND dialog();
    HWND item(int id) { return GetDlgItem(dialog(), id); }
    HWND find(const wchar_t* caption) const;
    bool ends_within(DWORD ms) const;
    DWORD exit_code() const;
    HANDLE process() const { return program_.process(); }

private:
    child_process_guard program_;
    HWND dialog_ = nullptr;
};

// The control with the keyboard focus in the dialog's thread.
HWND focus_of(HWND dialog);

// The items of a combo box, in order.
std::vector<std::wstring> combo_items(HWND combo);
// Selects an item as the user does: the dialog gets CBN_SELCHANGE.
void select_item(HWND dialog, int index);
// Clicks a check box or button as the user does.
void click(HWND button);

// Saves a PNG of the virtual desktop under CORVANE_RESULTS/<name>.png (a test failure if not).
void take_screenshot(const char* name);

}  // namespace gui

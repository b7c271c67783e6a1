#include "gui_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"
#include "z_drive_path.h"

namespace gui {

std::wstring widen(const char* text) {
    return test::from_utf8(text).wstring();
}

std::wstring text_of(HWND window) {
    wchar_t text[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring window_class_of(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

corvane::corvane() : corvane(test::path_from_environment("CORVANE_EXE").wstring()) {}

corvane::corvane(const std::wstring& exe) {
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &info)) {
        program_.adopt(info);
    }
}

HWND corvane::dialog() {
    if (!dialog_)
        dialog_ = wait_for([this] { return find(main_caption()); });
    return dialog_;
}

HWND corvane::find(const wchar_t* caption) const {
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"#32770", caption))) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == program_.id() && IsWindowVisible(window))
            return window;
    }
    return nullptr;
}

bool corvane::ends_within(DWORD ms) const {
    return program_.wait(ms);
}

DWORD corvane::exit_code() const {
    return program_.exit_code();
}

HWND focus_of(HWND dialog) {
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
    return info.hwndFocus;
}

std::vector<std::wstring> combo_items(HWND combo) {
    std::vector<std::wstring> items;
    LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        // The dialog may refill the box between two questions; the caller asks again then.
        LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, i, 0);
        if (length == CB_ERR)
            return {L"(refilled while read)"};
        std::vector<wchar_t> text(length + 1, L'\0');
        if (SendMessageW(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data())) == CB_ERR) {
            return {L"(refilled while read)"};
        }
        items.emplace_back(text.data());
    }
    return items;
}

void select_item(HWND dialog, int index) {
    HWND combo = GetDlgItem(dialog, IDC_COMBO_DEVICE);
    SendMessageW(combo, CB_SETCURSEL, index, 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_COMBO_DEVICE, CBN_SELCHANGE), (LPARAM)combo);
}

void click(HWND button) {
    SendMessageW(button, BM_CLICK, 0, 0);
}

void take_screenshot(const char* name) {
    const char* folder = getenv("CORVANE_RESULTS");
    ASSERT_NE(folder, nullptr);
    std::string png = std::string(folder) + "/" + name + ".png";
    // Wine starts Unix programs too; ImageMagick reads the virtual desktop's X window.
    std::string command = "/usr/bin/import -window \"Corvane - Wine desktop\" \"" + png + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    std::wstring dos_png = test::from_utf8(z_drive_path(png)).wstring();
    DeleteFileW(dos_png.c_str());
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &info))
        << GetLastError();
    unique_process process(info.hProcess);  // closed only: a Unix program is not ended from here
    unique_thread thread(info.hThread);
    // A Unix program gives no process handle to wait on: wait for a complete file instead.
    LONGLONG last_size = -1;
    for (int waited = 0; waited < 20000; waited += 200) {
        Sleep(200);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(dos_png.c_str(), GetFileExInfoStandard, &data))
            continue;
        LONGLONG size = ((LONGLONG)data.nFileSizeHigh << 32) | data.nFileSizeLow;
        if (size > 0 && size == last_size)
            break;
        last_size = size;
    }
    EXPECT_GT(last_size, 0) << "no screenshot at " << png;
    printf("screenshot: %s\n", png.c_str());
}

}  // namespace gui

#include "command_session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "command_rules.h"
#include "dialog_texts.h"
#include "machine_crypto.h"
#include "usbdrv/usbdrv.h"

namespace gui {

namespace {

// 32-bit pixels of a device context's area.
std::vector<BYTE> pixels_of(HDC source, const RECT& area) {
    int width = area.right - area.left, height = area.bottom - area.top;
    std::vector<BYTE> bits((size_t)width * height * 4);
    HDC memory = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
    scope_guard release([&] {
        DeleteObject(bitmap);
        DeleteDC(memory);
    });
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, source, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    if (!GetDIBits(memory, bitmap, 0, height, bits.data(), &format, DIB_RGB_COLORS))
        bits.clear();
    return bits;
}

// A system icon drawn as a box draws it, on the background the box shows.
std::vector<BYTE> drawn_icon(const wchar_t* id, COLORREF background, int size) {
    HDC screen = GetDC(nullptr);
    scope_guard release_screen([&] { ReleaseDC(nullptr, screen); });
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, size, size);
    HBRUSH brush = CreateSolidBrush(background);
    scope_guard release([&] {
        DeleteObject(brush);
        DeleteObject(bitmap);
        DeleteDC(memory);
    });
    HGDIOBJ previous = SelectObject(memory, bitmap);
    RECT all = {0, 0, size, size};
    FillRect(memory, &all, brush);
    DrawIconEx(memory, 0, 0, LoadIconW(nullptr, id), size, size, 0, nullptr, DI_NORMAL);
    std::vector<BYTE> drawn = pixels_of(memory, all);
    SelectObject(memory, previous);
    return drawn;
}

// How far apart two pictures are: the sum of their channels' differences.
uint64_t distance(const std::vector<BYTE>& a, const std::vector<BYTE>& b) {
    if (a.size() != b.size() || a.empty())
        return UINT64_MAX;
    uint64_t sum = 0;
    for (size_t i = 0; i < a.size(); i++) {
        sum += (uint64_t)std::abs(a[i] - b[i]);
    }
    return sum;
}

// The icon a box shows: IDI_ERROR, IDI_WARNING or IDI_INFORMATION when the screen shows its
// picture exactly. The
// icon itself cannot be read from here: Wine keeps an icon's pictures in the process that loaded
// it.
std::string icon_of(HWND box) {
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (window_class_of(c) != L"Static" ||
            (GetWindowLongW(c, GWL_STYLE) & SS_TYPEMASK) != SS_ICON) {
            continue;
        }
        RECT area;
        GetWindowRect(c, &area);
        int size = GetSystemMetrics(SM_CXICON);
        area.right = area.left + size;
        area.bottom = area.top + size;
        HDC screen = GetDC(nullptr);
        scope_guard release_screen([&] { ReleaseDC(nullptr, screen); });
        COLORREF background = GetPixel(screen, area.left, area.top);
        std::vector<BYTE> shown = pixels_of(screen, area);
        uint64_t to_error = distance(shown, drawn_icon(MAKEINTRESOURCEW(32513), background, size));
        uint64_t to_warning =
            distance(shown, drawn_icon(MAKEINTRESOURCEW(32515), background, size));
        uint64_t to_information =
            distance(shown, drawn_icon(MAKEINTRESOURCEW(32516), background, size));
        if (to_error == 0)
            return "error";
        if (to_warning == 0)
            return "warning";
        return to_information == 0 ? "information" : "other";
    }
    return "none";
}

// The box's text: its longest static text.
std::wstring text_of_box(HWND box) {
    std::wstring text;
    for (HWND c = GetWindow(box, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (window_class_of(c) == L"Static" && text_of(c).size() > text.size())
            text = text_of(c);
    }
    return text;
}

}  // namespace

environment_variable::environment_variable(const wchar_t* name, const wchar_t* value)
    : name_(name) {
    std::vector<wchar_t> saved(32768);
    DWORD length = GetEnvironmentVariableW(name, saved.data(), (DWORD)saved.size());
    was_set_ = length > 0 && length < saved.size();
    if (was_set_)
        saved_ = saved.data();
    SetEnvironmentVariableW(name, value);
}

environment_variable::~environment_variable() {
    SetEnvironmentVariableW(name_.c_str(), was_set_ ? saved_.c_str() : nullptr);
}

command_session::command_session(const std::string& scenario)
    : command_session(scenario, true, nullptr, nullptr) {}

command_session::command_session(const std::string& scenario, const wchar_t* profile)
    : command_session(scenario, false, profile, nullptr) {}

std::unique_ptr<command_session> command_session::with_local_app_data(
    const std::string& scenario, const std::wstring& local_app_data) {
    return std::unique_ptr<command_session>(
        new command_session(scenario, true, nullptr, local_app_data.c_str()));
}

command_session::command_session(const std::string& scenario, bool own_profile,
                                 const wchar_t* profile, const wchar_t* local_app_data)
    : machine_(scenario) {
    std::filesystem::create_directory(this->profile());
    std::filesystem::create_directory(this->local_app_data());
    // The program inherits the environment and the current directory.
    journal_variable_ =
        std::make_unique<environment_variable>(L"CORVANE_SIM_JOURNAL", journal().c_str());
    profile_variable_ = std::make_unique<environment_variable>(
        L"USERPROFILE", own_profile ? this->profile().c_str() : profile);
    local_app_data_variable_ = std::make_unique<environment_variable>(
        L"LOCALAPPDATA", local_app_data ? local_app_data : this->local_app_data().c_str());
    current_ = std::make_unique<test::current_dir>(folder());
    program_ = std::make_unique<corvane>();
}

command_session::~command_session() {
    program_.reset();  // ends the program
    current_.reset();
    // A signed catalog left a certificate in the machine's trust stores and a key container: the
    // prefix serves the whole run.
    for (const test::journal_call& signing : test::named_journal_calls(journal(), "SignerSignEx")) {
        auto subject = signing.find("signing_cert");
        if (subject != signing.end())
            test::remove_certificates(subject->second.c_str());
    }
    test::delete_machine_container(L"usbdrv key container");
}

std::wstring command_session::extracted_text() const {
    return widen(extracted_box_text(test::utf8(extracted())).c_str());
}

void command_session::press(int id) {
    // Posted, as a click arrives: the dialog may open a box of its own in its handler.
    PostMessageW(program_->item(id), BM_CLICK, 0, 0);
}

std::vector<message_box> command_session::boxes() {
    std::vector<message_box> found;
    HWND window = nullptr;
    const std::wstring caption = widen(kBoxTitle);
    while ((window = FindWindowExW(nullptr, window, L"#32770", caption.c_str()))) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid != GetProcessId(program_->process()) || !IsWindowVisible(window))
            continue;
        found.push_back({window, text_of_box(window), GetWindow(window, GW_OWNER), ""});
    }
    // FindWindowEx goes from the top of the z-order: the newest first.
    return {found.rbegin(), found.rend()};
}

message_box command_session::wait_for_box(const wchar_t* text, DWORD timeout_ms) {
    message_box wanted;
    wait_for(
        [&]() -> HWND {
            for (const message_box& box : boxes()) {
                if (!text || box.text == text) {
                    wanted = box;
                    return box.window;
                }
            }
            return nullptr;
        },
        timeout_ms);
    // The icon is read from the screen once the box has painted one.
    if (wanted.window) {
        eventually([&] { return (wanted.icon = icon_of(wanted.window)) != "other"; }, 3000);
    }
    return wanted;
}

bool command_session::close(const message_box& box) {
    PostMessageW(box.window, WM_COMMAND, IDOK, 0);
    return wait_for([&] { return IsWindow(box.window) ? nullptr : dialog(); }, 10000) != nullptr;
}

message_box command_session::run(int id, DWORD timeout_ms) {
    press(id);
    message_box box = wait_for_box(nullptr, timeout_ms);
    if (box.window)
        close(box);
    return box;
}

void expect_box(command_session& session, const message_box& box, const std::wstring& text,
                const char* icon) {
    ASSERT_NE(box.window, nullptr) << "no box \"" << test::utf8(text) << "\"";
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.icon, icon);
    EXPECT_EQ(box.owner, session.dialog());
}

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::wstring read_inf(const std::filesystem::path& file) {
    std::string bytes = read_text(file);
    if (bytes.size() < 2 || bytes.compare(0, 2, "\xFF\xFE") != 0)
        return L"(no UTF-16 INF)";
    std::wstring text((bytes.size() - 2) / 2, L'\0');
    memcpy(&text[0], bytes.data() + 2, text.size() * 2);
    return text;
}

std::wstring library_text(int result) {
    std::string text = usbdrv_strerror(result);
    return std::wstring(text.begin(), text.end());  // the library's messages are ASCII
}

bool is_library_failure_text(const std::wstring& text) {
    for (int code = USBDRV_ERR_IO; code >= USBDRV_ERR_UNSIGNED; code--) {
        if (text == library_text(code))
            return true;
    }
    return text == library_text(USBDRV_ERR_OTHER);
}

}  // namespace gui

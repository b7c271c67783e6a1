#include "install/progress_window.h"

#include <commctrl.h>

#include <atomic>

#include "base/log.h"
#include "base/progress_rules.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/windows_error.h"

namespace {

const char kRun[] = "run_with_progress_bar";
const char kCallback[] = "progress_callback";
const char kInitChildren[] = "init_children";

const wchar_t kClassName[] = L"usbdrv_progress_class";
const char kTitle[] = "Installing Driver...";
const wchar_t kTitleWide[] = L"Installing Driver...";

// Posted by the window to itself at the end of WM_CREATE: start the worker.
const UINT kStartMessage = WM_APP;
// Posted by the worker when the work has returned; wParam is its result.
const UINT kDoneMessage = WM_APP + 1;

const UINT_PTR kTickTimer = 1;
const UINT kTickMs = 1000;

// One progress window and its run. It lives in run_with_progress_bar's frame; the window
// finds it through its user data, the worker through its argument. Written by the window's
// thread only, except worker_running, which the worker clears when the work has returned.
struct progress_run {
    HWND window = nullptr;
    HWND owner = nullptr;
    HWND bar = nullptr;
    HWND text = nullptr;
    HINSTANCE instance = nullptr;
    progress_work work = nullptr;
    void* argument = nullptr;
    progress_clock clock;
    // Set at the time-out: the work stops by itself. The window never ends its worker.
    unique_event cancel;
    bool cancelled = false;
    unique_thread worker;
    std::atomic<bool> worker_running{false};
    unique_font font;
};

// One progress window per process: a second one is refused while this is set.
std::atomic<bool> dialog_active{false};

progress_run* run_of(HWND window) {
    return reinterpret_cast<progress_run*>(imports.GetWindowLongPtrW(window, GWLP_USERDATA));
}

DWORD WINAPI progress_thread(void* argument) {
    progress_run& run = *static_cast<progress_run*>(argument);
    usbdrv_result result = run.work(run.argument, run.cancel.get());
    run.worker_running = false;
    imports.PostMessageW(run.window, kDoneMessage, static_cast<WPARAM>(result), 0);
    return 0;
}

// Re-enables the owner, ends the message loop with result and destroys the window.
void finish(progress_run& run, usbdrv_result result) {
    imports.EnableWindow(run.owner, TRUE);
    imports.PostQuitMessage(result);
    imports.DestroyWindow(run.window);
}

void init_children(progress_run& run) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    imports.InitCommonControlsEx(&controls);
    run.bar = imports.CreateWindowExA(WS_EX_NOPARENTNOTIFY, PROGRESS_CLASSA, nullptr,
                                      WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 10, 35, 250, 12,
                                      run.window, nullptr, run.instance, nullptr);
    if (!run.bar) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kInitChildren, error,
                         "Unable to create progress bar: %s");
    } else {
        imports.PostMessageW(run.bar, PBM_SETMARQUEE, TRUE, 0);
    }

    run.text = imports.CreateWindowExA(WS_EX_TRANSPARENT | WS_EX_NOPARENTNOTIFY, "Static", kTitle,
                                       WS_CHILD | WS_VISIBLE | WS_GROUP, 12, 12, 250, 16,
                                       run.window, nullptr, run.instance, nullptr);
    if (!run.text) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kInitChildren, error,
                         "Unable to create progress text: %s");
    }

    // The three are looked up here so that a missing one is logged once per window; the
    // background of the text needs the other two.
    auto create_font = imports.CreateFontA.get(kInitChildren);
    imports.GetStockObject.get(kInitChildren);
    imports.SetBkMode.get(kInitChildren);
    if (create_font && run.text) {
        run.font.reset(create_font(-11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "MS Shell Dlg 2"));
        if (run.font)
            imports.SendMessageW(run.text, WM_SETFONT, reinterpret_cast<WPARAM>(run.font.get()),
                                 TRUE);
    }
}

void center_progress_window(HWND window) {
    HWND owner = imports.GetWindow(window, GW_OWNER);
    if (!owner)
        return;
    RECT frame, client;
    imports.GetWindowRect(window, &frame);
    imports.GetClientRect(owner, &client);
    POINT centre = {(client.right - client.left) / 2, (client.bottom - client.top) / 2};
    imports.ClientToScreen(owner, &centre);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const screen_point origin = progress_origin(centre.x, centre.y, width, height);
    imports.MoveWindow(window, origin.x, origin.y, width, height, FALSE);
}

BOOL CALLBACK note_security_window(HWND window, LPARAM found) {
    // InternalGetWindowText reads the title without sending the window a message: a window of
    // another thread that does not answer cannot stop the clock.
    wchar_t title[256] = {};
    imports.InternalGetWindowText(window, title, 256);
    if (is_security_prompt(static_cast<uint32_t>(imports.GetWindowLongW(window, GWL_STYLE)), title))
        *reinterpret_cast<HWND*>(found) = window;
    return TRUE;
}

// The last window titled "Windows Security" anywhere under the desktop, or null.
HWND find_security_window() {
    HWND found = nullptr;
    imports.EnumChildWindows(imports.GetDesktopWindow(), note_security_window,
                             reinterpret_cast<LPARAM>(&found));
    return found;
}

void start_worker(progress_run& run) {
    if (run.worker) {
        usbdrv_log(USBDRV_LOG_ERROR, kCallback,
                   "program assertion failed - another operation is in progress");
        finish(run, USBDRV_ERR_RESOURCE);
        return;
    }
    run.worker_running = true;
    run.worker.reset(CreateThread(nullptr, 0, progress_thread, &run, 0, nullptr));
    if (!run.worker) {
        DWORD error = GetLastError();
        run.worker_running = false;
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error,
                         "unable to create progress_thread: %s");
        finish(run, USBDRV_ERR_RESOURCE);
    }
}

void show_next_text(progress_run& run, const char* text) {
    if (!run.text)
        return;
    imports.SetWindowTextA(run.text, text);
    // The text has no background of its own: hiding it lets the window paint its background over
    // the old text, before the new one is drawn.
    imports.ShowWindow(run.text, SW_HIDE);
    imports.UpdateWindow(run.window);
    imports.ShowWindow(run.text, SW_SHOW);
    imports.UpdateWindow(run.text);
}

// The time-out cancels the work, once; the window then waits for the worker's done message and
// ends with the work's own result (a time-out for a work that was cut short by the cancel). A
// thread ended by force would keep every lock it held, its callers' as well as the process's, and
// leave what it held for nobody to give back.
void count_tick(progress_run& run) {
    if (find_security_window())
        return;  // the user's time to answer the prompt is not the installation's
    const progress_tick tick = count_progress_tick(run.clock, run.worker_running);
    if (tick.step == progress_step::show_text) {
        show_next_text(run, progress_texts[tick.text]);
    } else if (tick.step == progress_step::time_out && !run.cancelled) {
        run.cancelled = true;
        usbdrv_log(USBDRV_LOG_ERROR, kCallback,
                   "progress timeout expired - cancelling the installation");
        SetEvent(run.cancel.get());
    }
}

LRESULT CALLBACK progress_callback(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* created = reinterpret_cast<CREATESTRUCTW*>(lparam);
        imports.SetWindowLongPtrW(window, GWLP_USERDATA,
                                  reinterpret_cast<LONG_PTR>(created->lpCreateParams));
    }
    progress_run* run = run_of(window);
    if (!run)
        return imports.DefWindowProcW(window, message, wparam, lparam);
    switch (message) {
        case WM_CREATE:
            run->window = window;
            run->clock = {};
            run->owner = imports.GetWindow(window, GW_OWNER);
            imports.EnableWindow(run->owner, FALSE);
            init_children(*run);
            center_progress_window(window);
            imports.SetTimer(window, kTickTimer, kTickMs, nullptr);
            imports.PostMessageW(window, kStartMessage, 0, 0);
            return 0;
        case kStartMessage:
            start_worker(*run);
            return 0;
        case kDoneMessage:
            finish(*run, static_cast<usbdrv_result>(static_cast<int>(wparam)));
            return 0;
        case WM_TIMER:
            if (wparam == kTickTimer)
                count_tick(*run);
            return 0;
        case WM_CLOSE:
            return 0;  // neither the user nor the system's close command ends an installation
        case WM_NCHITTEST:
            return progress_hit_test(
                static_cast<int>(imports.DefWindowProcW(window, message, wparam, lparam)));
        case WM_CTLCOLORSTATIC: {
            auto set_bk_mode = imports.SetBkMode.get_quietly();
            auto get_stock_object = imports.GetStockObject.get_quietly();
            if (!set_bk_mode || !get_stock_object)
                break;
            set_bk_mode(reinterpret_cast<HDC>(wparam), TRANSPARENT);
            return reinterpret_cast<LRESULT>(get_stock_object(NULL_BRUSH));
        }
        default:
            break;
    }
    return imports.DefWindowProcW(window, message, wparam, lparam);
}

bool register_progress_class(HINSTANCE instance) {
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof existing;
    if (imports.GetClassInfoExW(instance, kClassName, &existing))
        return true;
    WNDCLASSEXW progress_class = {};
    progress_class.cbSize = sizeof progress_class;
    progress_class.style = CS_DBLCLKS | CS_SAVEBITS;
    progress_class.lpfnWndProc = progress_callback;
    progress_class.hInstance = instance;
    progress_class.hIcon = imports.LoadIconA(nullptr, IDI_APPLICATION);
    progress_class.hIconSm = imports.LoadIconA(nullptr, IDI_APPLICATION);
    progress_class.hCursor = imports.LoadCursorA(nullptr, IDC_ARROW);
    progress_class.hbrBackground = imports.GetSysColorBrush(COLOR_BTNFACE);
    progress_class.lpszClassName = kClassName;
    if (!imports.RegisterClassExW(&progress_class)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "can't register class %s");
        return false;
    }
    return true;
}

usbdrv_result run_message_loop() {
    MSG message;
    BOOL got;
    while ((got = imports.GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            DWORD error = GetLastError();
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "GetMessage error: %s");
            continue;
        }
        imports.TranslateMessage(&message);
        imports.DispatchMessageW(&message);
    }
    return static_cast<usbdrv_result>(static_cast<int>(message.wParam));
}

// What the run left when a message of another sender ended its loop: the window, and a worker
// that still runs, which is told to stop and waited for, since it uses the run.
void end_run(progress_run& run) {
    if (run.window && imports.IsWindow(run.window)) {
        imports.EnableWindow(run.owner, TRUE);
        imports.DestroyWindow(run.window);
    }
    if (!run.worker)
        return;
    if (run.cancel)
        SetEvent(run.cancel.get());
    WaitForSingleObject(run.worker.get(), INFINITE);
}

// Every window function a run calls, looked up before there is a window: the system calls the
// window's procedure, which has nobody to tell of a missing one. A program that owns a window has
// user32 loaded already; comctl32 is loaded here, on the first run, not at the program's start.
bool look_up_window_functions() {
    return look_up_all(
        kRun, imports.IsWindow, imports.GetWindowLongPtrW, imports.SetWindowLongPtrW,
        imports.GetWindowLongW, imports.PostMessageW, imports.EnableWindow, imports.PostQuitMessage,
        imports.DestroyWindow, imports.CreateWindowExA, imports.CreateWindowExW,
        imports.SendMessageW, imports.GetWindow, imports.GetWindowRect, imports.GetClientRect,
        imports.ClientToScreen, imports.MoveWindow, imports.InternalGetWindowText,
        imports.EnumChildWindows, imports.GetDesktopWindow, imports.SetWindowTextA,
        imports.ShowWindow, imports.UpdateWindow, imports.DefWindowProcW, imports.SetTimer,
        imports.GetClassInfoExW, imports.LoadIconA, imports.LoadCursorA, imports.GetSysColorBrush,
        imports.RegisterClassExW, imports.GetMessageW, imports.TranslateMessage,
        imports.DispatchMessageW, imports.InitCommonControlsEx);
}

}  // namespace

usbdrv_result run_with_progress_bar(HWND owner, progress_work work, void* argument) {
    if (!owner)
        return USBDRV_ERR_INVALID_PARAM;
    if (!look_up_window_functions())
        return USBDRV_ERR_RESOURCE;
    if (!imports.IsWindow(owner)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun, "the owner %p is not a window",
                   static_cast<void*>(owner));
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!work) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun, "no work given");
        return USBDRV_ERR_INVALID_PARAM;
    }
    HINSTANCE instance =
        reinterpret_cast<HINSTANCE>(imports.GetWindowLongPtrW(owner, GWLP_HINSTANCE));

    bool idle = false;
    if (!dialog_active.compare_exchange_strong(idle, true)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun,
                   "could not obtain progress dialog mutex - is another dialog active?");
        return USBDRV_ERR_BUSY;
    }
    scope_guard release_guard([] { dialog_active = false; });
    progress_run run;
    scope_guard end_of_run([&run] { end_run(run); });
    run.instance = instance;
    run.work = work;
    run.argument = argument;
    run.cancel.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!run.cancel) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "could not create the cancel event: %s");
        return USBDRV_ERR_RESOURCE;
    }

    if (!register_progress_class(instance))
        return USBDRV_ERR_RESOURCE;
    HWND window = imports.CreateWindowExW(
        WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT, kClassName, kTitleWide,
        WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_THICKFRAME, 100,
        100, 287, 102, owner, nullptr, instance, &run);
    if (!window) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "Unable to create progress dialog: %s");
        return USBDRV_ERR_RESOURCE;
    }
    imports.ShowWindow(window, SW_SHOWNORMAL);
    imports.UpdateWindow(window);
    return run_message_loop();
}

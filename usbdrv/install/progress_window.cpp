#include "progress_window.h"

#include <commctrl.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>

#include "handles.h"
#include "log.h"
#include "progress_rules.h"
#include "runtime_imports.h"
#include "windows_error.h"

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

// How long the window waits, at the time-out, for the worker to return by itself; and how long
// for the probe of the process's locks (an uncontended probe takes microseconds).
const DWORD kGraceMs = 500;
const DWORD kProbeMs = 250;

// The one progress window of the process and its run. Written by the window's thread only,
// except worker_running, which the worker clears when the work has returned.
struct progress_dialog {
    HWND owner = nullptr;
    HWND bar = nullptr;
    HWND text = nullptr;
    HINSTANCE instance = nullptr;
    progress_work work = nullptr;
    void* argument = nullptr;
    progress_abandon abandon = nullptr;
    progress_clock clock;
    // The thread the window started: the time-out ends exactly this one, by this handle.
    unique_thread worker;
    std::atomic<bool> worker_running{false};
    unique_font font;
    // A probe of the process's locks that found one taken and may still wait for it.
    unique_thread probe;
};

progress_dialog dialog;
// One progress window per process: a second one is refused while this is set.
std::atomic<bool> dialog_active{false};

DWORD WINAPI progress_thread(void* window) {
    usbdrv_result result = dialog.work(dialog.argument);
    dialog.worker_running = false;
    PostMessageW(static_cast<HWND>(window), kDoneMessage, static_cast<WPARAM>(result), 0);
    return 0;
}

// Re-enables the owner, ends the message loop with result and destroys the window.
void finish(HWND window, usbdrv_result result) {
    EnableWindow(dialog.owner, TRUE);
    PostQuitMessage(result);
    DestroyWindow(window);
}

void init_children(HWND window) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    dialog.bar = CreateWindowExA(WS_EX_NOPARENTNOTIFY, PROGRESS_CLASSA, nullptr,
                                 WS_CHILD | WS_VISIBLE | PBS_MARQUEE, 10, 35, 250, 12, window,
                                 nullptr, dialog.instance, nullptr);
    if (!dialog.bar) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kInitChildren, error,
                         "Unable to create progress bar: %s");
    } else {
        PostMessageW(dialog.bar, PBM_SETMARQUEE, TRUE, 0);
    }

    dialog.text = CreateWindowExA(WS_EX_TRANSPARENT | WS_EX_NOPARENTNOTIFY, "Static", kTitle,
                                  WS_CHILD | WS_VISIBLE | WS_GROUP, 12, 12, 250, 16, window,
                                  nullptr, dialog.instance, nullptr);
    if (!dialog.text) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kInitChildren, error,
                         "Unable to create progress text: %s");
    }

    // The three are looked up here so that a missing one is logged once per window; the
    // background of the text needs the other two.
    auto create_font = imports.CreateFontA.get(kInitChildren);
    imports.GetStockObject.get(kInitChildren);
    imports.SetBkMode.get(kInitChildren);
    if (create_font && dialog.text) {
        dialog.font.reset(create_font(-11, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "MS Shell Dlg 2"));
        if (dialog.font)
            SendMessageW(dialog.text, WM_SETFONT, reinterpret_cast<WPARAM>(dialog.font.get()),
                         TRUE);
    }
}

void center_progress_window(HWND window) {
    HWND owner = GetWindow(window, GW_OWNER);
    if (!owner)
        return;
    RECT frame, client;
    GetWindowRect(window, &frame);
    GetClientRect(owner, &client);
    POINT centre = {(client.right - client.left) / 2, (client.bottom - client.top) / 2};
    ClientToScreen(owner, &centre);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const screen_point origin = progress_origin(centre.x, centre.y, width, height);
    MoveWindow(window, origin.x, origin.y, width, height, FALSE);
}

BOOL CALLBACK note_security_window(HWND window, LPARAM found) {
    // InternalGetWindowText reads the title without sending the window a message: a window of
    // another thread that does not answer cannot stop the clock.
    wchar_t title[256] = {};
    InternalGetWindowText(window, title, 256);
    if (is_security_prompt(static_cast<uint32_t>(GetWindowLongW(window, GWL_STYLE)), title))
        *reinterpret_cast<HWND*>(found) = window;
    return TRUE;
}

// The last window titled "Windows Security" anywhere under the desktop, or null.
HWND find_security_window() {
    HWND found = nullptr;
    EnumChildWindows(GetDesktopWindow(), note_security_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

void start_worker(HWND window) {
    if (dialog.worker) {
        usbdrv_log(USBDRV_LOG_ERROR, kCallback,
                   "program assertion failed - another operation is in progress");
        finish(window, USBDRV_ERR_RESOURCE);
        return;
    }
    dialog.worker_running = true;
    dialog.worker.reset(CreateThread(nullptr, 0, progress_thread, window, 0, nullptr));
    if (!dialog.worker) {
        DWORD error = GetLastError();
        dialog.worker_running = false;
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error,
                         "unable to create progress_thread: %s");
        finish(window, USBDRV_ERR_RESOURCE);
    }
}

void show_next_text(HWND window, const char* text) {
    if (!dialog.text)
        return;
    SetWindowTextA(dialog.text, text);
    // The text has no background of its own: hiding it lets the window paint its background over
    // the old text, before the new one is drawn.
    ShowWindow(dialog.text, SW_HIDE);
    UpdateWindow(window);
    ShowWindow(dialog.text, SW_SHOW);
    UpdateWindow(dialog.text);
}

// Ending the worker by force.
//
// TerminateThread runs no clean-up in the thread: a lock it holds stays taken for ever. A worker
// ended inside an allocation or a log line would leave a heap's or a standard stream's lock
// taken, and the next allocation or log line of any thread of the process would hang. So:
// - The window ends exactly the thread it started, through the handle CreateThread gave, never
//   through an id that another thread may carry by then.
// - It first gives the worker kGraceMs to return by itself; one that does has posted its done
//   message, which ends the window with the work's own result.
// - It suspends the worker and lets a probe thread take, one after the other, the locks that
//   later calls need: the process heap's, the C runtime heap's, the standard streams' and the
//   loader's. The probe is started before the worker is suspended and waits for a signal, since
//   starting a thread may itself need one of these locks; nothing between the suspension and the
//   end may allocate or log. Only when the probe gets every lock within kProbeMs is the worker,
//   still suspended, ended. Otherwise the worker holds one: it is resumed to release it, and the
//   window tries again at its next tick (a probe still waiting for a lock counts as a no).
// - Once the worker is gone, the caller gives back what the work held (`abandon`).

DWORD WINAPI probe_process_locks(void* go) {
    WaitForSingleObject(static_cast<HANDLE>(go), INFINITE);
    HANDLE heaps[] = {GetProcessHeap(), reinterpret_cast<HANDLE>(_get_heap_handle())};
    for (HANDLE heap : heaps) {
        if (heap && HeapLock(heap))
            HeapUnlock(heap);
    }
    for (FILE* stream : {stdout, stderr}) {
        _lock_file(stream);
        _unlock_file(stream);
    }
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"kernel32.dll", &module);
    return 0;
}

// True when the worker has been ended; false when it returned by itself or is to be ended later.
bool end_worker_by_force() {
    HANDLE worker = dialog.worker.get();
    if (WaitForSingleObject(worker, kGraceMs) != WAIT_TIMEOUT)
        return false;
    if (dialog.probe) {
        if (WaitForSingleObject(dialog.probe.get(), 0) == WAIT_TIMEOUT)
            return false;
        dialog.probe.reset();
    }

    unique_event go(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!go) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error, "CreateEvent failed: %s");
        return false;
    }
    unique_thread probe(CreateThread(nullptr, 0, probe_process_locks, go.get(), 0, nullptr));
    if (!probe) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error, "CreateThread failed: %s");
        return false;
    }
    // Nothing from here to the resumption or the end of the worker logs or allocates.
    DWORD error = ERROR_SUCCESS;
    if (SuspendThread(worker) == static_cast<DWORD>(-1)) {
        error = GetLastError();
        SetEvent(go.get());  // the probe ends by itself
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error, "SuspendThread failed: %s");
        return false;
    }
    // The suspension is asynchronous; asking for the thread's context waits until it took hold.
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_CONTROL;
    const bool suspended = GetThreadContext(worker, &context);
    if (!suspended)
        error = GetLastError();
    // A worker that returned meanwhile has cleared its marker and posts its done message.
    const bool still_working = dialog.worker_running;
    SetEvent(go.get());
    const bool locks_free =
        suspended && still_working && WaitForSingleObject(probe.get(), kProbeMs) == WAIT_OBJECT_0;
    if (!locks_free) {
        ResumeThread(worker);
        dialog.probe = std::move(probe);
        if (!suspended)
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error, "GetThreadContext failed: %s");
        return false;
    }

    usbdrv_log(USBDRV_LOG_ERROR, kCallback, "progress timeout expired - KILLING THREAD!");
    if (!TerminateThread(worker, 0xFFFFFFFF)) {
        error = GetLastError();
        ResumeThread(worker);
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCallback, error, "TerminateThread failed: %s");
        return false;
    }
    // Termination is asynchronous too: what the work held is given back only once it is gone.
    WaitForSingleObject(worker, INFINITE);
    dialog.worker_running = false;
    return true;
}

void count_tick(HWND window) {
    if (find_security_window())
        return;  // the user's time to answer the prompt is not the installation's
    const progress_tick tick = count_progress_tick(dialog.clock, dialog.worker_running);
    if (tick.step == progress_step::show_text) {
        show_next_text(window, progress_texts[tick.text]);
    } else if (tick.step == progress_step::time_out) {
        if (!end_worker_by_force())
            return;
        if (dialog.abandon)
            dialog.abandon(dialog.argument);
        finish(window, USBDRV_ERR_TIMEOUT);
    }
}

LRESULT CALLBACK progress_callback(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_CREATE:
            dialog.clock = {};
            dialog.owner = GetWindow(window, GW_OWNER);
            EnableWindow(dialog.owner, FALSE);
            init_children(window);
            center_progress_window(window);
            SetTimer(window, kTickTimer, kTickMs, nullptr);
            PostMessageW(window, kStartMessage, 0, 0);
            return 0;
        case kStartMessage:
            start_worker(window);
            return 0;
        case kDoneMessage:
            finish(window, static_cast<usbdrv_result>(static_cast<int>(wparam)));
            return 0;
        case WM_TIMER:
            if (wparam == kTickTimer)
                count_tick(window);
            return 0;
        case WM_CLOSE:
            return 0;  // neither the user nor the system's close command ends an installation
        case WM_NCHITTEST:
            return progress_hit_test(
                static_cast<int>(DefWindowProcW(window, message, wparam, lparam)));
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
    return DefWindowProcW(window, message, wparam, lparam);
}

bool register_progress_class(HINSTANCE instance) {
    WNDCLASSEXW existing = {};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, kClassName, &existing))
        return true;
    WNDCLASSEXW progress_class = {};
    progress_class.cbSize = sizeof progress_class;
    progress_class.style = CS_DBLCLKS | CS_SAVEBITS;
    progress_class.lpfnWndProc = progress_callback;
    progress_class.hInstance = instance;
    progress_class.hIcon = LoadIconA(nullptr, IDI_APPLICATION);
    progress_class.hIconSm = LoadIconA(nullptr, IDI_APPLICATION);
    progress_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    progress_class.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    progress_class.lpszClassName = kClassName;
    if (!RegisterClassExW(&progress_class)) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "can't register class %s");
        return false;
    }
    return true;
}

usbdrv_result run_message_loop() {
    MSG message;
    BOOL got;
    while ((got = GetMessageW(&message, nullptr, 0, 0)) != 0) {
        if (got == -1) {
            DWORD error = GetLastError();
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "GetMessage error: %s");
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<usbdrv_result>(static_cast<int>(message.wParam));
}

// Ends what the run left: the worker (still running only when a message of another sender ended
// the window), a probe still waiting for a lock the worker held, the font.
void forget_run() {
    if (dialog.worker)
        WaitForSingleObject(dialog.worker.get(), INFINITE);
    if (dialog.probe)
        WaitForSingleObject(dialog.probe.get(), kGraceMs);
    dialog.worker.reset();
    dialog.probe.reset();
    dialog.font.reset();
    dialog.worker_running = false;
    dialog.owner = dialog.bar = dialog.text = nullptr;
    dialog.work = nullptr;
    dialog.argument = nullptr;
    dialog.abandon = nullptr;
}

}  // namespace

usbdrv_result run_with_progress_bar(HWND owner, progress_work work, void* argument,
                                    progress_abandon abandon) {
    if (!owner)
        return USBDRV_ERR_INVALID_PARAM;
    if (!IsWindow(owner)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun, "the owner %p is not a window",
                   static_cast<void*>(owner));
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (!work) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun, "no work given");
        return USBDRV_ERR_INVALID_PARAM;
    }
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(owner, GWLP_HINSTANCE));

    bool idle = false;
    if (!dialog_active.compare_exchange_strong(idle, true)) {
        usbdrv_log(USBDRV_LOG_ERROR, kRun,
                   "could not obtain progress dialog mutex - is another dialog active?");
        return USBDRV_ERR_BUSY;
    }
    scope_guard release_guard([] {
        forget_run();
        dialog_active = false;
    });
    dialog.instance = instance;
    dialog.work = work;
    dialog.argument = argument;
    dialog.abandon = abandon;

    if (!register_progress_class(instance))
        return USBDRV_ERR_RESOURCE;
    HWND window = CreateWindowExW(
        WS_EX_WINDOWEDGE | WS_EX_CONTROLPARENT, kClassName, kTitleWide,
        WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN | WS_CAPTION | WS_THICKFRAME, 100,
        100, 287, 102, owner, nullptr, instance, nullptr);
    if (!window) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kRun, error, "Unable to create progress dialog: %s");
        return USBDRV_ERR_RESOURCE;
    }
    ShowWindow(window, SW_SHOWNORMAL);
    UpdateWindow(window);
    return run_message_loop();
}

// The progress window on the test run's virtual display, in this program's own process: the test
// thread owns an owner window and keeps its messages flowing, while a second thread runs
// run_with_progress_bar as the dialog's command worker does. The window's clock is stopped by a
// message hook on that thread, which drops the timer's own ticks; the test counts ticks by
// sending WM_TIMER itself.
//   CORVANE_RESULTS  folder for the screenshot (Unix path)
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/progress_rules.h"
#include "gui_driver.h"
#include "install/progress_window.h"
#include "test_support.h"
#include "win/handles.h"

namespace {

const wchar_t kProgressClass[] = L"usbdrv_progress_class";
const wchar_t kTestClass[] = L"corvane_progress_test_window";

// Dispatches what comes to this thread (the owner's messages, and messages the progress window's
// thread sends it) until condition() holds; false when the time is up.
template <typename Condition>
bool pump_until(Condition condition, DWORD timeout_ms = 10000) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (condition())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

void pump_for(DWORD ms) {
    pump_until([] { return false; }, ms);
}

bool is_progress_window(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return wcscmp(name, kProgressClass) == 0;
}

BOOL CALLBACK note_progress_window(HWND window, LPARAM list) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() && is_progress_window(window))
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// The progress windows of this process.
std::vector<HWND> progress_windows() {
    std::vector<HWND> found;
    EnumWindows(note_progress_window, reinterpret_cast<LPARAM>(&found));
    return found;
}

// A top-level window (or a child of parent) of the test's own class, on the test thread.
HWND make_window(const wchar_t* title, DWORD style, int x, int y, int width, int height,
                 HWND parent = nullptr) {
    static const ATOM registered = [] {
        WNDCLASSEXW window_class = {};
        window_class.cbSize = sizeof window_class;
        window_class.lpfnWndProc = DefWindowProcW;
        window_class.hInstance = GetModuleHandleW(nullptr);
        window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        window_class.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
        window_class.lpszClassName = kTestClass;
        return RegisterClassExW(&window_class);
    }();
    EXPECT_NE(registered, 0);
    return CreateWindowExW(0, kTestClass, title, style, x, y, width, height, parent, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
}

// A dialog-like top-level window in the virtual desktop (640 x 360), destroyed with the object.
class owner_window {
public:
    owner_window()
        : window_(make_window(L"Corvane progress owner",
                              WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, 40, 20, 560,
                              320)) {
        pump_for(50);
    }
    ~owner_window() { DestroyWindow(window_); }
    owner_window(const owner_window&) = delete;
    owner_window& operator=(const owner_window&) = delete;
    HWND get() const { return window_; }

private:
    HWND window_;
};

// The work the window runs: records its thread, does `hold` (takes a lock, starts a child...),
// says it started, waits until the test releases it (or, when it honours the cancel, until the
// window cancels it), does `then` and returns `result` (USBDRV_ERR_TIMEOUT when cancelled, as an
// installation does). The test (or the run's end) releases it.
struct test_work {
    usbdrv_result result = USBDRV_OK;
    bool honours_cancel = true;
    bool logs_while_waiting = false;  // a log line, then a look at the events, over and over
    std::function<void()> hold;
    std::function<void()> then;
    unique_event started{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unique_event release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<int> calls{0};
    std::atomic<bool> returned{false};
    std::atomic<bool> cancelled{false};
    std::atomic<DWORD> thread_id{0};
    unique_thread thread;  // the worker, to see how it ended

    static usbdrv_result run(void* argument, HANDLE cancel) {
        test_work& work = *static_cast<test_work*>(argument);
        work.calls++;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                        work.thread.put(), 0, FALSE, DUPLICATE_SAME_ACCESS);
        work.thread_id = GetCurrentThreadId();
        if (work.hold)
            work.hold();
        SetEvent(work.started.get());
        HANDLE either[] = {work.release.get(), cancel};
        DWORD count = work.honours_cancel && cancel ? 2 : 1;
        DWORD waited = WAIT_TIMEOUT;
        while (waited == WAIT_TIMEOUT) {
            if (work.logs_while_waiting)
                usbdrv_log(USBDRV_LOG_INFO, "test work", "still working");
            waited = WaitForMultipleObjects(count, either, FALSE,
                                            work.logs_while_waiting ? 0 : INFINITE);
        }
        work.cancelled = waited == WAIT_OBJECT_0 + 1;
        if (work.then)
            work.then();
        work.returned = true;
        return work.cancelled ? USBDRV_ERR_TIMEOUT : work.result;
    }
    test_work() = default;
    // A work that returns result at once.
    explicit test_work(usbdrv_result at_once) : result(at_once) { SetEvent(release.get()); }
};

// The message hook on the run's thread: drops the window's own ticks while the clock is stopped,
// counts those it lets through, and notes the marquee request posted to the bar.
std::atomic<bool> clock_stopped{true};
std::atomic<int> real_ticks{0};
struct marquee_request {
    HWND bar;
    WPARAM on;
    LPARAM interval;
};
std::vector<marquee_request> marquee_requests;  // written on the run's thread before the work

LRESULT CALLBACK watch_messages(int code, WPARAM removed, LPARAM message) {
    MSG& m = *reinterpret_cast<MSG*>(message);
    if (code == HC_ACTION && removed == PM_REMOVE) {
        if (m.message == WM_TIMER && m.wParam == 1 && is_progress_window(m.hwnd)) {
            if (clock_stopped)
                m.message = WM_NULL;
            else
                real_ticks++;
        } else if (m.message == PBM_SETMARQUEE) {
            marquee_requests.push_back({m.hwnd, m.wParam, m.lParam});
        }
    }
    return CallNextHookEx(nullptr, code, removed, message);
}

// One run_with_progress_bar on a thread of its own, as the dialog's command worker runs it.
class progress_run {
public:
    progress_run(HWND owner, test_work& work, bool clock_runs = false) : work_(work) {
        clock_stopped = !clock_runs;
        real_ticks = 0;
        marquee_requests.clear();
        thread_ = std::thread([this, owner] {
            thread_id_ = GetCurrentThreadId();
            HHOOK hook = SetWindowsHookExW(WH_GETMESSAGE, watch_messages, nullptr, thread_id_);
            result_ = run_with_progress_bar(owner, test_work::run, &work_);
            UnhookWindowsHookEx(hook);
            ended_ = true;
        });
    }
    ~progress_run() {
        SetEvent(work_.release.get());
        if (pump_until([this] { return ended_.load(); }, 30000)) {
            thread_.join();
        } else {
            ADD_FAILURE() << "the progress window did not end";
            thread_.detach();
        }
    }
    progress_run(const progress_run&) = delete;
    progress_run& operator=(const progress_run&) = delete;

    // The progress window, once it exists and the worker has started.
    HWND window() {
        HWND found = nullptr;
        pump_until([&] {
            for (HWND w : progress_windows()) {
                if (GetWindowThreadProcessId(w, nullptr) == thread_id_)
                    found = w;
            }
            return found && WaitForSingleObject(work_.started.get(), 0) == WAIT_OBJECT_0;
        });
        return found;
    }
    DWORD thread_id() const { return thread_id_; }
    bool ended() const { return ended_; }
    bool ends_within(DWORD ms) {
        return pump_until([this] { return ended_.load(); }, ms);
    }
    // Waits for the end; USBDRV_ERR_OTHER and a failure when it does not come.
    usbdrv_result result() {
        if (!ends_within(20000)) {
            ADD_FAILURE() << "run_with_progress_bar did not return";
            return USBDRV_ERR_OTHER;
        }
        return result_;
    }

private:
    test_work& work_;
    std::thread thread_;
    std::atomic<DWORD> thread_id_{0};
    std::atomic<bool> ended_{false};
    usbdrv_result result_ = USBDRV_ERR_OTHER;
};

std::wstring text_of(HWND window) {
    return gui::text_of(window);
}

HWND child_of_class(HWND parent, const wchar_t* class_name) {
    for (HWND c = GetWindow(parent, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (_wcsicmp(gui::window_class_of(c).c_str(), class_name) == 0)
            return c;
    }
    return nullptr;
}

HWND status_text_of(HWND window) {
    return child_of_class(window, L"Static");
}

// The window's texts are ASCII.
std::wstring wide(const char* text) {
    return std::wstring(text, text + strlen(text));
}

// Sends `count` ticks of the window's timer.
void tick(HWND window, int count = 1) {
    for (int i = 0; i < count; i++)
        SendMessageW(window, WM_TIMER, 1, 0);
}

// This program's standard output as it started: a log capture redirects the streams meanwhile.
const unique_handle kOutput([] {
    HANDLE output = nullptr;
    DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(),
                    &output, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return output;
}());

// A lock left taken (as by a thread ended while it held it) leaves the next user of that lock
// waiting for ever: the test's own clean-up and log capture too. So a wait that does not end in
// time ends the program at once, with a word on its output, and the test fails instead of
// stalling.
void end_if_hung(bool returned, const char* what) {
    if (returned)
        return;
    const std::string text = std::string("hung: ") + what + "\n";
    DWORD written = 0;
    WriteFile(kOutput.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    TerminateProcess(GetCurrentProcess(), 3);
}

// A tick at the time-out does more than count: a bounded wait.
void tick_once_more(HWND window) {
    DWORD_PTR answer = 0;
    end_if_hung(SendMessageTimeoutW(window, WM_TIMER, 1, 0, SMTO_NORMAL, 20000, &answer) != 0,
                "the progress window did not answer its tick");
}

// Runs what on a thread of its own, which must come back within 10 seconds.
void runs_on_a_fresh_thread(const char* what_it_does, std::function<void()> what) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
        what();
        done = true;
    });
    end_if_hung(pump_until([&] { return done.load(); }, 10000), what_it_does);
    thread.join();
}

// What the bar shows, drawn into a bitmap of this thread.
std::vector<uint32_t> picture_of(HWND bar) {
    RECT r;
    GetClientRect(bar, &r);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = r.right;
    info.bmiHeader.biHeight = -r.bottom;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    ReleaseDC(nullptr, screen);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(dc, bitmap);
    SendMessageW(bar, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc), PRF_CLIENT);
    GdiFlush();
    const uint32_t* pixels = static_cast<const uint32_t*>(bits);
    std::vector<uint32_t> picture(pixels, pixels + r.right * r.bottom);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    return picture;
}

// Every test has an owner window; most run one progress window over it with `work`.
class ProgressWindow : public testing::Test {
protected:
    // Runs `work` under a progress window; the window once the work has started, or null.
    HWND start(bool clock_runs = false) {
        run.emplace(owner.get(), work, clock_runs);
        return run->window();
    }
    // Lets the work return and waits for the run's result.
    usbdrv_result release_work() {
        SetEvent(work.release.get());
        return run->result();
    }

    owner_window owner;
    test_work work;
    std::optional<progress_run> run;
};

TEST_F(ProgressWindow, IsBuiltAsDesignedOverItsOwner) {
    HWND window = start();
    ASSERT_NE(window, nullptr);

    WNDCLASSEXW design = {};
    design.cbSize = sizeof design;
    ASSERT_TRUE(GetClassInfoExW(GetModuleHandleW(nullptr), kProgressClass, &design))
        << "registered for the owner's instance";
    EXPECT_EQ(design.style, static_cast<UINT>(CS_DBLCLKS | CS_SAVEBITS));
    EXPECT_EQ(design.cbClsExtra, 0);
    EXPECT_EQ(design.cbWndExtra, 0);
    EXPECT_EQ(design.hIcon, LoadIconA(nullptr, IDI_APPLICATION));
    EXPECT_EQ(design.hCursor, LoadCursorA(nullptr, IDC_ARROW));
    EXPECT_EQ(design.hbrBackground, GetSysColorBrush(COLOR_BTNFACE));
    EXPECT_EQ(design.lpszMenuName, nullptr);
    EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrW(window, GWLP_HINSTANCE)),
              GetModuleHandleW(nullptr));

    EXPECT_EQ(text_of(window), L"Installing Driver...");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)), 0x96C40000u);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)), 0x10100u);
    EXPECT_EQ(GetWindow(window, GW_OWNER), owner.get());
    EXPECT_TRUE(IsWindowVisible(window));

    // 287 x 102, 35 pixels above the centre of the owner's client area.
    RECT frame, client;
    GetWindowRect(window, &frame);
    GetClientRect(owner.get(), &client);
    POINT centre = {client.right / 2, client.bottom / 2};
    ClientToScreen(owner.get(), &centre);
    EXPECT_EQ(frame.right - frame.left, 287);
    EXPECT_EQ(frame.bottom - frame.top, 102);
    EXPECT_EQ(frame.left, centre.x - 143);
    EXPECT_EQ(frame.top, centre.y - 51 - 35);

    const struct {
        const wchar_t* class_name;
        const wchar_t* text;
        DWORD ex_style, style;
        int x, y, width, height;
    } children[] = {
        {L"msctls_progress32", L"", 0x4, 0x50000008, 10, 35, 250, 12},
        {L"Static", L"Installing Driver...", 0x24, 0x50020000, 12, 12, 250, 16},
    };
    int count = 0;
    for (HWND c = GetWindow(window, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT))
        count++;
    EXPECT_EQ(count, 2);
    for (const auto& e : children) {
        SCOPED_TRACE(test::utf8(e.class_name));
        HWND c = child_of_class(window, e.class_name);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(text_of(c), e.text);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(c, GWL_EXSTYLE)), e.ex_style);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(c, GWL_STYLE)), e.style);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(r.left, e.x);
        EXPECT_EQ(r.top, e.y);
        EXPECT_EQ(r.right - r.left, e.width);
        EXPECT_EQ(r.bottom - r.top, e.height);
    }

    // The status text's font, asked for in this process, where the handle means something.
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(status_text_of(window), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW face = {};
    ASSERT_EQ(GetObjectW(font, sizeof face, &face), static_cast<int>(sizeof face));
    EXPECT_EQ(face.lfHeight, -11);
    EXPECT_EQ(face.lfWidth, 0);
    EXPECT_EQ(face.lfWeight, 0);
    EXPECT_STREQ(face.lfFaceName, L"MS Shell Dlg 2");

    // The bar runs as a marquee: asked once, on, at the default interval, and it moves.
    HWND bar = child_of_class(window, L"msctls_progress32");
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(marquee_requests.size(), 1u);
    EXPECT_EQ(marquee_requests[0].bar, bar);
    EXPECT_EQ(marquee_requests[0].on, 1u);
    EXPECT_EQ(marquee_requests[0].interval, 0);
    const std::vector<uint32_t> first = picture_of(bar);
    EXPECT_TRUE(pump_until([&] { return picture_of(bar) != first; }, 5000))
        << "the marquee does not move";

    EXPECT_EQ(release_work(), USBDRV_OK);
}

TEST_F(ProgressWindow, LeavesAScreenshotOverItsOwner) {
    ASSERT_NE(start(), nullptr);
    pump_for(500);  // the marquee moves in
    gui::take_screenshot("progress-window");
}

TEST_F(ProgressWindow, DisablesItsOwnerUntilItIsGoneAndRunsTheWorkOnceOnAnotherThread) {
    HWND window = start();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(IsWindowEnabled(owner.get()));
    EXPECT_NE(work.thread_id, run->thread_id());
    EXPECT_NE(work.thread_id, GetCurrentThreadId());

    EXPECT_EQ(release_work(), USBDRV_OK);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindowEnabled(owner.get()));
    EXPECT_EQ(work.calls, 1);
    EXPECT_FALSE(work.cancelled);
}

TEST_F(ProgressWindow, ReturnsTheWorksResultUnchanged) {
    const usbdrv_result results[] = {USBDRV_OK,
                                     USBDRV_ERR_USER_CANCEL,
                                     USBDRV_ERR_EXISTS,
                                     USBDRV_ERR_NEEDS_ADMIN,
                                     USBDRV_ERR_TIMEOUT,
                                     USBDRV_ERR_OTHER,
                                     static_cast<usbdrv_result>(1)};
    for (usbdrv_result result : results) {
        SCOPED_TRACE("result " + std::to_string(result));
        test_work quick(result);
        test::log_capture log;
        progress_run quick_run(owner.get(), quick);
        EXPECT_EQ(quick_run.result(), result);
        EXPECT_EQ(log.text(), "");
        EXPECT_TRUE(progress_windows().empty());
        EXPECT_TRUE(IsWindowEnabled(owner.get()));
    }
}

TEST_F(ProgressWindow, CanBeClosedNeitherByTheUserNorByTheSystemsCloseCommand) {
    HWND window = start();
    ASSERT_NE(window, nullptr);
    SendMessageW(window, WM_CLOSE, 0, 0);
    SendMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    pump_for(200);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(run->ended());
    EXPECT_EQ(release_work(), USBDRV_OK);
}

// Every part of the frame gets an answer that neither moves nor resizes the window.
TEST_F(ProgressWindow, CanBeNeitherMovedNorResized) {
    HWND window = start();
    ASSERT_NE(window, nullptr);
    RECT f;
    GetWindowRect(window, &f);
    const int mid_x = (f.left + f.right) / 2, mid_y = (f.top + f.bottom) / 2;
    const int caption_y = f.top + GetSystemMetrics(SM_CYFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    const struct {
        const char* where;
        int x, y;
        LRESULT system_answer;  // what the window's frame is at that point
        LRESULT answer;
    } cases[] = {
        {"caption", mid_x, caption_y, HTCAPTION, HTNOWHERE},
        {"client area", mid_x, f.bottom - 20, HTCLIENT, HTNOWHERE},
        {"outside", f.left - 20, f.top - 20, HTNOWHERE, HTNOWHERE},
        {"left border", f.left + 1, mid_y, HTLEFT, HTCLIENT},
        {"right border", f.right - 2, mid_y, HTRIGHT, HTCLIENT},
        {"top border", mid_x, f.top + 1, HTTOP, HTCLIENT},
        {"bottom border", mid_x, f.bottom - 2, HTBOTTOM, HTCLIENT},
        {"top left corner", f.left + 1, f.top + 1, HTTOPLEFT, HTCLIENT},
        {"top right corner", f.right - 2, f.top + 1, HTTOPRIGHT, HTCLIENT},
        {"bottom left corner", f.left + 1, f.bottom - 2, HTBOTTOMLEFT, HTCLIENT},
        {"bottom right corner", f.right - 2, f.bottom - 2, HTBOTTOMRIGHT, HTCLIENT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.where);
        const LPARAM point = MAKELPARAM(c.x, c.y);
        ASSERT_EQ(DefWindowProcW(window, WM_NCHITTEST, 0, point), c.system_answer);
        EXPECT_EQ(SendMessageW(window, WM_NCHITTEST, 0, point), c.answer);
    }
    EXPECT_EQ(release_work(), USBDRV_OK);
}

TEST_F(ProgressWindow, BadInputIsRefusedWithoutAWindow) {
    HWND gone = make_window(L"gone", WS_POPUP, 0, 0, 10, 10);
    DestroyWindow(gone);
    const struct {
        const char* name;
        HWND owner;
        progress_work work;
        const char* log;
    } cases[] = {
        {"no owner", nullptr, test_work::run, ""},
        {"an owner that is no window", gone, test_work::run,
         "usbdrv:error [run_with_progress_bar] the owner "},
        {"no work", owner.get(), nullptr, "usbdrv:error [run_with_progress_bar] no work given\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_work unused(USBDRV_OK);
        test::log_capture log;
        EXPECT_EQ(run_with_progress_bar(c.owner, c.work, &unused), USBDRV_ERR_INVALID_PARAM);
        EXPECT_EQ(log.text().rfind(c.log, 0), 0u) << log.text();
        EXPECT_EQ(unused.calls, 0);
        EXPECT_TRUE(progress_windows().empty());
        EXPECT_TRUE(IsWindowEnabled(owner.get()));
    }
}

TEST_F(ProgressWindow, ASecondWindowIsRefusedWhileOneIsActive) {
    test_work first;
    {
        progress_run first_run(owner.get(), first);
        ASSERT_NE(first_run.window(), nullptr);

        test_work second(USBDRV_OK);
        test::log_capture log;
        EXPECT_EQ(run_with_progress_bar(owner.get(), test_work::run, &second), USBDRV_ERR_BUSY);
        EXPECT_EQ(log.text(),
                  "usbdrv:error [run_with_progress_bar] could not obtain progress dialog mutex - "
                  "is another dialog active?\n");
        EXPECT_EQ(second.calls, 0);
        EXPECT_EQ(progress_windows().size(), 1u);
        EXPECT_FALSE(IsWindowEnabled(owner.get()));

        SetEvent(first.release.get());
        EXPECT_EQ(first_run.result(), USBDRV_OK);
    }
    // Once the first is gone, the next one runs.
    test_work next(USBDRV_ERR_EXISTS);
    progress_run next_run(owner.get(), next);
    EXPECT_EQ(next_run.result(), USBDRV_ERR_EXISTS);
}

// A start message from elsewhere while the worker runs ends the window, but the call returns
// only when the worker has: nothing of the run outlives it. The worker is told to stop (this one
// does not listen).
TEST_F(ProgressWindow, AStartMessageWhileTheWorkerRunsEndsTheWindowAfterTheWorker) {
    work.honours_cancel = false;
    test::log_capture log;
    HWND window = start();
    ASSERT_NE(window, nullptr);
    SendMessageW(window, WM_APP, 0, 0);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindowEnabled(owner.get()));
    EXPECT_FALSE(run->ends_within(300));
    SetEvent(work.release.get());
    EXPECT_EQ(run->result(), USBDRV_ERR_RESOURCE);
    EXPECT_TRUE(work.returned);
    EXPECT_EQ(work.calls, 1);
    EXPECT_EQ(log.text(),
              "usbdrv:error [progress_callback] program assertion failed - another operation is "
              "in progress\n");
}

// Text i replaces the one before at counted tick 15 * (i + 1) + 1; at tick 300 the last one
// still stands and the work goes on.
TEST_F(ProgressWindow, TheTextsFollowTheCountedTicks) {
    HWND window = start();
    ASSERT_NE(window, nullptr);
    HWND text = status_text_of(window);
    ASSERT_NE(text, nullptr);
    std::wstring before = L"Installing Driver...";
    int ticks = 0;
    for (size_t i = 0; i < kProgressTextCount; i++) {
        const int due = 15 * static_cast<int>(i + 1) + 1;
        tick(window, due - 1 - ticks);
        EXPECT_EQ(text_of(text), before) << "tick " << due - 1;
        tick(window);
        ticks = due;
        before = wide(progress_texts[i]);
        EXPECT_EQ(text_of(text), before) << "tick " << due;
        EXPECT_TRUE(IsWindowVisible(text)) << "tick " << due;
    }
    EXPECT_EQ(before, L"Aborting in 15 seconds...");
    tick(window, 300 - ticks);
    EXPECT_EQ(text_of(text), before);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(run->ended());
    EXPECT_EQ(release_work(), USBDRV_OK);
    EXPECT_FALSE(work.cancelled);
}

// The window's own timer ticks once a second and its ticks count like those sent.
TEST_F(ProgressWindow, ItsOwnTimerTicks) {
    HWND window = start(true);
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(pump_until([] { return real_ticks >= 2; }, 6000)) << real_ticks;
    clock_stopped = true;
    const int counted = real_ticks;
    ASSERT_LT(counted, 15);
    HWND text = status_text_of(window);
    tick(window, 15 - counted);
    EXPECT_EQ(text_of(text), L"Installing Driver...");
    tick(window);
    EXPECT_EQ(text_of(text), wide(progress_texts[0]));
    EXPECT_EQ(release_work(), USBDRV_OK);
}

// While a window titled "Windows Security" is on the screen, ticks are not counted.
TEST_F(ProgressWindow, ASecurityPromptStopsTheCountUntilItIsGone) {
    const struct {
        const char* name;
        const wchar_t* title;
        DWORD style;
        bool child;
        bool pauses;
    } cases[] = {
        {"popup", L"Windows Security", WS_POPUP | WS_VISIBLE, false, true},
        {"captioned", L"Windows Security", WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, false, true},
        {"hidden popup", L"Windows Security", WS_POPUP, false, true},
        {"bordered child", L"Windows Security", WS_CHILD | WS_BORDER | WS_VISIBLE, true, true},
        {"borderless child", L"Windows Security", WS_CHILD | WS_VISIBLE, true, false},
        {"other case", L"windows security", WS_POPUP | WS_VISIBLE, false, false},
        {"longer title", L"Windows Security Center", WS_POPUP | WS_VISIBLE, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test_work case_work;
        progress_run case_run(owner.get(), case_work);
        HWND window = case_run.window();
        ASSERT_NE(window, nullptr);
        HWND text = status_text_of(window);
        tick(window, 15);
        HWND prompt =
            make_window(c.title, c.style, 300, 10, 200, 80, c.child ? owner.get() : nullptr);
        ASSERT_NE(prompt, nullptr);
        if (c.pauses) {
            tick(window, 50);
            EXPECT_EQ(text_of(text), L"Installing Driver...");
            DestroyWindow(prompt);
            tick(window);
        } else {
            tick(window);
            DestroyWindow(prompt);
        }
        EXPECT_EQ(text_of(text), wide(progress_texts[0]));
        SetEvent(case_work.release.get());
        EXPECT_EQ(case_run.result(), USBDRV_OK);
    }
}

// The work holds what an installation holds: a machine-wide marker, an event, a helper process,
// and a lock of the process. At counted tick 301 the window cancels it; the work returns by
// itself with its time-out and gives back what it held on its own way out. The worker is never
// ended or suspended: it returns, and its thread ends normally.
TEST_F(ProgressWindow, TheTimeOutCancelsTheWorkWhichReturnsByItself) {
    const wchar_t* const marker = L"Global\\corvane_progress_window_test";
    unique_mutex mutex;
    unique_event event;
    child_process_guard helper;
    critical_section lock;
    work.hold = [&] {
        mutex.reset(CreateMutexW(nullptr, TRUE, marker));
        event.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        test::start_program(test::beside_me("exit_with.exe"), L"sleep 600000 0", nullptr, helper);
        EnterCriticalSection(lock.get());
    };
    work.then = [&] {
        LeaveCriticalSection(lock.get());
        mutex.reset();
        event.reset();
        helper.end();
    };
    test::log_capture log;
    HWND window = start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(mutex && event && helper.process());
    tick(window, 300);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowEnabled(owner.get()));
    EXPECT_FALSE(work.cancelled);

    // Not while a security prompt is up: that time is not counted.
    HWND prompt = make_window(L"Windows Security", WS_POPUP | WS_VISIBLE, 300, 10, 200, 80);
    tick(window, 5);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(work.cancelled);
    DestroyWindow(prompt);

    tick_once_more(window);
    EXPECT_EQ(run->result(), USBDRV_ERR_TIMEOUT);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(IsWindowEnabled(owner.get()));
    EXPECT_EQ(log.text(),
              "usbdrv:error [progress_callback] progress timeout expired - cancelling the "
              "installation\n");

    // The work was told to stop and returned; its thread ended by itself.
    EXPECT_TRUE(work.cancelled);
    EXPECT_TRUE(work.returned);
    ASSERT_EQ(WaitForSingleObject(work.thread.get(), 5000), WAIT_OBJECT_0);
    DWORD exit_code = 0xFFFFFFFF;
    GetExitCodeThread(work.thread.get(), &exit_code);
    EXPECT_EQ(exit_code, 0u);

    // A later run in the same process: the marker is free, the lock can be taken, allocations
    // and log lines go on.
    test_work later;
    later.hold = [&] {
        unique_mutex again(CreateMutexW(nullptr, TRUE, marker));
        DWORD error = GetLastError();
        later.result = again && error != ERROR_ALREADY_EXISTS ? USBDRV_OK : USBDRV_ERR_BUSY;
    };
    SetEvent(later.release.get());
    progress_run next(owner.get(), later);
    EXPECT_EQ(next.result(), USBDRV_OK);
    test::log_capture after;
    runs_on_a_fresh_thread("taking the lock, allocating and logging", [&lock] {
        critical_section_lock taken(lock);
        std::vector<char> block(1 << 20, 'x');
        usbdrv_log(USBDRV_LOG_ERROR, "test", "still logging %zu", block.size());
    });
    EXPECT_EQ(after.text(), "usbdrv:error [test] still logging 1048576\n");
}

// A work that does not stop when told keeps the window, and its owner disabled, until it
// returns: the window waits, cancels once, and ends with the work's own result.
TEST_F(ProgressWindow, AWorkThatGoesOnAfterTheCancelKeepsTheWindowUntilItReturns) {
    work.honours_cancel = false;
    work.result = USBDRV_ERR_EXISTS;
    test::log_capture log;
    HWND window = start();
    ASSERT_NE(window, nullptr);
    tick(window, 300);
    for (int i = 0; i < 3; i++)
        tick_once_more(window);
    pump_for(200);
    EXPECT_TRUE(IsWindow(window));
    EXPECT_FALSE(IsWindowEnabled(owner.get()));
    EXPECT_FALSE(run->ended());
    EXPECT_EQ(release_work(), USBDRV_ERR_EXISTS);
    EXPECT_TRUE(IsWindowEnabled(owner.get()));
    EXPECT_EQ(log.text(),
              "usbdrv:error [progress_callback] progress timeout expired - cancelling the "
              "installation\n")
        << "cancelled once";
}

// A worker that returns just as the time-out comes gives its own result, whether the tick finds
// it still running (and cancels what is over) or not.
TEST_F(ProgressWindow, AWorkerReturningAsTheTimeOutComesGivesItsOwnResult) {
    work.result = USBDRV_ERR_EXISTS;
    HWND window = start();
    ASSERT_NE(window, nullptr);
    tick(window, 300);
    SetEvent(work.release.get());
    ASSERT_TRUE(pump_until([&] { return work.returned.load(); }, 5000));
    tick(window);  // a window that is gone by now takes no tick
    EXPECT_EQ(run->result(), USBDRV_ERR_EXISTS);
    EXPECT_FALSE(work.cancelled);
}

// The program's log sink takes a lock for every line, as the dialog's log file does, and the
// worker logs all the time, so it holds that lock at almost any moment. At the time-out nobody is
// left waiting for the lock: the call returns, and a line after it is written.
TEST_F(ProgressWindow, TheTimeOutLeavesTheLogSinksLockFree) {
    struct locked_sink {
        critical_section lock;
        std::atomic<int> lines{0};
        static void take(int, const char*, void* context) {
            auto& sink = *static_cast<locked_sink*>(context);
            critical_section_lock hold(sink.lock);
            Sleep(1);  // a file write takes a moment
            sink.lines++;
        }
    } sink;
    usbdrv_set_log_sink(&locked_sink::take, &sink);
    scope_guard no_sink([] { usbdrv_set_log_sink(nullptr, nullptr); });
    work.logs_while_waiting = true;
    HWND window = start();
    ASSERT_NE(window, nullptr);
    tick(window, 300);
    tick_once_more(window);
    EXPECT_EQ(run->result(), USBDRV_ERR_TIMEOUT);
    EXPECT_TRUE(work.cancelled);
    EXPECT_GT(sink.lines, 0);
    const int before = sink.lines;
    runs_on_a_fresh_thread("logging through the sink",
                           [] { usbdrv_log(USBDRV_LOG_ERROR, "test", "after the time-out"); });
    EXPECT_EQ(sink.lines, before + 1);
}

}  // namespace

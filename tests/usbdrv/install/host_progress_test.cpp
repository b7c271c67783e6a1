// usbdrv_install_driver in progress mode, on the virtual display: the progress window runs the
// installation on a worker thread. When the window's time-out ends that thread by force, what
// the installation held (busy marker, pipe, event, the helper) is given back, so that the next
// installation in the same process runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host_fixture.h"
#include "usbdrv/usbdrv.h"

namespace {

using test::helper_package;
using test::install;
using test::install_outcome;
using test::test_device;

// The progress window of this process, or null.
HWND progress_window() {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"usbdrv_progress_class", nullptr); window;
         window = FindWindowExW(nullptr, window, L"usbdrv_progress_class", nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

class ProgressMode : public testing::Test {
protected:
    void SetUp() override {
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(owner_, nullptr) << GetLastError();
        options_ = {owner_, 0, 0};
    }
    void TearDown() override {
        if (owner_)
            DestroyWindow(owner_);
        EXPECT_TRUE(test::nothing_left());
    }

    HWND owner_ = nullptr;
    usbdrv_install_options options_ = {};
};

TEST_F(ProgressMode, AnInstallationEndedByTheWindowsTimeOutLeavesNothingBehind) {
    helper_package silent;
    // No time limit, then silence: only the window's own time-out ends this installation.
    silent.script("connect\ncode 5\npause 600000\nexit 0\n");
    test_device device;

    // The window counts its timer's ticks; 301 of them end the installation.
    std::atomic<bool> stop{false};
    std::thread ticks([&] {
        HWND window = nullptr;
        while (!stop && !(window = progress_window()))
            Sleep(20);
        Sleep(500);  // the helper is running and silent by then
        for (int tick = 0; tick < 301 && !stop && IsWindow(window); tick++)
            SendMessageW(window, WM_TIMER, 1, 0);
    });
    install_outcome ended = install(silent, device, &options_);
    stop = true;
    ticks.join();
    EXPECT_EQ(ended.result, USBDRV_ERR_TIMEOUT) << ended.log;
    EXPECT_TRUE(ended.logged("usbdrv:debug [usbdrv_install_driver] using progress bar mode\n"));
    EXPECT_TRUE(ended.logged("switching timeout to infinite")) << ended.log;
    EXPECT_TRUE(IsWindowEnabled(owner_));
    EXPECT_TRUE(test::nothing_left()) << "the abandoned installation was given back";

    // The next installations in this process run, under the window and without it; the first
    // sets the message time-out back to its default for the rest of the process.
    helper_package next;
    next.script("connect\ncode 6\nstatus 0\nexit 0\n");
    install_outcome with_window = install(next, device, &options_);
    EXPECT_EQ(with_window.result, USBDRV_OK) << with_window.log;
    EXPECT_EQ(progress_window(), nullptr);
    install_outcome without_window = install(next, device);
    EXPECT_EQ(without_window.result, USBDRV_OK) << without_window.log;
}

}  // namespace

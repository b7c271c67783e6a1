// usbdrv_install_driver in progress mode, on the virtual display: the progress window runs the
// installation on a worker thread. The window's time-out cancels the installation: the call
// returns by itself, having given back what it held, and the helper is left to finish and end
// on its own.
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

TEST_F(ProgressMode, TheWindowsTimeOutCancelsTheInstallationAndLeavesTheHelperToItself) {
    helper_package silent;
    // No time limit, then a long silence: only the window's own time-out ends this installation.
    silent.script("connect\ncode 5\npause 8000\nlog too late\nexit 0\n");
    test_device device;

    // The window counts its timer's ticks; 301 of them cancel the installation.
    std::atomic<bool> stop{false};
    std::thread ticks([&] {
        HWND window = nullptr;
        while (!stop && !(window = test::progress_window()))
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
    EXPECT_TRUE(
        ended.logged("usbdrv:error [progress_callback] progress timeout expired - "
                     "cancelling the installation\n"))
        << ended.log;
    EXPECT_TRUE(
        ended.logged("usbdrv:error [install_driver_internal] installation cancelled: the "
                     "installer is no longer waited for and ends by itself\n"))
        << ended.log;
    EXPECT_FALSE(ended.logged("too late"));
    EXPECT_TRUE(IsWindowEnabled(owner_));
    EXPECT_EQ(test::progress_window(), nullptr);

    // The call returned while the helper was still silent: it was not ended, and it ends by
    // itself.
    EXPECT_EQ(test::running_helpers(), 1);
    EXPECT_TRUE(test::helpers_end_within(15000));
    EXPECT_TRUE(test::nothing_left());

    // The next installations in this process run, under the window and without it; the first
    // sets the message time-out back to its default for the rest of the process.
    helper_package next;
    next.script("connect\ncode 6\nstatus 0\nexit 0\n");
    install_outcome with_window = install(next, device, &options_);
    EXPECT_EQ(with_window.result, USBDRV_OK) << with_window.log;
    EXPECT_EQ(test::progress_window(), nullptr);
    install_outcome without_window = install(next, device);
    EXPECT_EQ(without_window.result, USBDRV_OK) << without_window.log;
}

}  // namespace

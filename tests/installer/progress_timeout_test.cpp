// The progress window's time-out during a slow driver update, on the virtual display, with the
// library's host, the real installer_x64.exe and the simulated machine. The program's log sink
// takes a lock for every line, as the dialog's log file does, and the setup log grows all the
// time, so the installing thread is inside that sink at almost any moment.
//
// The window cancels the installation: the call returns by itself, a log line after it is
// written, and the helper is not ended. It finishes its update, puts the restore-point setting
// back and ends; until then no other installation or preparation starts.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "base/log.h"
#include "e2e_fixture.h"

namespace {

using namespace e2e;

class WindowTimeOut : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(prepared_package::get().ok());
        forget_restore_record();
        owner_ = CreateWindowExW(0, L"STATIC", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(owner_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (owner_)
            DestroyWindow(owner_);
        forget_restore_record();
    }

    HWND owner_ = nullptr;
};

TEST_F(WindowTimeOut, CancelsTheInstallationAndTheHelperFinishesAndPutsTheSettingBack) {
    const struct {
        const char* name;
        std::optional<DWORD> before;
    } cases[] = {{"the setting was 1", DWORD{1}},
                 {"the setting was 0", DWORD{0}},
                 {"there was no setting", std::nullopt}};
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        board_machine machine("window time-out " + std::to_string(index++));
        machine.use("[install]\nduration_ms = 8000\n");
        machine.preset_restore_setting(c.before);
        {
            locked_log lines;
            setup_log_flood flood;
            // Once the update runs, the window's 301 counted ticks, sent from here.
            std::atomic<bool> stop{false};
            std::thread ticks([&] {
                if (!lines.wait_for(helper_line("Installing driver for "), 30000))
                    return;
                HWND window = test::progress_window();
                for (int tick = 0; tick < 301 && !stop && IsWindow(window); tick++)
                    SendMessageW(window, WM_TIMER, 1, 0);
            });
            usbdrv_install_options options = {owner_, 0, 0};
            serial_a device;
            usbdrv_result result = USBDRV_OK;
            {
                hang_guard guard("the installation did not return after the window's time-out",
                                 120000);
                result = usbdrv_install_driver(&device.entry, prepared_package::get().dir().c_str(),
                                               "Corvane.inf", &options);
            }
            stop = true;
            ticks.join();
            EXPECT_EQ(result, USBDRV_ERR_TIMEOUT) << lines.text();
            EXPECT_TRUE(IsWindowEnabled(owner_));
            EXPECT_EQ(test::progress_window(), nullptr);
            EXPECT_TRUE(
                lines.has("usbdrv:error [progress_callback] progress timeout expired - "
                          "cancelling the installation"))
                << lines.text();
            {
                hang_guard guard("a log line after the time-out", 20000);
                std::thread([] {
                    usbdrv_log(USBDRV_LOG_ERROR, "test", "a line after the time-out");
                }).join();
            }
            EXPECT_TRUE(lines.has("usbdrv:error [test] a line after the time-out"));

            // The helper was left to its update; meanwhile the machine is busy.
            EXPECT_EQ(test::running_helpers(), 1);
            serial_a other;
            EXPECT_EQ(usbdrv_install_driver(&other.entry, prepared_package::get().dir().c_str(),
                                            "Corvane.inf", nullptr),
                      USBDRV_ERR_BUSY);
            EXPECT_EQ(prepared_package::get().prepare_again(), USBDRV_ERR_BUSY)
                << "the package the helper installs from is not rewritten";
        }
        // It finishes, puts the setting back and ends by itself.
        EXPECT_TRUE(test::helpers_end_within(30000));
        EXPECT_EQ(machine.restore_setting(), c.before);
        EXPECT_FALSE(restore_record());
        EXPECT_TRUE(test::nothing_left());

        machine.use("[install]\nduration_ms = 0\n");
        test::install_outcome after = install_serial_a();
        EXPECT_EQ(after.result, USBDRV_OK) << after.log;
        EXPECT_EQ(machine.restore_setting(), c.before);
    }
}

}  // namespace

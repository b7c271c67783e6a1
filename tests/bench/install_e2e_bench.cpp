// Prints what one whole installation costs on the simulated machine, split so that the time the
// program itself adds is visible: the preparation of the CDC package (usbdrv_prepare_driver, with
// its catalog), the helper's start (from the installation's call to the first message the host
// gets from the real installer_x64.exe), the conversation (to the helper's "completed"), and the
// end (the helper's fixed 1000 ms end pause and its exit). The driver update itself takes no time
// here ([install] duration_ms = 0). The split is taken from the times at which this program sees
// the library's log lines; a bare process start is measured in the same run for comparison.
// Median of several runs; asserts nothing. Runs under Wine in the test prefix (see
// scripts/bench.sh install-e2e).
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bare_start.h"
#include "bench_timing.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace {

constexpr double kEndPauseMs = 1000;

struct timed_line {
    double at_us;
    std::string text;
};

// The library logs to standard error: this process's standard error goes into a pipe whose
// lines a thread takes down with the time it saw them.
class log_clock {
public:
    log_clock() {
        HANDLE read_end = nullptr;
        HANDLE write_end = nullptr;
        CreatePipe(&read_end, &write_end, nullptr, 1 << 16);
        read_.reset(read_end);
        saved_ = _dup(2);
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_WRONLY | _O_BINARY);
        _dup2(fd, 2);
        _close(fd);
        reader_ = std::thread([this] { read(); });
    }
    ~log_clock() {
        fflush(stderr);
        _dup2(saved_, 2);  // the pipe's last writer goes: the reader sees its end
        _close(saved_);
        reader_.join();
    }
    // The lines seen since the last call.
    std::vector<timed_line> take() {
        fflush(stderr);
        Sleep(50);  // lets the reader catch up with what was just written
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<timed_line> lines;
        lines.swap(lines_);
        return lines;
    }

private:
    void read() {
        std::string pending;
        char chunk[4096];
        DWORD got = 0;
        while (ReadFile(read_.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
            double at = now_us();
            pending.append(chunk, got);
            for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_.push_back({at, pending.substr(0, end)});
                pending.erase(0, end + 1);
            }
        }
    }

    unique_pipe read_;
    int saved_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::vector<timed_line> lines_;
};

// When the first line containing `text` was seen; 0 when none was.
double first(const std::vector<timed_line>& lines, const char* text) {
    for (const timed_line& line : lines) {
        if (line.text.find(text) != std::string::npos)
            return line.at_us;
    }
    return 0;
}

std::string read_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main() {
    const int kRuns = 7;
    const std::string state = "install e2e bench " + std::to_string(GetCurrentProcessId());
    const std::string state_key = "Software\\Corvane\\Simulation\\" + state;
    SetEnvironmentVariableA("CORVANE_SIM_STATE", state.c_str());
    test::simulated_machine machine;
    machine.set(read_text(test::from_utf8(test::shipped_scenario("two-cdc-board.scn"))) +
                "\n[install]\nduration_ms = 0\n");
    const std::filesystem::path exit_with = test::beside_me("exit_with.exe");

    char description[] = "Corvane Twin Serial A";
    char device_id[] = "USB\\VID_C04A&PID_0C0E&MI_00\\7&3A4B5C6&0&0000";
    char hardware_id[] = "USB\\VID_C04A&PID_0C0E&REV_0100&MI_00";
    usbdrv_device_entry device = {};
    device.vid = 0xC04A;
    device.pid = 0x0C0E;
    device.is_interface = 1;
    device.description = description;
    device.device_id = device_id;
    device.hardware_id = hardware_id;
    usbdrv_prepare_options cdc = {};
    cdc.driver_type = USBDRV_DRIVER_CDC;

    std::vector<double> prepare, start, conversation, end, total, bare;
    {
        log_clock clock;
        for (int run = 0; run < kRuns; run++) {
            RegDeleteTreeA(HKEY_CURRENT_USER, state_key.c_str());  // a machine nothing is on
            test::temp_dir package;
            usbdrv_set_log_threshold(USBDRV_LOG_ERROR);
            double t0 = now_us();
            usbdrv_result prepared =
                usbdrv_prepare_driver(&device, package.utf8().c_str(), "Corvane.inf", &cdc);
            // The installation's lines are its clock.
            usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
            double t1 = now_us();
            usbdrv_result installed =
                usbdrv_install_driver(&device, package.utf8().c_str(), "Corvane.inf", nullptr);
            double t2 = now_us();
            std::vector<timed_line> lines = clock.take();
            double first_message = first(lines, "[installer process] ");
            double completed = first(lines, "installer process completed");
            if (prepared != USBDRV_OK || installed != USBDRV_OK || !first_message || !completed) {
                usbdrv_set_log_threshold(USBDRV_LOG_ERROR);
                fprintf(stdout, "run %d failed: preparation %d, installation %d\n", run, prepared,
                        installed);
                return 1;
            }
            prepare.push_back((t1 - t0) / 1000);
            start.push_back((first_message - t1) / 1000);
            conversation.push_back((completed - first_message) / 1000);
            end.push_back((t2 - completed) / 1000);
            total.push_back((t2 - t0) / 1000);
            double b0 = now_us();
            bare_start(exit_with);
            bare.push_back((now_us() - b0) / 1000);
        }
        usbdrv_set_log_threshold(USBDRV_LOG_ERROR);
    }
    RegDeleteTreeA(HKEY_CURRENT_USER, state_key.c_str());

    const double whole = median(total);
    printf(
        "One whole installation on the simulated machine (CDC package with catalog, real "
        "installer_x64.exe, update of 0 ms), median of %d runs:\n",
        kRuns);
    printf("  preparation (usbdrv_prepare_driver)         %8.1f ms\n", median(prepare));
    printf(
        "  helper start (call to its first message)    %8.1f ms   (a bare process start: "
        "%.1f ms)\n",
        median(start), median(bare));
    printf("  conversation (first message to completed)   %8.1f ms\n", median(conversation));
    printf("  end (completed to return; %4.0f ms pause)    %8.1f ms\n", kEndPauseMs, median(end));
    printf("  whole                                       %8.1f ms\n", whole);
    printf("  added by the program (whole less the pause) %8.1f ms\n", whole - kEndPauseMs);
    return 0;
}

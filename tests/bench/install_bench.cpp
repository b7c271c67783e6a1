// Prints what the installation host costs: one whole installation conversation with the scripted
// stand-in of the installer helper (tests/usbdrv/install/scripted_helper.cpp), which asks for the
// three identifiers, sends the time-out hints, reports success at once and then ends after the
// helper's fixed 1000 ms end pause, next to what no host can save: two bare process starts (a
// program that exits at once, started and waited for) plus the same 1000 ms pause, in the same
// run, median of many runs each. Asserts nothing. Runs under Wine in the test prefix, on the
// simulated machine (see scripts/bench.sh install).
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bare_start.h"
#include "bench_timing.h"
#include "test_support.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace {

const char kScript[] =
    "connect\nrequest 2\nrequest 3\nrequest 4\ncode 5\ncode 6\ncode 8\nstatus 0\npause 1000\n"
    "exit 0\n";
constexpr DWORD kEndPauseMs = 1000;

}  // namespace

int main() {
    const int kRuns = 9;
    usbdrv_set_log_threshold(USBDRV_LOG_ERROR);

    test::temp_dir package;
    std::filesystem::copy_file(test::beside_me("scripted_helper.exe"),
                               package.path() / "installer_x64.exe");
    std::ofstream(package.path() / "helper-script.txt", std::ios::binary) << kScript;
    const std::filesystem::path exit_with = test::beside_me("exit_with.exe");

    char device_id[] = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
    char hardware_id[] = "USB\\VID_C04A&PID_0C02&REV_0100&MI_00";
    usbdrv_device_entry device = {};
    device.device_id = device_id;
    device.hardware_id = hardware_id;

    std::vector<double> installation, baseline;
    for (int run = 0; run < kRuns; run++) {
        // Alternate the order, so that neither side always runs first.
        for (int side = 0; side < 2; side++) {
            double start = now_us();
            if ((side == 0) == (run % 2 == 0)) {
                usbdrv_result result =
                    usbdrv_install_driver(&device, package.utf8().c_str(), "Corvane.inf", nullptr);
                if (result != USBDRV_OK) {
                    fprintf(stderr, "the installation failed: %s\n", usbdrv_strerror(result));
                    return 1;
                }
                installation.push_back(now_us() - start);
            } else {
                if (!bare_start(exit_with) || !bare_start(exit_with)) {
                    fprintf(stderr, "exit_with.exe could not be run\n");
                    return 1;
                }
                Sleep(kEndPauseMs);
                baseline.push_back(now_us() - start);
            }
        }
    }

    const double host = median(installation) / 1000, bare = median(baseline) / 1000;
    printf("median of %d runs each, milliseconds\n", kRuns);
    printf("%-52s %10.1f\n", "installation (helper reports success at once)", host);
    printf("%-52s %10.1f\n", "two bare process starts + the 1000 ms end pause", bare);
    printf("%-52s %10.1f  (%.1f %%)\n", "host overhead", host - bare, 100 * (host - bare) / bare);
    return 0;
}

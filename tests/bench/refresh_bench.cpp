// Prints what one refresh of the device list costs with 0, 8 and 64 simulated devices, next to a
// bare enumeration of the same machine, and Corvane.exe's working set after 60 and 600 refreshes.
// Asserts nothing. Runs on the simulated machine in the test prefix, on a display (see
// scripts/bench.sh refresh).
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench_listing.h"
#include "bench_timing.h"
#include "gui_driver.h"
#include "simulated_machine.h"
#include "usbdrv/usbdrv.h"

namespace {

// Corvane.exe of this build, beside the tests folder.
std::wstring corvane_exe() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    return exe.substr(0, exe.find_last_of(L'\\')) + L"\\..\\app\\Corvane.exe";
}

// The dialog of a started Corvane.exe; null, with the reason on stderr, when there is none.
HWND shown_dialog(gui::corvane& corvane) {
    if (!corvane.started()) {
        fprintf(stderr, "Corvane.exe did not start: error %lu\n", GetLastError());
        return nullptr;
    }
    HWND dialog = corvane.dialog();
    if (!dialog)
        fprintf(stderr, "Corvane.exe did not show its dialog in time\n");
    return dialog;
}

// One message round trip into the dialog's thread; WM_TIMER runs a full refresh there.
double send_us(HWND dialog, UINT message) {
    double start = now_us();
    SendMessageW(dialog, message, 1, 0);
    return now_us() - start;
}

double working_set_kib(HANDLE process) {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    if (!GetProcessMemoryInfo(process, &counters, sizeof counters))
        return -1;
    return counters.WorkingSetSize / 1024.0;
}

}  // namespace

int main() {
    const int kRuns = 200;
    test::simulated_machine machine;
    printf("%-8s %14s %14s %14s %14s\n", "devices", "enumerate_us", "refresh_us", "message_us",
           "refresh-msg_us");
    for (int n : {0, 8, 64}) {
        machine.set(bench_machine(n));
        double bare = bare_listing_us(kRuns);
        gui::corvane corvane(corvane_exe());
        HWND dialog = shown_dialog(corvane);
        if (!dialog)
            return 1;
        std::vector<double> refresh, message;
        for (int i = 0; i < kRuns; i++) {
            refresh.push_back(send_us(dialog, WM_TIMER));
            message.push_back(send_us(dialog, WM_NULL));
        }
        double r = median(refresh), m = median(message);
        printf("%-8d %14.1f %14.1f %14.1f %14.1f\n", n, bare, r, m, r - m);
    }

    machine.set(bench_machine(64));
    gui::corvane corvane(corvane_exe());
    HWND dialog = shown_dialog(corvane);
    if (!dialog)
        return 1;
    printf("\nCorvane.exe working set with 64 devices (KiB):\n");
    printf("  after start      %10.0f\n", working_set_kib(corvane.process()));
    for (int tick = 1; tick <= 600; tick++) {
        send_us(dialog, WM_TIMER);
        if (tick == 60 || tick == 600)
            printf("  after %3d ticks  %10.0f\n", tick, working_set_kib(corvane.process()));
    }
    printf(
        "\n(median of %d; refresh = a WM_TIMER round trip into the dialog, which runs one full\n"
        " refresh of the list; message = a WM_NULL round trip, the cost of asking from another\n"
        " process)\n",
        kRuns);
    return 0;
}

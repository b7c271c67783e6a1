// Prints what one refresh of the device list costs with 0, 8 and 64 simulated devices, next to a
// bare enumeration of the same machine, and the working set of Corvane.exe next to that of a
// minimal dialog of the same size (minimal_dialog.exe) after start and after 60 and 600
// refreshes; both keep their debug information beside them, as a release ships them without it.
// Asserts nothing. Runs on the
// simulated machine in the test prefix, on a display (see scripts/bench.sh refresh).
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

// A program of this build: `relative` to the tests folder this benchmark runs from.
std::wstring program_path(const wchar_t* relative) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    return exe.substr(0, exe.find_last_of(L'\\') + 1) + relative;
}

// Both in the form a release ships them in, their debug information beside them.
const wchar_t kCorvane[] = L"..\\app\\Corvane.exe";
const wchar_t kMinimalDialog[] = L"minimal_dialog.exe";
const wchar_t kMinimalCaption[] = L"Minimal dialog";

// The dialog of a started program, found by its caption; null, with the reason on stderr, when
// there is none.
HWND shown_dialog(gui::corvane& program, const wchar_t* caption) {
    if (!program.started()) {
        fprintf(stderr, "%ls did not start: error %lu\n", caption, GetLastError());
        return nullptr;
    }
    HWND dialog = gui::wait_for([&] { return program.find(caption); });
    if (!dialog)
        fprintf(stderr, "%ls did not show its dialog in time\n", caption);
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

// A started dialog program whose working set is followed.
struct followed {
    gui::corvane program;
    HWND dialog;
    followed(const wchar_t* exe, const wchar_t* caption)
        : program(program_path(exe)), dialog(shown_dialog(program, caption)) {}
};

void print_working_sets(const char* when, followed& corvane, followed& minimal) {
    double ours = working_set_kib(corvane.program.process());
    double reference = working_set_kib(minimal.program.process());
    printf("  %-16s %12.0f %14.0f %8.2f\n", when, ours, reference, ours / reference);
}

}  // namespace

int main() {
    const int kRuns = 200;
    test::simulated_machine machine;
    printf("%-8s %13s %10s %10s %13s %11s\n", "devices", "enumerate_us", "tick_us", "tick/enum",
           "round_trip_us", "message_us");
    for (int n : {0, 8, 64}) {
        machine.set(bench_machine(n));
        double bare = bare_listing_us(kRuns);
        followed corvane(kCorvane, gui::main_caption());
        if (!corvane.dialog)
            return 1;
        // A round trip into another process costs more than a listing of a few devices: each
        // WM_TIMER is paired with a WM_NULL, and the tick is what the pair's first took longer.
        std::vector<double> refresh, message, tick;
        for (int i = 0; i < kRuns; i++) {
            refresh.push_back(send_us(corvane.dialog, WM_TIMER));
            message.push_back(send_us(corvane.dialog, WM_NULL));
            tick.push_back(refresh.back() - message.back());
        }
        double t = median(tick);
        printf("%-8d %13.1f %10.1f %10.2f %13.1f %11.1f\n", n, bare, t, t / bare, median(refresh),
               median(message));
    }

    // The same messages go to both programs; the minimal dialog has no timer and ignores them.
    machine.set(bench_machine(64));
    followed corvane(kCorvane, gui::main_caption());
    followed minimal(kMinimalDialog, kMinimalCaption);
    if (!corvane.dialog || !minimal.dialog)
        return 1;
    printf("\nWorking set with 64 devices (KiB):\n");
    printf("  %-16s %12s %14s %8s\n", "", "Corvane.exe", "minimal dialog", "ratio");
    print_working_sets("after start", corvane, minimal);
    for (int tick = 1; tick <= 600; tick++) {
        send_us(corvane.dialog, WM_TIMER);
        send_us(minimal.dialog, WM_TIMER);
        if (tick == 60)
            print_working_sets("after 60 ticks", corvane, minimal);
        if (tick == 600)
            print_working_sets("after 600 ticks", corvane, minimal);
    }
    printf(
        "\n(medians of %d; enumerate = the library's list call and its release in this process;\n"
        " round trip = a WM_TIMER sent from this process into the dialog, which runs one full\n"
        " refresh of the list there; message = the same for WM_NULL, the cost of asking from\n"
        " another process; tick = a WM_TIMER's round trip less the WM_NULL's sent after it, what\n"
        " the refresh itself costs the dialog. WM_TIMER is sent, not posted: of a batch of\n"
        " posted ones Wine delivers about one. Corvane.exe's working set includes the simulated\n"
        " machine's setupapi.dll and cfgmgr32.dll.)\n",
        kRuns);
    return 0;
}

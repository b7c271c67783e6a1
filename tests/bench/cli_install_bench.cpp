// Prints what a factory line pays per board with the console program: one whole `corvane-cli
// install` of a board (it prepares the package: key, certificate, catalog, signature) and a second
// one for another board of the same kind plugged in afterwards (it reuses that package), each next
// to what no installation can save, in the same run: two bare process starts (exit_with.exe,
// started and waited for: the console program's and the helper's) plus the helper's fixed
// 1000 ms end pause. The simulated update itself takes no time ([install] duration_ms = 0), as
// the system's work is not the tool's. Median of several interleaved rounds, each on a machine
// nothing was installed on. Asserts nothing. Runs on the simulated machine in the test prefix (see
// scripts/bench.sh cli-install).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bare_start.h"
#include "bench_timing.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "win/handles.h"

namespace {

constexpr double kEndPauseMs = 1000;
const char kBoardA[] = "USB\\VID_C04A&PID_0C01&MI_00\\7&1A2B3C4&0&0000";
const char kBoardB[] = "USB\\VID_C04A&PID_0C01&MI_00\\7&5D6E7F8&0&0000";

// The machine's settings: an update that takes no time of its own.
const char kMachine[] = "[install]\nduration_ms = 0\n";

std::string board(const char* instance) {
    return std::string("[device]\ninstance = ") + instance +
           "\nhardware_id = USB\\VID_C04A&PID_0C01&REV_0100&MI_00\n"
           "hardware_id = USB\\VID_C04A&PID_0C01&MI_00\n"
           "compatible_id = USB\\Class_02&SubClass_02&Prot_01\n"
           "compatible_id = USB\\Class_02&SubClass_02\ncompatible_id = USB\\Class_02\n"
           "bus_description = Bench Board\n";
}

// One run of the console program to its end, its output thrown away: milliseconds, or negative
// when it did not run or did not succeed.
double cli_ms(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    unique_file_handle nul(
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    child_process_guard child;
    double start = now_us();
    if (!test::start_program(test::beside_me("..\\app\\corvane-cli.exe"), arguments, nul.get(),
                             child))
        return -1;
    child.wait(INFINITE);
    double took = (now_us() - start) / 1000;
    DWORD code = child.exit_code(1);
    if (code != 0) {
        fprintf(stderr, "corvane-cli %ls: exit %lu\n", arguments.c_str(), code);
        return -1;
    }
    return took;
}

double reference_ms() {
    const auto program = test::beside_me("exit_with.exe");
    double start = now_us();
    if (!bare_start(program) || !bare_start(program))
        return -1;
    return (now_us() - start) / 1000 + kEndPauseMs;
}

std::wstring install_on(const char* instance) {
    return L"install --instance " + test::from_utf8(instance).wstring();
}

}  // namespace

int main() {
    const int kRounds = 5;
    test::simulated_machine machine(kMachine + board(kBoardA));
    std::vector<double> first, second, reference;
    for (int round = 0; round < kRounds + 1; round++) {
        // A machine that nothing was installed on, with the first board plugged in.
        RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Corvane\\Simulation");
        machine.set(kMachine + board(kBoardA));
        double a = cli_ms(install_on(kBoardA) + L" --force");  // --force: always prepares
        // The second board of the same kind arrives after the first was installed.
        machine.set(kMachine + board(kBoardA) + board(kBoardB));
        double b = cli_ms(install_on(kBoardB));
        double r = reference_ms();
        if (a < 0 || b < 0 || r < 0)
            return 1;
        if (round == 0)
            continue;  // warm: the first start of a program loads its DLLs from disk
        first.push_back(a);
        second.push_back(b);
        reference.push_back(r);
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Corvane\\Simulation");
    const double f = median(first), s = median(second), ref = median(reference);
    printf(
        "corvane-cli install, one board and then another of the same kind, median of %d "
        "rounds (ms):\n",
        kRounds);
    printf("  first board (prepares the package)   %8.1f\n", f);
    printf("  second board (reuses it)             %8.1f\n", s);
    printf("  two bare starts + the 1000 ms pause  %8.1f\n", ref);
    printf("  first over reference                 %8.2fx\n", ref > 0 ? f / ref : 0);
    printf("  second over reference                %8.2fx\n", ref > 0 ? s / ref : 0);
    printf("  both over twice the reference        %8.2fx\n", ref > 0 ? (f + s) / (2 * ref) : 0);
    return 0;
}

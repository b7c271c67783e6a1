// Prints what `corvane-cli list` costs with 64 simulated devices, next to a bare enumeration of
// the same machine in the same run: a program that only lists (list_devices.exe) started the same
// way, and the library's list call timed inside this process; and what `corvane-cli --help` costs
// next to a bare console program (exit_with.exe, which exits at once). Median of the runs each,
// interleaved. Asserts nothing. Runs on the simulated machine in the test prefix (see
// scripts/bench.sh list).
#include <windows.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "bench_listing.h"
#include "bench_timing.h"
#include "simulated_machine.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"

namespace {

// One start of a program to its end, its output thrown away; negative when it did not run.
double run_us(const std::wstring& program, const std::wstring& arguments, DWORD* exit_code) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    unique_file_handle nul(
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    child_process_guard child;
    double start = now_us();
    if (!test::start_program(program, arguments, nul.get(), child))
        return -1;
    child.wait(INFINITE);
    double took = now_us() - start;
    *exit_code = child.exit_code();
    return took;
}

// The programs' runs interleaved, so that a busy moment of the machine weighs on each alike. The
// medians in microseconds, in the order of `commands`; empty when one did not run.
std::vector<double> interleaved_medians_us(
    const std::vector<std::pair<std::wstring, std::wstring>>& commands, int runs) {
    std::vector<std::vector<double>> samples(commands.size());
    for (int i = 0; i < runs; i++) {
        for (size_t c = 0; c < commands.size(); c++) {
            DWORD code = 0;
            double took = run_us(commands[c].first, commands[c].second, &code);
            if (took < 0 || code != 0) {
                fprintf(stderr, "%ls %ls: did not run (exit %lu)\n", commands[c].first.c_str(),
                        commands[c].second.c_str(), code);
                return {};
            }
            samples[c].push_back(took);
        }
    }
    std::vector<double> medians;
    for (const auto& s : samples)
        medians.push_back(median(s));
    return medians;
}

}  // namespace

int main() {
    const int kRuns = 21;
    const int kDevices = 64;
    test::simulated_machine machine(bench_machine(kDevices));
    std::wstring cli = test::beside_me("..\\app\\corvane-cli.exe").wstring();
    std::wstring bare = test::beside_me("list_devices.exe").wstring();
    std::wstring bare_console = test::beside_me("exit_with.exe").wstring();

    const std::vector<std::pair<std::wstring, std::wstring>> commands = {
        {cli, L"list"}, {cli, L"list --json"}, {bare, L""}, {cli, L"--help"}, {bare_console, L"0"}};
    // Warm: the first start of a program loads its DLLs from disk.
    interleaved_medians_us(commands, 2);
    std::vector<double> ms = interleaved_medians_us(commands, kRuns);
    if (ms.size() != commands.size())
        return 1;
    for (double& m : ms)
        m /= 1000;
    double list_ms = ms[0], json_ms = ms[1], bare_ms = ms[2], help_ms = ms[3],
           bare_console_ms = ms[4];
    double call_ms = bare_listing_us(kRuns * 10) / 1000;

    printf("%d simulated devices, median of %d runs (ms):\n", kDevices, kRuns);
    printf("  corvane-cli list          %8.2f\n", list_ms);
    printf("  corvane-cli list --json   %8.2f\n", json_ms);
    printf("  list_devices.exe (bare)   %8.2f\n", bare_ms);
    printf("  usbdrv_create_list call   %8.3f  (in this process, median of %d)\n", call_ms,
           kRuns * 10);
    printf("  list over bare listing    %8.2fx\n", bare_ms > 0 ? list_ms / bare_ms : 0);
    printf("  corvane-cli --help        %8.2f\n", help_ms);
    printf("  exit_with.exe (bare)      %8.2f\n", bare_console_ms);
    printf("  --help over bare console  %8.2fx\n",
           bare_console_ms > 0 ? help_ms / bare_console_ms : 0);
    return 0;
}

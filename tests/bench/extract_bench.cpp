// Prints what extract_binaries costs next to a plain copy of the same 20 files (folders made with
// CreateDirectoryW, files copied with CopyFileW from an extracted package), each into an empty
// folder, median of many runs in one process. Asserts nothing. Runs under Wine in the test
// prefix (see scripts/bench.sh extract).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "package/embedded_files.h"
#include "package/extraction.h"
#include "usbdrv/usbdrv.h"

namespace fs = std::filesystem;

namespace {

// The package's files, relative to its folder, as extract_binaries writes them.
std::vector<std::wstring> package_files() {
    std::vector<std::wstring> files;
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (!*row.subdir)
            continue;
        std::string path =
            std::string(row.subdir) == "." ? row.name : std::string(row.subdir) + "\\" + row.name;
        files.push_back(fs::u8path(path).wstring());
    }
    return files;
}

bool copy_package(const fs::path& from, const fs::path& to,
                  const std::vector<std::wstring>& files) {
    for (const wchar_t* folder : {L"", L"\\x86", L"\\amd64", L"\\license", L"\\license\\libusb0"}) {
        if (!CreateDirectoryW((to.wstring() + folder).c_str(), nullptr))
            return false;
    }
    for (const std::wstring& file : files) {
        if (!CopyFileW((from / file).c_str(), (to / file).c_str(), FALSE))
            return false;
    }
    return true;
}

}  // namespace

int main() {
    const int kRuns = 200;
    usbdrv_set_log_threshold(USBDRV_LOG_ERROR);  // no success line per run

    fs::path base =
        fs::temp_directory_path() / ("corvane-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(base);
    fs::path source = base / "source";
    if (extract_binaries(source.u8string().c_str()) != USBDRV_OK) {
        fprintf(stderr, "extract_binaries failed\n");
        return 1;
    }
    std::vector<std::wstring> files = package_files();
    unsigned long long bytes = 0;
    for (size_t i = 0; i < embedded_file_count; i++) {
        if (*embedded_files[i].subdir)
            bytes += embedded_files[i].size;
    }

    std::vector<double> extract, copy;
    for (int run = 0; run < kRuns; run++) {
        fs::path extracted = base / ("e" + std::to_string(run));
        fs::path copied = base / ("c" + std::to_string(run));
        // Alternate the order, so that neither side always runs on a warmer cache.
        for (int side = 0; side < 2; side++) {
            if ((side == 0) == (run % 2 == 0)) {
                double start = now_us();
                if (extract_binaries(extracted.u8string().c_str()) != USBDRV_OK)
                    return 1;
                extract.push_back(now_us() - start);
            } else {
                double start = now_us();
                if (!copy_package(source, copied, files))
                    return 1;
                copy.push_back(now_us() - start);
            }
        }
        fs::remove_all(extracted);
        fs::remove_all(copied);
    }
    fs::remove_all(base);

    printf("package: %zu files, %llu bytes; median of %d runs into an empty folder\n", files.size(),
           bytes, kRuns);
    printf("%-28s %12s %12s\n", "", "median_us", "MB/s");
    printf("%-28s %12.0f %12.1f\n", "extract_binaries", median(extract), bytes / median(extract));
    printf("%-28s %12.0f %12.1f\n", "CreateDirectoryW+CopyFileW", median(copy),
           bytes / median(copy));
    return 0;
}

// Prints what usbdrv_prepare_driver costs for the front end's package (the CDC kind, an
// interface of a composite device) next to a plain copy of the same bytes (folders made with
// CreateDirectoryW, files copied with CopyFileW from a prepared package), each into an empty
// folder, median of many runs in one process: once without catalog, and once with the catalog
// made and signed. Asserts nothing. Runs on the simulated machine in the test prefix, whose
// catalog and signing services stand in for the ones Wine lacks (see scripts/bench.sh prepare).
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_timing.h"
#include "front_end_request.h"
#include "usbdrv/usbdrv.h"

namespace fs = std::filesystem;

namespace {

// The files of a package, relative to its folder, and their bytes.
struct package_files {
    std::vector<fs::path> folders, files;
    unsigned long long bytes = 0;
};

package_files files_of(const fs::path& package) {
    package_files found;
    for (const auto& entry : fs::recursive_directory_iterator(package)) {
        fs::path relative = entry.path().lexically_relative(package);
        if (entry.is_directory()) {
            found.folders.push_back(relative);  // a folder comes before what it holds
        } else {
            found.files.push_back(relative);
            found.bytes += entry.file_size();
        }
    }
    return found;
}

bool copy_package(const fs::path& from, const fs::path& to, const package_files& package) {
    if (!CreateDirectoryW(to.c_str(), nullptr))
        return false;
    for (const fs::path& folder : package.folders) {
        if (!CreateDirectoryW((to / folder).c_str(), nullptr))
            return false;
    }
    for (const fs::path& file : package.files) {
        if (!CopyFileW((from / file).c_str(), (to / file).c_str(), FALSE))
            return false;
    }
    return true;
}

struct comparison {
    const char* what;
    bool catalog;
    int runs;
};

// Prepares and copies `runs` times each into fresh folders below base, in alternating order so
// that neither side always runs on a warmer cache, and prints both medians.
bool compare(const fs::path& base, const comparison& c) {
    const test::front_end_request request(c.catalog);
    fs::path source = base / (std::string(c.what) + "-source");
    if (request.prepare(source.u8string().c_str()) != USBDRV_OK) {
        fprintf(stderr, "usbdrv_prepare_driver failed\n");
        return false;
    }
    package_files package = files_of(source);
    bool has_catalog = fs::exists(source / "Corvane.cat");

    std::vector<double> prepared, copied;
    for (int run = 0; run < c.runs; run++) {
        fs::path prepared_dir = base / ("p" + std::to_string(run));
        fs::path copied_dir = base / ("c" + std::to_string(run));
        for (int side = 0; side < 2; side++) {
            if ((side == 0) == (run % 2 == 0)) {
                double start = now_us();
                if (request.prepare(prepared_dir.u8string().c_str()) != USBDRV_OK)
                    return false;
                prepared.push_back(now_us() - start);
            } else {
                double start = now_us();
                if (!copy_package(source, copied_dir, package))
                    return false;
                copied.push_back(now_us() - start);
            }
        }
        fs::remove_all(prepared_dir);
        fs::remove_all(copied_dir);
    }
    fs::remove_all(source);

    printf("%s: %zu files, %llu bytes%s; median of %d runs into an empty folder\n", c.what,
           package.files.size(), package.bytes,
           c.catalog ? (has_catalog ? ", catalog made" : ", no catalog made by this machine") : "",
           c.runs);
    printf("  %-28s %12s %12s\n", "", "median_us", "ratio");
    printf("  %-28s %12.0f %12.2f\n", "usbdrv_prepare_driver", median(prepared),
           median(prepared) / median(copied));
    printf("  %-28s %12.0f %12.2f\n", "CreateDirectoryW+CopyFileW", median(copied), 1.0);
    return true;
}

}  // namespace

int main() {
    usbdrv_set_log_threshold(USBDRV_LOG_ERROR + 1);  // no line per run

    fs::path base =
        fs::temp_directory_path() / ("corvane-bench-" + std::to_string(GetCurrentProcessId()));
    fs::create_directories(base);
    // Signing makes a key and a certificate each time: fewer runs.
    const comparison comparisons[] = {{"CDC package without catalog", false, 200},
                                      {"CDC package with catalog and signature", true, 20}};
    bool ok = true;
    for (const comparison& c : comparisons)
        ok = ok && compare(base, c);
    fs::remove_all(base);
    return ok ? 0 : 1;
}

// Prepares the front end's package into the folder its first argument names, as a second process:
// exits with 0 when the preparation succeeded, 1 otherwise, 2 for arguments it does not take.
//
//   prepare_package FOLDER [--catalog] [--end-at TEXT]
//
// --catalog makes and signs the catalog, as the front end does. Each line the library logs goes
// to standard error; with --end-at the process is ended (exit code 3) right after the first line
// that holds TEXT, as if ended from outside at that step of the preparation.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "front_end_request.h"

namespace {

const char* end_at = nullptr;

void log_line(int32_t, const char* line, void*) {
    fprintf(stderr, "%s\n", line);
    fflush(stderr);
    if (end_at && strstr(line, end_at))
        TerminateProcess(GetCurrentProcess(), 3);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 2;
    bool catalog = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--catalog") == 0) {
            catalog = true;
        } else if (strcmp(argv[i], "--end-at") == 0 && i + 1 < argc) {
            end_at = argv[++i];
        } else {
            return 2;
        }
    }
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    usbdrv_set_log_sink(log_line, nullptr);
    return test::front_end_request(catalog).prepare(argv[1]) == USBDRV_OK ? 0 : 1;
}

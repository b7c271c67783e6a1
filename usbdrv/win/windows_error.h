// A readable text for a Windows error code, and the log line of a failed system call.
#pragma once

#include <cstdint>

#include "log.h"

// "[#%08X] <system message>", at most 255 characters; 0 means the thread's last error. The text
// stays valid until the next call.
const char* windows_error_str(uint32_t code);

// The same text for exactly this code: 0 is ERROR_SUCCESS here, not the thread's last error.
const char* windows_error_text(uint32_t code);

// Logs a failed system call at `level` under `caller`: `format` with `args`, its last conversion
// a %s that takes the text of `error`. `error` is the failing call's own, read at once after it
// (GetLastError() as an argument, when no other argument calls the system), never after a
// clean-up or another call that may change it:
//     if (!OpenProcessToken(...))
//         log_system_error(USBDRV_LOG_ERROR, kCaller, GetLastError(), "OpenProcessToken failed:
//         %s");
template <typename... Args>
void log_system_error(int level, const char* caller, uint32_t error, const char* format,
                      Args... args) {
    usbdrv_log(level, caller, format, args..., windows_error_text(error));
}

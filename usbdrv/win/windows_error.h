// A readable text for a Windows error code, and the log line of a failed system call. Each takes
// the code the failing call gave, read at once after it (never "the last error" read later).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/log.h"

// "[#%08X] <system message>" for this code (0 is ERROR_SUCCESS): the system's text in UTF-8
// whatever the code page, at most 255 bytes, cut at a character's boundary. The text stays valid
// until the next call of this function or of install_error_text.
const char* windows_error_text(uint32_t code);

// "[<code>] <system message>", the code in decimal: the text of an error of the system's device
// installation calls, as the installer helper relays it. The message is the system's for the code
// as an HRESULT (install_error_lookup_code), under which the setup errors (0xE...) have theirs.
// The same buffer as windows_error_text.
const char* install_error_text(uint32_t code);

// "<prefix><system message for lookup_code>" into `buffer` of `size` bytes, without the message's
// trailing line breaks; when the system has no text for it, "Windows error code <lookup_code>
// (FormatMessage error code <its error>)", or "Unknown error code <lookup_code>" when
// FormatMessage gave no error. Returns `buffer`.
const char* format_system_error(char* buffer, size_t size, const char* prefix,
                                uint32_t lookup_code);

// Logs a failed system call at `level` under `caller`: `format` with the arguments, its last
// conversion a %s that takes the text of `error`. `error` is the failing call's own, read at once
// after it, never after a clean-up or another call that may change it:
//     DWORD error = GetLastError();
//     LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "OpenProcessToken failed: %s");
// A macro, so that the compiler checks the format against its arguments as it does for usbdrv_log.
#define LOG_SYSTEM_ERROR(level, caller, error, format, ...) \
    usbdrv_log((level), (caller), format, ##__VA_ARGS__, windows_error_text(error))

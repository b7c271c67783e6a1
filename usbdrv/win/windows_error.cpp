#include "windows_error.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {
char error_text[256];
}

const char* windows_error_str(uint32_t code) {
    return windows_error_text(code == 0 ? GetLastError() : code);
}

const char* windows_error_text(uint32_t code) {
    int prefix = snprintf(error_text, sizeof error_text, "[#%08X] ", (unsigned)code);
    if (prefix < 0)
        prefix = 0;
    DWORD size = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                error_text + prefix, (DWORD)(sizeof error_text - prefix), nullptr);
    if (size > 0) {
        size_t end = strlen(error_text);
        while (end > 0 && (error_text[end - 1] == '\n' || error_text[end - 1] == '\r')) {
            error_text[--end] = '\0';
        }
    } else {
        DWORD format_error = GetLastError();
        if (format_error != 0) {
            snprintf(error_text, sizeof error_text,
                     "Windows error code %u (FormatMessage error code %u)", (unsigned)code,
                     (unsigned)format_error);
        } else {
            snprintf(error_text, sizeof error_text, "Unknown error code %u", (unsigned)code);
        }
    }
    error_text[sizeof error_text - 1] = '\0';
    return error_text;
}

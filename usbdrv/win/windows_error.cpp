#include "win/windows_error.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/install_errors.h"

namespace {
char error_text[256];
}

const char* windows_error_text(uint32_t code) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "[#%08X] ", (unsigned)code);
    return format_system_error(error_text, sizeof error_text, prefix, code);
}

const char* install_error_text(uint32_t code) {
    char prefix[16];
    snprintf(prefix, sizeof prefix, "[%u] ", (unsigned)code);
    return format_system_error(error_text, sizeof error_text, prefix,
                               install_error_lookup_code(code));
}

const char* format_system_error(char* buffer, size_t size, const char* prefix,
                                uint32_t lookup_code) {
    if (!buffer || size == 0)
        return buffer;
    int written = snprintf(buffer, size, "%s", prefix ? prefix : "");
    size_t used = written < 0 ? 0 : strlen(buffer);
    DWORD length = 0;
    if (used + 1 < size) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                lookup_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                buffer + used, (DWORD)(size - used), nullptr);
    }
    if (length > 0) {
        size_t end = strlen(buffer);
        while (end > 0 && (buffer[end - 1] == '\n' || buffer[end - 1] == '\r'))
            buffer[--end] = '\0';
    } else {
        DWORD format_error = GetLastError();
        if (format_error != 0) {
            snprintf(buffer, size, "Windows error code %u (FormatMessage error code %u)",
                     (unsigned)lookup_code, (unsigned)format_error);
        } else {
            snprintf(buffer, size, "Unknown error code %u", (unsigned)lookup_code);
        }
    }
    buffer[size - 1] = '\0';
    return buffer;
}

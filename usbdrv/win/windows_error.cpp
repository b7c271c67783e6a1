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

namespace {

// Copies as much of UTF-8 `text` as fits into `size` bytes at `out`, ending at a character's
// boundary, and terminates it.
void copy_whole_characters(char* out, size_t size, const char* text, size_t length) {
    size_t keep = length < size - 1 ? length : size - 1;
    if (keep < length) {
        while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80)
            keep--;
    }
    memcpy(out, text, keep);
    out[keep] = '\0';
}

}  // namespace

const char* format_system_error(char* buffer, size_t size, const char* prefix,
                                uint32_t lookup_code) {
    if (!buffer || size == 0)
        return buffer;
    int written = snprintf(buffer, size, "%s", prefix ? prefix : "");
    size_t used = written < 0 ? 0 : strlen(buffer);
    // The system's text is taken wide and converted: the ANSI call would give it in the code
    // page (GBK under 936), and every text the library hands out is UTF-8.
    wchar_t wide[512];
    DWORD length = 0;
    DWORD format_error = 0;
    if (used + 1 < size) {
        length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                lookup_code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide,
                                sizeof wide / sizeof wide[0], nullptr);
        if (length == 0)
            format_error = GetLastError();
    }
    while (length > 0 && (wide[length - 1] == L'\n' || wide[length - 1] == L'\r'))
        length--;
    char utf8[sizeof wide / sizeof wide[0] * 3];
    int converted = 0;
    if (length > 0) {
        converted =
            WideCharToMultiByte(CP_UTF8, 0, wide, (int)length, utf8, sizeof utf8, nullptr, nullptr);
        if (converted <= 0)
            format_error = GetLastError();
    }
    if (converted > 0) {
        copy_whole_characters(buffer + used, size - used, utf8, (size_t)converted);
    } else if (length > 0 || format_error != 0) {
        snprintf(buffer, size, "Windows error code %u (FormatMessage error code %u)",
                 (unsigned)lookup_code, (unsigned)format_error);
    } else {
        snprintf(buffer, size, "Unknown error code %u", (unsigned)lookup_code);
    }
    buffer[size - 1] = '\0';
    return buffer;
}

#include "utf8.h"

#include <windows.h>

#include <cstdlib>

char* utf16_to_utf8(const wchar_t* text) {
    if (!text)
        return nullptr;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return nullptr;
    char* out = static_cast<char*>(calloc(size, 1));
    if (!out)
        return nullptr;
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, size, nullptr, nullptr) != size) {
        free(out);
        return nullptr;
    }
    return out;
}

wchar_t* utf8_to_utf16(const char* text) {
    if (!text)
        return nullptr;
    // Invalid sequences are not rejected: the system's replacement character stands in.
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 1)
        return nullptr;
    wchar_t* out = static_cast<wchar_t*>(calloc(size, sizeof(wchar_t)));
    if (!out)
        return nullptr;
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, size) != size) {
        free(out);
        return nullptr;
    }
    return out;
}

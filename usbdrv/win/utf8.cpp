#include "win/utf8.h"

#include <windows.h>

#include <cstdlib>

#include "win/handles.h"

char* utf16_to_utf8(const wchar_t* text) {
    if (!text)
        return nullptr;
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return nullptr;
    unique_malloc<char> out(static_cast<char*>(calloc(size, 1)));
    if (!out ||
        WideCharToMultiByte(CP_UTF8, 0, text, -1, out.get(), size, nullptr, nullptr) != size) {
        return nullptr;
    }
    return out.release();
}

wchar_t* utf8_to_utf16(const char* text) {
    if (!text)
        return nullptr;
    // Invalid sequences are not rejected: the system's replacement character stands in.
    int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 1)
        return nullptr;
    unique_malloc<wchar_t> out(static_cast<wchar_t*>(calloc(size, sizeof(wchar_t))));
    if (!out || MultiByteToWideChar(CP_UTF8, 0, text, -1, out.get(), size) != size)
        return nullptr;
    return out.release();
}

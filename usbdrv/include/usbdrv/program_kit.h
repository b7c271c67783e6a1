// The few Windows helpers that the programs over the library (Corvane.exe, corvane-cli.exe)
// share: owners for the handles, keys and blocks they take, a critical section, UTF-8 <-> UTF-16
// and the environment in UTF-8. Header-only and for programs only: the library's own kit stays
// inside it, and a program needs nothing of the library but this and usbdrv.h.
#pragma once

#include <windows.h>

#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace program_kit {

// A kernel object whose "none" is null, a thread of _beginthreadex among them.
struct handle_closer {
    void operator()(HANDLE handle) const noexcept { CloseHandle(handle); }
};
using unique_handle = std::unique_ptr<void, handle_closer>;
// CreateFile says INVALID_HANDLE_VALUE when it fails: that is no file either.
inline unique_handle file_handle(HANDLE handle) {
    return unique_handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct key_closer {
    void operator()(HKEY key) const noexcept { RegCloseKey(key); }
};
using unique_key = std::unique_ptr<std::remove_pointer_t<HKEY>, key_closer>;

// Memory the system hands out with LocalAlloc (CommandLineToArgvW's arguments).
struct local_freer {
    void operator()(void* block) const noexcept { LocalFree(block); }
};
template <typename T>
using unique_local = std::unique_ptr<T, local_freer>;

// A C stream; where the result of the close matters, close by hand and check it.
struct stream_closer {
    void operator()(FILE* stream) const noexcept { fclose(stream); }
};
using unique_stream = std::unique_ptr<FILE, stream_closer>;

// A critical section for std::lock_guard. Recursive, as the system's is.
class critical_section {
public:
    critical_section() { InitializeCriticalSection(&section_); }
    ~critical_section() { DeleteCriticalSection(&section_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// UTF-8 as UTF-16; invalid sequences become the system's replacement character, as in the
// library. Empty for an empty text.
inline std::wstring widen(const std::string& utf8) {
    int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::vector<wchar_t> wide(length);
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
    return std::wstring(wide.data());
}

// UTF-16 as UTF-8; empty for null or an empty text.
inline std::string narrow(const wchar_t* utf16) {
    if (!utf16)
        return std::string();
    int length = WideCharToMultiByte(CP_UTF8, 0, utf16, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1)
        return std::string();
    std::vector<char> utf8(length);
    WideCharToMultiByte(CP_UTF8, 0, utf16, -1, utf8.data(), length, nullptr, nullptr);
    return std::string(utf8.data());
}

// An environment variable in UTF-8; empty when it is not set or empty. Read wide, so that a
// folder the code page cannot spell arrives whole.
inline std::string environment(const wchar_t* name) {
    std::vector<wchar_t> value(MAX_PATH + 1);
    DWORD length = GetEnvironmentVariableW(name, value.data(), (DWORD)value.size());
    if (length >= value.size()) {  // too small: the size it needs, with the terminator
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), (DWORD)value.size());
    }
    if (length == 0 || length >= value.size())
        return std::string();
    return narrow(value.data());
}

}  // namespace program_kit

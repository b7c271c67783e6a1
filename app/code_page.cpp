#include "code_page.h"

#include <windows.h>

#include <vector>

#include "utf8.h"

std::string code_page_to_utf8(const std::string& text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::string();
    std::vector<wchar_t> wide(length);
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    unique_malloc<char> utf8(utf16_to_utf8(wide.data()));
    return utf8 ? std::string(utf8.get()) : std::string();
}

std::string utf8_to_code_page(const char* text) {
    unique_malloc<wchar_t> wide(utf8_to_utf16(text));
    if (!wide)
        return std::string();
    int length = WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::vector<char> narrow(length);
    WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, narrow.data(), length, nullptr, nullptr);
    return std::string(narrow.data());
}

unique_malloc<char> environment_utf8(const wchar_t* name) {
    std::vector<wchar_t> value(MAX_PATH + 1);
    DWORD length = GetEnvironmentVariableW(name, value.data(), (DWORD)value.size());
    if (length >= value.size()) {  // too small: the size it needs, with the terminator
        value.resize(length);
        length = GetEnvironmentVariableW(name, value.data(), (DWORD)value.size());
    }
    if (length == 0 || length >= value.size())
        return nullptr;
    return unique_malloc<char>(utf16_to_utf8(value.data()));
}

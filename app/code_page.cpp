#include "code_page.h"

#include <windows.h>

#include <vector>

#include "usbdrv/kit.h"

std::string code_page_to_utf8(const std::string& text) {
    int length = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0)
        return std::string();
    std::vector<wchar_t> wide(length);
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), length);
    return narrow(wide.data());
}

std::string utf8_to_code_page(const char* text) {
    std::wstring wide = widen(text ? text : "");
    if (wide.empty())
        return std::string();
    int length = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::vector<char> narrow(length);
    WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, narrow.data(), length, nullptr, nullptr);
    return std::string(narrow.data());
}

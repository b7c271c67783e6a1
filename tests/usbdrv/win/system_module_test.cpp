#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "win/system_module.h"

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return (char)tolower(c); });
    return s;
}

TEST(LoadSystemModule, ALoadedModuleIsTakenAsItIs) {
    EXPECT_EQ(load_system_module("kernel32.dll"), GetModuleHandleA("kernel32.dll"));
}

TEST(LoadSystemModule, LoadsFromTheSystemFolder) {
    ASSERT_EQ(GetModuleHandleA("newdev.dll"), nullptr) << "pick a module this test does not load";
    HMODULE module = load_system_module("newdev.dll");
    ASSERT_NE(module, nullptr);
    char path[MAX_PATH], system[MAX_PATH];
    GetModuleFileNameA(module, path, MAX_PATH);
    GetSystemDirectoryA(system, MAX_PATH);
    EXPECT_EQ(lower(path), lower(std::string(system) + "\\newdev.dll"));
    EXPECT_NE(GetProcAddress(module, "UpdateDriverForPlugAndPlayDevicesW"), nullptr);
}

TEST(LoadSystemModule, RefusesPathsAndUnknownNames) {
    for (const char* name : {"", "nosuchmodule.dll", "C:\\windows\\system32\\kernel32.dll",
                             "..\\version.dll", "sub/version.dll", "c:version.dll"}) {
        EXPECT_EQ(load_system_module(name), nullptr) << name;
    }
    EXPECT_EQ(load_system_module(nullptr), nullptr);
}

}  // namespace

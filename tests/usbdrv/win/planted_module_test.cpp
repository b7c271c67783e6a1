// Runs from a folder that also holds a planted "version.dll", with Wine told to prefer native
// DLLs for version.dll, so that the default search order would pick the planted copy.
#include <windows.h>

#include <gtest/gtest.h>

#include "win/handles.h"
#include "win/system_module.h"

namespace {

TEST(PlantedModule, TheSystemCopyIsLoadedNotThePlantedOne) {
    ASSERT_EQ(GetModuleHandleA("version.dll"), nullptr);
    HMODULE module = load_system_module("version.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "corvane_planted_marker"), nullptr);
    EXPECT_NE(GetProcAddress(module, "GetFileVersionInfoSizeA"), nullptr);
}

// The control: without the system-folder rule the planted copy is what loads, so the test
// above would see it.
TEST(PlantedModule, TheDefaultSearchWouldTakeThePlantedOne) {
    ASSERT_EQ(GetModuleHandleA("version.dll"), nullptr);
    unique_module module(LoadLibraryA("version.dll"));
    ASSERT_TRUE(module);
    EXPECT_NE(GetProcAddress(module.get(), "corvane_planted_marker"), nullptr);
}

}  // namespace

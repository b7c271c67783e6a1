#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "win/runtime_imports.h"

namespace {

TEST(RuntimeImports, EveryEntryResolvesAndIsCached){
#define CHECK_IMPORT(module, function)                                                          \
    {                                                                                           \
        auto first = imports.function.get("test");                                              \
        EXPECT_NE(first, nullptr) << #function;                                                 \
        EXPECT_EQ(imports.function.get("test"), first) << #function;                            \
        EXPECT_EQ(reinterpret_cast<void*>(first),                                               \
                  reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), #function))) \
            << #function;                                                                       \
    }
    USBDRV_RUNTIME_IMPORTS(CHECK_IMPORT)
#undef CHECK_IMPORT
}

TEST(RuntimeImports, TypedCallsWork) {
    auto get_size = imports.GetFileVersionInfoSizeA.get("test");
    ASSERT_NE(get_size, nullptr);
    char kernel32[MAX_PATH];
    GetModuleFileNameA(GetModuleHandleA("kernel32.dll"), kernel32, MAX_PATH);
    DWORD handle = 0;
    EXPECT_GT(get_size(kernel32, &handle), 0u);
}

TEST(RuntimeImports, AMissingFunctionIsLoggedAndLookedUpAgainAtEveryCall) {
    runtime_import<int WINAPI(void)> missing{"kernel32.dll", "NoSuchFunction"};
    runtime_import<int WINAPI(void)> no_module{"nosuchmodule.dll", "Anything"};
    test::log_capture log;
    EXPECT_EQ(missing.get("init_dlls"), nullptr);
    EXPECT_EQ(missing.get("init_dlls"), nullptr);
    EXPECT_EQ(missing.get_quietly(), nullptr);
    EXPECT_EQ(no_module.get("usbdrv_prepare_driver"), nullptr);
    EXPECT_EQ(log.text(),
              "usbdrv:error [init_dlls] Unable to locate NoSuchFunction() in kernel32.dll\n\n"
              "usbdrv:error [init_dlls] Unable to locate NoSuchFunction() in kernel32.dll\n\n"
              "usbdrv:error [usbdrv_prepare_driver] Unable to locate Anything() in "
              "nosuchmodule.dll\n\n");
}

// The dialog's timer lists devices while a command's worker prepares a package: threads that
// look up one slot at the same moment each get the function, and the slot keeps it.
TEST(RuntimeImports, ThreadsLookingUpAtOnceAllGetTheFunction) {
    const void* expected =
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetTickCount"));
    ASSERT_NE(expected, nullptr);
    const int kThreads = 4;
    for (int round = 0; round < 20; round++) {
        runtime_import<decltype(::GetTickCount)> slot{"kernel32.dll", "GetTickCount"};
        std::atomic<int> waiting{kThreads};
        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++) {
            threads.emplace_back([&] {
                waiting--;
                while (waiting > 0) {
                }  // all start at once
                for (int i = 0; i < 1000; i++) {
                    if (reinterpret_cast<void*>(slot.get("test")) != expected)
                        wrong++;
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        EXPECT_EQ(wrong, 0) << "round " << round;
        EXPECT_EQ(reinterpret_cast<void*>(slot.get_quietly()), expected);
    }
}

}  // namespace

// What the tests of the installation host share: a package folder in which the scripted
// stand-in of the installer helper (scripted_helper.cpp) waits as installer_x64.exe, one
// installation with every log line, and the check that an installation left nothing behind.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "test_support.h"
#include "usbdrv/usbdrv.h"

namespace test {

constexpr char kDeviceId[] = "USB\\VID_C04A&PID_0C02&MI_00\\7&2F1C3A5&0&0000";
constexpr char kHardwareId[] = "USB\\VID_C04A&PID_0C02&REV_0100&MI_00";

// The device the tests install; its texts are its own copies, which a test may change.
class test_device {
public:
    test_device();
    test_device(const test_device&) = delete;
    test_device& operator=(const test_device&) = delete;

    std::string device_id = kDeviceId;
    std::string hardware_id = kHardwareId;
    std::string upper_filter;  // empty: none

    // The record, pointing at the texts above (an empty ID counts as none).
    const usbdrv_device_entry* entry();

private:
    usbdrv_device_entry entry_ = {};
};

class helper_package {
public:
    helper_package();
    helper_package(const helper_package&) = delete;
    helper_package& operator=(const helper_package&) = delete;

    // The stand-in's script, one command per line (scripted_helper.cpp).
    void script(const std::string& lines);
    void remove_helper();
    // The filter installer's stand-in as amd64\install-filter.exe.
    void add_filter_installer();

    const std::filesystem::path& path() const { return dir_.path(); }
    std::string dir() const { return dir_.utf8(); }

private:
    temp_dir dir_;
};

struct install_outcome {
    usbdrv_result result = USBDRV_OK;
    std::string log;  // every level, standard output first

    bool logged(const std::string& text) const { return log.find(text) != std::string::npos; }
};

// One usbdrv_install_driver with the log threshold at debug.
install_outcome install(const char* dir, const usbdrv_device_entry* device,
                        const usbdrv_install_options* options, const char* inf = "Corvane.inf");
install_outcome install(const helper_package& package, test_device& device,
                        const usbdrv_install_options* options = nullptr);

// The filter installer's cases: the device's upper filter, the exit code that the stand-in is
// told to give, the installation's result and the stand-in's arguments.
struct filter_case {
    const char* upper_filter;
    const char* exit_code;
    usbdrv_result result;
    std::string arguments;
};
std::vector<filter_case> filter_cases();
// One installation in filter mode of a package that holds the stand-in (add_filter_installer).
install_outcome install_with_filter(const helper_package& package, const filter_case& filter);

// An installation gave back what it held: its busy marker and its pipe are gone, and no
// helper still runs.
testing::AssertionResult nothing_left();

// The progress window of this process, or null.
HWND progress_window();

// The number of helpers (installer_x64.exe) running now.
int running_helpers();
// Waits up to timeout_ms for every running helper to end by itself; true when none runs.
bool helpers_end_within(DWORD timeout_ms);

}  // namespace test

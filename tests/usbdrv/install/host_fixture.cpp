#include "host_fixture.h"

#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <fstream>

#include "base/installer_protocol.h"
#include "base/log.h"
#include "win/busy_marker.h"
#include "win/handles.h"

namespace test {

namespace {

const char* or_null(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

int running_helpers() {
    HANDLE taken = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (taken == INVALID_HANDLE_VALUE)
        return -1;
    unique_handle snapshot(taken);
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    int count = 0;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry)) {
        if (_wcsicmp(entry.szExeFile, L"installer_x64.exe") == 0)
            count++;
    }
    return count;
}

HWND progress_window() {
    for (HWND window = FindWindowExW(nullptr, nullptr, L"usbdrv_progress_class", nullptr); window;
         window = FindWindowExW(nullptr, window, L"usbdrv_progress_class", nullptr)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId())
            return window;
    }
    return nullptr;
}

bool helpers_end_within(DWORD timeout_ms) {
    const DWORD start = GetTickCount();
    while (running_helpers() != 0) {
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(50);
    }
    return true;
}

test_device::test_device() = default;

const usbdrv_device_entry* test_device::entry() {
    entry_ = usbdrv_device_entry{};
    entry_.device_id = const_cast<char*>(or_null(device_id));
    entry_.hardware_id = const_cast<char*>(or_null(hardware_id));
    entry_.upper_filter = const_cast<char*>(or_null(upper_filter));
    return &entry_;
}

helper_package::helper_package() {
    std::filesystem::copy_file(beside_me("scripted_helper.exe"), path() / "installer_x64.exe");
}

void helper_package::script(const std::string& lines) {
    std::ofstream(path() / "helper-script.txt", std::ios::binary) << lines;
}

void helper_package::remove_helper() {
    std::filesystem::remove(path() / "installer_x64.exe");
}

void helper_package::add_filter_installer() {
    std::filesystem::create_directory(path() / "amd64");
    std::filesystem::copy_file(beside_me("install_filter_standin.exe"),
                               path() / "amd64" / "install-filter.exe");
}

install_outcome install(const char* dir, const usbdrv_device_entry* device,
                        const usbdrv_install_options* options, const char* inf) {
    int saved = usbdrv_log_threshold;
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    install_outcome outcome;
    {
        log_capture log;
        outcome.result = usbdrv_install_driver(device, dir, inf, options);
        outcome.log = log.text();
    }
    usbdrv_set_log_threshold(saved);
    return outcome;
}

install_outcome install(const helper_package& package, test_device& device,
                        const usbdrv_install_options* options) {
    return install(package.dir().c_str(), device.entry(), options);
}

std::vector<filter_case> filter_cases() {
    const std::string id = kHardwareId;
    return {{"LIBUSB0", "0", USBDRV_OK, "uninstall -d=" + id},  // the filter is on: taken off
            {"", "3", USBDRV_ERR_OTHER, "install -d=" + id}};
}

install_outcome install_with_filter(const helper_package& package, const filter_case& filter) {
    SetEnvironmentVariableA("CORVANE_FILTER_EXIT", filter.exit_code);
    test_device device;
    device.upper_filter = filter.upper_filter;
    usbdrv_install_options options = {nullptr, 1, 0};
    install_outcome outcome = install(package, device, &options);
    SetEnvironmentVariableA("CORVANE_FILTER_EXIT", nullptr);
    return outcome;
}

testing::AssertionResult nothing_left() {
    unique_mutex marker(OpenMutexA(SYNCHRONIZE, FALSE, busy_marker_name(kInstallationMarker).text));
    if (marker)
        return testing::AssertionFailure() << "the installation's busy marker is still there";
    unique_file_handle pipe(CreateFileA(kInstallerPipeName, GENERIC_READ | GENERIC_WRITE, 0,
                                        nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe || GetLastError() != ERROR_FILE_NOT_FOUND)
        return testing::AssertionFailure() << "the installer pipe is still there";
    if (running_helpers() != 0)
        return testing::AssertionFailure() << "a helper still runs";
    return testing::AssertionSuccess();
}

}  // namespace test

// Which program the host starts and with what command line.
#include <gtest/gtest.h>

#include <string>

#include "base/install_command.h"
#include "base/log.h"

namespace {

TEST(InstallCommand, TheHelpersWordSize) {
    const struct {
        bool tool_64bit, wow64, system_64bit;
    } rows[] = {
        {false, false, false},  // 32-bit tool on 32-bit Windows (or without IsWow64Process)
        {false, true, true},    // 32-bit tool on 64-bit Windows
        {true, false, true},    // a 64-bit tool is not under WOW64, and still on 64-bit Windows
        {true, true, true},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(system_is_64bit(r.tool_64bit, r.wow64), r.system_64bit)
            << r.tool_64bit << r.wow64;
    }
}

char kHardwareId[] = "USB\\VID_C04A&PID_0C02&REV_0100&MI_00";

TEST(InstallCommand, ProgramsAndTheirArguments) {
    char libusb0_upper[] = "LIBUSB0";
    char other_filter[] = "libusb0x";
    const struct {
        const char* name;
        bool filter, system_64bit;
        char* upper_filter;
        const char* program;
        const char* elevated_file;
        const char* command_line;
    } rows[] = {
        {"helper, 64-bit", false, true, nullptr, "C:\\pkg\\installer_x64.exe", "installer_x64.exe",
         "\"C:\\pkg\\installer_x64.exe\" \"Corvane.inf\""},
        {"helper, 32-bit", false, false, nullptr, "C:\\pkg\\installer_x86.exe", "installer_x86.exe",
         "\"C:\\pkg\\installer_x86.exe\" \"Corvane.inf\""},
        {"filter, 64-bit", true, true, nullptr, "C:\\pkg\\amd64\\install-filter.exe",
         "C:\\pkg\\amd64\\install-filter.exe",
         "\"C:\\pkg\\amd64\\install-filter.exe\" install -d=USB\\VID_C04A&PID_0C02&REV_0100&MI_00"},
        {"filter, 32-bit, libusb0 already on: taken off", true, false, libusb0_upper,
         "C:\\pkg\\x86\\install-filter.exe", "C:\\pkg\\x86\\install-filter.exe",
         "\"C:\\pkg\\x86\\install-filter.exe\" uninstall -d=USB\\VID_C04A&PID_0C02&REV_0100&MI_00"},
        {"filter, another upper filter", true, true, other_filter,
         "C:\\pkg\\amd64\\install-filter.exe", "C:\\pkg\\amd64\\install-filter.exe",
         "\"C:\\pkg\\amd64\\install-filter.exe\" install -d=USB\\VID_C04A&PID_0C02&REV_0100&MI_00"},
    };
    for (const auto& r : rows) {
        usbdrv_device_entry device = {};
        device.hardware_id = kHardwareId;
        device.upper_filter = r.upper_filter;
        install_command command;
        ASSERT_EQ(build_install_command("C:\\pkg", "Corvane.inf", device, r.filter, r.system_64bit,
                                        command),
                  USBDRV_OK)
            << r.name;
        EXPECT_STREQ(command.program.c_str(), r.program) << r.name;
        EXPECT_STREQ(command.elevated_file, r.elevated_file) << r.name;
        EXPECT_STREQ(command.command_line.c_str(), r.command_line) << r.name;
    }
}

// A cut text would name another file or device: refused whole.
TEST(InstallCommand, WhatWouldNotFitWholeIsRefused) {
    const std::string folder_of_240(240, 'f');
    const std::string inf_of_250 = std::string(246, 'i') + ".inf";
    const std::string hardware_id_of_300(300, 'h');
    const struct {
        const char* name;
        std::string directory, inf;
        bool filter;
        std::string hardware_id;
        const char* line;
    } rows[] = {
        {"helper path", std::string(245, 'd'), "a.inf", false, kHardwareId,
         "qualified path of the installer is too long"},
        {"command line", folder_of_240, "a.inf", false, kHardwareId,
         "installer command line is too long"},
        {"INF name", "C:\\pkg", inf_of_250 + inf_of_250, false, kHardwareId,
         "installer parameter text is too long"},
        {"hardware ID", "C:\\pkg", "a.inf", true, hardware_id_of_300,
         "installer parameter text is too long"},
        {"a double quote in the INF name", "C:\\pkg", "a\" /x \".inf", false, kHardwareId,
         "the inf name holds a double quote: a\" /x \".inf"},
    };
    for (const auto& r : rows) {
        usbdrv_device_entry device = {};
        std::string hardware_id = r.hardware_id;
        device.hardware_id = &hardware_id[0];
        install_command command;
        testing::internal::CaptureStderr();
        usbdrv_result result = build_install_command(r.directory.c_str(), r.inf.c_str(), device,
                                                     r.filter, true, command);
        std::string log = testing::internal::GetCapturedStderr();
        EXPECT_EQ(result, USBDRV_ERR_INVALID_PARAM) << r.name;
        EXPECT_NE(log.find("usbdrv:error [install_driver_internal] " + std::string(r.line)),
                  std::string::npos)
            << r.name << ": " << log;
    }
}

}  // namespace

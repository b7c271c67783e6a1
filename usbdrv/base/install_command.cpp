#include "base/install_command.h"

#include <cstring>

#include "base/log.h"

namespace {

constexpr char kCaller[] = "install_driver_internal";

bool same_ascii_text(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

usbdrv_result too_long(const char* what, const bounded_path& text) {
    usbdrv_log(USBDRV_LOG_ERROR, kCaller, "%s is too long: '%s'", what, text.c_str());
    return USBDRV_ERR_INVALID_PARAM;
}

}  // namespace

bool system_is_64bit(bool tool_is_64bit, bool running_under_wow64) {
    return tool_is_64bit || running_under_wow64;
}

const char* word_size_text(bool system_64bit) {
    return system_64bit ? "64" : "32";
}

usbdrv_result build_install_command(const char* directory, const char* inf_name,
                                    const usbdrv_device_entry& device, bool filter_installer,
                                    bool system_64bit, install_command& command) {
    command = install_command{};
    if (filter_installer) {
        command.program.append(directory)
            .append(system_64bit ? "\\amd64" : "\\x86")
            .append("\\install-filter.exe");
        command.elevated_file = command.program.c_str();
        // A device whose upper filter is libusb0 already has the filter: it is taken off.
        const char* filter = device.upper_filter ? device.upper_filter : "<NULL>";
        command.arguments
            .append(same_ascii_text(filter, "libusb0") ? "uninstall -d=" : "install -d=")
            .append(device.hardware_id);
    } else {
        command.elevated_file = system_64bit ? "installer_x64.exe" : "installer_x86.exe";
        command.program.append(directory).append("\\").append(command.elevated_file);
        if (strchr(inf_name, '"')) {
            usbdrv_log(USBDRV_LOG_ERROR, kCaller, "the inf name holds a double quote: %s",
                       inf_name);
            return USBDRV_ERR_INVALID_PARAM;
        }
        command.arguments.append("\"").append(inf_name).append("\"");
    }
    if (command.program.cut())
        return too_long("qualified path of the installer", command.program);
    if (command.arguments.cut())
        return too_long("installer parameter text", command.arguments);
    command.command_line.append("\"")
        .append(command.program.c_str())
        .append("\" ")
        .append(command.arguments.c_str());
    if (command.command_line.cut())
        return too_long("installer command line", command.command_line);
    return USBDRV_OK;
}

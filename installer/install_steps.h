// The installer helper's steps around the two install calls: finding the configuration manager,
// turning an install call's error into log lines and a result, the system's text for an error,
// and asking Plug and Play to look at the device again.
#pragma once

#include <cstdint>

#include "runtime_imports.h"
#include "usbdrv/usbdrv.h"

// The function of a run-time import, or null after "Unable to locate <name>() in <module>" went
// to the tool.
template <typename Fn>
Fn* looked_up(runtime_import<Fn>& function);
void report_missing(const runtime_import_slot& function);

template <typename Fn>
Fn* looked_up(runtime_import<Fn>& function) {
    Fn* found = function.get_quietly();
    if (!found)
        report_missing(function);
    return found;
}

// The helper's own lookups: the three configuration-manager functions, in order; true when all
// are there. The runtime's wide-argument service is looked up too, but may be missing.
bool init_installer_dlls();

// Logs the lines for a failed install call's error and returns its result (0 for the codes that
// are no failure: reboot required, already installed, device not present).
usbdrv_result map_install_error(uint32_t code, const char* inf_path);

// "[<code>] <system text>", or a line that says why there is none; 0 means the thread's last
// error. Valid until the next call.
const char* installer_error_text(uint32_t code);

// Asks Plug and Play to enumerate the device node again (the root without a device ID): 0, or -1
// after a log line.
int reenumerate_device(const char* device_id);

// Marks the devices with this hardware ID that are not present for reinstallation at their next
// plug-in.
void flag_removed_devices(const char* hardware_id);

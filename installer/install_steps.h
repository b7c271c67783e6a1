// The installer helper's steps around the two install calls: finding the configuration manager,
// turning an install call's error into log lines and a result, and asking Plug and Play to look
// at the device again. They log through usbdrv_log, whose sink sends each line to the tool.
#pragma once

#include <cstdint>

#include "usbdrv/usbdrv.h"

// The helper's own lookups: the three configuration-manager functions, in order, the first one
// missing logged as "Unable to locate <name>() in <module>"; true when all are there. The
// runtime's wide-argument service is looked up too, but may be missing.
bool init_installer_dlls();

// Logs the lines for a failed install call's error (the code the call gave, read at the call)
// and returns its result (0 for the codes that are no failure: reboot required, already
// installed, device not present). A code the table does not list is followed by its
// install_error_text.
usbdrv_result map_install_error(uint32_t code, const char* inf_path);

// Asks Plug and Play to enumerate the device node again (the root without a device ID): 0, or -1
// after a log line.
int reenumerate_device(const char* device_id);

// Marks the devices with this hardware ID that are not present for reinstallation at their next
// plug-in.
void flag_removed_devices(const char* hardware_id);

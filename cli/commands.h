// The console program's commands, and what they share: the record a package is prepared for and
// the folder an installation prepares it in.
#pragma once

#include <string>

#include "arguments.h"
#include "package_folder.h"
#include "usbdrv/usbdrv.h"

namespace cli {

// The record a package is prepared for, as the dialog builds it.
struct package_device {
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool is_interface = true;  // false: the whole device, as `stage` without --mi names it
    uint8_t interface_number = 0;
    std::string description;
    usbdrv_device_entry entry = {};

    const usbdrv_device_entry* get();
};
// For the listed device (null: the identifiers asked for, or the placeholder's), with the
// description asked for, the device's own or the placeholder's.
package_device package_for(const request& req, const usbdrv_device_entry* listed);

// The folder the dialog installs from, "usb_driver" in the user's profile; without a profile,
// in the temporary folder, since a factory line's or a service's account may have none.
package_folder installation_folder();

int run_list(const request& req);
int run_install(const request& req);
int run_extract(const request& req);
int run_stage(const request& req);
int run_status(const request& req);
int run_uninstall(const request& req);
int run_certificates(const request& req);

}  // namespace cli

// The installation host: starts the installer helper of the system's word size (or the
// package's filter installer) on the prepared package, serves it over the installer pipe, and
// turns its status or exit code into the installation's result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "usbdrv/usbdrv.h"

// One installation request, as usbdrv_install_driver received it.
struct install_params {
    const usbdrv_device_entry* device;      // required
    const char* directory;                  // null or empty: TEMP
    const char* inf_name;                   // required
    const usbdrv_install_options* options;  // may be null
};

// The whole installation on the calling thread. USBDRV_ERR_BUSY at once while another
// installation runs anywhere on the machine.
usbdrv_result install_driver_internal(const install_params* params);

// Gives back what an installation holds (its busy marker, the pipe, the event, the helper, which
// is ended) after the thread that ran install_driver_internal was ended by force, so that a later
// installation in this process runs. `argument` is the install_params of that installation.
void abandon_installation(void* argument);

// The host's handler of one message from the helper (see installer_protocol.h): 0 reads on,
// anything else ends the installation with that result. Answers the identifier requests on the
// installation's pipe.
int process_message(const uint8_t* buffer, size_t length);

// The installation host: starts the installer helper of the system's word size (or the
// package's filter installer) on the prepared package, serves it over the installer pipe, and
// turns its status or exit code into the installation's result.
#pragma once

#include <windows.h>

#include "usbdrv/usbdrv.h"

// One installation request, as usbdrv_install_driver received it.
struct install_params {
    const usbdrv_device_entry* device;      // required
    const char* directory;                  // null or empty: TEMP
    const char* inf_name;                   // required
    const usbdrv_install_options* options;  // may be null
};

// The whole installation on the calling thread. USBDRV_ERR_BUSY at once while another
// installation runs anywhere on the machine, or a helper of an earlier one still works.
//
// `cancel`, when given, is an event that the caller sets when it no longer waits (the progress
// window's time-out): the call then stops serving the helper and returns USBDRV_ERR_TIMEOUT
// within moments. The helper is never ended: it finishes its run, puts the restore-point
// setting back and ends by itself, and until then it keeps other installations out.
usbdrv_result install_driver_internal(const install_params* params, HANDLE cancel = nullptr);

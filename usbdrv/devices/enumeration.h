// Listing the present USB devices.
#pragma once

#include "usbdrv/usbdrv.h"

// Looks up the configuration-manager and setup functions that enumeration, preparation and
// installation need; true when all five are there. Found ones stay cached; a missing one is
// looked for again at the next call.
bool init_dlls();

// Releases one entry and its six texts; null is ignored.
void free_device_entry(usbdrv_device_entry* entry);

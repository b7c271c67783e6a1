// Listing the present USB devices. init_dlls, which a listing calls first, is the Windows
// layer's (runtime_imports.h).
#pragma once

#include "usbdrv/usbdrv.h"
#include "win/runtime_imports.h"

// Releases one entry and its six texts; null is ignored.
void free_device_entry(usbdrv_device_entry* entry);

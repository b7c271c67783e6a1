// Listing the present USB devices. init_dlls, which a listing calls first, is the Windows
// layer's (runtime_imports.h).
#pragma once

#include "runtime_imports.h"
#include "usbdrv/usbdrv.h"

// Releases one entry and its six texts; null is ignored.
void free_device_entry(usbdrv_device_entry* entry);

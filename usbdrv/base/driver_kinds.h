// Internal companions of the public records: the driver kinds' display names.
#pragma once

#include "usbdrv/usbdrv.h"

// Indexed by usbdrv_driver_type; used in log messages only.
extern const char* const driver_display_names[USBDRV_DRIVER_TYPE_COUNT];

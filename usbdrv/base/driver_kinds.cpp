#include "base/driver_kinds.h"

const char* const driver_display_names[USBDRV_DRIVER_TYPE_COUNT] = {
    "WinUSB", "libusb0.sys", "libusbK.sys", "Generic USB CDC", "user driver"};

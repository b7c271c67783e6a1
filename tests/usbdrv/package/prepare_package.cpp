// Prepares a CDC package without catalog into the folder its argument names, as a second
// process: exits with 0 when the preparation succeeded, 1 otherwise, 2 without a folder.
#include "usbdrv/usbdrv.h"

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    char description[] = "Corvane Serial A";
    usbdrv_device_entry device = {};
    device.vid = 0xC04A;
    device.pid = 0x0C02;
    device.is_interface = 1;
    device.description = description;
    usbdrv_prepare_options options = {};
    options.driver_type = USBDRV_DRIVER_CDC;
    options.no_catalog = 1;
    return usbdrv_prepare_driver(&device, argv[1], "Corvane.inf", &options) == USBDRV_OK ? 0 : 1;
}

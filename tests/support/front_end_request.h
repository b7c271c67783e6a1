// What the front end asks of usbdrv_prepare_driver for the placeholder device: the CDC kind, for
// interface 0 of a composite device with the placeholder's VID and PID. Header-only, for the
// programs that prepare a package as the front end would.
#pragma once

#include "usbdrv/usbdrv.h"

namespace test {

struct front_end_request {
    char description[32] = "Corvane Serial A";
    usbdrv_device_entry device = {};
    usbdrv_prepare_options options = {};

    explicit front_end_request(bool catalog) {
        device.vid = 0xC04A;
        device.pid = 0x0C02;
        device.is_interface = 1;
        device.description = description;
        options.driver_type = USBDRV_DRIVER_CDC;
        options.no_catalog = !catalog;
    }
    // The entry points into the object itself.
    front_end_request(const front_end_request&) = delete;
    front_end_request& operator=(const front_end_request&) = delete;

    usbdrv_result prepare(const char* path) const {
        return usbdrv_prepare_driver(&device, path, "Corvane.inf", &options);
    }
};

}  // namespace test

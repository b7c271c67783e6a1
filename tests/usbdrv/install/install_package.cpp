// A second process that installs: install_package <package folder> installs the tests' device
// from that folder in standard mode and exits with the result.
#include <cstdio>

#include "host_fixture.h"
#include "usbdrv/usbdrv.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: install_package <package folder>\n");
        return 2;
    }
    usbdrv_device_entry device = {};
    device.device_id = const_cast<char*>(test::kDeviceId);
    device.hardware_id = const_cast<char*>(test::kHardwareId);
    return usbdrv_install_driver(&device, argv[1], "Corvane.inf", nullptr);
}

#include "usbdrv/usbdrv.h"

#include "log.h"

usbdrv_result usbdrv_install_driver(const usbdrv_device_entry*, const char*, const char*,
                                    const usbdrv_install_options*) {
    usbdrv_log(USBDRV_LOG_ERROR, "usbdrv_install_driver", "not built yet");
    return USBDRV_ERR_NOT_SUPPORTED;
}

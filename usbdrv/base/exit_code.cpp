#include "base/exit_code.h"

usbdrv_result result_of_exit_code(uint32_t code) {
    if (code == 0)
        return USBDRV_OK;
    if (code == kStillActive)
        return USBDRV_ERR_TIMEOUT;
    return USBDRV_ERR_OTHER;
}

#include "process_result.h"

usbdrv_result exit_code_to_result(HANDLE process) {
    DWORD code = 0;
    if (!GetExitCodeProcess(process, &code))
        return USBDRV_ERR_OTHER;
    if (code == 0)
        return USBDRV_OK;
    if (code == STILL_ACTIVE)
        return USBDRV_ERR_TIMEOUT;
    return USBDRV_ERR_OTHER;
}

#include "progress_window.h"

#include "log.h"

usbdrv_result run_with_progress_bar(HWND, progress_work, void*, progress_abandon) {
    usbdrv_log(USBDRV_LOG_ERROR, "run_with_progress_bar", "not built yet");
    return USBDRV_ERR_NOT_SUPPORTED;
}

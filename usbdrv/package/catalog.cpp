#include "catalog.h"

#include "log.h"

bool CreateCat(const char*, const char*, const char*, const char* const*, uint32_t) {
    usbdrv_log(USBDRV_LOG_ERROR, "CreateCat", "not built yet");
    return false;
}

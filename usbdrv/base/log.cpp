#include "log.h"

#include <cstdarg>
#include <cstdio>

int32_t usbdrv_log_threshold = USBDRV_LOG_INFO;

void usbdrv_set_log_threshold(int32_t level) {
    usbdrv_log_threshold = level;
}

void usbdrv_log(int level, const char* function_name, const char* format, ...) {
    if (level < usbdrv_log_threshold)
        return;

    const char* name = "unknown";
    FILE* stream = stderr;
    switch (level) {
        case USBDRV_LOG_DEBUG:
            name = "debug";
            break;
        case USBDRV_LOG_INFO:
            name = "info";
            stream = stdout;
            break;
        case USBDRV_LOG_WARNING:
            name = "warning";
            break;
        case USBDRV_LOG_ERROR:
            name = "error";
            break;
        default:
            break;
    }

    // Three writes, as documented: a line can interleave with another thread's.
    fprintf(stream, "usbdrv:%s [%s] ", name, function_name ? function_name : "(null)");
    if (format) {
        va_list args;
        va_start(args, format);
        vfprintf(stream, format, args);
        va_end(args);
    }
    fputs("\n", stream);
    fflush(stream);  // a helper process may be ended right after its last line
}

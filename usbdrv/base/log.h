// The library's one log function: "usbdrv:<level> [<function>] <message>\n".
#pragma once

#include <cstdint>

#include "usbdrv/usbdrv.h"

#if defined(__MINGW32__)
#define USBDRV_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define USBDRV_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Messages with a level below it are dropped; starts at USBDRV_LOG_INFO.
extern int32_t usbdrv_log_threshold;

// Info goes to standard output, every other level to standard error. function_name is the
// name of the calling library function.
void usbdrv_log(int level, const char* function_name, const char* format, ...) USBDRV_PRINTF(3, 4);

// The message of a whole line as a sink receives it, "usbdrv:<level> [<function>] <message>":
// what follows the prefix (a function name holds no "] "); the line itself when it has none.
const char* log_line_message(const char* line);

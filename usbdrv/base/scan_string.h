// sscanf over a NUL-terminated UTF-8 text.
#pragma once

#if defined(__MINGW32__)
#define USBDRV_SCANF(fmt, args) __attribute__((format(gnu_scanf, fmt, args)))
#else
#define USBDRV_SCANF(fmt, args) __attribute__((format(scanf, fmt, args)))
#endif

// Returns the number of fields assigned; a null text or format assigns nothing (0).
int scan_string(const char* text, const char* format, ...) USBDRV_SCANF(2, 3);

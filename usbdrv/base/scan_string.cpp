#include "base/scan_string.h"

#include <cstdarg>
#include <cstdio>

int scan_string(const char* text, const char* format, ...) {
    if (!text || !format)
        return 0;
    va_list args;
    va_start(args, format);
    int assigned = vsscanf(text, format, args);
    va_end(args);
    // sscanf answers EOF for an empty text; callers only ask "how many fields".
    return assigned < 0 ? 0 : assigned;
}

#include "base/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kLinePrefix[] = "usbdrv:";

}  // namespace

int32_t usbdrv_log_threshold = USBDRV_LOG_INFO;

namespace {

usbdrv_log_sink log_sink = nullptr;
void* log_sink_context = nullptr;

// The whole line for a sink, which takes it in one piece.
std::string format_line(const char* prefix_name, const char* function_name, const char* format,
                        va_list args) {
    std::string line = std::string(kLinePrefix) + prefix_name + " [" + function_name + "] ";
    if (!format)
        return line;
    va_list measure;
    va_copy(measure, args);
    int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length > 0) {
        size_t start = line.size();
        line.resize(start + static_cast<size_t>(length) + 1);
        vsnprintf(&line[start], static_cast<size_t>(length) + 1, format, args);
        line.resize(start + static_cast<size_t>(length));
    }
    return line;
}

}  // namespace

void usbdrv_set_log_sink(usbdrv_log_sink sink, void* context) {
    log_sink = sink;
    log_sink_context = context;
}

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

    if (!function_name)
        function_name = "(null)";
    if (log_sink) {
        va_list args;
        va_start(args, format);
        std::string line = format_line(name, function_name, format, args);
        va_end(args);
        log_sink(level, line.c_str(), log_sink_context);
        return;
    }

    // Three writes, as documented: a line can interleave with another thread's.
    fprintf(stream, "%s%s [%s] ", kLinePrefix, name, function_name);
    if (format) {
        va_list args;
        va_start(args, format);
        vfprintf(stream, format, args);
        va_end(args);
    }
    fputs("\n", stream);
    fflush(stream);  // a helper process may be ended right after its last line
}

const char* log_line_message(const char* line) {
    if (!line)
        return "";
    if (strncmp(line, kLinePrefix, sizeof kLinePrefix - 1) != 0)
        return line;
    const char* function = strstr(line, " [");
    const char* end = function ? strstr(function + 2, "] ") : nullptr;
    return end ? end + 2 : line;
}

#include "log_line.h"

#include <cstdio>

namespace {

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

bool is_continuation_byte(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

std::string log_line(const log_time& time, const std::string& text) {
    size_t length = text.size();
    while (length > 0 && is_line_break(text[length - 1])) {
        length--;
    }
    size_t kept = length;
    if (kept > kLogMessageMax) {
        kept = kLogMessageMax;
        while (kept > 0 && is_continuation_byte(text[kept]))
            kept--;
    }

    char stamp[64];
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", time.year % 10000,
             time.month % 100, time.day % 100, time.hour % 100, time.minute % 100,
             time.second % 100, time.millisecond % 1000);
    std::string line = stamp;
    line.reserve(line.size() + kept + 32);
    for (size_t i = 0; i < kept; i++) {
        line += is_line_break(text[i]) ? ' ' : text[i];
    }
    if (kept < length)
        line += " [" + std::to_string(length - kept) + " more bytes]";
    line += "\r\n";
    return line;
}

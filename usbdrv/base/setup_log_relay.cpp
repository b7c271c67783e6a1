#include "base/setup_log_relay.h"

#include <cstring>
#include <vector>

#include "base/installer_protocol.h"
#include "base/log.h"

namespace {

constexpr uint32_t kDelayStepMs = 100;
constexpr uint32_t kLongestDelayMs = 500;

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

void send_line(const char* line, size_t length, setup_log_port& port) {
    // The text as the log writer meant it: up to a zero byte, if one slipped in.
    if (const void* zero = memchr(line, '\0', length))
        length = static_cast<size_t>(static_cast<const char*>(zero) - line);
    std::string utf8;
    if (length == 0 || !port.to_utf8(line, length, utf8) || utf8.empty() ||
        utf8.find('\0') != std::string::npos) {
        utf8 = kGarbledLine;
    }
    if (utf8.size() > kSyslogTextMax) {
        // The host refuses a longer message whole: the line's start travels, cut before the
        // character that would not fit whole.
        size_t cut = kSyslogTextMax;
        while (cut > 0 && (static_cast<uint8_t>(utf8[cut]) & 0xC0) == 0x80)
            cut--;
        usbdrv_log(USBDRV_LOG_WARNING, "setup_log_relay",
                   "a setup-log line of %zu bytes is cut to its first %zu bytes", utf8.size(), cut);
        utf8.resize(cut);
    }
    std::vector<uint8_t> message(utf8.size() + 2);
    frame_syslog_line(utf8.c_str(), message.data(), message.size());
    port.send(message.data(), message.size());
}

}  // namespace

size_t relay_log_lines(const char* buffer, size_t length, setup_log_port& port) {
    if (!buffer || length == 0)
        return 0;
    size_t line_start = 0;
    size_t i = 0;
    while (i < length) {
        if (!is_line_break(buffer[i])) {
            i++;
            continue;
        }
        const size_t line_end = i;
        while (i < length && is_line_break(buffer[i]))
            i++;
        const char* line = buffer + line_start;
        const size_t line_length = line_end - line_start;
        if (line_length == sizeof kInProgressMarker - 1 &&
            memcmp(line, kInProgressMarker, line_length) == 0) {
            return line_start;
        }
        send_line(line, line_length, port);
        line_start = i;
    }
    return line_start;
}

uint32_t next_poll_delay(uint32_t delay_ms, bool relayed) {
    if (relayed)
        return 0;
    return delay_ms < kLongestDelayMs ? delay_ms + kDelayStepMs : kLongestDelayMs;
}

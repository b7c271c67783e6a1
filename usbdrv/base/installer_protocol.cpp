#include "base/installer_protocol.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "base/loggable_text.h"

namespace {

constexpr char kHandler[] = "process_message";

// The text of a log or setup-log message: from byte 1 up to its zero byte, or to the end of the
// message when the zero byte is missing.
struct message_text {
    const char* text;
    size_t length;
    bool terminated;
};

message_text text_of(const uint8_t* message, size_t length) {
    const char* text = reinterpret_cast<const char*>(message + 1);
    const void* zero = memchr(text, '\0', length - 1);
    if (zero)
        return {text, static_cast<size_t>(static_cast<const char*>(zero) - text), true};
    return {text, length - 1, false};
}

// Logs the text of a code-0 or code-1 message under `source`; one that lacks its zero byte is
// reported as malformed first, and its bytes are logged as they came.
void log_text(const uint8_t* message, size_t length, const char* kind, const char* source) {
    message_text t = text_of(message, length);
    if (!t.terminated) {
        usbdrv_log(USBDRV_LOG_WARNING, kHandler,
                   "malformed %s: no terminating zero in its %zu bytes of text", kind, t.length);
    }
    usbdrv_log(USBDRV_LOG_DEBUG, source, "%s", loggable_text(t.text, t.length).c_str());
}

bool is_line_break(char c) {
    return c == '\r' || c == '\n';
}

// The filter installer's console output as it came through the pipe: one log line for each of
// its lines (a line that a write cut in two gives two), without the line breaks.
void log_console_output(const uint8_t* chunk, size_t length) {
    const char* text = reinterpret_cast<const char*>(chunk);
    size_t start = 0;
    for (size_t i = 0; i <= length; i++) {
        if (i < length && !is_line_break(text[i]))
            continue;
        if (i > start) {
            usbdrv_log(USBDRV_LOG_INFO, "install-filter", "%s",
                       loggable_text(text + start, i - start).c_str());
        }
        start = i + 1;
    }
}

// Writes the identifier, or one zero byte when there is none or it is too long to be read whole.
void answer_identifier(const char* name, const char* value, installer_host_port& port) {
    static const uint8_t kNone = 0;
    if (!value || !*value) {
        usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "no %s - sending empty string", name);
        port.write_reply(&kNone, 1);
        return;
    }
    size_t length = strlen(value);
    if (length > kIdentifierMax) {
        usbdrv_log(USBDRV_LOG_ERROR, kHandler,
                   "%s of %zu bytes is longer than the installer can take (at most %zu) - "
                   "sending empty string",
                   name, length, kIdentifierMax);
        port.write_reply(&kNone, 1);
        return;
    }
    port.write_reply(value, length);
}

void answer_user_sid(installer_host_port& port) {
    static const uint8_t kNone = 0;
    char sid[2 * kReplyBufferSize] = {};
    if (!port.user_sid(sid, sizeof sid)) {
        usbdrv_log(USBDRV_LOG_WARNING, kHandler, "no user_sid - sending empty string");
        port.write_reply(&kNone, 1);
        return;
    }
    sid[sizeof sid - 1] = '\0';
    answer_identifier("user_sid", sid, port);
}

}  // namespace

size_t frame_log_text(log_message& message, const char* text) {
    message.code = MSG_PRINT_MESSAGE;
    size_t length = text ? strnlen(text, kLogTextMax) : 0;
    if (length > 0)
        memcpy(message.text, text, length);
    message.text[length] = '\0';
    return 1 + length + 1;
}

size_t frame_syslog_line(const char* line, uint8_t* out, size_t capacity) {
    size_t length = line ? strlen(line) : 0;
    if (capacity < 2 || length > capacity - 2)
        return 0;
    out[0] = MSG_SYSLOG_MESSAGE;
    if (length > 0)
        memcpy(out + 1, line, length);
    out[1 + length] = 0;
    return length + 2;
}

status_message make_status_message(usbdrv_result status) {
    return {MSG_SET_STATUS, static_cast<uint8_t>(static_cast<uint32_t>(status) & 0xFF)};
}

usbdrv_result status_of(uint8_t status_byte) {
    return static_cast<int8_t>(status_byte);
}

const char* identifier_name(int request) {
    switch (request) {
        case MSG_GET_DEVICE_ID:
            return "device_id";
        case MSG_GET_HARDWARE_ID:
            return "hardware_id";
        case MSG_GET_USER_SID:
            return "user_sid";
        default:
            return nullptr;
    }
}

int handle_installer_message(const uint8_t* message, size_t length, installer_host_state& state,
                             installer_host_port& port) {
    if (length == 0 || !message)
        return USBDRV_ERR_INVALID_PARAM;
    if (!state.device) {
        usbdrv_log(USBDRV_LOG_ERROR, kHandler, "program assertion failed - no current device");
        return USBDRV_ERR_NOT_FOUND;
    }
    // The filter installer's console output: raw text, no framing, no code byte.
    if (state.filter_installer) {
        log_console_output(message, length);
        return 0;
    }

    switch (message[0]) {
        case MSG_PRINT_MESSAGE:
            if (length < 2) {
                usbdrv_log(USBDRV_LOG_ERROR, kHandler, "print_message: no data");
                return USBDRV_ERR_NOT_FOUND;
            }
            log_text(message, length, "print_message", "installer process");
            return 0;
        case MSG_SYSLOG_MESSAGE:
            if (length < 2) {
                usbdrv_log(USBDRV_LOG_ERROR, kHandler, "syslog_message: no data");
                return USBDRV_ERR_NOT_FOUND;
            }
            log_text(message, length, "syslog_message", "syslog");
            return 0;
        case MSG_GET_DEVICE_ID:
            usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "got request for device_id");
            answer_identifier("device_id", state.device->device_id, port);
            return 0;
        case MSG_GET_HARDWARE_ID:
            usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "got request for hardware_id");
            answer_identifier("hardware_id", state.device->hardware_id, port);
            return 0;
        case MSG_GET_USER_SID:
            answer_user_sid(port);
            return 0;
        case MSG_SET_TIMEOUT_INFINITE:
            usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "switching timeout to infinite");
            state.message_timeout_ms = kNoTimeLimit;
            return 0;
        case MSG_SET_TIMEOUT_DEFAULT:
            usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "switching timeout back to finite");
            state.message_timeout_ms = kDefaultMessageTimeoutMs;
            return 0;
        case MSG_SET_STATUS:
            if (length < 2) {
                usbdrv_log(USBDRV_LOG_ERROR, kHandler, "set status: no data");
                return USBDRV_ERR_NOT_FOUND;
            }
            state.status_received = true;
            return status_of(message[1]);
        case MSG_INSTALLER_COMPLETED:
            usbdrv_log(USBDRV_LOG_DEBUG, kHandler, "installer process completed");
            return 0;
        default:
            usbdrv_log(USBDRV_LOG_ERROR, kHandler, "unrecognized installer message");
            return USBDRV_ERR_NOT_FOUND;
    }
}

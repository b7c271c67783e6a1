#include "base/device_id.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "base/log.h"
#include "base/scan_string.h"

namespace {

const char* const kHubServiceNames[] = {
    "usbhub",    "usbhub3", "usb3hub",  "nusb3hub", "rusb3hub", "flxhcih",  "tihub3",
    "etronhub3", "viahub3", "asmthub3", "iusb3hub", "vusb3hub", "amdhub30", "vhhub",
};

bool is_separator(char c) {
    return c == '\\' || c == '#' || c == '&';
}

}  // namespace

bool next_id_piece(const char*& cursor, char* piece, size_t size) {
    if (!cursor || size == 0)
        return false;
    while (*cursor && is_separator(*cursor))
        cursor++;
    if (!*cursor)
        return false;
    size_t length = 0;
    for (; *cursor && !is_separator(*cursor); cursor++) {
        if (length + 1 < size)
            piece[length++] = *cursor;
    }
    piece[length] = '\0';
    return true;
}

id_piece read_id_piece(const char* text) {
    id_piece piece;
    if (!text)
        return piece;
    unsigned value = 0;
    if (strncmp(text, "VID_", 4) == 0) {
        piece.kind = id_piece_kind::vid;
        piece.readable = scan_string(text, "VID_%04X", &value) == 1;
    } else if (strncmp(text, "PID_", 4) == 0) {
        piece.kind = id_piece_kind::pid;
        piece.readable = scan_string(text, "PID_%04X", &value) == 1;
    } else if (strncmp(text, "MI_", 3) == 0) {
        piece.kind = id_piece_kind::interface_number;
        piece.readable = scan_string(text, "MI_%02X", &value) == 1;
    }
    if (piece.readable)
        piece.value = value;
    return piece;
}

void log_unreadable_id_piece(id_piece_kind kind, const char* caller) {
    switch (kind) {
        case id_piece_kind::vid:
            usbdrv_log(USBDRV_LOG_ERROR, caller, "could not convert VID string");
            break;
        case id_piece_kind::pid:
            usbdrv_log(USBDRV_LOG_ERROR, caller, "could not convert PID string");
            break;
        case id_piece_kind::interface_number:
            usbdrv_log(USBDRV_LOG_ERROR, caller, "could not convert MI string");
            break;
        case id_piece_kind::other:
            break;
    }
}

description_text interface_suffix(uint8_t number) {
    description_text suffix = {{}, 17};
    snprintf(suffix.text, sizeof suffix.text, " (Interface %d)", number);
    return suffix;
}

description_text composite_parent_suffix() {
    return {" (Composite Parent)", 20};
}

description_text unknown_device_name(int& counter) {
    description_text name = {{}, 28};  // "Unknown Device #-2147483648" and its end
    snprintf(name.text, sizeof name.text, "Unknown Device #%d", counter++);
    return name;
}

uint64_t parse_driver_version(const char* text) {
    uint64_t version = 0;
    if (!text)
        return 0;
    const char* cursor = text;
    while (*cursor) {
        while (*cursor == '.')
            cursor++;
        if (!*cursor)
            break;
        char piece[32];
        size_t length = 0;
        for (; *cursor && *cursor != '.'; cursor++) {
            if (length + 1 < sizeof piece)
                piece[length++] = *cursor;
        }
        piece[length] = '\0';
        // Out-of-range numbers wrap as a 32-bit conversion would, instead of overflowing.
        long long value = strtoll(piece, nullptr, 10);
        int32_t part = (int32_t)(uint32_t)(unsigned long long)value;
        version = (version << 16) + (uint64_t)(int64_t)part;
    }
    return version;
}

bool is_hub_service(const char* service) {
    if (!service)
        return false;
    for (const char* name : kHubServiceNames) {
        if (strcasecmp(service, name) == 0)
            return true;
    }
    return false;
}

bool is_composite_parent_service(const char* service) {
    return service && strcasecmp(service, "usbccgp") == 0;
}

void trim_trailing_space(char* text) {
    if (!text)
        return;
    size_t length = strlen(text);
    while (length > 0 && strchr(" \t\n\v\f\r", text[length - 1]))
        text[--length] = '\0';
}

#include "device_id.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

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

// Reading what enumeration finds: device instance ID pieces and the identifiers in them, the
// description's suffixes and generated names, driver versions, service names. No system calls,
// so that it also builds natively.
#pragma once

#include <cstddef>
#include <cstdint>

// The next piece of a device instance ID split at "\", "#" and "&" (runs of separators give no
// empty pieces), cut to size - 1 bytes. Returns false when no piece is left.
bool next_id_piece(const char*& cursor, char* piece, size_t size);

// What one piece of a device instance ID names. The prefixes are tested in this order, each over
// its own length and with regard to case: "VID_" (read as "VID_%04X"), "PID_" ("PID_%04X") and
// "MI_" ("MI_%02X", the interface number).
enum class id_piece_kind { other, vid, pid, interface_number };
struct id_piece {
    id_piece_kind kind = id_piece_kind::other;
    bool readable = false;  // its hexadecimal number was read
    unsigned value = 0;     // that number: at most four digits, or two for an interface
};
id_piece read_id_piece(const char* piece);

// The identifiers of a device instance ID.
struct device_id_fields {
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool has_vid = false;  // a "VID_" piece was found, readable or not
    bool is_interface = false;
    uint8_t interface_number = 0;  // of the last readable "MI_" piece
};

// Descriptions are UTF-16 texts in buffers of 256 units; the generated ones are ASCII. A suffix
// is appended when the description's length plus its room (one more than the longest text the
// suffix can have) stays below 256.
constexpr size_t kDescriptionUnits = 256;
struct description_text {
    char text[32];
    size_t room;
};
// " (Interface <number>)", room 17.
description_text interface_suffix(uint8_t number);
// " (Composite Parent)", room 20.
description_text composite_parent_suffix();
// "Unknown Device #<counter>", for a device without a description; the counter goes up by one.
description_text unknown_device_name(int& counter);

template <typename Unit>
void append_description_suffix(Unit (&description)[kDescriptionUnits],
                               const description_text& suffix) {
    size_t length = 0;
    while (description[length])
        length++;
    if (length + suffix.room >= kDescriptionUnits)
        return;
    for (const char* c = suffix.text; *c; c++)
        description[length++] = static_cast<Unit>(static_cast<unsigned char>(*c));
    description[length] = 0;
}

// Replaces the description with a generated name.
template <typename Unit>
void set_description(Unit (&description)[kDescriptionUnits], const description_text& name) {
    description[0] = 0;
    append_description_suffix(description, name);
}

// Logs a VID, PID or MI piece whose number cannot be read, under caller.
void log_unreadable_id_piece(id_piece_kind kind, const char* caller);

// Reads the identifiers of a device instance ID, piece by piece in order. A piece whose number
// cannot be read leaves its field as it was and is logged under caller ("could not convert VID
// string", and so on). Each readable "MI_" piece appends its interface suffix to the description.
template <typename Unit>
device_id_fields read_device_id(const char* id, const char* caller,
                                Unit (&description)[kDescriptionUnits]) {
    device_id_fields fields;
    const char* cursor = id;
    char text[256];
    while (next_id_piece(cursor, text, sizeof text)) {
        id_piece piece = read_id_piece(text);
        if (piece.kind == id_piece_kind::other)
            continue;
        if (piece.kind == id_piece_kind::vid)
            fields.has_vid = true;
        if (!piece.readable) {
            log_unreadable_id_piece(piece.kind, caller);
            continue;
        }
        switch (piece.kind) {
            case id_piece_kind::vid:
                fields.vid = static_cast<uint16_t>(piece.value);
                break;
            case id_piece_kind::pid:
                fields.pid = static_cast<uint16_t>(piece.value);
                break;
            case id_piece_kind::interface_number:
                fields.is_interface = true;
                fields.interface_number = static_cast<uint8_t>(piece.value);
                append_description_suffix(description, interface_suffix(fields.interface_number));
                break;
            case id_piece_kind::other:
                break;
        }
    }
    return fields;
}

// "10.0.19041.1" -> 10 << 48 | 0 << 32 | 19041 << 16 | 1. Pieces are split at "." (empty ones
// are dropped) and each is read as a signed 32-bit decimal number, widened with its sign.
uint64_t parse_driver_version(const char* text);

// The services that mark a USB hub, and the one that marks a composite parent (any case).
bool is_hub_service(const char* service);
bool is_composite_parent_service(const char* service);

// Cuts off trailing spaces, tabs, line feeds, vertical tabs, form feeds and carriage returns.
void trim_trailing_space(char* text);

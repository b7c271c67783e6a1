#include "base/package_values.h"

#include <cstdio>
#include <cstring>

#include "base/android_ids.h"
#include "base/vendor_names.h"

namespace {

const driver_kind_files kKindFiles[] = {
    {"winusb.inf.in", "winusb.cat.in", "MS_COMP_WINUSB"},
    {"libusb0.inf.in", "libusb0.cat.in", "MS_COMP_LIBUSB0"},
    {"libusbk.inf.in", "libusbk.cat.in", "MS_COMP_LIBUSBK"},
    {"usbser.inf.in", "usbser.cat.in", "MS_COMP_USBSER"},
};

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\v' || c == '\f';
}

// The line from *cursor to its line end, with the white space around it dropped and cut off in
// place; *cursor moves past the line end. Null when no line is left.
char* next_line(char*& cursor) {
    while (*cursor == '\r' || *cursor == '\n')
        cursor++;
    if (!*cursor)
        return nullptr;
    char* line = cursor;
    while (*cursor && *cursor != '\r' && *cursor != '\n')
        cursor++;
    char* end = cursor;
    if (*cursor)
        *cursor++ = '\0';
    while (end > line && is_blank(end[-1]))
        *--end = '\0';
    while (is_blank(*line))
        line++;
    return line;
}

}  // namespace

const driver_kind_files* driver_kind_files_of(int32_t kind) {
    if (kind < 0 || kind >= (int32_t)(sizeof kKindFiles / sizeof kKindFiles[0]))
        return nullptr;
    return &kKindFiles[kind];
}

bool has_inf_extension(const char* name) {
    size_t length = name ? strlen(name) : 0;
    return length >= 4 && strcmp(name + length - 4, ".inf") == 0;
}

bool is_bare_file_name(const char* name) {
    return name && !strpbrk(name, "\\/:");
}

void catalog_name_of(const char* name, char* text, size_t size) {
    size_t length = strlen(name);
    snprintf(text, size, "%.*scat", (int)(length >= 3 ? length - 3 : 0), name);
}

void device_hardware_id(uint16_t vid, uint16_t pid, bool is_interface, uint8_t interface_number,
                        char* text, size_t size) {
    if (is_interface) {
        snprintf(text, size, "VID_%04X&PID_%04X&MI_%02X", vid, pid, interface_number);
    } else {
        snprintf(text, size, "VID_%04X&PID_%04X", vid, pid);
    }
}

interface_guid_source interface_guid_source_of(bool match_compatible_id, const char* given,
                                               uint16_t vid, uint16_t pid) {
    if (match_compatible_id)
        return interface_guid_source::unused;
    if (given && *given)
        return interface_guid_source::given;
    if (is_android_device(vid, pid))
        return interface_guid_source::android;
    return interface_guid_source::generated;
}

const char* manufacturer_name_of(const char* given, uint16_t vid) {
    if (given && *given)
        return given;
    const char* listed = usb_vendor_name_of(vid);
    return listed ? listed : "(Undefined Vendor)";
}

void inf_string_text(const char* value, char* text, size_t size) {
    if (size == 0)
        return;
    size_t used = 0;
    for (const char* c = value ? value : ""; *c;) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        const char* out = c;
        size_t in = 1, length = 1;
        if (byte == '"') {
            out = "\"\"";
            length = 2;
        } else if (byte < 0x20 || byte == 0x7F) {
            out = " ";
        } else if (byte >= 0xC0) {  // a UTF-8 lead byte and the continuation bytes after it
            while (in < 4 && (static_cast<unsigned char>(c[in]) & 0xC0) == 0x80)
                in++;
            length = in;
        }
        if (used + length >= size)
            break;
        memcpy(text + used, out, length);
        used += length;
        c += in;
    }
    text[used] = '\0';
}

size_t inf_string_length(const char* value) {
    size_t length = 0;
    for (const char* c = value ? value : ""; *c; c++)
        length += *c == '"' ? 2 : 1;
    return length;
}

void driver_date_text(uint64_t file_time, local_date_converter to_local_date, calendar_date today,
                      char* text, size_t size) {
    calendar_date date = today;
    calendar_date converted;
    if (file_time != 0 && to_local_date && to_local_date(file_time, &converted))
        date = converted;
    snprintf(text, size, "%02d/%02d/%04d", date.month, date.day, date.year);
}

void driver_version_text(uint32_t version_ms, uint32_t version_ls, char* text, size_t size) {
    snprintf(text, size, "%d.%d.%d.%d", (int)(version_ms >> 16), (int)(version_ms & 0xFFFF),
             (int)(version_ls >> 16), (int)(version_ls & 0xFFFF));
}

catalog_list parse_catalog_list(char* text, const char* inf_name) {
    catalog_list list;
    char* cursor = text;
    while (char* line = cursor ? next_line(cursor) : nullptr) {
        if (!*line || *line == '#')
            continue;
        if (list.count == kMaxCatalogEntries) {
            list.cut = true;
            break;
        }
        list.names[list.count++] = line;
    }
    list.names[list.count++] = inf_name;
    return list;
}

void catalog_hardware_id(const char* hardware_id, char* text, size_t size) {
    snprintf(text, size, "USB\\%s", hardware_id);
}

void generated_signer_subject(const char* catalog_hardware_id, char* text, size_t size) {
    snprintf(text, size, "CN=%s (usbdrv autogenerated)", catalog_hardware_id);
}

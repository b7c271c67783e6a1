#include "tokens.h"

#include <climits>
#include <cstdlib>
#include <cstring>

token_entry token_table[kTokenTableSize] = {
    {"INF_FILENAME", ""},
    {"CAT_FILENAME", ""},
    {"DEVICE_DESCRIPTION", ""},
    {"DEVICE_HARDWARE_ID", ""},
    {"DEVICE_INTERFACE_GUID", ""},
    {"DEVICE_MANUFACTURER", ""},
    {"DRIVER_DATE", ""},
    {"DRIVER_VERSION", ""},
    {"USE_DEVICE_INTERFACE_GUID", ""},
    {"WDF_VERSION", ""},
    {"KMDF_VERSION", ""},
    {"LK_COMMA", ""},
    {"LK_DLL", ""},
    {"LK_X86_DLL", ""},
    {"LK_EQ_X86", ""},
    {"LK_EQ_X64", ""},
    {nullptr, ""},
};

namespace {

// Room the output always keeps beyond what it needs, so that a template is usually filled with
// one allocation.
const int kSlack = 1024;

}  // namespace

// The buffer is the caller's raw block, which grows by realloc and which this function releases
// by hand on failure, as its contract says (the caller then holds null).
bool append_output(char*& buffer, char** output, int& used, int& capacity, const char* span,
                   int length) {
    if (length < 0 || used > INT_MAX - kSlack - 1 - length) {
        // The output would outgrow what a length can say.
        free(buffer);
        buffer = nullptr;
        *output = nullptr;
        return false;
    }
    if (used + length >= capacity) {
        int grown = used + length + kSlack;
        char* moved = static_cast<char*>(realloc(buffer, grown));
        if (!moved) {
            free(buffer);
            buffer = nullptr;
            *output = nullptr;
            return false;
        }
        buffer = moved;
        capacity = grown;
    }
    strncpy(buffer + used, span, (size_t)length);
    *output = buffer;
    used += length;
    return true;
}

int tokenize_text(const char* source, int source_length, char** output, token_entry* table,
                  const char* start_delimiter, const char* end_delimiter) {
    if (!source || !output || !table || !start_delimiter || !end_delimiter || source_length <= 0 ||
        !*start_delimiter || !*end_delimiter) {
        return kTokenBadArguments;
    }
    if (source_length > INT_MAX - kSlack)
        return kTokenNoMemory;

    int capacity = source_length + kSlack;
    char* buffer = static_cast<char*>(malloc(capacity));
    *output = buffer;
    if (!buffer)
        return kTokenNoMemory;
    int used = 0;

    const int start_length = (int)strlen(start_delimiter);
    const int end_length = (int)strlen(end_delimiter);
    const ptrdiff_t minimum = (ptrdiff_t)start_length + end_length;
    const char* const end = source + source_length;
    const char* cursor = source;

    while (end - cursor > minimum) {
        const char* found = nullptr;
        for (const char* p = cursor; p + minimum <= end; p++) {
            if (memcmp(p, start_delimiter, start_length) == 0) {
                found = p;
                break;
            }
        }
        if (!found)
            break;

        if (!append_output(buffer, output, used, capacity, cursor, (int)(found - cursor))) {
            return kTokenNoMemory;
        }
        cursor = found + start_length;

        bool replaced = false;
        for (const token_entry* t = table; t->name && t->value[0]; t++) {
            const ptrdiff_t name_length = (ptrdiff_t)strlen(t->name);
            if (end - cursor < name_length + end_length)
                continue;
            if (memcmp(cursor + name_length, end_delimiter, end_length) != 0)
                continue;
            if (memcmp(cursor, t->name, name_length) != 0)
                continue;
            if (!append_output(buffer, output, used, capacity, t->value,
                               (int)strnlen(t->value, sizeof t->value))) {
                return kTokenNoMemory;
            }
            cursor += name_length + end_length;
            replaced = true;
            break;
        }
        // Not a token: the delimiter stays, and the search goes on right after it.
        if (!replaced &&
            !append_output(buffer, output, used, capacity, start_delimiter, start_length)) {
            return kTokenNoMemory;
        }
    }
    if (end - cursor > 0 &&
        !append_output(buffer, output, used, capacity, cursor, (int)(end - cursor))) {
        return kTokenNoMemory;
    }
    buffer[used] = '\0';  // the capacity always leaves room for it
    return used;
}

bool set_token_value(token_entry* table, const char* name, const char* value) {
    if (!table || !name)
        return false;
    for (token_entry* t = table; t->name; t++) {
        if (strcmp(t->name, name) != 0)
            continue;
        size_t length = value ? strnlen(value, sizeof t->value - 1) : 0;
        // A longer text is cut before the character that does not fit whole, not inside it.
        if (value && value[length] != '\0') {
            for (int back = 0;
                 back < 3 && length > 0 && ((unsigned char)value[length] & 0xC0) == 0x80; back++) {
                length--;
            }
        }
        memcpy(t->value, value ? value : "", length);
        t->value[length] = '\0';
        return true;
    }
    return false;
}

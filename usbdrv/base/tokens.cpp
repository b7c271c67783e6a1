#include "base/tokens.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

struct token_definition {
    const char* name;
    const char* default_value;  // null: none
};

// In the order of token_id.
const token_definition kTokens[kTokenCount] = {
    {"INF_FILENAME", nullptr},
    {"CAT_FILENAME", nullptr},
    {"DEVICE_DESCRIPTION", nullptr},
    {"DEVICE_HARDWARE_ID", nullptr},
    {"DEVICE_INTERFACE_GUID", nullptr},
    {"DEVICE_MANUFACTURER", nullptr},
    {"DRIVER_DATE", nullptr},
    {"DRIVER_VERSION", nullptr},
    {"USE_DEVICE_INTERFACE_GUID", nullptr},
    {"WDF_VERSION", nullptr},
    {"KMDF_VERSION", nullptr},
    {"LK_COMMA", ""},
    {"LK_DLL", ""},
    {"LK_X86_DLL", ""},
    {"LK_EQ_X86", ""},
    {"LK_EQ_X64", ""},
};

bool is_token(int id) {
    return id >= 0 && id < kTokenCount;
}

// Room the output always keeps beyond what it needs, so that a template is usually filled with
// one allocation.
const int kSlack = 1024;

}  // namespace

const char* token_name(int id) {
    return is_token(id) ? kTokens[id].name : nullptr;
}

const char* token_default(int id) {
    return is_token(id) ? kTokens[id].default_value : nullptr;
}

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

int tokenize_text(const char* source, int source_length, char** output, const token_values* values,
                  const char* start_delimiter, const char* end_delimiter, int* unset_token) {
    if (!source || !output || !values || !start_delimiter || !end_delimiter || source_length <= 0 ||
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
        for (int id = 0; id < kTokenCount; id++) {
            const char* name = kTokens[id].name;
            const ptrdiff_t name_length = (ptrdiff_t)strlen(name);
            if (end - cursor < name_length + end_length)
                continue;
            if (memcmp(cursor + name_length, end_delimiter, end_length) != 0)
                continue;
            if (memcmp(cursor, name, name_length) != 0)
                continue;
            const char* value = values->set[id] ? values->text[id] : kTokens[id].default_value;
            if (!value) {
                free(buffer);
                *output = nullptr;
                if (unset_token)
                    *unset_token = id;
                return kTokenUnset;
            }
            if (!append_output(buffer, output, used, capacity, value,
                               (int)strnlen(value, kTokenValueBytes))) {
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

bool set_token_value(token_values& values, int id, const char* value) {
    if (!is_token(id))
        return false;
    char* text = values.text[id];
    size_t length = value ? strnlen(value, kTokenValueBytes - 1) : 0;
    // A longer text is cut before the character that does not fit whole, not inside it.
    if (value && value[length] != '\0') {
        for (int back = 0; back < 3 && length > 0 && ((unsigned char)value[length] & 0xC0) == 0x80;
             back++) {
            length--;
        }
    }
    memcpy(text, value ? value : "", length);
    text[length] = '\0';
    values.set[id] = true;
    return true;
}

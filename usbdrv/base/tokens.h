// Filling templates: "#NAME#" in a template stands for the value of the token NAME. The values
// of one filling are a record of its own (token_values), which the caller hands to the engine,
// so nothing of one filling reaches the next. No system calls, so that the engine also builds
// natively for sanitizers and fuzzing.
#pragma once

#include <cstddef>

// The tokens of the templates. A token that is not set is filled with its default where it has
// one: the five libusbK values default to empty texts, so that a libusb0 package without them
// names no libusbK DLL. The others have none: a template that names one of them while it is not
// set is not filled at all (kTokenUnset), never left with "#NAME#" in it.
enum token_id : int {
    TOKEN_INF_FILENAME,
    TOKEN_CAT_FILENAME,
    TOKEN_DEVICE_DESCRIPTION,
    TOKEN_DEVICE_HARDWARE_ID,
    TOKEN_DEVICE_INTERFACE_GUID,
    TOKEN_DEVICE_MANUFACTURER,
    TOKEN_DRIVER_DATE,
    TOKEN_DRIVER_VERSION,
    TOKEN_USE_DEVICE_INTERFACE_GUID,
    TOKEN_WDF_VERSION,
    TOKEN_KMDF_VERSION,
    TOKEN_LK_COMMA,
    TOKEN_LK_DLL,
    TOKEN_LK_X86_DLL,
    TOKEN_LK_EQ_X86,
    TOKEN_LK_EQ_X64,
    kTokenCount
};

// "INF_FILENAME" and so on; null for an id outside the list.
const char* token_name(int id);
// What the token is filled with while it is not set; null when it has no default (or the id is
// outside the list).
const char* token_default(int id);

// A value holds at most 1023 bytes and its terminator.
constexpr size_t kTokenValueBytes = 1024;

// The values of one filling. A value-initialised record (token_values values = {}) has every
// token unset.
struct token_values {
    bool set[kTokenCount];
    char text[kTokenCount][kTokenValueBytes];
};

// Sets a token's value, cut to 1023 bytes, and before a UTF-8 character that would not fit whole;
// a null value is an empty text. False for an id outside the list.
bool set_token_value(token_values& values, int id, const char* value);

// Results below 0 are negated Windows error codes.
constexpr int kTokenBadArguments = -160;  // -ERROR_BAD_ARGUMENTS
constexpr int kTokenNoMemory = -8;        // -ERROR_NOT_ENOUGH_MEMORY
constexpr int kTokenNoTemplate = -1812;   // -ERROR_RESOURCE_DATA_NOT_FOUND
constexpr int kTokenUnset = -1168;        // -ERROR_NOT_FOUND: a token without value or default

// Copies source to a new NUL-terminated text in *output (the caller frees it), replacing each
// start_delimiter NAME end_delimiter whose NAME is a token with its value, or its default while
// it is not set; replaced text is never scanned again, and a NAME that is no token stays as it
// is. Returns the output's length, or a result below 0: then *output is null (untouched when
// the arguments were refused), and for kTokenUnset *unset_token, when given, is the first token
// met that has neither value nor default.
int tokenize_text(const char* source, int source_length, char** output, const token_values* values,
                  const char* start_delimiter, const char* end_delimiter,
                  int* unset_token = nullptr);

// Appends length bytes of span (a NUL in it ends the copy; the rest of the span's room is NUL)
// to the output buffer, growing it when needed; *output follows the buffer when it moves. On
// failure the buffer is released and *output is null.
bool append_output(char*& buffer, char** output, int& used, int& capacity, const char* span,
                   int length);

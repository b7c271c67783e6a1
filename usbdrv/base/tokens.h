// Filling templates: "#NAME#" in a template stands for the value of the token NAME.
// No system calls, so that the engine also builds natively for sanitizers and fuzzing.
#pragma once

#include <cstddef>

struct token_entry {
    const char* name;  // null ends a table
    char value[1024];  // at most 1023 characters; empty until written
};

// The 16 tokens and the null end, in the order the engine scans them: the scan stops at the
// first entry whose value is empty, so the entries after an unset one are not replaced either.
// Values keep their text until written again.
constexpr int kTokenTableSize = 17;
extern token_entry token_table[kTokenTableSize];

// Results below 0 are negated Windows error codes.
constexpr int kTokenBadArguments = -160;  // -ERROR_BAD_ARGUMENTS
constexpr int kTokenNoMemory = -8;        // -ERROR_NOT_ENOUGH_MEMORY
constexpr int kTokenNoTemplate = -1812;   // -ERROR_RESOURCE_DATA_NOT_FOUND

// Copies source to a new NUL-terminated text in *output (the caller frees it), replacing each
// start_delimiter NAME end_delimiter whose NAME is in table with its value; replaced text is never
// scanned again. Returns the output's length, or a result below 0 (then *output is null, or
// untouched when the arguments were refused).
int tokenize_text(const char* source, int source_length, char** output, token_entry* table,
                  const char* start_delimiter, const char* end_delimiter);

// Appends length bytes of span (a NUL in it ends the copy; the rest of the span's room is NUL)
// to the output buffer, growing it when needed; *output follows the buffer when it moves. On
// failure the buffer is released and *output is null.
bool append_output(char*& buffer, char** output, int& used, int& capacity, const char* span,
                   int length);

// Sets a token's value, cut to 1023 bytes, and before a UTF-8 character that would not fit whole;
// false for a name not in the table.
bool set_token_value(token_entry* table, const char* name, const char* value);

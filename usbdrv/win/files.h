// Directories and files that the library creates, owned by the current user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

#include "usbdrv/usbdrv.h"

class owner_security;

// Makes sure path is an existing directory, creating every missing directory of it. A relative
// path is taken below the current directory. An existing file of that name is not replaced
// (USBDRV_ERR_ACCESS); a path too long for the library's 260-byte buffers gives
// USBDRV_ERR_INVALID_PARAM.
usbdrv_result check_dir(const char* path);
// The same, with the owner of a caller that makes many directories and files at once.
usbdrv_result check_dir(const char* path, owner_security& owner);

// Creates or truncates the file path and returns a stream over it, or null (nothing is logged
// for a failed creation: the caller reads GetLastError() at once and reports it). mode's "r" and
// "w" ask for read and write access; without "w" nothing is created. The stream is binary.
FILE* fcreate(const char* path, const char* mode);

// One stretch of a file's content.
struct file_piece {
    const void* data;
    size_t size;
};

// How writing a whole file went.
struct file_write {
    enum outcome_kind { written, not_created, not_written } outcome = written;
    // The error of the call that failed, read at that call (0 when it set none).
    uint32_t system_error = 0;

    explicit operator bool() const { return outcome == written; }
    // The system's text for the error, for a log line's last "%s".
    const char* reason() const;
};

// Creates or truncates path, owned as `owner` says, and writes the pieces into it one after the
// other, unchanged. A file that cannot be written whole is deleted: a file cut short must not
// pass for a complete one.
file_write write_whole_file(const char* path, std::initializer_list<file_piece> pieces,
                            owner_security& owner);

// Logs a failed write_whole_file of path at level under caller: "failed to create file '<path>'
// (<reason>)" or "failed to write file '<path>' (<reason>)".
void log_failed_write(const file_write& write, int level, const char* caller, const char* path);

// The folder the environment variable TEMP names, as the C runtime holds it (in the ANSI code
// page), converted to UTF-8 for the library's file calls; null when it is not set. For free().
char* temp_folder();

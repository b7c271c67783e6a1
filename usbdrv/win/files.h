// Directories and files that the library creates, owned by the current user.
#pragma once

#include <cstdio>

#include "usbdrv/usbdrv.h"

// Makes sure path is an existing directory, creating every missing directory of it. A relative
// path is taken below the current directory. An existing file of that name is not replaced
// (USBDRV_ERR_ACCESS); a path too long for the library's 260-byte buffers gives
// USBDRV_ERR_INVALID_PARAM.
usbdrv_result check_dir(const char* path);

// Creates or truncates the file path and returns a stream over it, or null (nothing is logged
// for a failed creation: the caller reports windows_error_str(0)). mode's "r" and "w" ask for
// read and write access; without "w" nothing is created. The stream is binary.
FILE* fcreate(const char* path, const char* mode);

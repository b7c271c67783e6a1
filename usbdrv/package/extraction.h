// Writing the driver files the program carries into a package directory.
#pragma once

#include "usbdrv/usbdrv.h"

// Writes every carried file below path (UTF-8), each into its folder of the package, in the order
// of the embedded file table; files of the same name are replaced and templates are never
// written. Stops at the first failure, leaving what was written before. Returns USBDRV_OK,
// the result of check_dir for a folder that cannot be made, USBDRV_ERR_RESOURCE for a path that
// the library's 260-byte buffers cannot hold or a file that cannot be created or written whole
// (a file cut short is deleted), or USBDRV_ERR_INVALID_PARAM for a null or empty path.
usbdrv_result extract_binaries(const char* path);

// The versions of the driver files the program carries, and which driver kinds the running
// system can use (usbdrv_is_driver_supported in usbdrv.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "usbdrv/usbdrv.h"

// The version record of each driver kind 0 to 3 (WinUSB, libusb0, libusbK, CDC), all zero at
// start; an element whose dwSignature is 0 has not been read yet. The cache of get_version_info.
extern VS_FIXEDFILEINFO driver_file_versions[USBDRV_DRIVER_USER];

// Fills record with the version record of kind's reference driver file (for kinds 0 to 2 the
// "x86" copy of winusbcoinstaller2.dll, libusb0.sys, libusbK.sys), its file date replaced by the
// carried file's time stamp as a Windows file time. The file is written to TEMP for the system to
// read it and deleted afterwards; a filled cache element is served without that. Returns
// USBDRV_OK, USBDRV_ERR_INVALID_PARAM (kind not 0 to 3, or no record), USBDRV_ERR_NOT_FOUND (the
// kind has no driver file: CDC uses the system's own), the result of check_dir for TEMP, or
// USBDRV_ERR_RESOURCE (also for a TEMP too long to hold the file's name: a cut name would be some
// other file). Failures leave the cache element empty.
usbdrv_result get_version_info(int32_t kind, VS_FIXEDFILEINFO* record);

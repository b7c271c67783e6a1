// The versions of the driver files the program carries, and which driver kinds the running
// system can use (usbdrv_is_driver_supported in usbdrv.h).
#pragma once

#include <windows.h>

#include <cstdint>

#include "usbdrv/usbdrv.h"

// Reads the version record of kind's reference driver file (for kinds 0 to 2 the "x86" copy of
// winusbcoinstaller2.dll, libusb0.sys, libusbK.sys) into the caller's record, its file date
// replaced by the carried file's time stamp as a Windows file time. The file is written to TEMP
// for the system to read it and deleted afterwards. Returns USBDRV_OK, USBDRV_ERR_INVALID_PARAM
// (kind not 0 to 3, or no record), USBDRV_ERR_NOT_FOUND (the kind has no driver file: CDC uses
// the system's own), the result of check_dir for TEMP, or USBDRV_ERR_RESOURCE (also for a TEMP
// too long to hold the file's name: a cut name would be some other file). A failure leaves the
// record as it was.
//
// The process keeps the last record read of each kind: get_version_info serves it without
// reading, read_version_info reads anew (what a preparation does, so that its INF states what it
// read itself) and keeps what it read. Threads may ask at the same time.
usbdrv_result get_version_info(int32_t kind, VS_FIXEDFILEINFO* record);
usbdrv_result read_version_info(int32_t kind, VS_FIXEDFILEINFO* record);

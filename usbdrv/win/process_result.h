// The result code for a child process's exit code.
#pragma once

#include <windows.h>

#include "usbdrv/usbdrv.h"

// 0 gives USBDRV_OK, a running process USBDRV_ERR_TIMEOUT, anything else (or an unreadable
// code) USBDRV_ERR_OTHER.
usbdrv_result exit_code_to_result(HANDLE process);

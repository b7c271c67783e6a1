// The result code for a child process's exit code.
#pragma once

#include <cstdint>

#include "usbdrv/usbdrv.h"

// The exit code of a process that has not ended (STILL_ACTIVE).
constexpr uint32_t kStillActive = 259;

// 0 gives USBDRV_OK, a process that has not ended USBDRV_ERR_TIMEOUT, any other code
// USBDRV_ERR_OTHER.
usbdrv_result result_of_exit_code(uint32_t code);

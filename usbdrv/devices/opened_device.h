// One device opened by its instance ID, in a device information set of its own: what the calls
// about one device (its state, its uninstall) share.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "win/handles.h"

struct opened_device {
    unique_device_info_set set;
    SP_DEVINFO_DATA data = {};
};

// An ID a device can have: not null, not empty (that would name the root of the device tree)
// and at most 199 characters. Logs what is wrong under `caller`.
bool check_instance_id(const char* instance_id, const char* caller);

// Which step of open_device failed, for the caller's log line and result.
enum class open_step { ok, create_set, unknown_device, open };

// Opens the device; on failure `error` is the Windows error of the failed step.
open_step open_device(const char* instance_id, opened_device& device, DWORD& error);

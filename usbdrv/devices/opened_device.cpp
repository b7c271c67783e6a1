#include "devices/opened_device.h"

#include <cfgmgr32.h>

#include <cstring>

#include "base/log.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"

namespace {

// MAX_DEVICE_ID_LEN counts the terminator.
constexpr size_t kInstanceIdMax = MAX_DEVICE_ID_LEN - 1;

}  // namespace

bool check_instance_id(const char* instance_id, const char* caller) {
    if (!instance_id || !*instance_id) {
        usbdrv_log(USBDRV_LOG_ERROR, caller, "no device instance ID");
        return false;
    }
    if (strnlen(instance_id, kInstanceIdMax + 1) > kInstanceIdMax) {
        usbdrv_log(USBDRV_LOG_ERROR, caller,
                   "a device instance ID has at most %u characters, not '%.40s...'",
                   (unsigned)kInstanceIdMax, instance_id);
        return false;
    }
    return true;
}

open_step open_device(const char* instance_id, opened_device& device, DWORD& error) {
    device.set.reset(imports.SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!device.set) {
        error = GetLastError();
        return open_step::create_set;
    }
    unique_malloc<wchar_t> wide(utf8_to_utf16(instance_id));
    device.data.cbSize = sizeof device.data;
    if (wide &&
        imports.SetupDiOpenDeviceInfoW(device.set.get(), wide.get(), nullptr, 0, &device.data))
        return open_step::ok;
    error = wide ? GetLastError() : ERROR_INVALID_DEVINST_NAME;
    return error == ERROR_NO_SUCH_DEVINST || error == ERROR_INVALID_DEVINST_NAME
               ? open_step::unknown_device
               : open_step::open;
}

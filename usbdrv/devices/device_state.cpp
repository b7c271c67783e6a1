// What a program asks the machine after an installation, or before it starts one: the state of
// one device (its service, its port, its node's restart flag, whether it is connected), and
// whether an installation runs. The programs print these; they make no setup or registry calls
// of their own.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "base/log.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"

// The record crosses the boundary with the same layout in both builds: no pointers in it.
static_assert(offsetof(usbdrv_device_state, present) == 0);
static_assert(offsetof(usbdrv_device_state, needs_restart) == 4);
static_assert(offsetof(usbdrv_device_state, service) == 8);
static_assert(offsetof(usbdrv_device_state, port_name) == 264);
static_assert(sizeof(usbdrv_device_state) == 328);

namespace {

const char* const kCaller = "usbdrv_get_device_state";

// MAX_DEVICE_ID_LEN counts the terminator.
constexpr size_t kInstanceIdMax = MAX_DEVICE_ID_LEN - 1;

// Units the system may fill; one more unit, never given to it, ends a text stored without its
// terminator. A service name has at most 256 characters; a port name longer than the record's
// field does not fit anyway, and one unit more tells that it is longer.
constexpr DWORD kServiceUnits = 256;
constexpr DWORD kPortUnits = sizeof(usbdrv_device_state::port_name);

// A UTF-16 text into a field of the record, whole or not at all.
template <size_t N>
bool copy_field(char (&field)[N], const wchar_t* text) {
    unique_malloc<char> utf8(utf16_to_utf8(text));
    size_t length = utf8 ? strlen(utf8.get()) : 0;
    if (length >= N)
        return false;
    memcpy(field, utf8 ? utf8.get() : "", length + 1);
    return true;
}

// The device, opened in a set of its own.
struct opened_device {
    unique_device_info_set set;
    SP_DEVINFO_DATA data = {};
};

usbdrv_result open_device(const char* instance_id, opened_device& device) {
    device.set.reset(SetupDiCreateDeviceInfoList(nullptr, nullptr));
    if (!device.set) {
        DWORD error = GetLastError();
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create a device set: %s");
        return USBDRV_ERR_RESOURCE;
    }
    unique_malloc<wchar_t> wide(utf8_to_utf16(instance_id));
    device.data.cbSize = sizeof device.data;
    if (wide && SetupDiOpenDeviceInfoW(device.set.get(), wide.get(), nullptr, 0, &device.data))
        return USBDRV_OK;
    DWORD error = wide ? GetLastError() : ERROR_INVALID_DEVINST_NAME;
    if (error == ERROR_NO_SUCH_DEVINST || error == ERROR_INVALID_DEVINST_NAME) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "the system knows no device '%s'", instance_id);
        return USBDRV_ERR_NO_DEVICE;
    }
    LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not open device '%s': %s",
                     instance_id);
    return USBDRV_ERR_IO;
}

// A device without a driver has no service: that is no failure.
usbdrv_result read_service(opened_device& device, const char* instance_id,
                           usbdrv_device_state& state) {
    wchar_t service[kServiceUnits + 1] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(device.set.get(), &device.data, SPDRP_SERVICE, nullptr,
                                           reinterpret_cast<BYTE*>(service),
                                           kServiceUnits * sizeof(wchar_t), nullptr)) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_DATA)
            return USBDRV_OK;
        LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error,
                         "could not read the service of device '%s': %s", instance_id);
        return USBDRV_ERR_IO;
    }
    if (!copy_field(state.service, service)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "the service of device '%s' is too long",
                   instance_id);
        return USBDRV_ERR_IO;
    }
    return USBDRV_OK;
}

// The serial driver writes the COM port into the device key; a device of another driver has
// none. Only a text is a port name, and only a whole one: a cut name would name another port.
void read_port_name(opened_device& device, const char* instance_id, usbdrv_device_state& state) {
    unique_hkey key(SetupDiOpenDevRegKey(device.set.get(), &device.data, DICS_FLAG_GLOBAL, 0,
                                         DIREG_DEV, KEY_READ));
    if (!key) {
        DWORD error = GetLastError();
        if (error != ERROR_KEY_DOES_NOT_EXIST && error != ERROR_FILE_NOT_FOUND) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCaller, error,
                             "could not open the device key of device '%s': %s", instance_id);
        }
        return;
    }
    wchar_t port[kPortUnits + 1] = {};
    DWORD type = 0;
    DWORD size = kPortUnits * sizeof(wchar_t);
    LSTATUS status = RegQueryValueExW(key.get(), L"PortName", nullptr, &type,
                                      reinterpret_cast<BYTE*>(port), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status == ERROR_MORE_DATA) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the port name of device '%s' is longer than %u characters: left out",
                   instance_id, (unsigned)(kPortUnits - 1));
        return;
    }
    if (status != ERROR_SUCCESS) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCaller, (DWORD)status,
                         "could not read the port name of device '%s': %s", instance_id);
        return;
    }
    if (type != REG_SZ) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the port name of device '%s' is not a text (type %lu): left out", instance_id,
                   (unsigned long)type);
        return;
    }
    if (!copy_field(state.port_name, port)) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the port name of device '%s' is longer than %u bytes: left out", instance_id,
                   (unsigned)(kPortUnits - 1));
    }
}

// A node the configuration manager does not have is a device that is not connected.
usbdrv_result read_node_status(opened_device& device, const char* instance_id,
                               usbdrv_device_state& state) {
    auto get_status = imports.CM_Get_DevNode_Status.get(kCaller);
    if (!get_status)
        return USBDRV_ERR_RESOURCE;
    ULONG status = 0;
    ULONG problem = 0;
    CONFIGRET cr = get_status(&status, &problem, device.data.DevInst, 0);
    if (cr == CR_NO_SUCH_DEVNODE)
        return USBDRV_OK;
    if (cr != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "could not read the node status of device '%s': CR error %lu", instance_id,
                   (unsigned long)cr);
        return USBDRV_ERR_IO;
    }
    state.present = 1;
    state.needs_restart = (status & DN_NEED_RESTART) ? 1 : 0;
    return USBDRV_OK;
}

}  // namespace

usbdrv_result usbdrv_get_device_state(const char* instance_id, usbdrv_device_state* state) {
    if (!state) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no record to fill");
        return USBDRV_ERR_INVALID_PARAM;
    }
    memset(state, 0, sizeof *state);
    // An empty ID would name the root of the device tree.
    if (!instance_id || !*instance_id) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller, "no device instance ID");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (strnlen(instance_id, kInstanceIdMax + 1) > kInstanceIdMax) {
        usbdrv_log(USBDRV_LOG_ERROR, kCaller,
                   "a device instance ID has at most %u characters, not '%.40s...'",
                   (unsigned)kInstanceIdMax, instance_id);
        return USBDRV_ERR_INVALID_PARAM;
    }

    opened_device device;
    if (usbdrv_result r = open_device(instance_id, device))
        return r;
    // Each part is read whatever the others gave; the first failure is the answer.
    usbdrv_result result = read_service(device, instance_id, *state);
    read_port_name(device, instance_id, *state);
    usbdrv_result status = read_node_status(device, instance_id, *state);
    return result != USBDRV_OK ? result : status;
}

int32_t usbdrv_installation_running(void) {
    return busy_marker::held(kInstallationMarker) ? 1 : 0;
}

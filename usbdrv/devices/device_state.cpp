// What a program asks the machine after an installation, or before it starts one: the state of
// one device (its service, its port, the package its driver came from, its node's restart flag,
// whether it is connected), and whether an installation runs. The programs print these; they
// make no setup or registry calls of their own. The record's layout is checked in
// base/record_layout.cpp.
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>

#include "base/log.h"
#include "devices/opened_device.h"
#include "usbdrv/usbdrv.h"
#include "win/busy_marker.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"

namespace {

const char* const kCaller = "usbdrv_get_device_state";

// Units the system may fill; one more unit, never given to it, ends a text stored without its
// terminator. A service name has at most 256 characters; a port or INF name longer than the
// record's field does not fit anyway, and one unit more tells that it is longer.
constexpr DWORD kServiceUnits = 256;
constexpr DWORD kPortUnits = sizeof(usbdrv_device_state::port_name);
constexpr DWORD kInfUnits = sizeof(usbdrv_device_state::inf_name);
static_assert(kPortUnits == kInfUnits, "one buffer size serves both values");

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

usbdrv_result open_known_device(const char* instance_id, opened_device& device) {
    DWORD error = ERROR_SUCCESS;
    switch (open_device(instance_id, device, error)) {
        case open_step::ok:
            return USBDRV_OK;
        case open_step::create_set:
            LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not create a device set: %s");
            return USBDRV_ERR_RESOURCE;
        case open_step::unknown_device:
            usbdrv_log(USBDRV_LOG_ERROR, kCaller, "the system knows no device '%s'", instance_id);
            return USBDRV_ERR_NO_DEVICE;
        case open_step::open:
            break;
    }
    LOG_SYSTEM_ERROR(USBDRV_LOG_ERROR, kCaller, error, "could not open device '%s': %s",
                     instance_id);
    return USBDRV_ERR_IO;
}

// A device without a driver has no service: that is no failure.
usbdrv_result read_service(opened_device& device, const char* instance_id,
                           usbdrv_device_state& state) {
    wchar_t service[kServiceUnits + 1] = {};
    if (!imports.SetupDiGetDeviceRegistryPropertyW(device.set.get(), &device.data, SPDRP_SERVICE,
                                                   nullptr, reinterpret_cast<BYTE*>(service),
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

// A text value of one of the device's keys into a field of the record. Only a text is taken,
// and only a whole one: a cut port name would name another port, a cut INF name another
// package. A key or value that is not there is no failure; one that cannot be read is a
// warning, and the field stays empty.
template <size_t N>
void read_key_text(opened_device& device, DWORD key_type, const wchar_t* value_name,
                   const char* what, const char* instance_id, char (&field)[N]) {
    static_assert(N == kPortUnits, "the buffer below holds one unit more than the field");
    unique_registry_key key(imports.SetupDiOpenDevRegKey(device.set.get(), &device.data,
                                                         DICS_FLAG_GLOBAL, 0, key_type, KEY_READ));
    if (!key) {
        DWORD error = GetLastError();
        if (error != ERROR_KEY_DOES_NOT_EXIST && error != ERROR_FILE_NOT_FOUND) {
            LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCaller, error,
                             "could not open the %s key of device '%s': %s",
                             key_type == DIREG_DRV ? "driver" : "device", instance_id);
        }
        return;
    }
    wchar_t text[N + 1] = {};
    DWORD type = 0;
    DWORD size = N * sizeof(wchar_t);
    LSTATUS status =
        imports.RegQueryValueExW.call_or(ERROR_PROC_NOT_FOUND, key.get(), value_name, nullptr,
                                         &type, reinterpret_cast<BYTE*>(text), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return;
    if (status == ERROR_MORE_DATA) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the %s of device '%s' is longer than %u characters: left out", what,
                   instance_id, (unsigned)(N - 1));
        return;
    }
    if (status != ERROR_SUCCESS) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCaller, (DWORD)status,
                         "could not read the %s of device '%s': %s", what, instance_id);
        return;
    }
    if (type != REG_SZ) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the %s of device '%s' is not a text (type %lu): left out", what, instance_id,
                   (unsigned long)type);
        return;
    }
    if (!copy_field(field, text)) {
        usbdrv_log(USBDRV_LOG_WARNING, kCaller,
                   "the %s of device '%s' is longer than %u bytes: left out", what, instance_id,
                   (unsigned)(N - 1));
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
    if (!check_instance_id(instance_id, kCaller))
        return USBDRV_ERR_INVALID_PARAM;

    opened_device device;
    if (usbdrv_result r = open_known_device(instance_id, device))
        return r;
    // Each part is read whatever the others gave; the first failure is the answer.
    usbdrv_result result = read_service(device, instance_id, *state);
    // The serial driver writes the COM port into the device key; a device of another driver has
    // none. The driver key names the package the driver came from.
    read_key_text(device, DIREG_DEV, L"PortName", "port name", instance_id, state->port_name);
    read_key_text(device, DIREG_DRV, L"InfPath", "INF name", instance_id, state->inf_name);
    usbdrv_result status = read_node_status(device, instance_id, *state);
    return result != USBDRV_OK ? result : status;
}

int32_t usbdrv_installation_running(void) {
    return busy_marker::held(kInstallationMarker) ? 1 : 0;
}

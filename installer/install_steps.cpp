#include "install_steps.h"

#include <windows.h>
#include <cfgmgr32.h>
#include <regstr.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "base/install_errors.h"
#include "base/log.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/windows_error.h"

namespace {

constexpr char kInitDlls[] = "init_installer_dlls";
constexpr char kMapError[] = "map_install_error";
constexpr char kReenumerate[] = "reenumerate_device";
constexpr char kFlagRemoved[] = "flag_removed_devices";

// The records the configuration manager and setupapi are handed, as each build lays them out.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "SP_DEVINFO_DATA of the 64-bit system");
#else
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "SP_DEVINFO_DATA of the 32-bit system");
#endif
static_assert(sizeof(DEVINST) == 4 && sizeof(CONFIGRET) == 4, "node handles are 32-bit");

constexpr DWORD kHardwareIdBytes = 256;

}  // namespace

bool init_installer_dlls() {
    if (!look_up_all(kInitDlls, imports.CM_Locate_DevNodeA, imports.CM_Reenumerate_DevNode,
                     imports.CM_Get_DevNode_Status)) {
        return false;
    }
    imports.__wgetmainargs.get_quietly();
    return true;
}

usbdrv_result map_install_error(uint32_t code, const char* inf_path) {
    install_error error = describe_install_error(code, inf_path);
    const int level = error.result == USBDRV_OK ? USBDRV_LOG_INFO : USBDRV_LOG_ERROR;
    for (const std::string& line : error.lines)
        usbdrv_log(level, kMapError, "%s", line.c_str());
    if (error.unlisted)
        usbdrv_log(level, kMapError, "%s", install_error_text(code));
    return error.result;
}

int reenumerate_device(const char* device_id) {
    const char* shown = device_id ? device_id : "<root>";
    usbdrv_log(USBDRV_LOG_INFO, kReenumerate, "re-enumerating driver node %s...", shown);
    auto locate = imports.CM_Locate_DevNodeA.get(kReenumerate);
    auto reenumerate = imports.CM_Reenumerate_DevNode.get(kReenumerate);
    if (!locate || !reenumerate)
        return -1;
    // The configuration manager takes a writable text; it gets a copy.
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (device_id)
        snprintf(id, sizeof id, "%s", device_id);
    DEVINST node = 0;
    CONFIGRET located = locate(&node, device_id ? id : nullptr, CM_LOCATE_DEVNODE_NORMAL);
    if (located != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kReenumerate, "failed to locate device_id %s: %x\n", shown,
                   static_cast<unsigned>(located));
        return -1;
    }
    CONFIGRET done = reenumerate(node, CM_REENUMERATE_RETRY_INSTALLATION);
    if (done != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kReenumerate, "failed to re-enumerate device node: CR code %X",
                   static_cast<unsigned>(done));
        return -1;
    }
    usbdrv_log(USBDRV_LOG_INFO, kReenumerate, "re-enumeration succeeded...");
    return 0;
}

void flag_removed_devices(const char* hardware_id) {
    auto get_class_devs = imports.SetupDiGetClassDevsA.get_quietly();
    auto enum_device = imports.SetupDiEnumDeviceInfo.get_quietly();
    auto get_property = imports.SetupDiGetDeviceRegistryPropertyA.get_quietly();
    auto set_property = imports.SetupDiSetDeviceRegistryPropertyA.get_quietly();
    auto node_status = imports.CM_Get_DevNode_Status.get_quietly();
    if (!get_class_devs || !enum_device || !get_property || !set_property || !node_status)
        return;
    unique_device_info_set devices(get_class_devs(nullptr, "USB", nullptr, DIGCF_ALLCLASSES));
    if (!devices)
        return;
    const char* wanted = hardware_id ? hardware_id : "<NULL>";
    int flagged = 0;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD index = 0; enum_device(devices.get(), index, &device); index++) {
        // One byte more than is read, so that a property that fills the buffer still ends.
        char ids[kHardwareIdBytes + 1] = {};
        if (!get_property(devices.get(), &device, SPDRP_HARDWAREID, nullptr,
                          reinterpret_cast<BYTE*>(ids), kHardwareIdBytes, nullptr)) {
            continue;
        }
        if (strncmp(ids, wanted, kHardwareIdBytes) != 0)
            continue;
        ULONG status = 0;
        ULONG problem = 0;
        if (node_status(&status, &problem, device.DevInst, 0) != CR_NO_SUCH_DEVNODE)
            continue;
        DWORD flags = 0;
        if (!get_property(devices.get(), &device, SPDRP_CONFIGFLAGS, nullptr,
                          reinterpret_cast<BYTE*>(&flags), sizeof flags, nullptr)) {
            usbdrv_log(USBDRV_LOG_WARNING, kFlagRemoved,
                       "could not read SPDRP_CONFIGFLAGS for phantom device %s", wanted);
            continue;
        }
        flags |= CONFIGFLAG_REINSTALL;
        if (!set_property(devices.get(), &device, SPDRP_CONFIGFLAGS,
                          reinterpret_cast<const BYTE*>(&flags), sizeof flags)) {
            usbdrv_log(USBDRV_LOG_WARNING, kFlagRemoved,
                       "could not write SPDRP_CONFIGFLAGS for phantom device %s", wanted);
            continue;
        }
        flagged++;
    }
    if (flagged != 0)
        usbdrv_log(USBDRV_LOG_INFO, kFlagRemoved, "flagged %d removed devices for reinstallation",
                   flagged);
}

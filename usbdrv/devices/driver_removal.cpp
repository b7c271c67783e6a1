// Taking a driver off the machine: a device's driver (the system's device uninstall), a package
// of the driver store, and the scan of the device tree that finds the devices again. The
// console program's uninstall runs them over a fleet; none takes a busy marker, the caller
// decides what may run meanwhile.
#include <windows.h>
#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>

#include "base/log.h"
#include "base/package_values.h"
#include "devices/opened_device.h"
#include "usbdrv/usbdrv.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"

namespace {

const char* const kUninstall = "usbdrv_uninstall_device";
const char* const kDelete = "usbdrv_delete_driver_package";
const char* const kRescan = "usbdrv_rescan_devices";

// The store's names are file names, which the system compares without case: "OEM3.INF" as
// typed names the same package as "oem3.inf".
bool ends_in_inf(const char* name) {
    size_t length = strlen(name);
    return length > 4 && name[length - 4] == '.' && (name[length - 3] | 0x20) == 'i' &&
           (name[length - 2] | 0x20) == 'n' && (name[length - 1] | 0x20) == 'f';
}

// windows_error_text tags its text "[#%08X]" only when the system has a text for the code, and
// the setup errors (0xE...) have none under their own code. The front ends find the Windows
// error behind a failure by that tag, so these lines always carry it.
const char* tagged_error_text(DWORD error) {
    thread_local char tagged[320];
    const char* text = windows_error_text(error);
    if (strncmp(text, "[#", 2) == 0)
        return text;
    snprintf(tagged, sizeof tagged, "[#%08lX] %s", (unsigned long)error, text);
    return tagged;
}

}  // namespace

// LOG_SYSTEM_ERROR at error level, with the tag whatever the code.
#define LOG_TAGGED_ERROR(caller, error, format, ...) \
    usbdrv_log(USBDRV_LOG_ERROR, (caller), format, ##__VA_ARGS__, tagged_error_text(error))

usbdrv_result usbdrv_uninstall_device(const char* instance_id, int32_t* needs_restart) {
    if (needs_restart)
        *needs_restart = 0;
    if (!check_instance_id(instance_id, kUninstall))
        return USBDRV_ERR_INVALID_PARAM;
    // Windows 7 brought the device uninstall to newdev.dll; before it there is no such call.
    auto uninstall = imports.DiUninstallDevice.get(kUninstall);
    if (!uninstall) {
        usbdrv_log(USBDRV_LOG_ERROR, kUninstall,
                   "this system cannot uninstall device '%s' (Windows 7 and later can)",
                   instance_id);
        return USBDRV_ERR_NOT_SUPPORTED;
    }

    opened_device device;
    DWORD error = ERROR_SUCCESS;
    switch (open_device(instance_id, device, error)) {
        case open_step::ok:
            break;
        case open_step::create_set:
            LOG_TAGGED_ERROR(kUninstall, error,
                             "could not create a device set to uninstall device '%s': %s",
                             instance_id);
            return USBDRV_ERR_RESOURCE;
        case open_step::unknown_device:
            usbdrv_log(USBDRV_LOG_ERROR, kUninstall, "the system knows no device '%s'",
                       instance_id);
            return USBDRV_ERR_NO_DEVICE;
        case open_step::open:
            LOG_TAGGED_ERROR(kUninstall, error, "could not open device '%s' to uninstall it: %s",
                             instance_id);
            return error == ERROR_ACCESS_DENIED ? USBDRV_ERR_NEEDS_ADMIN : USBDRV_ERR_OTHER;
    }

    BOOL reboot = FALSE;
    if (!uninstall(nullptr, device.set.get(), &device.data, 0, &reboot)) {
        error = GetLastError();
        // Done, but only a restart finishes it: a success, told as one.
        if (error == ERROR_SUCCESS_REBOOT_REQUIRED) {
            reboot = TRUE;
        } else {
            LOG_TAGGED_ERROR(kUninstall, error, "could not uninstall device '%s': %s", instance_id);
            if (error == ERROR_ACCESS_DENIED)
                return USBDRV_ERR_NEEDS_ADMIN;
            // Removed by somebody else since it was opened.
            if (error == ERROR_NO_SUCH_DEVINST)
                return USBDRV_ERR_NO_DEVICE;
            return USBDRV_ERR_OTHER;
        }
    }
    if (needs_restart)
        *needs_restart = reboot ? 1 : 0;
    usbdrv_log(USBDRV_LOG_INFO, kUninstall, "uninstalled device '%s'%s", instance_id,
               reboot ? "; Windows must be restarted to finish" : "");
    return USBDRV_OK;
}

usbdrv_result usbdrv_delete_driver_package(const char* published_name) {
    if (!published_name || !*published_name) {
        usbdrv_log(USBDRV_LOG_ERROR, kDelete, "no package name");
        return USBDRV_ERR_INVALID_PARAM;
    }
    if (strnlen(published_name, MAX_PATH + 1) > MAX_PATH) {
        usbdrv_log(USBDRV_LOG_ERROR, kDelete,
                   "a package name has at most %u characters, not '%.40s...'", (unsigned)MAX_PATH,
                   published_name);
        return USBDRV_ERR_INVALID_PARAM;
    }
    // The store's own name of the package: a path would name some other file.
    if (!is_bare_file_name(published_name) || !ends_in_inf(published_name)) {
        usbdrv_log(USBDRV_LOG_ERROR, kDelete,
                   "'%s' is not the name of a package in the driver store (a file name ending in "
                   "\".inf\", without a path)",
                   published_name);
        return USBDRV_ERR_INVALID_PARAM;
    }
    unique_malloc<wchar_t> wide(utf8_to_utf16(published_name));
    if (!wide) {
        usbdrv_log(USBDRV_LOG_ERROR, kDelete, "the package name '%s' is not valid UTF-8",
                   published_name);
        return USBDRV_ERR_INVALID_PARAM;
    }
    auto uninstall_inf = imports.SetupUninstallOEMInfW.get(kDelete);
    if (!uninstall_inf)
        return USBDRV_ERR_RESOURCE;
    // Never forced: the devices that use a package keep it.
    if (uninstall_inf(wide.get(), 0, nullptr)) {
        usbdrv_log(USBDRV_LOG_INFO, kDelete, "deleted package '%s' from the driver store",
                   published_name);
        return USBDRV_OK;
    }
    DWORD error = GetLastError();
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            LOG_TAGGED_ERROR(kDelete, error, "the driver store has no package '%s': %s",
                             published_name);
            return USBDRV_ERR_NOT_FOUND;
        case ERROR_INF_IN_USE_BY_DEVICES:
            LOG_TAGGED_ERROR(kDelete, error, "package '%s' is in use by devices and stays: %s",
                             published_name);
            return USBDRV_ERR_BUSY;
        default:
            LOG_TAGGED_ERROR(kDelete, error,
                             "could not delete package '%s' from the driver store: %s",
                             published_name);
            return error == ERROR_ACCESS_DENIED ? USBDRV_ERR_NEEDS_ADMIN : USBDRV_ERR_OTHER;
    }
}

usbdrv_result usbdrv_rescan_devices(void) {
    auto locate = imports.CM_Locate_DevNodeA.get(kRescan);
    auto reenumerate = imports.CM_Reenumerate_DevNode.get(kRescan);
    if (!locate || !reenumerate)
        return USBDRV_ERR_RESOURCE;
    DEVINST root = 0;
    CONFIGRET cr = locate(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL);
    if (cr != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kRescan,
                   "could not locate the root of the device tree: CR error %lu", (unsigned long)cr);
        return USBDRV_ERR_OTHER;
    }
    // Synchronous, so that the devices are found when the call returns; a retried installation
    // gives a device without a driver the store's best one.
    cr = reenumerate(root, CM_REENUMERATE_SYNCHRONOUS | CM_REENUMERATE_RETRY_INSTALLATION);
    if (cr != CR_SUCCESS) {
        usbdrv_log(USBDRV_LOG_ERROR, kRescan, "could not scan the device tree: CR error %lu",
                   (unsigned long)cr);
        return USBDRV_ERR_OTHER;
    }
    usbdrv_log(USBDRV_LOG_INFO, kRescan, "scanned the device tree again");
    return USBDRV_OK;
}

// newdev.dll of the simulated machine (tests/sim/README.md): the driver update and the device
// uninstall. The update installs a package on every present device that has the hardware ID: the
// INF goes into the driver store, each device is bound to the INF's service with its driver
// version in the machine's state, and the setup log grows while it works, as the system's does.
// The uninstall removes a device's node and what installations left on it.
#define _NEWDEV_
#include <windows.h>
#include <newdev.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "driver_store.h"
#include "install_parts.h"
#include "sim_state.h"

namespace {

using sim::journal;

// Outcomes that still leave the driver on the devices: a reboot finishes the installation, or
// the driver was there already.
constexpr DWORD kAlreadyInstalled = 0x240006;

bool installs_anyway(DWORD error) {
    return error == ERROR_SUCCESS_REBOOT_REQUIRED || error == kAlreadyInstalled;
}

BOOL update_driver(const std::wstring* hardware_id, const std::wstring* inf, DWORD flags,
                   BOOL* reboot_required, const char* function) {
    sim::machine_ptr machine;
    {
        sim::state_lock lock;
        machine = sim::refresh_machine();
    }
    const std::optional<uint32_t> failure = machine->failure("install", "update");
    const std::string id = hardware_id ? sim::utf8_of(*hardware_id) : "(null)";
    const std::string path = inf ? sim::utf8_of(*inf) : "(null)";
    constexpr DWORD kKnownFlags =
        INSTALLFLAG_FORCE | INSTALLFLAG_READONLY | INSTALLFLAG_NONINTERACTIVE;

    DWORD error = ERROR_SUCCESS;
    if (!hardware_id || hardware_id->empty() || !inf || inf->empty())
        error = ERROR_INVALID_PARAMETER;
    else if (flags & ~kKnownFlags)
        error = ERROR_INVALID_FLAGS;
    if (error) {
        journal({function, id, path, sim::hex(flags), sim::error_name(error)});
        SetLastError(error);
        return FALSE;
    }

    std::vector<const sim::device*> devices;
    for (const sim::device& d : machine->devices) {
        if (d.present && sim::matches_hardware_id(d, id))
            devices.push_back(&d);
    }
    const unsigned pause = machine->install_duration_ms / 4;

    sim::install_lock install;
    sim::setup_log log;
    log.append(sim::setup_log_section_start(id, sim::setup_log_now()));
    log.append("     ndv: INF path: " + path + "\r\n     ndv: Install flags: " + sim::hex(flags) +
               "\r\n");
    Sleep(pause);

    std::string read_error;
    const std::optional<std::string> bytes = sim::read_file(*inf, read_error);
    std::wstring stored;
    std::string inf_name;
    if (!bytes) {
        error = GetFileAttributesW(inf->c_str()) == INVALID_FILE_ATTRIBUTES &&
                        GetLastError() == ERROR_PATH_NOT_FOUND
                    ? ERROR_PATH_NOT_FOUND
                    : ERROR_FILE_NOT_FOUND;
        log.append("!!!  ndv: Unable to open INF '" + path + "'.\r\n");
    } else if (failure) {
        error = *failure;
    } else if (devices.empty()) {
        error = ERROR_NO_SUCH_DEVINST;
        log.append("     ndv: No devices are present with hardware ID '" + id + "'.\r\n");
    }
    if (error == ERROR_SUCCESS || installs_anyway(error)) {
        const DWORD copied = sim::copy_to_driver_store(*inf, stored);
        if (copied != ERROR_SUCCESS)
            error = copied;
        else
            inf_name = sim::utf8_of(stored.substr(stored.rfind(L'\\') + 1));
    }

    std::vector<std::string> bound;
    log.append_placeholder();
    Sleep(pause);
    std::string lines = "     ndv: Searching for hardware ID(s): " + id + "\r\n";
    if (!inf_name.empty()) {
        lines += "     sto: Driver package added to the driver store as '" + inf_name + "'.\r\n";
        bound = sim::bind_devices(devices, sim::read_inf_facts(sim::inf_text(*bytes)), inf_name,
                                  error == ERROR_SUCCESS_REBOOT_REQUIRED);
        for (const std::string& instance : bound)
            lines += "     ndv: Installing driver on device: " + instance + "\r\n";
    }
    log.replace_placeholder(lines);
    // The last line's break comes later, as when the system is still writing it.
    log.append("     ndv: Install result: ");
    Sleep(pause);
    log.append(error == ERROR_SUCCESS ? "ok\r\n" : sim::hex(error) + "\r\n");
    Sleep(pause);
    log.append(sim::setup_log_section_end(sim::setup_log_now(), error) + "\r\n");

    // A reboot-required success: told through the flag when the caller asks for it.
    if (error == ERROR_SUCCESS_REBOOT_REQUIRED && reboot_required) {
        *reboot_required = TRUE;
        error = ERROR_SUCCESS;
    } else if (reboot_required) {
        *reboot_required = FALSE;
    }
    std::string outcome = error == ERROR_SUCCESS ? "ok" : sim::error_name(error);
    if (failure)
        outcome += " (scenario)";
    if (!inf_name.empty())
        outcome += " " + inf_name + " " + std::to_string(bound.size()) + " devices";
    journal({function, id, path, sim::hex(flags), outcome});
    SetLastError(error);
    return error == ERROR_SUCCESS ? TRUE : FALSE;
}

// The instance ID the set and record name, read through the setupapi.dll loaded in the process
// (the caller's set lives there). This DLL imports nothing of it: see tests/sim/README.md.
DWORD instance_of(HDEVINFO set, PSP_DEVINFO_DATA data, std::string& instance) {
    using get_instance_id = decltype(&SetupDiGetDeviceInstanceIdW);
    HMODULE setupapi = GetModuleHandleW(L"setupapi.dll");
    auto get = setupapi ? reinterpret_cast<get_instance_id>(reinterpret_cast<void*>(
                              GetProcAddress(setupapi, "SetupDiGetDeviceInstanceIdW")))
                        : nullptr;
    // Without a setupapi.dll in the process there is no set either.
    if (!get)
        return ERROR_INVALID_HANDLE;
    wchar_t id[MAX_DEVICE_ID_LEN] = {};
    if (!get(set, data, id, MAX_DEVICE_ID_LEN, nullptr))
        return GetLastError();
    instance = sim::utf8_of(id);
    return ERROR_SUCCESS;
}

BOOL uninstall_device(HDEVINFO set, PSP_DEVINFO_DATA data, DWORD flags, BOOL* need_reboot) {
    std::string instance;
    DWORD error = flags ? ERROR_INVALID_FLAGS : instance_of(set, data, instance);
    std::optional<uint32_t> failure;
    const sim::device* d = nullptr;
    sim::machine_ptr machine;
    if (!error) {
        sim::state_lock lock;
        machine = sim::refresh_machine();
        failure = machine->failure("uninstall", "device");
        for (const sim::device& candidate : machine->devices) {
            if (sim::same_id(candidate.instance, instance))
                d = &candidate;
        }
        // Removed already, by this call or another process's, since the set was made.
        if (!d)
            error = ERROR_NO_SUCH_DEVINST;
    }
    const bool reboot = failure && *failure == ERROR_SUCCESS_REBOOT_REQUIRED;
    if (!error && failure && !reboot)
        error = *failure;
    if (!error) {
        // The node goes, and with it the binding: what the installations wrote is forgotten but
        // the package it came from, so that the next scan can bind it again while the store
        // holds that.
        sim::install_lock install;
        sim::device_state removed;
        removed.removed = true;
        removed.removed_inf = d->inf_name;
        error = sim::write_device_state(d->instance, removed);
    }
    if (need_reboot)
        *need_reboot = !error && reboot ? TRUE : FALSE;
    std::string outcome = error ? sim::error_name(error) : reboot ? "ok reboot" : "ok";
    if (failure)
        outcome += " (scenario)";
    journal(
        {"DiUninstallDevice", instance.empty() ? "(none)" : instance, sim::hex(flags), outcome});
    SetLastError(error);
    return error ? FALSE : TRUE;
}

}  // namespace

extern "C" {

WINBOOL WINAPI DiUninstallDevice(HWND, HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 DWORD Flags, PBOOL NeedReboot) {
    return uninstall_device(DeviceInfoSet, DeviceInfoData, Flags, NeedReboot);
}

WINBOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND, LPCWSTR HardwareId, LPCWSTR FullInfPath,
                                                  DWORD InstallFlags, PBOOL bRebootRequired) {
    const std::wstring id = HardwareId ? HardwareId : L"";
    const std::wstring inf = FullInfPath ? FullInfPath : L"";
    return update_driver(HardwareId ? &id : nullptr, FullInfPath ? &inf : nullptr, InstallFlags,
                         bRebootRequired, "UpdateDriverForPlugAndPlayDevicesW");
}

WINBOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND, LPCSTR HardwareId, LPCSTR FullInfPath,
                                                  DWORD InstallFlags, PBOOL bRebootRequired) {
    const std::wstring id = sim::wide_of_ansi(HardwareId);
    const std::wstring inf = sim::wide_of_ansi(FullInfPath);
    return update_driver(HardwareId ? &id : nullptr, FullInfPath ? &inf : nullptr, InstallFlags,
                         bRebootRequired, "UpdateDriverForPlugAndPlayDevicesA");
}

}  // extern "C"

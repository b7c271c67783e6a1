// newdev.dll of the simulated machine (tests/sim/README.md): the driver update. It installs a
// package on every present device that has the hardware ID: the INF goes into the driver store,
// each device is bound to the INF's service with its driver version in the machine's state, and
// the setup log grows while it works, as the system's does.
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

// The ports class: usbser binds a device there.
constexpr const char* kPortsClass = "{4d36e978-e325-11ce-bfc1-08002be10318}";

// A driver key name of its own for a device of this machine: stable across reinstalls and
// far from the small numbers the system and the scenarios use.
std::string driver_key_for(const std::string& instance) {
    const uint64_t hash =
        sim::stable_hash(sim::utf8_of(sim::state_key_path()) + "|" + sim::id_key(instance));
    char number[8];
    std::snprintf(number, sizeof number, "%04u", static_cast<unsigned>(2000 + hash % 7000));
    return std::string(kPortsClass) + "\\" + number;
}

// The INF's text as UTF-8: INF files are ANSI or UTF-16 with a byte order mark.
std::string inf_text(const std::string& bytes) {
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring wide((bytes.size() - 2) / 2, L'\0');
        std::memcpy(wide.data(), bytes.data() + 2, wide.size() * sizeof(wchar_t));
        return sim::utf8_of(wide);
    }
    return sim::utf8_of(sim::wide_of_ansi(bytes.c_str()));
}

// Binds the devices: the INF's service ("usbser" when it names none) and version, a port name
// kept across reinstalls. Under the install lock. The instance IDs bound, in the file's order.
std::vector<std::string> bind(const std::vector<const sim::device*>& devices,
                              const sim::inf_facts& facts, const std::string& inf_name,
                              bool need_restart) {
    std::vector<std::string> bound;
    sim::device_states states = sim::read_device_states();
    for (const sim::device* d : devices) {
        sim::device_state& state = states[sim::id_key(d->instance)];
        state.service = facts.service.value_or("usbser");
        if (!state.driver)
            state.driver = driver_key_for(d->instance);
        if (facts.driver_version)
            state.driver_version = facts.driver_version;
        if (!state.port_name)
            state.port_name = sim::next_port_name(states);
        state.inf_name = inf_name;
        // Once a restart is due it stays due, whatever installs after it, until the restart
        // (a new machine state).
        state.need_restart = state.need_restart || need_restart;
        if (sim::write_device_state(d->instance, state) == ERROR_SUCCESS)
            bound.push_back(d->instance);
    }
    return bound;
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
        bound = bind(devices, sim::read_inf_facts(inf_text(*bytes)), inf_name,
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

}  // namespace

extern "C" {

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

// The commands that do what the dialog does: list the devices, install the driver on them,
// write the driver package into a folder.
#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "commands.h"
#include "console.h"
#include "device_rules.h"
#include "driver_store.h"
#include "failure_text.h"
#include "full_path.h"
#include "installation_outcome.h"
#include "lifecycle_report.h"
#include "report.h"
#include "stored_inf.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

namespace cli {

const usbdrv_device_entry* package_device::get() {
    entry = package_entry(vid, pid, interface_number, &description[0]);
    entry.is_interface = is_interface;
    return &entry;
}

package_device package_for(const request& req, const usbdrv_device_entry* listed) {
    package_device d;
    if (listed) {
        d.vid = listed->vid;
        d.pid = listed->pid;
        d.interface_number = listed->interface_number;
    } else {
        d.vid = req.has_ids ? req.vid : kPlaceholderVid;
        d.pid = req.has_ids ? req.pid : kPlaceholderPid;
        d.interface_number = req.has_interface ? req.interface_number : kPlaceholderInterface;
    }
    d.description = req.description;
    if (d.description.empty() && listed && listed->description && *listed->description)
        d.description = listed->description;
    if (d.description.empty())
        d.description = kPlaceholderName;
    return d;
}

package_folder installation_folder() {
    std::optional<std::u16string> profile = environment_utf16(L"USERPROFILE");
    std::u16string temp = environment_utf16(L"TEMP").value_or(u"");
    return install_folder(profile ? profile->c_str() : nullptr, temp.c_str());
}

int run_list(const request& req) {
    device_list list;
    usbdrv_result result = list_devices(list);
    if (result != USBDRV_OK)
        return listing_failed(result);
    std::vector<device_view> shown;
    for (const usbdrv_device_entry* e = list.head; e; e = e->next) {
        if (!req.all && !is_cdc_interface(*e))
            continue;
        device_view view = view_of(*e);
        if (is_serial_driver(e->driver_name))
            view.port = device_state(view.instance_id).port_name;
        shown.push_back(view);
    }
    if (req.json) {
        write_out(devices_json(shown));
        return kExitSuccess;
    }
    std::string text = device_heads();
    for (const device_view& view : shown)
        text += device_line(view);
    write_out(text);
    return kExitSuccess;
}

int run_extract(const request& req) {
    // The library gets the system's form of the folder: "sub/dir" and "..\\x" are the user's.
    std::wstring full;
    if (DWORD error = full_path(widen(req.folder), full)) {
        say_error("preparation failed: the folder " + req.folder +
                  " names no path (Windows error " + std::to_string(error) + ")");
        return kExitPrepareFailed;
    }
    // "a/c/" is the folder "a\\c", whose name the lines give without the separator.
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    std::string folder = narrow(full.c_str());
    if (folder.size() >= kLibraryPathMax) {
        say_error(extract_folder_too_long(req.folder, folder.size()));
        return kExitPrepareFailed;
    }
    package_device device = package_for(req, nullptr);
    usbdrv_prepare_options options = package_options();
    start_step();
    usbdrv_result result = usbdrv_prepare_driver(device.get(), folder.c_str(), kInfName, &options);
    if (result != USBDRV_OK) {
        say_error("preparation failed: " + failure_of(failure_step::preparation, result, folder));
        return exit_for_preparation(result);
    }
    report(extracted_line(folder));
    return kExitSuccess;
}

namespace {

// The listed devices the installation targets; with --wait, waits for the first to appear.
// Returns an exit code other than success when there is nothing to install.
int find_targets(const request& req, device_list& list,
                 std::vector<const usbdrv_device_entry*>& found) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(req.wait_seconds);
    bool said_waiting = false;
    for (;;) {
        device_list fresh;
        usbdrv_result result = list_devices(fresh);
        if (result != USBDRV_OK)
            return listing_failed(result);
        for (const usbdrv_device_entry* e = fresh.head; e; e = e->next) {
            // By identifiers, what `list` shows; by instance ID, the device named, which must be
            // one of those too unless --any-device widens it to any USB device.
            bool by_instance = !req.instance_id.empty();
            if (!(by_instance || is_cdc_interface(*e)) || !targets(req, view_of(*e)))
                continue;
            cdc_check check = check_cdc_interface(*e);
            if (by_instance && !req.any_device && check != cdc_check::cdc) {
                say_error(not_cdc_refusal(req.instance_id, check, e->compatible_id));
                return kExitNoDevice;
            }
            found.push_back(e);
        }
        if (!found.empty()) {
            std::swap(list.head, fresh.head);
            return kExitSuccess;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        if (!said_waiting) {
            report(waiting_line(req.wait_seconds));
            said_waiting = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    say_error(kNoMatchingDevice);
    return kExitNoDevice;
}

// A device's outcome: its line for people, or its JSON object for scripts.
void report_result(const request& req, const install_result& r) {
    if (req.json)
        report_json(install_json(r), install_line(r));
    else
        report(install_line(r));
}

// Whether the device is served by the package an installation would give it now.
bool served_now(const request& req, const usbdrv_device_entry& listed, usbdrv_device_state& state) {
    package_device device = package_for(req, &listed);
    state = device_state(listed.device_id ? listed.device_id : "");
    const std::string hardware_id =
        inf_hardware_id(device.vid, device.pid, device.is_interface, device.interface_number);
    return state.present &&
           served_by_same_package(is_serial_driver(state.service), bound_package(state.inf_name),
                                  hardware_id, req.description);
}

// Installs on one device; prepares its package first unless the last one prepared serves, or
// the package folder holds one an earlier run prepared that the library finds unchanged and
// trusted. Without --force a device served by the same package already is left alone; one that this
// run has served meanwhile (a driver update binds every device with its hardware ID) is installed.
int install_one(const request& req, const usbdrv_device_entry& listed, bool served_at_start,
                const std::string& folder, std::string& prepared_for) {
    package_device device = package_for(req, &listed);
    install_result r;
    r.device = view_of(listed);
    const std::string& instance = r.device.instance_id;

    usbdrv_device_state state;
    if (!req.force && served_now(req, listed, state)) {
        r.kind = served_at_start ? install_result::already_installed : install_result::installed;
        r.port = state.port_name;
        r.restart_required = state.needs_restart;
        report_result(req, r);
        return r.restart_required ? kExitRebootRequired : kExitSuccess;
    }

    std::string key = std::to_string(device.vid) + "/" + std::to_string(device.pid) + "/" +
                      std::to_string(device.interface_number) + "/" + device.description;
    if (key != prepared_for) {
        // A preparation would rewrite the package folder that a running installation may be
        // installing from: the machine is busy.
        start_step();
        if (usbdrv_installation_running()) {
            r.result = USBDRV_ERR_BUSY;
            r.text = failure_of(failure_step::installation, r.result, folder);
            report_result(req, r);
            return kExitBusy;
        }
        usbdrv_prepare_options options = package_options();
        // A package an earlier run prepared, still exactly what a preparation writes and still
        // trusted, spares a new key, certificate and signature; --force always prepares.
        if (!req.force && usbdrv_check_prepared_driver(device.get(), folder.c_str(), kInfName,
                                                       &options) == USBDRV_OK) {
            say_info("reusing the driver package prepared in " + folder +
                     " (unchanged, its catalog signed by a certificate both stores still trust)");
            r.result = USBDRV_OK;
        } else {
            start_step();
            r.result = usbdrv_prepare_driver(device.get(), folder.c_str(), kInfName, &options);
        }
        if (r.result != USBDRV_OK) {
            r.kind = install_result::preparation_failed;
            r.text = failure_of(failure_step::preparation, r.result, folder);
            report_result(req, r);
            prepared_for.clear();
            return exit_for_preparation(r.result);
        }
        prepared_for = key;
    }

    // The listed entry carries the instance, hardware and compatible IDs the helper needs; the
    // description is the package's.
    usbdrv_device_entry target = listed;
    target.next = nullptr;
    target.description = &device.description[0];
    usbdrv_install_options options = {};
    start_step();
    r.result = usbdrv_install_driver(&target, folder.c_str(), kInfName, &options);
    if (r.result != USBDRV_OK) {
        r.kind = install_result::installation_failed;
        r.text = failure_of(failure_step::installation, r.result, folder);
        report_result(req, r);
        return exit_for_installation(r.result, false);
    }
    // The helper also reports success when the device was gone by the time of its update and it
    // only stored the package for the device's next plugging in: that is no installed board.
    installation_outcome outcome =
        outcome_of_installation(instance.c_str(), device_state(instance));
    if (outcome.kind == installation_outcome::stored) {
        r.kind = install_result::stored;
        report_result(req, r);
        return kExitNoDevice;
    }
    r.kind = install_result::installed;
    r.port = outcome.port;
    r.restart_required = outcome.needs_restart;
    report_result(req, r);
    return exit_for_installation(r.result, outcome.needs_restart);
}

}  // namespace

int run_install(const request& req) {
    // Settled before the listing and any --wait: a run that cannot prepare says so at once.
    package_folder folder = installation_folder();
    if (folder.outcome != package_folder::ok) {
        say_error(folder_error(folder));
        return kExitPrepareFailed;
    }
    device_list list;
    std::vector<const usbdrv_device_entry*> found;
    int code = find_targets(req, list, found);
    if (code != kExitSuccess)
        return code;
    // What served each device before the run, so that a device served by an update of this run
    // is reported installed, not found so.
    std::vector<bool> served_at_start;
    for (const usbdrv_device_entry* device : found) {
        usbdrv_device_state state;
        served_at_start.push_back(!req.force && served_now(req, *device, state));
    }
    std::string prepared_for;
    for (size_t i = 0; i < found.size(); i++) {
        code = worse_exit(
            code, install_one(req, *found[i], served_at_start[i], folder.path, prepared_for));
        if (code == kExitCancelled)
            break;  // the user said no; asking again for the next board would be nagging
    }
    return code;
}

}  // namespace cli

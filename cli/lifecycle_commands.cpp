// The commands of a driver's life on a machine beyond its installation, for the tools that
// deploy to many machines: staging a package before any board is there, the status a detection
// rule asks for, the removal of Corvane's driver and packages, and of its certificates.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "console.h"
#include "device_rules.h"
#include "driver_store.h"
#include "failure_text.h"
#include "lifecycle_report.h"
#include "report.h"
#include "stored_inf.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

namespace cli {

namespace {

// The hardware IDs a command acts on: VID and PID, and the interface when one is named.
struct hardware_ids {
    uint16_t vid = 0;
    uint16_t pid = 0;
    bool has_interface = false;
    uint8_t interface_number = 0;

    bool matches(const std::string& inf_id) const {
        return hardware_id_matches(inf_id, vid, pid, has_interface, interface_number);
    }
    // As the INFs name it: "USB\VID_C04A&PID_0C02&MI_00".
    std::string text() const { return inf_hardware_id(vid, pid, has_interface, interface_number); }
};

// The listed devices a status or removal is about: by identifiers every USB device with them
// (and the interface, when named), by instance ID the one named.
std::vector<const usbdrv_device_entry*> matching(const request& req, const device_list& list,
                                                 bool cdc_only) {
    std::vector<const usbdrv_device_entry*> found;
    for (const usbdrv_device_entry* e = list.head; e; e = e->next) {
        bool by_instance = !req.instance_id.empty();
        if (cdc_only && !by_instance && !is_cdc_interface(*e))
            continue;
        if (targets(req, view_of(*e)))
            found.push_back(e);
    }
    return found;
}

// Changes that would pull the ground from under a running installation wait for its end.
bool refuse_while_installing(const char* command) {
    if (!usbdrv_installation_running())
        return false;
    start_step();
    say_error(std::string(command) +
              " failed: " + failure_of(failure_step::installation, USBDRV_ERR_BUSY, ""));
    return true;
}

int exit_for_removal(usbdrv_result result) {
    switch (result) {
        case USBDRV_OK:
            return kExitSuccess;
        case USBDRV_ERR_NEEDS_ADMIN:
            return kExitElevationRequired;
        default:  // a package in use (busy) among them: it stays, which its line says
            return kExitInstallFailed;
    }
}

}  // namespace

// --- stage ------------------------------------------------------------------------------------

int run_stage(const request& req) {
    package_folder folder = installation_folder();
    if (folder.outcome != package_folder::ok) {
        say_error(folder_error(folder));
        return kExitPrepareFailed;
    }
    package_device device = package_for(req, nullptr);
    device.is_interface = req.has_interface;
    const std::string hardware_id =
        "USB\\" +
        inf_hardware_id(device.vid, device.pid, device.is_interface, device.interface_number);
    start_step();
    if (usbdrv_installation_running()) {
        report(installation_failed_line(
            hardware_id,
            failure_of(failure_step::installation, USBDRV_ERR_BUSY, folder.path).c_str()));
        return kExitBusy;
    }
    usbdrv_prepare_options prepare = package_options();
    usbdrv_result result =
        usbdrv_prepare_driver(device.get(), folder.path.c_str(), kInfName, &prepare);
    if (result != USBDRV_OK) {
        report(preparation_failed_line(
            hardware_id, failure_of(failure_step::preparation, result, folder.path).c_str()));
        return exit_for_preparation(result);
    }
    // Without a device or hardware ID the installer helper only adds the package to the driver
    // store, where the system finds it when a board is plugged in.
    usbdrv_device_entry package = *device.get();
    package.device_id = nullptr;
    package.hardware_id = nullptr;
    usbdrv_install_options install = {};
    start_step();
    result = usbdrv_install_driver(&package, folder.path.c_str(), kInfName, &install);
    if (result != USBDRV_OK) {
        report(installation_failed_line(
            hardware_id, failure_of(failure_step::installation, result, folder.path).c_str()));
        return exit_for_installation(result, false);
    }
    // The store keeps the INF as it was given: the package's own INF names its copy there.
    std::string published;
    std::optional<std::string> ours = inf_file_text(widen(folder.path + "\\" + kInfName));
    for (const stored_package& p : driver_store_packages()) {
        if (ours && p.text == *ours)
            published = p.published_name;
    }
    if (published.empty())
        say_warning("the driver store's name of the package was not found");
    report(staged_line(hardware_id, published));
    return kExitSuccess;
}

// --- status -----------------------------------------------------------------------------------

int run_status(const request& req) {
    device_list list;
    usbdrv_result result = list_devices(list);
    if (result != USBDRV_OK)
        return listing_failed(result);
    std::vector<const usbdrv_device_entry*> found = matching(req, list, true);
    if (found.empty()) {
        say_error(kNoMatchingDevice);
        return kExitNoDevice;
    }
    int code = kExitSuccess;
    for (const usbdrv_device_entry* e : found) {
        device_status s;
        s.device = view_of(*e);
        usbdrv_device_state state = device_state(s.device.instance_id);
        s.served = state.present && is_serial_driver(state.service);
        if (s.served)
            s.device.port = state.port_name;
        if (state.service[0])
            s.device.driver = state.service;
        s.restart_required = state.needs_restart;
        s.package = state.inf_name;
        s.corvane_package = bound_package(state.inf_name).corvane;
        if (req.json)
            report_json(status_json(s), status_line(s));
        else
            report(status_line(s));
        if (!s.served)
            code = kExitNotServed;
    }
    return code;
}

// --- uninstall --------------------------------------------------------------------------------

int run_uninstall(const request& req) {
    if (!running_elevated()) {
        say_error(elevation_required("uninstall"));
        return kExitElevationRequired;
    }
    if (refuse_while_installing("uninstall"))
        return kExitBusy;
    device_list list;
    usbdrv_result result = list_devices(list);
    if (result != USBDRV_OK)
        return listing_failed(result);
    std::vector<const usbdrv_device_entry*> devices = matching(req, list, false);

    hardware_ids ids{req.vid, req.pid, req.has_interface, req.interface_number};
    if (!req.instance_id.empty()) {
        // The device named gives the hardware ID whose packages go.
        if (devices.empty()) {
            say_error(kNoMatchingDevice);
            return kExitNoDevice;
        }
        const usbdrv_device_entry& named = *devices.front();
        ids = {named.vid, named.pid, named.is_interface == 1, named.interface_number};
    }

    int code = kExitSuccess;
    bool acted = false;
    // First the devices, so that no device of Corvane's holds a package that is to go.
    for (const usbdrv_device_entry* e : devices) {
        const std::string instance = e->device_id ? e->device_id : "";
        usbdrv_device_state state = device_state(instance);
        hardware_ids own{e->vid, e->pid, e->is_interface == 1, e->interface_number};
        inf_facts bound = bound_package(state.inf_name);
        if (!bound.corvane || !same_ignoring_ascii_case(bound.hardware_id, own.text())) {
            report(not_corvane_driver_line(instance, state.service, state.inf_name));
            continue;
        }
        acted = true;
        int32_t restart = 0;
        start_step();
        result = usbdrv_uninstall_device(instance.c_str(), &restart);
        if (result != USBDRV_OK) {
            report(driver_removal_failed_line(instance,
                                              failure_of(failure_step::installation, result, "")));
            code = worse_exit(code, exit_for_removal(result));
            continue;
        }
        report(driver_removed_line(instance, restart != 0));
        if (restart)
            code = worse_exit(code, kExitRebootRequired);
    }
    // Then Corvane's packages for the hardware ID; another maker's stay.
    for (const stored_package& p : driver_store_packages()) {
        inf_facts facts = read_inf_facts(p.text);
        if (!facts.corvane) {
            if (inf_mentions(p.text, ids.text()))
                report(other_maker_package_line(p.published_name, ids.text()));
            continue;
        }
        if (!ids.matches(facts.hardware_id))
            continue;
        acted = true;
        start_step();
        result = usbdrv_delete_driver_package(p.published_name.c_str());
        if (result == USBDRV_OK)
            report(package_deleted_line(p.published_name));
        else if (result == USBDRV_ERR_BUSY)
            report(package_in_use_line(p.published_name));
        else
            report(package_deletion_failed_line(
                p.published_name, failure_of(failure_step::installation, result, "")));
        code = worse_exit(code, exit_for_removal(result));
    }
    if (!acted) {
        say_error(kNothingToUninstall);
        return worse_exit(code, kExitNoDevice);
    }
    // The devices whose driver went are found again, now without Corvane's package.
    start_step();
    result = usbdrv_rescan_devices();
    if (result != USBDRV_OK)
        say_warning("the devices were not scanned again: " +
                    failure_of(failure_step::installation, result, ""));
    return code;
}

// --- certificates -----------------------------------------------------------------------------

namespace {

struct certificate_list {
    usbdrv_certificate_entry* head = nullptr;
    certificate_list() = default;
    certificate_list(const certificate_list&) = delete;
    certificate_list& operator=(const certificate_list&) = delete;
    ~certificate_list() { usbdrv_destroy_certificate_list(head); }
};

}  // namespace

int run_certificates(const request& req) {
    if (req.remove) {
        if (!running_elevated()) {
            say_error(elevation_required("certificates --remove"));
            return kExitElevationRequired;
        }
        // A running installation's package may be signed with one of them.
        if (refuse_while_installing("certificates --remove"))
            return kExitBusy;
    }
    certificate_list list;
    start_step();
    usbdrv_result result = usbdrv_list_certificates(&list.head);
    if (result != USBDRV_OK) {
        say_error("cannot read the machine's certificate stores: " +
                  failure_of(failure_step::installation, result, ""));
        return kExitInstallFailed;
    }
    if (!list.head) {
        report(kNoCertificates);
        return kExitSuccess;
    }
    int code = kExitSuccess;
    for (const usbdrv_certificate_entry* c = list.head; c; c = c->next) {
        if (!req.remove) {
            report(certificate_line(*c));
            continue;
        }
        start_step();
        result = usbdrv_remove_certificate(c);
        // One that is gone already is as removed as one removed now.
        if (result == USBDRV_OK || result == USBDRV_ERR_NOT_FOUND) {
            report(certificate_removed_line(*c));
            continue;
        }
        report(certificate_removal_failed_line(*c,
                                               failure_of(failure_step::installation, result, "")));
        code = worse_exit(code, exit_for_removal(result));
    }
    return code;
}

}  // namespace cli

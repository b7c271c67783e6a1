#include "lifecycle_report.h"

#include "identifiers.h"

namespace cli {

namespace {

const char* kind_name(install_result::kind_type kind) {
    switch (kind) {
        case install_result::installed:
            return "installed";
        case install_result::already_installed:
            return "already_installed";
        case install_result::stored:
            return "stored";
        case install_result::installation_failed:
            return "installation_failed";
        case install_result::preparation_failed:
            return "preparation_failed";
    }
    return "installation_failed";
}

const char* boolean(bool value) {
    return value ? "true" : "false";
}

// The fields every device object starts with, as `list --json` writes them.
std::string device_fields(const device_view& d) {
    std::string out = "{\"instance_id\": " + json_string(d.instance_id) + ", \"vid\": \"" +
                      hex4_text(d.vid) + "\", \"pid\": \"" + hex4_text(d.pid) + "\"";
    if (d.is_interface)
        out += ", \"interface\": " + std::to_string(d.interface_number);
    return out;
}

std::string port_part(const std::string& port, bool restart_required) {
    std::string text = port.empty() ? "" : " (" + port + ")";
    if (restart_required)
        text += ", a reboot is required";
    return text;
}

}  // namespace

std::string install_line(const install_result& r) {
    const std::string& instance = r.device.instance_id;
    switch (r.kind) {
        case install_result::installed:
            return installed_line(instance, r.port, r.restart_required);
        case install_result::already_installed:
            return instance + ": already installed" + port_part(r.port, r.restart_required) + "\n";
        case install_result::stored:
            return stored_line(instance);
        case install_result::installation_failed:
            return installation_failed_line(instance, r.text.c_str());
        case install_result::preparation_failed:
            return preparation_failed_line(instance, r.text.c_str());
    }
    return "";
}

std::string install_json(const install_result& r) {
    std::string out = device_fields(r.device);
    out += std::string(", \"outcome\": \"") + kind_name(r.kind) + "\"";
    out += std::string(", \"changed\": ") + boolean(r.changed());
    if (!r.port.empty())
        out += ", \"port\": " + json_string(r.port);
    out += std::string(", \"restart_required\": ") + boolean(r.restart_required);
    out += ", \"result\": " + std::to_string(r.result);
    out += ", \"result_text\": " + json_string(usbdrv_strerror(r.result));
    return out + "}\n";
}

std::string status_line(const device_status& s) {
    if (s.served)
        return s.device.instance_id + ": served" + port_part(s.device.port, s.restart_required) +
               "\n";
    return s.device.instance_id + ": not served (driver: " +
           (s.device.driver.empty() ? std::string("none") : s.device.driver) + ")\n";
}

std::string status_json(const device_status& s) {
    std::string out = device_fields(s.device);
    out += std::string(", \"served\": ") + boolean(s.served);
    if (!s.device.driver.empty())
        out += ", \"driver\": " + json_string(s.device.driver);
    if (!s.device.port.empty())
        out += ", \"port\": " + json_string(s.device.port);
    out += std::string(", \"restart_required\": ") + boolean(s.restart_required);
    if (!s.package.empty())
        out += ", \"package\": " + json_string(s.package);
    out += std::string(", \"corvane_package\": ") + boolean(s.corvane_package);
    return out + "}\n";
}

std::string staged_line(const std::string& hardware_id, const std::string& published_name) {
    if (published_name.empty())
        return hardware_id + ": stored in the driver store\n";
    return hardware_id + ": stored in the driver store as " + published_name + "\n";
}

std::string driver_removed_line(const std::string& instance, bool restart_required) {
    return instance + ": driver removed" + (restart_required ? ", a reboot is required" : "") +
           "\n";
}

std::string driver_removal_failed_line(const std::string& instance, const std::string& text) {
    return instance + ": driver removal failed: " + text + "\n";
}

std::string not_corvane_driver_line(const std::string& instance, const std::string& service,
                                    const std::string& package) {
    if (service.empty())
        return instance + ": no driver - nothing to remove\n";
    return instance + ": its driver (" + service + (package.empty() ? "" : ", " + package) +
           ") is not Corvane's - left alone\n";
}

std::string package_deleted_line(const std::string& published_name) {
    return published_name + ": deleted from the driver store\n";
}

std::string package_in_use_line(const std::string& published_name) {
    return published_name +
           ": still in use by other devices - left in the driver store (uninstall them first)\n";
}

std::string package_deletion_failed_line(const std::string& published_name,
                                         const std::string& text) {
    return published_name + ": deletion from the driver store failed: " + text + "\n";
}

std::string other_maker_package_line(const std::string& published_name,
                                     const std::string& hardware_id) {
    return published_name + ": another maker's package for USB\\" + hardware_id + " - left alone\n";
}

std::string certificate_line(const usbdrv_certificate_entry& c) {
    return std::string(c.store) + ": " + c.subject + " (thumbprint " + c.thumbprint +
           ", valid until " + c.not_after + " UTC)\n";
}

std::string certificate_removed_line(const usbdrv_certificate_entry& c) {
    return std::string(c.store) + ": " + c.subject + " (thumbprint " + c.thumbprint +
           "): removed\n";
}

std::string certificate_removal_failed_line(const usbdrv_certificate_entry& c,
                                            const std::string& text) {
    return std::string(c.store) + ": " + c.subject + " (thumbprint " + c.thumbprint +
           "): removal failed: " + text + "\n";
}

std::string elevation_required(const char* command) {
    return std::string(command) +
           " needs administrator rights: run it from an elevated console (Run as "
           "administrator); nothing was changed";
}

}  // namespace cli

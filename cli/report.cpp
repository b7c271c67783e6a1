#include "report.h"

#include <cstdio>

#include "device_rules.h"
#include "identifiers.h"
#include "utf16_text.h"

namespace cli {

int exit_for_listing(usbdrv_result result) {
    if (result == USBDRV_OK)
        return kExitSuccess;
    return result == USBDRV_ERR_BUSY ? kExitBusy : kExitInstallFailed;
}

int exit_for_preparation(usbdrv_result result) {
    if (result == USBDRV_OK)
        return kExitSuccess;
    return result == USBDRV_ERR_BUSY ? kExitBusy : kExitPrepareFailed;
}

int exit_for_installation(usbdrv_result result, bool needs_restart) {
    switch (result) {
        case USBDRV_OK:
            return needs_restart ? kExitRebootRequired : kExitSuccess;
        case USBDRV_ERR_BUSY:
            return kExitBusy;
        case USBDRV_ERR_USER_CANCEL:
            return kExitCancelled;
        case USBDRV_ERR_NO_DEVICE:  // unplugged between the listing and the installation
            return kExitNoDevice;
        default:
            return kExitInstallFailed;
    }
}

int worse_exit(int a, int b) {
    // Worst first. A failed installation outranks the rest: it is the one a line must look at.
    static const int order[] = {
        kExitBadArguments, kExitElevationRequired, kExitInstallFailed, kExitPrepareFailed,
        kExitBusy,         kExitCancelled,         kExitNotServed,     kExitNoDevice,
        kExitLogFailed,    kExitRebootRequired,    kExitSuccess};
    for (int code : order) {
        if (a == code || b == code)
            return code;
    }
    return a;
}

std::string version_text(uint64_t version) {
    if (version == 0)
        return "";
    char text[32];
    snprintf(text, sizeof text, "%u.%u.%u.%u", static_cast<unsigned>(version >> 48 & 0xFFFF),
             static_cast<unsigned>(version >> 32 & 0xFFFF),
             static_cast<unsigned>(version >> 16 & 0xFFFF),
             static_cast<unsigned>(version & 0xFFFF));
    return text;
}

namespace {

std::string text_or_empty(const char* text) {
    return text ? text : "";
}

// An interface number as device IDs write it after "MI_".
std::string interface_text(uint8_t number) {
    char text[8];
    snprintf(text, sizeof text, "%.2X", static_cast<unsigned>(number));
    return text;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// The length of the UTF-8 sequence at text[i], or 0 when it is not one.
size_t utf8_sequence(const std::string& text, size_t i) {
    auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    unsigned char lead = byte(i);
    size_t length;
    unsigned min;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    unsigned code = lead & (0x7F >> length);
    for (size_t k = 1; k < length; k++) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (byte(i + k) & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

}  // namespace

device_view view_of(const usbdrv_device_entry& entry) {
    device_view v;
    v.vid = entry.vid;
    v.pid = entry.pid;
    v.is_interface = entry.is_interface == 1;
    v.interface_number = entry.interface_number;
    v.instance_id = text_or_empty(entry.device_id);
    v.description = text_or_empty(entry.description);
    v.driver = text_or_empty(entry.driver_name);
    v.version = version_text(entry.driver_version);
    return v;
}

bool targets(const request& req, const device_view& device) {
    // Instance IDs are ASCII and the system compares them without regard to case.
    if (!req.instance_id.empty())
        return same_ignoring_ascii_case(req.instance_id, device.instance_id);
    if (!req.has_ids || device.vid != req.vid || device.pid != req.pid)
        return false;
    return !req.has_interface ||
           (device.is_interface && device.interface_number == req.interface_number);
}

std::string device_line(const device_view& d) {
    std::string line = hex4_text(d.vid) + " " + hex4_text(d.pid) + " " +
                       (d.is_interface ? interface_text(d.interface_number) : std::string("--")) +
                       " " + or_dash(d.driver) + " " + or_dash(d.version) + " " + or_dash(d.port) +
                       " " + or_dash(d.instance_id) + " " + or_dash(d.description) + "\n";
    return line;
}

const char* device_heads() {
    return "VID  PID  MI DRIVER VERSION PORT INSTANCE DESCRIPTION\n";
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = utf8_sequence(text, i);
        if (length == 0) {
            out += "\\ufffd";
            i++;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        i++;
    }
    return out + "\"";
}

namespace {

// A field that is absent stays out of the object; a script tests for the key.
void add_field(std::string& object, const char* key, const std::string& value) {
    if (value.empty())
        return;
    object += std::string(", \"") + key + "\": " + json_string(value);
}

}  // namespace

std::string devices_json(const std::vector<device_view>& devices) {
    std::string out = "[";
    for (size_t i = 0; i < devices.size(); i++) {
        const device_view& d = devices[i];
        out += i ? ",\n  " : "\n  ";
        out += "{\"vid\": \"" + hex4_text(d.vid) + "\", \"pid\": \"" + hex4_text(d.pid) + "\"";
        if (d.is_interface)
            out += ", \"interface\": " + std::to_string(d.interface_number);
        add_field(out, "instance_id", d.instance_id);
        add_field(out, "description", d.description);
        add_field(out, "driver", d.driver);
        add_field(out, "driver_version", d.version);
        add_field(out, "port", d.port);
        out += "}";
    }
    return out + (devices.empty() ? "]\n" : "\n]\n");
}

std::string installed_line(const std::string& instance, const std::string& port,
                           bool reboot_required) {
    std::string line = instance + ": installed";
    if (!port.empty())
        line += " (" + port + ")";
    if (reboot_required)
        line += ", a reboot is required";
    return line + "\n";
}

std::string stored_line(const std::string& instance) {
    return instance + ": not connected - driver stored for when it is plugged in\n";
}

std::string installation_failed_line(const std::string& instance, const char* text) {
    return instance + ": installation failed: " + text + "\n";
}

std::string preparation_failed_line(const std::string& instance, const char* text) {
    return instance + ": preparation failed: " + text + "\n";
}

std::string waiting_line(unsigned seconds) {
    return "Waiting up to " + std::to_string(seconds) + " s for a matching device...\n";
}

std::string extracted_line(const std::string& folder) {
    return "The driver was extracted to " + folder + "\n";
}

std::string extract_folder_too_long(const std::string& folder, size_t bytes) {
    return "the folder " + folder + " is too long for the driver package: its full path is " +
           std::to_string(bytes) + " bytes of UTF-8, " +
           std::to_string(bytes - (kLibraryPathMax - 1)) + " over the limit of " +
           std::to_string(kLibraryPathMax - 1);
}

std::string not_cdc_refusal(const std::string& instance, cdc_check why, const char* compatible_id) {
    std::string reason;
    switch (why) {
        case cdc_check::cdc:
            return "";
        case cdc_check::not_an_interface:
            reason =
                "it is a whole USB device (a composite device's parent, or a device of one "
                "function), not one of its interfaces";
            break;
        case cdc_check::data_interface:
            reason =
                "it is a CDC data interface (class 0A); the serial driver goes on the CDC "
                "serial interface (class 02) beside it";
            break;
        case cdc_check::other_class:
            reason = compatible_id && *compatible_id
                         ? "its first compatible ID is " + std::string(compatible_id) +
                               ", not of the CDC class (USB\\Class_02)"
                         : std::string("it reports no compatible ID, so its class is not known");
            break;
    }
    return instance + " is not a CDC serial interface: " + reason +
           "; give --any-device to install the serial driver on it all the same";
}

std::string result_log_line(const std::string& line) {
    std::string text = line;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return kErrorPrefix + text;
}

std::string exit_log_line(int code) {
    return std::string(kErrorPrefix) + "exit code " + std::to_string(code);
}

}  // namespace cli

namespace cli {

std::string folder_error(const package_folder& folder) {
    const std::string variable = folder.from_fallback ? "TEMP" : "USERPROFILE";
    switch (folder.outcome) {
        case package_folder::ok:
            break;
        case package_folder::not_set:
            return "neither USERPROFILE nor TEMP names a folder for the driver package";
        case package_folder::not_full_path:
            return variable +
                   " is not a full path: the driver package would land below the "
                   "current directory";
        case package_folder::not_text:
            return variable + " is not valid UTF-16: a lone surrogate " +
                   code_unit_text(folder.bad_unit) + " at position " +
                   std::to_string(folder.bad_at + 1);
        case package_folder::too_long:
            return "the folder " + variable + " names is too long for the driver package: with \\" +
                   kPackageFolderName + " its path is " + std::to_string(folder.path_bytes) +
                   " bytes of UTF-8, " + std::to_string(folder.path_bytes - (kLibraryPathMax - 1)) +
                   " over the limit of " + std::to_string(kLibraryPathMax - 1);
    }
    return "";
}

namespace {

bool needs_quotes(const std::string& arg) {
    if (arg.empty())
        return true;
    for (char c : arg) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == ' ' || c == '"' || byte < 0x20 || byte == 0x7F)
            return true;
    }
    return false;
}

std::string quoted(const std::string& arg) {
    if (!needs_quotes(arg))
        return arg;
    std::string out = "\"";
    for (char c : arg) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            if (c == '"')
                out += '\\';
            out += c;
        }
    }
    return out + "\"";
}

const char* error_words(unsigned long error) {
    switch (error) {
        case 2:  // ERROR_FILE_NOT_FOUND
        case 3:  // ERROR_PATH_NOT_FOUND: its folders are made, so the drive or share is missing
            return "its drive or share does not exist";
        case 267:  // ERROR_DIRECTORY
            return "a part of its path is a file, not a folder";
        case 5:  // ERROR_ACCESS_DENIED
            return "access is denied";
        case 32:  // ERROR_SHARING_VIOLATION
        case 33:  // ERROR_LOCK_VIOLATION
            return "another program holds it";
        case 39:   // ERROR_HANDLE_DISK_FULL
        case 112:  // ERROR_DISK_FULL
            return "the disk is full";
        case 123:  // ERROR_INVALID_NAME
            return "it is no valid file name";
        case 206:  // ERROR_FILENAME_EXCED_RANGE
            return "its path is too long";
        default:
            return "the system refused";
    }
}

}  // namespace

std::string start_line(const std::vector<std::string>& args) {
    std::string line = std::string(kErrorPrefix) + "started:";
    for (const std::string& arg : args)
        line += " " + quoted(arg);
    return line;
}

std::string log_failure(const std::string& path, bool opening, unsigned long error) {
    return "the log file '" + path + "' cannot be " + (opening ? "opened" : "written") + ": " +
           error_words(error) + " (Windows error " + std::to_string(error) + ")";
}

}  // namespace cli

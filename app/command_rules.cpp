#include "command_rules.h"

#include <cstdlib>
#include <cstring>

#include "bounded_path.h"

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_separator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

bool is_full_path(const char* path) {
    bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                 path[1] == ':' && is_separator(path[2]);
    return drive || (is_separator(path[0]) && is_separator(path[1]));
}

std::string folder_below(const char* base, const char* name) {
    std::string folder = base;
    if (folder.empty() || !is_separator(folder.back()))
        folder += '\\';
    return folder + name;
}

bool IsHex4(std::string text) {
    if (text.size() != 4)
        return false;
    for (char c : text) {
        if (!is_hex_digit(c))
            return false;
    }
    return true;
}

uint16_t Hex4Value(const std::string& text) {
    return (uint16_t)strtoul(text.c_str(), nullptr, 16);
}

command_start start_command(std::atomic<bool>& busy, const std::function<void()>& read_fields,
                            const std::string& vid, const std::string& pid,
                            const std::function<bool()>& start_worker) {
    if (busy)
        return command_start::busy;
    read_fields();
    if (!IsHex4(vid))
        return command_start::bad_vid;
    if (!IsHex4(pid))
        return command_start::bad_pid;
    busy = true;
    if (start_worker())
        return command_start::started;
    busy = false;
    return command_start::no_thread;
}

const char* command_start_text(command_start outcome) {
    switch (outcome) {
        case command_start::busy:
            return "Operating........";
        case command_start::bad_vid:
            return "VID error, must be 4 hex characters";
        case command_start::bad_pid:
            return "PID error, must be 4 hex characters";
        case command_start::no_thread:
            return "The command could not be started: the system refused a new thread.";
        case command_start::started:
            break;
    }
    return nullptr;
}

package_folder install_folder(const char* profile) {
    package_folder folder;
    if (!profile || !is_full_path(profile)) {
        folder.outcome = package_folder::no_profile;
        return folder;
    }
    bounded_path path;
    path.append(folder_below(profile, "usb_driver").c_str());
    if (path.cut()) {
        folder.outcome = package_folder::too_long;
        return folder;
    }
    folder.path = path.c_str();
    return folder;
}

const char* package_folder_text(package_folder::outcome_kind outcome) {
    switch (outcome) {
        case package_folder::no_profile:
            return "USERPROFILE does not name a folder (it is not set, or not a full path): the "
                   "driver package was not written.";
        case package_folder::too_long:
            return "The folder USERPROFILE names is too long for the driver package: the driver "
                   "package was not written.";
        case package_folder::ok:
            break;
    }
    return nullptr;
}

const usbdrv_device_entry* device_to_install(const std::vector<usbdrv_device_entry>& listed,
                                             const std::string& selected_id,
                                             const usbdrv_device_entry& built) {
    if (listed.empty())
        return &built;
    for (const usbdrv_device_entry& entry : listed) {
        if (entry.device_id && selected_id == entry.device_id)
            return &entry;
    }
    return nullptr;
}

const char* const kSelectionGoneText =
    "The selected device is no longer connected: nothing was installed. Select a device in the "
    "list and press the button again.";

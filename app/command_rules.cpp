#include "command_rules.h"

#include "device_rules.h"
#include "dialog_texts.h"
#include "identifiers.h"

command_start start_command(std::atomic<bool>& busy, const std::function<void()>& read_fields,
                            const std::string& vid, const std::string& pid,
                            const std::function<std::string()>& description,
                            const std::function<bool()>& start_worker) {
    if (busy)
        return command_start::busy;
    read_fields();
    if (!parse_hex4(vid))
        return command_start::bad_vid;
    if (!parse_hex4(pid))
        return command_start::bad_pid;
    if (!description_fits_inf(description()))
        return command_start::long_name;
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
        case command_start::long_name: {
            static const std::string text =
                "The device name is too long for the driver package: its INF holds at most " +
                std::to_string(USBDRV_DESCRIPTION_MAX) +
                " bytes of it in UTF-8 (a double quote counts twice). Nothing was written.";
            return text.c_str();
        }
        case command_start::no_thread:
            return "The command could not be started: the system refused a new thread.";
        case command_start::started:
            break;
    }
    return nullptr;
}

const char* package_folder_text(package_folder::outcome_kind outcome) {
    switch (outcome) {
        case package_folder::not_set:
        case package_folder::not_full_path:
            return "USERPROFILE does not name a folder (it is not set, or not a full path): the "
                   "driver package was not written.";
        case package_folder::not_text:
            return "USERPROFILE is not valid text (it holds a lone UTF-16 surrogate): the driver "
                   "package was not written.";
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

std::string installation_box_text(const installation_outcome& outcome) {
    if (outcome.kind == installation_outcome::stored)
        return kStoredText;
    std::string text =
        outcome.port.empty() ? kInstalledText : kInstalledOnPortText + outcome.port + ".";
    if (outcome.needs_restart)
        text += std::string(" ") + kRestartText;
    return text;
}

std::string extracted_box_text(const std::string& folder) {
    return kExtractedToText + folder + ".";
}

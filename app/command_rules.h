// What the dialog's two commands decide around the library's calls, without system calls: whether
// a command may start, the texts of its refusals, and which device it installs. The rules the
// console program shares (identifiers, package folder) are the front-end core's.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "installation_outcome.h"
#include "package_folder.h"
#include "usbdrv/usbdrv.h"

enum class command_start { started, busy, bad_vid, bad_pid, long_name, no_thread };

// The button handlers' steps: a running command refuses at once; otherwise the fields are read
// (read_fields), VID and then PID are checked (four hexadecimal digits, parse_hex4), then the
// description the package would carry (`description`, UTF-8: the typed name or the selected
// device's) is checked against what the INF holds (description_fits_inf), `busy` is set and
// start_worker is asked for the worker. A worker that cannot be started clears `busy` again, so
// that the dialog is not left busy with nothing running.
command_start start_command(std::atomic<bool>& busy, const std::function<void()>& read_fields,
                            const std::string& vid, const std::string& pid,
                            const std::function<std::string()>& description,
                            const std::function<bool()>& start_worker);
// The message box text of an outcome; null for a started command.
const char* command_start_text(command_start outcome);

// The box text of an install folder (install_folder without a fallback) that is not there; null
// for one that is. A profile that is not set and one that is relative share their text.
const char* package_folder_text(package_folder::outcome_kind outcome);

// The device an installation targets: the record built from the fields when no device is listed,
// else the listed device shown as selected. Null when that device is no longer listed (the set of
// devices changed under an unchanged count): nothing is installed then.
const usbdrv_device_entry* device_to_install(const std::vector<usbdrv_device_entry>& listed,
                                             const std::string& selected_id,
                                             const usbdrv_device_entry& built);
extern const char* const kSelectionGoneText;

// The box after an installation the library reported as a success: "installed" with the port and
// the restart when the device has them, or "stored" when nothing was bound.
std::string installation_box_text(const installation_outcome& outcome);
// The box after "Extract driver": the package's full folder.
std::string extracted_box_text(const std::string& folder);

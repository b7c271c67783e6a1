// What the two commands decide around the library's calls, without system calls: whether a
// command may start, the install command's package folder, and which device it installs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "usbdrv/usbdrv.h"

// Four hexadecimal digits and nothing else ("ab12" as "AB12"); a blank, a sign, "0x" or a fifth
// digit is refused.
bool IsHex4(std::string text);
// The value of a text that IsHex4 accepted.
uint16_t Hex4Value(const std::string& text);

enum class command_start { started, busy, bad_vid, bad_pid, no_thread };

// The button handlers' steps: a running command refuses at once; otherwise the fields are read
// (read_fields), VID and then PID are checked, `busy` is set and start_worker is asked for the
// worker. A worker that cannot be started clears `busy` again, so that the dialog is not left
// busy with nothing running.
command_start start_command(std::atomic<bool>& busy, const std::function<void()>& read_fields,
                            const std::string& vid, const std::string& pid,
                            const std::function<bool()>& start_worker);
// The message box text of an outcome; null for a started command.
const char* command_start_text(command_start outcome);

// From a drive's root ("C:\...") or a share ("\\server\..."); anything else is taken relative to
// the current directory by the file calls.
bool is_full_path(const char* path);
// The folder `name` below `base`, with one separator between them.
std::string folder_below(const char* base, const char* name);

// The install command's package folder, "<USERPROFILE>\usb_driver", or why there is none: a
// profile that is not set or not a full path would put the package below some other folder, and
// one too long for the library's 260-byte paths would be cut to name another.
struct package_folder {
    enum outcome_kind { ok, no_profile, too_long } outcome = ok;
    std::string path;
};
package_folder install_folder(const char* profile);  // UTF-8; null when not set
const char* package_folder_text(package_folder::outcome_kind outcome);

// The device an installation targets: the record built from the fields when no device is listed,
// else the listed device shown as selected. Null when that device is no longer listed (the set of
// devices changed under an unchanged count): nothing is installed then.
const usbdrv_device_entry* device_to_install(const std::vector<usbdrv_device_entry>& listed,
                                             const std::string& selected_id,
                                             const usbdrv_device_entry& built);
extern const char* const kSelectionGoneText;

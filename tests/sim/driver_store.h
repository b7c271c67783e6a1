// The driver store and the setup log of the simulated machine: what the INF copy and the driver
// update (setupapi.dll, newdev.dll) share. Every process of the prefix uses the same folders, so
// their changes are made under one named mutex of the prefix.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "install_parts.h"
#include "scenario.h"
#include "win/handles.h"

namespace sim {

// Holds the prefix-wide mutex of the install side for a scope.
class install_lock {
public:
    install_lock();
    ~install_lock();
    install_lock(const install_lock&) = delete;
    install_lock& operator=(const install_lock&) = delete;

private:
    unique_mutex mutex_;
    bool held_ = false;
};

// %WINDIR%\inf, without a trailing backslash.
std::wstring inf_folder();

// Copies an INF into %WINDIR%\inf as oem<N>.inf: the N of a copy with the same contents when
// there is one, else the next free N. Gives the copy's full path. ERROR_SUCCESS or the error of
// the file system (ERROR_FILE_NOT_FOUND for a missing INF). Call it under install_lock.
DWORD copy_to_driver_store(const std::wstring& inf, std::wstring& destination);

// The INF's text as UTF-8: INF files are ANSI or UTF-16 with a byte order mark.
std::string inf_text(const std::string& bytes);

// Binds the devices as a driver update does: the INF's service ("usbser" when it names none),
// version and provider, the store name it was installed from, a driver key and a port name kept
// across reinstalls. Under install_lock. The instance IDs bound, in the order given.
std::vector<std::string> bind_devices(const std::vector<const device*>& devices,
                                      const inf_facts& facts, const std::string& inf_name,
                                      bool need_restart);

// Whether the driver store holds a package of that name (a bare file name).
bool in_driver_store(const std::string& inf_name);

// What a scan of the device tree below `node` (every node for the root) does to the devices an
// uninstall removed: the connected ones are known again, bound to the package they had while
// the store still holds it, else as the scenario file gives them. `file_machine` is the
// scenario without the device states. Takes install_lock when there is anything to find. The
// instance IDs found again.
std::vector<std::string> find_removed_devices(const machine& file_machine, const std::string& node);

// Plug and Play for the devices plugged in since the file's last reading (present now, not
// then): each that has no driver of the file's and no installation gets the package of the
// driver store that names the first of its IDs (the newest of those, by store number), as the
// system installs one for a new device. At the machine's first reading nothing is plugged in:
// its devices were there before. Journalled as "PlugAndPlay".
void serve_plugged_in_devices(const machine& file_machine);

// The setup log %WINDIR%\inf\setupapi.dev.log, opened for appending and for writing over its
// last line; created with its header when missing.
class setup_log {
public:
    setup_log();
    bool is_open() const { return static_cast<bool>(file_); }
    // Appends the text (UTF-8, lines ending in CR LF).
    void append(const std::string& text);
    // Appends a placeholder line and remembers where it starts.
    void append_placeholder();
    // Writes the text over the placeholder and whatever followed it.
    void replace_placeholder(const std::string& text);

private:
    unique_file_handle file_;
    LONGLONG placeholder_ = -1;
};

// "2026/12/10 06:52:44.123", local time.
std::string setup_log_now();

}  // namespace sim

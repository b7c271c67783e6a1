// What every simulated call shares: the machine read from the scenario file, the device numbers
// handed out, the journal, and the lock that guards them (tests/sim/README.md).
#pragma once

#include <windows.h>
#include <cfgmgr32.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "install_parts.h"
#include "scenario.h"
#include "win/handles.h"

namespace sim {

// Holds the one lock of the simulation for a scope. Every function below expects it held.
class state_lock {
public:
    state_lock();

private:
    critical_section_lock lock_;
};

using machine_ptr = std::shared_ptr<const machine>;

// Reads the file named by CORVANE_SCENARIO again when it is another file or has changed; keeps
// the last good machine when it cannot be read or parsed. The device states that installations
// left in the machine's state key are laid over it. Returns the machine now in force.
machine_ptr refresh_machine();
// The machine in force, without looking at the file.
machine_ptr current_machine();
// The machine as the scenario file gives it, without the device states, as last read.
machine_ptr scenario_machine();

// The registry key below HKEY_CURRENT_USER that holds what installations changed on this
// machine: "Software\Corvane\Simulation\<name>", the name being CORVANE_SIM_STATE when set,
// else one derived from the scenario file's full path. Every process of the prefix with the same
// scenario sees the same state.
std::wstring state_key_path();
// The device states of that key (by id_key of the instance ID); none when it is not there.
device_states read_device_states();
// Writes one device's whole state in one registry value, so that no reader sees half of it.
DWORD write_device_state(std::string_view instance, const device_state& state);
// Forgets what installations changed on one device: it reads again as the file gives it.
// ERROR_SUCCESS also when there was nothing to forget.
DWORD delete_device_state(std::string_view instance);
// The devices (id_key of their instance IDs) that were present at the last reading of the file,
// for telling which are plugged in at the next one; none before the machine's first reading.
std::optional<std::vector<std::string>> read_present_devices();
DWORD write_present_devices(const std::vector<std::string>& ids);

// Device numbers: one per instance ID (compared without case), the same for the whole life of
// the process, whatever the scenario does meanwhile.
DEVINST devinst_of(std::string_view instance);
// The instance ID a number was handed out for, or null for a number never handed out.
const std::string* instance_of(DEVINST devinst);

// Appends one line of tab-separated fields to the file named by CORVANE_SIM_JOURNAL, if any.
void journal(std::initializer_list<std::string_view> fields);
void journal(const std::vector<std::string>& fields);

// Text conversions. UTF-8 is the scenario's and the journal's encoding; the A functions speak
// the process code page.
std::wstring widen(std::string_view utf8);
std::string utf8_of(std::wstring_view text);
std::string ansi_of(std::wstring_view text);
std::wstring wide_of_ansi(const char* text);

// "ERROR_NO_MORE_ITEMS", or the number for an error the journal has no name for.
std::string error_name(DWORD error);
std::string cr_name(CONFIGRET result);
std::string hex(unsigned long value);
// The whole file, or nullopt with a message in `error`. Open only while it is read, and shared.
std::optional<std::string> read_file(const std::wstring& path, std::string& error);

// The environment variable's value; empty when it is not set.
std::wstring environment(const wchar_t* name);
// "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
std::string guid_text(const GUID& guid);

}  // namespace sim

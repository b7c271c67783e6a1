// The install side of the simulated machine without system calls: what an installation leaves
// on a device, how that is stored as text, what is read from an INF, and the lines of the setup
// log. Portable, so that it builds natively for the sanitizers.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "scenario.h"

namespace sim {

// What the installation calls changed on one device, on top of what the scenario file says.
// Every field is optional: a device whose flags were written but that was never bound keeps
// its driver from the file.
struct device_state {
    std::optional<std::string> service;
    std::optional<std::string> driver;          // driver key name, "{class}\0007"
    std::optional<std::string> driver_version;  // "10.0.1.2", the INF's DriverVer
    std::optional<std::string> port_name;       // "COM3"
    std::optional<std::string> inf_name;        // "oem3.inf"
    std::optional<std::string> provider_name;   // the INF's Provider
    std::optional<uint32_t> config_flags;
    // An update that answered "reboot required" bound it: the driver runs after the restart.
    bool need_restart = false;
    // The device was uninstalled: the system knows it no more until a scan of the tree from its
    // root finds it connected, and binds it then to the package it had (removed_inf) while the
    // driver store still holds that.
    bool removed = false;
    std::optional<std::string> removed_inf;

    bool operator==(const device_state& other) const;
};

// Device states by id_key of the instance ID.
using device_states = std::map<std::string, device_state>;

// One "name=value" entry per field that is set, so that one registry value holds a whole state
// and is written in one step.
std::vector<std::string> encode_state(const device_state& state);
// Entries that are not "name=value" of a known name are skipped; a bad number too.
device_state decode_state(const std::vector<std::string>& entries);

// The machine as the installations left it: each state's fields replace the file's, a bound
// device has no problem any more, and a removed one is not there.
void apply_states(machine& m, const device_states& states);

// The lowest "COMn" from COM3 on that no state holds: COM1 and COM2 belong to the board.
std::string next_port_name(const device_states& states);

// What an installation takes from an INF: the DriverVer's version (its second field), the
// service its AddService directive installs (the first one found) and its Provider (a %key% of
// [Strings] replaced by its text).
struct inf_facts {
    std::optional<std::string> driver_version;
    std::optional<std::string> service;
    std::optional<std::string> provider;
    // The device IDs its model lines name ("USB\VID_C04A&PID_0C02&MI_00"): the fields after the
    // install section of a line whose value names a "USB\" ID, with [Strings] filled in.
    std::vector<std::string> device_ids;
};
inf_facts read_inf_facts(std::string_view text);

// The rank of the best match of a package for a device, as Plug and Play ranks them: the
// position of the first of its hardware IDs, then compatible IDs, that the INF names; none when
// it names none.
std::optional<std::size_t> match_rank(const device& d, const inf_facts& facts);

// Whether a device is one a driver update for `hardware_id` installs on: one of its hardware or
// compatible IDs is that ID (without regard to case).
bool matches_hardware_id(const device& d, std::string_view hardware_id);

// FNV-1a of the text: the same in every process and every run, for names derived from long
// texts (the machine's state key, a device's driver key).
uint64_t stable_hash(std::string_view text);
// The hash as 16 upper-case hexadecimal digits.
std::string hash_text(uint64_t hash);

// The setup log's texts, as the system writes them.
std::string setup_log_header();
std::string setup_log_section_start(std::string_view hardware_id, std::string_view time);
std::string setup_log_section_end(std::string_view time, uint32_t error);
// "2026/12/10 06:52:44.123" from its parts.
std::string setup_log_time(int year, int month, int day, int hour, int minute, int second,
                           int millisecond);

}  // namespace sim

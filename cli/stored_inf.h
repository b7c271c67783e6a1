// What the console program reads in the INFs of the system's driver store: which of them Corvane
// made, for which hardware ID and device name, and whether a device is served by the package an
// installation would give it. No Windows call, so it is built and tested natively.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

// What an INF of the driver store says of itself.
struct inf_facts {
    // Made by Corvane: its first line is the comment with Corvane's INF name ("; Corvane.inf")
    // and its provider is "usbdrv", as every package Corvane prepares writes them. Another
    // maker's INF has neither, so it is never taken for Corvane's.
    bool corvane = false;
    std::string hardware_id;  // [Strings] DeviceID of Corvane's: "VID_C04A&PID_0C02&MI_00"
    std::string device_name;  // [Strings] DeviceName of Corvane's, as the INF's string says it
};

// `text` is the INF as UTF-8 (converted from its UTF-16 when it has a byte-order mark).
inf_facts read_inf_facts(std::string_view text);

// The hardware ID as Corvane's INFs write it (without "USB\"): "VID_C04A&PID_0C02&MI_00" for an
// interface, "VID_C04A&PID_0C02" for a whole device.
std::string inf_hardware_id(uint16_t vid, uint16_t pid, bool has_interface,
                            uint8_t interface_number);

// Whether a package for `hardware_id` (as read_inf_facts gives it) is one a command for the VID
// and PID (and interface, when given) acts on. Without an interface every interface of the
// device counts, as `install` installs on each of them.
bool hardware_id_matches(const std::string& hardware_id, uint16_t vid, uint16_t pid,
                         bool has_interface, uint8_t interface_number);

// Whether another maker's INF names the hardware ID anywhere ("USB\VID_C04A&PID_0C02&MI_00",
// without regard to case): it may serve the device, and it is left alone.
bool inf_mentions(std::string_view text, std::string_view hardware_id);

// The same device is served by the package an installation would give it: bound to the serial
// driver through a Corvane INF for its hardware ID, which names the device `description` when
// one is asked for (empty: any name, as an installation without --description asks for none
// in particular, and a package staged earlier names the placeholder). Every preparation writes
// that day's date and a new interface GUID into the INF, so two packages of the same kind never
// have the same bytes and the same version says nothing either (the serial kind's is always
// 1.0.0.0): what the device is served as is what counts.
bool served_by_same_package(bool serial_driver, const inf_facts& bound,
                            const std::string& hardware_id, const std::string& description);

}  // namespace cli

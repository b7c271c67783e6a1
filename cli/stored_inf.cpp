#include "stored_inf.h"

#include <cstdio>

#include "device_rules.h"

namespace cli {

namespace {

std::string_view trimmed(std::string_view text) {
    const char* blanks = " \t\r\n";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

// A line without its comment: a semicolon outside double quotes starts one.
std::string_view without_comment(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); i++) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

// The value of an INF string: between double quotes a doubled quote is one; unquoted as it
// stands.
std::string string_value(std::string_view value) {
    value = trimmed(value);
    if (value.size() < 2 || value.front() != '"' || value.back() != '"')
        return std::string(value);
    std::string out;
    for (size_t i = 1; i + 1 < value.size(); i++) {
        out += value[i];
        if (value[i] == '"' && value[i + 1] == '"')
            i++;
    }
    return out;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           same_ignoring_ascii_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace

inf_facts read_inf_facts(std::string_view text) {
    // A UTF-8 byte-order mark is no part of the first line.
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    inf_facts facts;
    std::string section;
    std::string provider;
    bool first_line = true;
    bool named_as_corvane = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (first_line) {
            named_as_corvane = trimmed(line) == std::string("; ") + kInfName;
            first_line = false;
        }
        line = trimmed(without_comment(line));
        if (line.empty())
            continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            section = std::string(trimmed(line.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        std::string_view key = trimmed(line.substr(0, equals));
        std::string value = string_value(line.substr(equals + 1));
        if (same_ignoring_ascii_case(section, "Version") &&
            same_ignoring_ascii_case(key, "Provider"))
            provider = value;
        else if (same_ignoring_ascii_case(section, "Strings") &&
                 same_ignoring_ascii_case(key, "DeviceID"))
            facts.hardware_id = value;
        else if (same_ignoring_ascii_case(section, "Strings") &&
                 same_ignoring_ascii_case(key, "DeviceName"))
            facts.device_name = value;
    }
    facts.corvane = named_as_corvane && provider == "usbdrv" && !facts.hardware_id.empty();
    if (!facts.corvane) {
        facts.hardware_id.clear();
        facts.device_name.clear();
    }
    return facts;
}

std::string inf_hardware_id(uint16_t vid, uint16_t pid, bool has_interface,
                            uint8_t interface_number) {
    char text[32];
    if (has_interface)
        snprintf(text, sizeof text, "VID_%04X&PID_%04X&MI_%02X", vid, pid, interface_number);
    else
        snprintf(text, sizeof text, "VID_%04X&PID_%04X", vid, pid);
    return text;
}

bool hardware_id_matches(const std::string& hardware_id, uint16_t vid, uint16_t pid,
                         bool has_interface, uint8_t interface_number) {
    if (has_interface)
        return same_ignoring_ascii_case(hardware_id,
                                        inf_hardware_id(vid, pid, true, interface_number));
    const std::string device = inf_hardware_id(vid, pid, false, 0);
    return same_ignoring_ascii_case(hardware_id, device) ||
           (starts_with_ignoring_case(hardware_id, device + "&MI_") &&
            hardware_id.size() == device.size() + 6);
}

bool inf_mentions(std::string_view text, std::string_view hardware_id) {
    const std::string wanted = "USB\\" + std::string(hardware_id);
    for (size_t at = 0; at + wanted.size() <= text.size(); at++) {
        if (!same_ignoring_ascii_case(text.substr(at, wanted.size()), wanted))
            continue;
        // "USB\VID_C04A&PID_0C02" is not named by "USB\VID_C04A&PID_0C021".
        size_t after = at + wanted.size();
        unsigned char next = after < text.size() ? static_cast<unsigned char>(text[after]) : ' ';
        bool continues = (next >= '0' && next <= '9') || (next >= 'A' && next <= 'Z') ||
                         (next >= 'a' && next <= 'z') || next == '_';
        if (!continues)
            return true;
    }
    return false;
}

bool served_by_same_package(bool serial_driver, const inf_facts& bound,
                            const std::string& hardware_id, const std::string& description) {
    if (!serial_driver || !bound.corvane ||
        !same_ignoring_ascii_case(bound.hardware_id, hardware_id))
        return false;
    if (description.empty())
        return true;
    // The INF writes a control character of the description as a blank.
    std::string written = description;
    for (char& c : written) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            c = ' ';
    }
    return bound.device_name == written;
}

}  // namespace cli

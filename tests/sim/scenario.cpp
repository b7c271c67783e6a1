#include "scenario.h"

#include <cstddef>
#include <map>
#include <set>

namespace sim {
namespace {

// Every key of [device]. The ones that may repeat are the lists.
enum class device_key {
    instance,
    present,
    service,
    driver,
    driver_version,
    inf,
    hardware_id,
    compatible_id,
    upper_filter,
    bus_description,
    description,
    parent,
    problem,
    unreadable,
};

struct key_info {
    const char* name;
    device_key key;
    bool repeats;
};

constexpr key_info kDeviceKeys[] = {
    {"instance", device_key::instance, false},
    {"present", device_key::present, false},
    {"service", device_key::service, false},
    {"driver", device_key::driver, false},
    {"driver_version", device_key::driver_version, false},
    {"inf", device_key::inf, false},
    {"hardware_id", device_key::hardware_id, true},
    {"compatible_id", device_key::compatible_id, true},
    {"upper_filter", device_key::upper_filter, true},
    {"bus_description", device_key::bus_description, false},
    {"description", device_key::description, false},
    {"parent", device_key::parent, false},
    {"problem", device_key::problem, false},
    {"unreadable", device_key::unreadable, false},
};

const key_info* find_device_key(std::string_view name) {
    for (const key_info& info : kDeviceKeys) {
        if (name == info.name)
            return &info;
    }
    return nullptr;
}

// The keys of the service sections, each answering "ok" or an error code. One row per simulated
// call that a scenario can make fail.
constexpr const char* kOutcomeKeys[] = {
    // wintrust.dll: the catalog services
    "catalog.open",
    "catalog.put_catalog_attribute",
    "catalog.put_member",
    "catalog.put_member_attribute",
    "catalog.persist",
    "catalog.hash",
    "catalog.encode",
    // mssign32.dll: the signer
    "signing.sign",
    // newdev.dll, setupapi.dll and cfgmgr32.dll: installing a driver (the CM_* ones answer a
    // CR_* code)
    "install.update",
    "install.copy",
    "install.set_property",
    "install.locate",
    "install.reenumerate",
    "install.status",
    // newdev.dll's device uninstall and setupapi.dll's driver-store removal
    "uninstall.device",
    "uninstall.package",
    // gpedit.dll: the local group-policy object (HRESULTs)
    "group_policy.create",
    "group_policy.open",
    "group_policy.registry_key",
    "group_policy.save",
};

// Keys of a service section that are numbers of milliseconds rather than outcomes.
constexpr const char* kDurationKeys[] = {"install.duration_ms", "signing.wait_ms"};

bool is_outcome_section(std::string_view name) {
    for (std::string_view key : kOutcomeKeys) {
        if (key.substr(0, key.find('.')) == name)
            return true;
    }
    return false;
}

bool is_outcome_key(std::string_view name) {
    for (std::string_view key : kOutcomeKeys) {
        if (key == name)
            return true;
    }
    return false;
}

bool is_duration_key(std::string_view name) {
    for (std::string_view key : kDurationKeys) {
        if (key == name)
            return true;
    }
    return false;
}

// What the system accepts in an instance ID: printable ASCII without spaces, and not too long.
std::optional<std::string> bad_instance_id(std::string_view id) {
    if (id.size() > kMaxInstanceIdLength)
        return "is " + std::to_string(id.size()) + " characters long (at most " +
               std::to_string(kMaxInstanceIdLength) + ")";
    for (char c : id) {
        if (c <= ' ' || c > '~')
            return "holds a character that is not printable ASCII or is a space";
    }
    return std::nullopt;
}

// UTF-16 units of a UTF-8 text: one per sequence, two for the four-byte ones.
std::size_t utf16_units(std::string_view utf8) {
    std::size_t units = 0;
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// "ok", or a nonzero 32-bit number in decimal or 0x hexadecimal.
std::optional<outcome> parse_outcome(std::string_view value) {
    if (value == "ok")
        return outcome{};
    int base = 10;
    if (value.size() > 2 && value[0] == '0' && (value[1] == 'x' || value[1] == 'X')) {
        base = 16;
        value.remove_prefix(2);
    }
    if (value.empty())
        return std::nullopt;
    uint64_t number = 0;
    for (char c : value) {
        int digit = c >= '0' && c <= '9'                 ? c - '0'
                    : base == 16 && c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : base == 16 && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                         : -1;
        if (digit < 0)
            return std::nullopt;
        number = number * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (number > UINT32_MAX)
            return std::nullopt;
    }
    if (number == 0)
        return std::nullopt;
    return outcome{false, static_cast<uint32_t>(number)};
}

// Delays longer than this are typing mistakes, not plans: a test would hang for minutes.
constexpr unsigned kMaxDelayMs = 600000;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

char ascii_upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string quoted(std::string_view text) {
    return "'" + std::string(text) + "'";
}

class parser {
public:
    parse_result run(std::string_view text) {
        // An editor on Windows may start the file with a byte order mark.
        constexpr std::string_view bom = "\xEF\xBB\xBF";
        if (text.substr(0, bom.size()) == bom)
            text.remove_prefix(bom.size());

        int line_number = 0;
        while (!failed() && !text.empty()) {
            std::size_t end = text.find('\n');
            std::string_view line = text.substr(0, end);
            text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
            ++line_number;
            read_line(line_number, trim(line));
        }
        if (!failed())
            end_device();
        if (!failed())
            check_machine();

        parse_result result;
        if (failed())
            result.error = error_;
        else
            result.value = std::move(machine_);
        return result;
    }

private:
    enum class section { none, machine, device, service };

    bool failed() const { return error_.line != 0; }

    void fail(int line, std::string message) {
        if (!failed())
            error_ = parse_error{line, std::move(message)};
    }

    void read_line(int line, std::string_view text) {
        if (text.empty() || text.front() == '#')
            return;
        if (text.front() == '[') {
            start_section(line, text);
            return;
        }
        std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) {
            fail(line, "expected 'key = value' or a [section], got " + quoted(text));
            return;
        }
        std::string_view key = trim(text.substr(0, equals));
        std::string_view value = trim(text.substr(equals + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (key.empty()) {
            fail(line, "a setting without a key");
            return;
        }
        switch (section_) {
            case section::none:
                fail(line, "setting " + quoted(key) + " before the first [device] or [machine]");
                break;
            case section::machine:
                set_machine_key(line, key, value);
                break;
            case section::device:
                set_device_key(line, key, value);
                break;
            case section::service:
                set_outcome_key(line, key, value);
                break;
        }
    }

    void start_section(int line, std::string_view text) {
        end_device();
        if (failed())
            return;
        if (text == "[device]") {
            section_ = section::device;
            machine_.devices.emplace_back();
            machine_.devices.back().line = line;
            device_keys_seen_.clear();
        } else if (text == "[machine]") {
            section_ = section::machine;
        } else if (text.size() > 2 && text.back() == ']' &&
                   is_outcome_section(text.substr(1, text.size() - 2))) {
            section_ = section::service;
            service_ = std::string(text.substr(1, text.size() - 2));
        } else {
            fail(line, "unknown section " + quoted(text) +
                           " (expected [device], [machine] or a service section)");
        }
    }

    void end_device() {
        if (section_ != section::device)
            return;
        const device& last = machine_.devices.back();
        if (last.instance.empty())
            fail(last.line, "device without instance");
        // InfPath is a value of the driver key: without one there is nowhere to hold it.
        else if (last.inf_name && !last.driver)
            fail(device_keys_seen_["inf"], "inf without driver (the driver key holds InfPath)");
    }

    void set_machine_key(int line, std::string_view key, std::string_view value) {
        if (key != "enumeration_delay_ms" && key != "pending_installations_ms" &&
            key != "plug_and_play") {
            fail(line, "unknown key " + quoted(key) + " in [machine]");
            return;
        }
        if (!machine_keys_seen_.emplace(std::string(key), line).second) {
            fail(line, "repeated key " + quoted(key) + " in [machine] (first given on line " +
                           std::to_string(machine_keys_seen_[std::string(key)]) + ")");
            return;
        }
        if (key == "plug_and_play") {
            if (value != "yes" && value != "no")
                fail(line, "plug_and_play is yes or no, not " + quoted(value));
            machine_.plug_and_play = value == "yes";
            return;
        }
        std::optional<unsigned> number = milliseconds(line, key, value);
        if (!number)
            return;
        if (key == "enumeration_delay_ms")
            machine_.enumeration_delay_ms = *number;
        else
            machine_.pending_installations_ms = *number;
    }

    std::optional<unsigned> milliseconds(int line, std::string_view key, std::string_view value) {
        unsigned long long number = 0;
        bool good = !value.empty();
        for (char c : value) {
            if (c < '0' || c > '9' || number > kMaxDelayMs) {
                good = false;
                break;
            }
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (!good || number > kMaxDelayMs) {
            fail(line, "bad number " + quoted(value) + " for " + quoted(key) +
                           " (milliseconds, 0 to " + std::to_string(kMaxDelayMs) + ")");
            return std::nullopt;
        }
        return static_cast<unsigned>(number);
    }

    void set_outcome_key(int line, std::string_view key, std::string_view value) {
        std::string name = service_ + "." + std::string(key);
        if (!is_outcome_key(name) && !is_duration_key(name)) {
            fail(line, "unknown key " + quoted(key) + " in [" + service_ + "]");
            return;
        }
        if (!service_keys_seen_.insert(name).second) {
            fail(line, "repeated key " + quoted(key) + " in [" + service_ + "]");
            return;
        }
        if (is_duration_key(name)) {
            if (std::optional<unsigned> number = milliseconds(line, key, value)) {
                (name == "signing.wait_ms" ? machine_.signing_wait_ms
                                           : machine_.install_duration_ms) = *number;
            }
            return;
        }
        std::optional<outcome> parsed = parse_outcome(value);
        if (!parsed) {
            fail(line, "bad outcome " + quoted(value) + " for " + quoted(key) +
                           " (expected ok or a nonzero error code)");
            return;
        }
        machine_.outcomes.emplace(std::move(name), *parsed);
    }

    void set_device_key(int line, std::string_view key, std::string_view value) {
        const key_info* info = find_device_key(key);
        if (!info) {
            fail(line, "unknown key " + quoted(key) + " in [device]");
            return;
        }
        if (!info->repeats) {
            auto [first, inserted] = device_keys_seen_.emplace(info->name, line);
            if (!inserted) {
                fail(line, "repeated key " + quoted(key) + " (first given on line " +
                               std::to_string(first->second) +
                               "; only the *_id and "
                               "upper_filter keys repeat)");
                return;
            }
        }
        device& d = machine_.devices.back();
        switch (info->key) {
            case device_key::instance:
                if (require_text(line, key, value) && require_instance_id(line, key, value))
                    d.instance = std::string(value);
                break;
            case device_key::present:
                if (value == "yes" || value == "no")
                    d.present = value == "yes";
                else
                    fail(line, "bad present value " + quoted(value) + " (expected yes or no)");
                break;
            case device_key::service:
                d.service = std::string(value);
                break;
            case device_key::driver:
                d.driver = std::string(value);
                break;
            case device_key::driver_version:
                d.driver_version = std::string(value);
                break;
            case device_key::inf:
                if (require_text(line, key, value))
                    d.inf_name = std::string(value);
                break;
            // An empty entry would end a REG_MULTI_SZ list early.
            case device_key::hardware_id:
                if (require_text(line, key, value))
                    d.hardware_ids.emplace_back(value);
                break;
            case device_key::compatible_id:
                if (require_text(line, key, value))
                    d.compatible_ids.emplace_back(value);
                break;
            case device_key::upper_filter:
                if (require_text(line, key, value))
                    d.upper_filters.emplace_back(value);
                break;
            case device_key::bus_description:
                if (utf16_units(value) > kMaxBusDescriptionUnits)
                    fail(line, "bus_description is " + std::to_string(utf16_units(value)) +
                                   " UTF-16 units long (a device reports at most " +
                                   std::to_string(kMaxBusDescriptionUnits) + ")");
                else
                    d.bus_description = std::string(value);
                break;
            case device_key::description:
                d.description = std::string(value);
                break;
            case device_key::parent:
                if (require_text(line, key, value) && require_instance_id(line, key, value))
                    d.parent = std::string(value);
                break;
            case device_key::problem:
                read_problem(line, value, d);
                break;
            case device_key::unreadable:
                read_unreadable(line, value, d);
                break;
        }
    }

    bool require_text(int line, std::string_view key, std::string_view value) {
        if (value.empty())
            fail(line, "empty value for " + quoted(key));
        return !value.empty();
    }

    bool require_instance_id(int line, std::string_view key, std::string_view value) {
        std::optional<std::string> fault = bad_instance_id(value);
        if (fault)
            fail(line, "the " + std::string(key) + " " + quoted(value) + " " + *fault);
        return !fault;
    }

    // A CM_PROB_* number, 1 to 0xFF: 0 would be no problem at all.
    void read_problem(int line, std::string_view value, device& d) {
        unsigned number = 0;
        bool good = !value.empty() && value.size() <= 3;
        for (char c : value) {
            if (c < '0' || c > '9')
                good = false;
            else
                number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (!good || number == 0 || number > 0xFF)
            fail(line, "bad problem " + quoted(value) + " (a CM_PROB_ number, 1 to 255)");
        else
            d.problem = number;
    }

    void read_unreadable(int line, std::string_view value, device& d) {
        if (value.empty())
            return;
        for (;;) {
            std::size_t comma = value.find(',');
            std::string_view name = trim(value.substr(0, comma));
            const key_info* info = find_device_key(name);
            if (!info || info->key == device_key::unreadable) {
                fail(line, "unknown name " + quoted(name) +
                               " in unreadable (expected keys of "
                               "[device], such as bus_description)");
                return;
            }
            d.unreadable.emplace(name);
            if (comma == std::string_view::npos)
                return;
            value.remove_prefix(comma + 1);
        }
    }

    // Two devices with one instance ID, or parents that lead round in a circle, are no machine:
    // the system's device tree has neither, and a walk up the parents would never end.
    void check_machine() {
        std::map<std::string, const device*> by_instance;
        for (const device& d : machine_.devices) {
            auto [first, inserted] = by_instance.emplace(id_key(d.instance), &d);
            if (!inserted) {
                fail(d.line, "instance " + quoted(d.instance) + " is also the device of line " +
                                 std::to_string(first->second->line));
                return;
            }
        }
        for (const device& d : machine_.devices) {
            if (!d.present || !d.parent)
                continue;
            auto parent = by_instance.find(id_key(*d.parent));
            if (parent != by_instance.end() && !parent->second->present) {
                fail(d.line, "the present device " + quoted(d.instance) +
                                 " hangs below the absent device of line " +
                                 std::to_string(parent->second->line));
                return;
            }
        }
        for (const device& d : machine_.devices) {
            if (same_id(d.instance, kRootInstance)) {
                fail(d.line, "the root device " + quoted(d.instance) + " is the machine's own");
                return;
            }
        }
        for (const device& d : machine_.devices) {
            const device* at = &d;
            for (std::size_t steps = 0; at && at->parent; ++steps) {
                if (steps == machine_.devices.size()) {
                    fail(d.line, "the parents of " + quoted(d.instance) + " form a loop");
                    return;
                }
                auto found = by_instance.find(id_key(*at->parent));
                at = found == by_instance.end() ? nullptr : found->second;
            }
        }
    }

    section section_ = section::none;
    std::string service_;  // the name of the current service section
    machine machine_;
    std::map<std::string, int> device_keys_seen_;   // key -> line, for the current device
    std::map<std::string, int> machine_keys_seen_;  // across every [machine] section
    std::set<std::string> service_keys_seen_;       // "section.key"
    parse_error error_;
};

}  // namespace

std::optional<uint32_t> machine::failure(std::string_view section, std::string_view key) const {
    auto found = outcomes.find(std::string(section) + "." + std::string(key));
    if (found == outcomes.end() || found->second.ok)
        return std::nullopt;
    return found->second.error;
}

std::string parse_error::text() const {
    return "line " + std::to_string(line) + ": " + message;
}

parse_result parse_scenario(std::string_view text) {
    return parser().run(text);
}

bool same_id(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    }
    return true;
}

std::string id_key(std::string_view id) {
    std::string key(id);
    for (char& c : key)
        c = ascii_upper(c);
    return key;
}

std::string_view enumerator_of(std::string_view instance) {
    return instance.substr(0, instance.find('\\'));
}

}  // namespace sim

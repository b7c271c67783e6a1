#include "install_parts.h"

#include <algorithm>
#include <cstdio>

namespace sim {
namespace {

struct field {
    const char* name;
    std::optional<std::string> device_state::*text;
};

constexpr field kTextFields[] = {
    {"service", &device_state::service},
    {"driver", &device_state::driver},
    {"driver_version", &device_state::driver_version},
    {"port_name", &device_state::port_name},
    {"inf_name", &device_state::inf_name},
    {"provider_name", &device_state::provider_name},
    {"removed_inf", &device_state::removed_inf},
};

constexpr std::string_view kConfigFlags = "config_flags";
constexpr std::string_view kNeedRestart = "need_restart";
constexpr std::string_view kRemoved = "removed";

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// A field of an INF line's value: up to the comma, without its quotes.
std::string_view inf_field(std::string_view value, std::size_t index) {
    for (std::size_t i = 0; i < index; ++i) {
        std::size_t comma = value.find(',');
        if (comma == std::string_view::npos)
            return {};
        value.remove_prefix(comma + 1);
    }
    value = trim(value.substr(0, value.find(',')));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
        value = value.substr(1, value.size() - 2);
    return value;
}

}  // namespace

bool device_state::operator==(const device_state& other) const {
    for (const field& f : kTextFields) {
        if (this->*f.text != other.*f.text)
            return false;
    }
    return config_flags == other.config_flags && need_restart == other.need_restart &&
           removed == other.removed;
}

std::vector<std::string> encode_state(const device_state& state) {
    std::vector<std::string> entries;
    for (const field& f : kTextFields) {
        if (state.*f.text)
            entries.push_back(std::string(f.name) + "=" + *(state.*f.text));
    }
    if (state.config_flags)
        entries.push_back(std::string(kConfigFlags) + "=" + std::to_string(*state.config_flags));
    if (state.need_restart)
        entries.push_back(std::string(kNeedRestart) + "=1");
    if (state.removed)
        entries.push_back(std::string(kRemoved) + "=1");
    return entries;
}

device_state decode_state(const std::vector<std::string>& entries) {
    device_state state;
    for (const std::string& entry : entries) {
        const std::size_t equals = entry.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string_view name = std::string_view(entry).substr(0, equals);
        const std::string value = entry.substr(equals + 1);
        for (const field& f : kTextFields) {
            if (name == f.name)
                state.*f.text = value;
        }
        if (name == kNeedRestart)
            state.need_restart = value == "1";
        if (name == kRemoved)
            state.removed = value == "1";
        if (name == kConfigFlags && !value.empty() && value.size() <= 10) {
            unsigned long long number = 0;
            bool good = true;
            for (char c : value) {
                good = good && c >= '0' && c <= '9';
                number = number * 10 + static_cast<unsigned>(c - '0');
            }
            if (good && number <= UINT32_MAX)
                state.config_flags = static_cast<uint32_t>(number);
        }
    }
    return state;
}

void apply_states(machine& m, const device_states& states) {
    for (device& d : m.devices) {
        auto found = states.find(id_key(d.instance));
        if (found == states.end())
            continue;
        const device_state& state = found->second;
        if (state.service) {
            d.service = state.service;
            d.unreadable.erase("service");
            d.problem.reset();
        }
        if (state.driver) {
            d.driver = state.driver;
            d.unreadable.erase("driver");
        }
        if (state.driver_version) {
            d.driver_version = state.driver_version;
            d.unreadable.erase("driver_version");
        }
        if (state.port_name)
            d.port_name = state.port_name;
        if (state.inf_name)
            d.inf_name = state.inf_name;
        if (state.provider_name)
            d.provider_name = state.provider_name;
        if (state.config_flags)
            d.config_flags = *state.config_flags;
        d.need_restart = state.need_restart;
    }
    m.devices.erase(std::remove_if(m.devices.begin(), m.devices.end(),
                                   [&](const device& d) {
                                       auto found = states.find(id_key(d.instance));
                                       return found != states.end() && found->second.removed;
                                   }),
                    m.devices.end());
}

std::string next_port_name(const device_states& states) {
    for (unsigned number = 3;; ++number) {
        const std::string name = "COM" + std::to_string(number);
        bool taken = false;
        for (const auto& [id, state] : states)
            taken = taken || (state.port_name && same_id(*state.port_name, name));
        if (!taken)
            return name;
    }
}

inf_facts read_inf_facts(std::string_view text) {
    inf_facts facts;
    std::string section;
    std::map<std::string, std::string> strings;  // by id_key of the name
    std::vector<std::string> model_fields;       // of every other line, before [Strings] is known
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // A comment runs to the end of the line; INF texts here hold no quoted semicolons.
        line = trim(line.substr(0, line.find(';')));
        if (line.empty())
            continue;
        if (line.front() == '[') {
            const std::size_t close = line.find(']');
            section = std::string(line.substr(1, close == std::string_view::npos ? 0 : close - 1));
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view key = trim(line.substr(0, equals));
        const std::string_view value = trim(line.substr(equals + 1));
        if (same_id(section, "Version") && same_id(key, "DriverVer") && !facts.driver_version) {
            const std::string_view version = inf_field(value, 1);
            if (!version.empty())
                facts.driver_version = std::string(version);
        } else if (same_id(section, "Version") && same_id(key, "Provider") && !facts.provider) {
            const std::string_view provider = inf_field(value, 0);
            if (!provider.empty())
                facts.provider = std::string(provider);
        } else if (same_id(key, "AddService") && !facts.service) {
            const std::string_view service = inf_field(value, 0);
            if (!service.empty())
                facts.service = std::string(service);
        } else if (same_id(section, "Strings")) {
            // A text of [Strings] may hold commas: it is the whole value.
            std::string_view whole = value;
            if (whole.size() >= 2 && whole.front() == '"' && whole.back() == '"')
                whole = whole.substr(1, whole.size() - 2);
            strings.emplace(id_key(key), std::string(whole));
        } else if (!same_id(section, "Version")) {
            for (std::size_t i = 1;; ++i) {
                const std::string_view field = inf_field(value, i);
                if (field.empty())
                    break;
                model_fields.emplace_back(field);
            }
        }
    }
    // A model line's ID may be made of [Strings] texts ("USB\%DeviceID%").
    for (const std::string& field : model_fields) {
        std::string id;
        for (std::size_t at = 0; at < field.size();) {
            const std::size_t close =
                field[at] == '%' ? field.find('%', at + 1) : std::string::npos;
            auto found = close == std::string::npos
                             ? strings.end()
                             : strings.find(id_key(field.substr(at + 1, close - at - 1)));
            if (found == strings.end()) {
                id += field[at++];
                continue;
            }
            id += found->second;
            at = close + 1;
        }
        if (id.size() > 4 && same_id(id.substr(0, 4), "USB\\"))
            facts.device_ids.push_back(id);
    }
    // [Strings] comes last in most INFs.
    if (facts.provider && facts.provider->size() > 2 && facts.provider->front() == '%' &&
        facts.provider->back() == '%') {
        auto found = strings.find(id_key(facts.provider->substr(1, facts.provider->size() - 2)));
        if (found != strings.end())
            facts.provider = found->second;
    }
    return facts;
}

std::optional<std::size_t> match_rank(const device& d, const inf_facts& facts) {
    std::size_t rank = 0;
    for (const std::vector<std::string>* ids : {&d.hardware_ids, &d.compatible_ids}) {
        for (const std::string& id : *ids) {
            for (const std::string& named : facts.device_ids) {
                if (same_id(id, named))
                    return rank;
            }
            ++rank;
        }
    }
    return std::nullopt;
}

bool matches_hardware_id(const device& d, std::string_view hardware_id) {
    for (const std::vector<std::string>* ids : {&d.hardware_ids, &d.compatible_ids}) {
        for (const std::string& id : *ids) {
            if (same_id(id, hardware_id))
                return true;
        }
    }
    return false;
}

uint64_t stable_hash(std::string_view text) {
    uint64_t hash = 0xcbf29ce484222325ull;
    for (char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hash_text(uint64_t hash) {
    char text[24];
    std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(hash));
    return text;
}

std::string setup_log_header() {
    return "[Device Install Log]\r\n"
           "     OS Version = 10.0.19045\r\n"
           "     Service Pack = 0.0\r\n"
           "     Suite = 0x0100\r\n"
           "     ProductType = 1\r\n"
           "     Architecture = amd64\r\n";
}

std::string setup_log_section_start(std::string_view hardware_id, std::string_view time) {
    return ">>>  [Device Install (UpdateDriverForPlugAndPlayDevices) - " +
           std::string(hardware_id) + "]\r\n>>>  Section start " + std::string(time) + "\r\n";
}

std::string setup_log_section_end(std::string_view time, uint32_t error) {
    char status[64];
    if (error == 0)
        std::snprintf(status, sizeof status, "SUCCESS");
    else
        std::snprintf(status, sizeof status, "FAILURE(0x%08lX)", static_cast<unsigned long>(error));
    return "<<<  Section end " + std::string(time) + "\r\n<<<  [Exit status: " + status + "]\r\n";
}

std::string setup_log_time(int year, int month, int day, int hour, int minute, int second,
                           int millisecond) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d.%03d", year, month, day, hour,
                  minute, second, millisecond);
    return text;
}

}  // namespace sim

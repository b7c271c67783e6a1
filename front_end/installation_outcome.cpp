#include "installation_outcome.h"

#include <cstring>

#include "device_rules.h"

namespace {

// A field of the record, up to its terminator or its end.
std::string field(const char* text, size_t size) {
    return std::string(text, strnlen(text, size));
}

}  // namespace

installation_outcome outcome_of_installation(const char* instance_id,
                                             const usbdrv_device_state& state) {
    installation_outcome outcome;
    if (!instance_id || !*instance_id)
        return outcome;  // no device to bind: the helper only copied the INF into the store
    if (!state.present || !is_serial_driver(field(state.service, sizeof state.service).c_str()))
        return outcome;
    outcome.kind = installation_outcome::installed;
    outcome.port = field(state.port_name, sizeof state.port_name);
    outcome.needs_restart = state.needs_restart != 0;
    return outcome;
}
